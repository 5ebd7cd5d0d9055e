// Fuzzes the FastCGI responder as a server or an attacker meets it: any bytes
// on one connection, the peer then ending its side. Every record the worker
// sends back must be what the reference says, record for record (the
// program's output may be cut into records anywhere): a malformed stream gets
// no answer, and nothing crashes, leaks or waits. The responder takes the
// bytes from memory: no socket, thread or poll per input.
#include <cstdint>
#include <string>
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
  const std::string answer = answerFastCgiStream(stream, listRequest);
  check(recordsOf(answer) == referenceAnswers(stream, "1"), "answers equal the reference");
  return 0;
}
