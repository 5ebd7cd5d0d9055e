// Fuzzes the FastCGI responder as a server or an attacker meets it: any bytes
// on one connection, the peer then ending its side. Every record the worker
// sends back must be what the reference says, record for record (the
// program's output may be cut into records anywhere): a malformed stream gets
// no answer, and nothing crashes, leaks or waits.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/reference_responder.h"
#include "platform/environment.h"
#include "platform/serving.h"
#include "platform/text_stdio.h"

namespace {

int listRequest() {
  static char block[1 << 16];
  std::string input;
  while (const std::size_t length = readTextInput(block, sizeof block)) input.append(block, length);
  int entries = 0;
  for (char** entry = requestEnvironment(); *entry != nullptr; ++entry, ++entries) {
    writeCString(*entry);
    writeText("\n");
  }
  writeText("--\n" + input);
  return entries;
}

// The records sent, the program's output joined whatever records carried it.
std::vector<ReferenceRecord> recordsOf(const std::string& bytes) {
  std::vector<ReferenceRecord> records;
  std::size_t at = 0;
  while (bytes.size() - at >= 8) {
    const std::size_t length = referenceByte(bytes, at + 4) << 8 | referenceByte(bytes, at + 5);
    check(bytes[at] == 1 && at + 8 + length + referenceByte(bytes, at + 6) <= bytes.size(), "whole records");
    ReferenceRecord record{static_cast<unsigned>(referenceByte(bytes, at + 1)),
                           static_cast<unsigned>(referenceByte(bytes, at + 2) << 8 | referenceByte(bytes, at + 3)),
                           bytes.substr(at + 8, length)};
    at += 8 + length + referenceByte(bytes, at + 6);
    const bool moreOutput = record.type == 6 && !record.content.empty() && !records.empty() &&
                            records.back().type == 6 && records.back().id == record.id &&
                            !records.back().content.empty();
    if (moreOutput) {
      records.back().content += record.content;
    } else {
      records.push_back(record);
    }
  }
  check(at == bytes.size(), "nothing but whole records");
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  int ends[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  std::string answer;
  // The peer sends everything, ends its side and reads until the worker closes.
  std::thread peer([&] {
    for (std::size_t sent = 0; sent < stream.size();) {
      const ssize_t written = ::send(ends[0], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
      if (written <= 0) break;
      sent += static_cast<std::size_t>(written);
    }
    ::shutdown(ends[0], SHUT_WR);
    char block[1 << 16];
    for (ssize_t got; (got = ::read(ends[0], block, sizeof block)) > 0;) answer.append(block, got);
  });
  serveFastCgiConnection(ends[1], listRequest);
  peer.join();
  ::close(ends[0]);
  check(recordsOf(answer) == referenceAnswers(stream, "1"), "answers equal the reference");
  return 0;
}
