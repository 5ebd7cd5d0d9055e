#include "platform/text_stdio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

std::size_t readDescriptor(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool writeDescriptor(const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Plain zero-initialised storage, so that nothing runs before main; the
// channels start as descriptors 0 and 1.
RawStreams raw{readDescriptor, writeDescriptor};
constexpr std::size_t kOutputCapacity = 1 << 16;
char outputBuffer[kOutputCapacity];
std::size_t outputUsed;
bool outputFailed;
bool inputEnded;
std::size_t inputBytes;

// Removes every carriage return in place and returns the new length.
std::size_t removeCarriageReturns(char* bytes, std::size_t length) {
  char* cr = static_cast<char*>(std::memchr(bytes, '\r', length));
  if (cr == nullptr) return length;
  char* out = cr;
  for (const char* in = cr + 1; in < bytes + length; ++in) {
    if (*in != '\r') *out++ = *in;
  }
  return static_cast<std::size_t>(out - bytes);
}

// Copies `length` bytes to `out` with a carriage return before each line
// feed and returns how many bytes it wrote; `out` has room for twice `length`.
std::size_t translateLineFeeds(const char* bytes, std::size_t length, char* out) {
  const char* next = bytes;
  const char* const end = bytes + length;
  char* const start = out;
#ifdef __SSE2__
  // Each block is stored whole before its first line feed is looked at; the
  // bytes after that line feed are written again from the next position.
  const __m128i lineFeed = _mm_set1_epi8('\n');
  while (end - next >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
    const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(block, lineFeed));
    if (found == 0) {
      next += 16;
      out += 16;
      continue;
    }
    const int run = __builtin_ctz(found);
    out += run;
    *out++ = '\r';
    *out++ = '\n';
    next += run + 1;
  }
#endif
  for (; next < end; ++next) {
    if (*next == '\n') *out++ = '\r';
    *out++ = *next;
  }
  return static_cast<std::size_t>(out - start);
}

}  // namespace

RawStreams standardDescriptors() { return RawStreams{readDescriptor, writeDescriptor}; }

void beginTextStreams(const RawStreams& streams) {
  raw = streams;
  outputUsed = 0;
  outputFailed = false;
  inputEnded = false;
  inputBytes = 0;
}

std::size_t readTextInput(char* buffer, std::size_t capacity) {
  while (!inputEnded) {
    std::size_t length = raw.read(buffer, capacity);
    if (length == 0) break;
    inputBytes += length;
    if (const void* eof = std::memchr(buffer, 0x1A, length)) {
      length = static_cast<std::size_t>(static_cast<const char*>(eof) - buffer);
      inputEnded = true;
    }
    length = removeCarriageReturns(buffer, length);
    if (length > 0) return length;
  }
  inputEnded = true;
  return 0;
}

std::size_t rawInputBytes() { return inputBytes; }

void writeText(const char* bytes, std::size_t length) {
  while (length > 0) {
    if (kOutputCapacity - outputUsed < 32) flushTextOutput();
    // At most two bytes out for each byte in, so `take` bytes always fit.
    const std::size_t take = std::min(length, (kOutputCapacity - outputUsed) / 2);
    outputUsed += translateLineFeeds(bytes, take, outputBuffer + outputUsed);
    bytes += take;
    length -= take;
  }
}

void writeText(std::string_view text) { writeText(text.data(), text.size()); }

std::string_view upToZeroByte(std::string_view text) { return text.substr(0, text.find('\0')); }

void writeCString(const char* text) {
  writeText(text != nullptr ? std::string_view(text) : std::string_view("(null)"));
}

void writeDecimal(long long value) {
  char digits[24];
  char* start = digits + sizeof digits;
  // Work on the magnitude as unsigned so that the most negative value is safe.
  unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  do {
    *--start = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--start = '-';
  writeText(start, static_cast<std::size_t>(digits + sizeof digits - start));
}

void flushTextOutput() {
  // Once a write has failed the reader is gone: the rest of the answer is dropped.
  if (!outputFailed && outputUsed > 0) outputFailed = !raw.write(outputBuffer, outputUsed);
  outputUsed = 0;
}

void discardTextOutput() { outputUsed = 0; }
