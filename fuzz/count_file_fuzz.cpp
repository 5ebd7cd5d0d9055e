// Fuzzes the counter's data file: any content is read as a count, and after a
// counted visit the file must read back as exactly that count plus one
// (held at the 32-bit limit), keeping old bytes only where they cannot join it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "counter/counter_files.h"
#include "fuzz/check.h"

namespace {

// "%d" as strtoll reads it, held to the 32-bit range.
int referenceCount(const std::string& text) {
  const std::string upToZero = text.substr(0, text.find('\0'));
  errno = 0;
  const long long value = std::strtoll(upToZero.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string readFile(const char* name) {
  std::string bytes;
  if (FILE* file = std::fopen(name, "rb")) {
    char block[4096];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, got);
    std::fclose(file);
  }
  return bytes;
}

void writeFile(const char* name, const std::string& bytes) {
  FILE* file = std::fopen(name, "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// The data file lives in a folder of its own, removed when the run ends.
char folder[] = "/tmp/count_file_fuzz_XXXXXX";
std::string counterId;
std::string dataFile;

void removeFolder() {
  std::remove(dataFile.c_str());
  ::rmdir(folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (mkdtemp(folder) == nullptr) std::abort();
  counterId = std::string(folder) + "/f";
  dataFile = counterId + ".dat";
  std::atexit(removeFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string before(reinterpret_cast<const char*>(data), size);
  writeFile(dataFile.c_str(), before);

  DataFile file;
  check(openDataFile(file, counterId, true), "a regular file opens");
  const int count = file.reading.count();
  check(count == referenceCount(before), "count read as %d reads it");
  rewriteCount(file);
  closeDataFile(file);

  const std::string after = readFile(dataFile.c_str());
  const int next = count == INT_MAX ? INT_MAX : count + 1;
  const std::string digits = std::to_string(next);
  check(referenceCount(after) == next, "the file reads back as the count plus one");
  check(after.compare(0, digits.size(), digits) == 0, "the new count stands at the start");
  check(after.size() == digits.size() ||
            (after.size() == before.size() && after.substr(digits.size()) == before.substr(digits.size())),
        "old bytes are either cut off or kept as they were");
  return 0;
}
