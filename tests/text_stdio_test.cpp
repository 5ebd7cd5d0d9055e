// The text streams over in-memory channels: what a program sees of its input
// and what leaves as its output, whatever blocks the channel hands over.
#include "platform/text_stdio.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cgi_run.h"

namespace {

std::string input;
std::size_t inputAt;
std::size_t blockSize;
std::string output;
bool channelBroken;

std::size_t readMemory(char* buffer, std::size_t capacity) {
  const std::size_t length = std::min({capacity, blockSize, input.size() - inputAt});
  input.copy(buffer, length, inputAt);
  inputAt += length;
  return length;
}

bool writeMemory(const char* bytes, std::size_t length) {
  if (channelBroken) return false;
  output.append(bytes, length);
  return true;
}

void begin(const std::string& raw = "", std::size_t block = 1 << 16) {
  input = raw;
  inputAt = 0;
  blockSize = block;
  output.clear();
  channelBroken = false;
  beginTextStreams(RawStreams{readMemory, writeMemory});
}

std::string readAll() {
  std::string delivered;
  char buffer[5];
  while (std::size_t length = readTextInput(buffer, sizeof buffer)) delivered.append(buffer, length);
  EXPECT_EQ(readTextInput(buffer, sizeof buffer), 0u) << "input came back after its end";
  return delivered;
}

TEST(TextInput, DeliversEveryByteButCarriageReturnsUpToTheFirst1A) {
  const std::string zero(1, '\0');
  const struct {
    std::string raw;
    std::string delivered;
  } cases[] = {
      {"", ""},
      {"a\032b", "a"},
      {"\x1A", ""},
      {"x\r\ny\rz", "x\nyz"},
      {"\r\r\r", ""},
      {"a\r\r\r\rb\r", "ab"},
      {zero + "\xFF\x80" + zero, zero + "\xFF\x80" + zero},
      {std::string(20000, 'a') + "\n" + std::string(10000, '\r') + "\x1A\n", std::string(20000, 'a') + "\n"},
  };
  for (const auto& c : cases) {
    for (const std::size_t block : {1, 2, 3, 7, 4096}) {
      begin(c.raw, block);
      EXPECT_EQ(readAll(), c.delivered) << "blocks of " << block;
    }
  }
}

TEST(TextOutput, WritesEachLineFeedAsCarriageReturnLineFeed) {
  // Line feeds at every distance from each other, over several buffers.
  std::string lines;
  for (int round = 0; lines.size() < 300000; ++round) lines += std::string(round % 41, 'x') + "\n\n";
  const struct {
    std::string written;
    std::string sent;
  } cases[] = {
      {"", ""}, {"a\nb", "a\r\nb"}, {"\r\n", "\r\r\n"}, {"\n\n", "\r\n\r\n"}, {lines, crlf(lines)},
  };
  for (const auto& c : cases) {
    begin();
    writeText(c.written);
    flushTextOutput();
    EXPECT_EQ(output, c.sent) << c.written.size();
  }
}

TEST(TextOutput, WritesValuesAsPercentSAndPercentDDo) {
  begin();
  writeCString(nullptr);
  writeText(upToZeroByte(std::string("ab\0cd", 5)));
  for (const long long value : {0LL, 7LL, -1LL, 2147483647LL, LLONG_MIN}) {
    writeText(" ");
    writeDecimal(value);
  }
  flushTextOutput();
  EXPECT_EQ(output, "(null)ab 0 7 -1 2147483647 -9223372036854775808");
}

TEST(TextOutput, DropsTheRestOfTheAnswerOnceAWriteFailed) {
  begin();
  writeText("lost");
  channelBroken = true;
  flushTextOutput();
  channelBroken = false;
  writeText("also lost");
  flushTextOutput();
  EXPECT_EQ(output, "");

  begin();
  writeText("discarded");
  discardTextOutput();
  writeText("kept");
  flushTextOutput();
  EXPECT_EQ(output, "kept");
}

}  // namespace
