// The data file's count: read as "%d" reads it, fed in any blocks, and
// rewritten so that the file reads back as exactly one more.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cgi_run.h"
#include "counter/count_text.h"
#include "counter/counter_files.h"

namespace {

struct Rewrite {
  std::string before;
  int shown;
  std::string after;
};

// clang-format off
const Rewrite kRewrites[] = {
    // The forms a visit writes, and line ends an editor adds.
    {"", 0, "1"},
    {"0", 0, "1"},
    {"41", 41, "42"},
    {"41\n", 41, "42\n"},
    {"41\r\n", 41, "42\r\n"},
    {"99\n", 99, "100"},
    {"999", 999, "1000"},
    // Numbers with more around them: the file is cut where old digits would join the new ones.
    {"abc", 0, "1bc"},
    {"x5", 0, "1"},
    {"7 apples", 7, "8 apples"},
    {"-10", -10, "-9"},
    {"-5", -5, "-4"},
    {"-1", -1, "0"},
    {"  41", 41, "42"},
    {"  -5", -5, "-4"},  // the old number is cut even where no digit follows the new one
    {"\t\n41\n", 41, "42"},
    {"007", 7, "8"},
    {"+5", 5, "6"},
    {"99\n5", 99, "100"},
    {std::string("12\0" "34", 5), 12, std::string("13\0" "34", 5)},
    // The 32-bit limits hold.
    {"2147483646", 2147483646, "2147483647"},
    {"2147483647", 2147483647, "2147483647"},
    {"99999999999999999999", 2147483647, "2147483647"},
    {"-2147483648", -2147483647 - 1, "-2147483647"},
    {"-99999999999", -2147483647 - 1, "-2147483647"},
};
// clang-format on

TEST(CountFile, RewritesTheCountSoThatItReadsBackAsOneMore) {
  TempDir dir;
  const std::string id = dir.file("7");
  for (const auto& rewrite : kRewrites) {
    dir.write("7.dat", rewrite.before);
    DataFile data;
    ASSERT_TRUE(openDataFile(data, id, true)) << rewrite.before;
    EXPECT_EQ(data.reading.count(), rewrite.shown) << rewrite.before;
    EXPECT_TRUE(rewriteCount(data)) << rewrite.before;
    closeDataFile(data);
    EXPECT_EQ(dir.read("7.dat"), rewrite.after) << rewrite.before;
    // A visit killed between its write and its cut leaves the same count.
    dir.write("7.dat", rewrite.before);
    DataFile killed;
    ASSERT_TRUE(openDataFile(killed, id, true));
    rewriteCount(killed, true);
    closeDataFile(killed);
    CountScanner left;
    const std::string bytes = dir.read("7.dat");
    left.feed(bytes.data(), bytes.size());
    EXPECT_EQ(countText(left.count()), rewrite.after.substr(0, rewrite.after.find_first_not_of("-0123456789")))
        << rewrite.before;
  }
}

TEST(CountFile, ReadsTheSameCountFedInAnyBlocks) {
  for (const auto& rewrite : kRewrites) {
    for (std::size_t block = 1; block <= rewrite.before.size(); ++block) {
      CountScanner blockwise;
      for (std::size_t at = 0; at < rewrite.before.size(); at += block) {
        if (blockwise.feed(&rewrite.before[at], std::min(block, rewrite.before.size() - at))) break;
      }
      EXPECT_EQ(blockwise.count(), rewrite.shown) << rewrite.before << " in blocks of " << block;
    }
  }
}

}  // namespace
