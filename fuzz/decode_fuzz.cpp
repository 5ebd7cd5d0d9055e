// Fuzzes decodeForm as a program meets it: content type, method, and the form
// in the query string or on standard input. Checks the store against the
// reference rules, and its count and order.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formlib/form.h"
#include "formlib/url_decoder.h"
#include "fuzz/check.h"
#include "fuzz/reference_decoder.h"
#include "platform/environment.h"
#include "platform/text_stdio.h"

namespace {

void giveStandardInput(const std::string& bytes) {
  const int file = memfd_create("body", 0);
  check(file >= 0, "memfd_create");
  check(write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write body");
  lseek(file, 0, SEEK_SET);
  dup2(file, STDIN_FILENO);
  close(file);
  beginTextStreams(standardDescriptors());
}

const char* const kContentTypes[] = {nullptr, "multipart/form-data", "multipart/form-data; boundary=x",
                                     "application/x-www-form-urlencoded", "Multipart/form-data"};
const char* const kMethods[] = {nullptr, "GET", "POST", "get", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned char selector = data[0];
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char* contentType = kContentTypes[selector % 5];
  const char* method = kMethods[(selector / 5) % 5];
  const bool dropCR = (selector / 25) % 2 == 0;
  const bool useGet = method != nullptr && std::strcmp(method, "GET") == 0;
  // The query string is an environment value: it ends at its first zero byte.
  const std::string query = input.substr(0, input.find('\0'));

  // The variables of a CGI process, or a FastCGI request's parameters, whose
  // names may come in any case and whose first match wins.
  const bool asWorkerRequest = (selector / 50) % 2 == 1;
  std::vector<std::string> parameters;
  if (contentType) parameters.push_back(std::string("content_type=") + contentType);
  if (method) parameters.push_back(std::string("Request_Method=") + method);
  parameters.push_back("QUERY_STRING=" + query);
  parameters.push_back("QUERY_STRING=not this one");
  parameters.push_back("REQUEST_METHOD=not this one");
  std::vector<char*> entries;
  for (auto& entry : parameters) entries.push_back(entry.data());
  entries.push_back(nullptr);
  clearenv();
  if (asWorkerRequest) {
    useRequestEnvironment(entries.data());
  } else {
    environ = entries.data();
  }
  giveStandardInput(input);
  formStore.clear();

  const bool decoded = decodeForm(dropCR);
  useRequestEnvironment(nullptr);
  environ = nullptr;
  const bool refused = contentType != nullptr && std::strcmp(contentType, "multipart/form-data") == 0;
  check(decoded == !refused, "refused exactly for multipart/form-data");
  if (refused) {
    check(formStore.size() == 0, "a refused request stores nothing");
    check(lseek(STDIN_FILENO, 0, SEEK_CUR) == 0, "a refused request reads nothing");
    return 0;
  }

  const auto expected = referenceDecode(useGet ? query : referenceTextInput(input), dropCR);
  check(formStore.size() == expected.size(), "count is the number of distinct names");
  auto want = expected.begin();
  const std::string* previous = nullptr;
  for (const auto& [name, value] : formStore) {
    check(name == want->first && value == want->second, "store equals the reference decoding");
    check(previous == nullptr || *previous < name, "names strictly ascending");
    if (dropCR && !useGet) check(value.find('\r') == std::string::npos, "no carriage return in a value");
    previous = &name;
    ++want;
  }
  for (const auto& entry : expected) check(formStore.contains(entry.first), "every name can be found");

  // The same bytes handed over in small blocks: escapes, pairs and repeated
  // names cut at every kind of place.
  formStore.clear();
  UrlDecoder decoder(dropCR);
  const std::size_t block = 1 + selector % 13;
  for (std::size_t at = 0; at < input.size(); at += block) {
    decoder.feed(input.data() + at, std::min(block, input.size() - at));
  }
  decoder.finish();
  const auto whole = referenceDecode(input, dropCR);
  check(formStore.size() == whole.size(), "block-wise count");
  auto next = whole.begin();
  for (const auto& [name, value] : formStore) {
    check(name == next->first && value == next->second, "block-wise decoding equals the reference");
    ++next;
  }
  return 0;
}
