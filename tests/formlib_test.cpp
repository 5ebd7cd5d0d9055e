// The form store's order and the URL decoder's rules, fed in every possible split.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "formlib/form.h"
#include "formlib/name_hash.h"
#include "formlib/url_decoder.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs storeContents() { return Pairs(formStore.begin(), formStore.end()); }

// Decodes `input` handed over in blocks of `blockSize` bytes (0: at once).
Pairs decode(const std::string& input, bool dropCR, std::size_t blockSize = 0) {
  formStore.clear();
  UrlDecoder decoder(dropCR);
  if (blockSize == 0) blockSize = input.size() + 1;
  for (std::size_t at = 0; at < input.size(); at += blockSize) {
    decoder.feed(input.data() + at, std::min(blockSize, input.size() - at));
  }
  decoder.finish();
  return storeContents();
}

TEST(NameHash, TellsApartNamesThatDifferOnlyInLengthOrOrder) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> differing[] = {
      {"", "\0"s}, {"a", "a\0"s}, {"abcdefg", "abcdefg\0"s}, {"abcdefgh", "abcdefgh\0"s}, {"ab", "ba"},
      {"abcdefghijklmnop", "abcdefghijklmnoq"}};
  for (const auto& [one, other] : differing) {
    // Only the name's own bytes count, not those that lie behind it in memory.
    const std::string followed = one + "\x01\x02\x03\x04\x05\x06\x07\x08";
    EXPECT_EQ(hashName(one), hashName(std::string_view(followed).substr(0, one.size()))) << one;
    EXPECT_NE(hashName(one), hashName(other)) << one;
  }
  std::set<std::uint64_t> hashes;
  for (int i = 0; i < 100000; ++i) hashes.insert(hashName("n" + std::to_string(i)));
  EXPECT_EQ(hashes.size(), 100000u);
}

TEST(FormStore, OrdersNamesByUnsignedBytesWithPrefixFirst) {
  formStore.clear();
  for (const char* name : {"b", "\xE9", "B", "ab", "a", "A", "", "z", "\x7F"}) formStore[name];
  Pairs expected;
  for (const char* name : {"", "A", "B", "a", "ab", "b", "z", "\x7F", "\xE9"}) expected.emplace_back(name, "");
  EXPECT_EQ(storeContents(), expected);
}

TEST(FormStore, FindOrAddAddsOnceAndNeverReplaces) {
  formStore.clear();
  EXPECT_EQ(formStore.size(), 0u);
  EXPECT_EQ(formStore["cid"], "");
  EXPECT_EQ(formStore.size(), 1u);
  formStore["cid"] = "7";
  EXPECT_EQ(formStore["cid"], "7");
  EXPECT_EQ(formStore.size(), 1u);
}

struct DecodeCase {
  const char* label;
  std::string input;
  Pairs expected;
};

const std::string kZero(1, '\0');

// clang-format off
const DecodeCase kDecodeCases[] = {
    {"empty", "", {}},
    {"stored in name order", "b=2&a=1", {{"a", "1"}, {"b", "2"}}},
    {"repeated names join with semicolons", "a=1&a=2&a=3", {{"a", "1;2;3"}}},
    {"empty first repeated value", "a=&a=2", {{"a", ";2"}}},
    {"empty last repeated value", "a=1&a=", {{"a", "1;"}}},
    {"trailing ampersand", "a=1&", {{"a", "1"}}},
    {"empty pair between ampersands", "a=1&&b=2", {{"", ""}, {"a", "1"}, {"b", "2"}}},
    {"lone ampersand", "&", {{"", ""}}},
    {"two ampersands", "&&", {{"", ";"}}},
    {"empty name at end is dropped", "=x", {}},
    {"empty name before ampersand is kept", "=x&y=1", {{"", "x"}, {"y", "1"}}},
    {"name without value", "abc", {{"abc", ""}}},
    {"second equals sign is dropped", "x=y=z", {{"x", "yz"}}},
    {"plus is a space", "a+b=d+e", {{"a b", "d e"}}},
    {"escaped equals is plain", "%3D=1", {{"=", "1"}}},
    {"escapes in both cases", "a=%41%62", {{"a", "Ab"}}},
    {"double percent", "a=%%41", {{"a", "%41"}}},
    {"escaped CR dropped, LF kept", "a=x%0D%0Ay", {{"a", "x\ny"}}},
    {"lower-case escaped CR dropped", "a=%0d", {{"a", ""}}},
    {"plain CR is kept", "a=x\ry", {{"a", "x\ry"}}},
    {"unfinished escape of one digit", "a=%4", {{"a", ""}}},
    {"unfinished escape at percent", "a=b%", {{"a", "b"}}},
    {"non-hex digits", "a=%zz", {{"a", "S"}}},
    {"ampersand as digit", "a=%&b", {{"a", "k"}}},
    {"equals as a digit", "%=1=2", {{"a", "2"}}},  // '=' is 61 - 55 = 6; 16 * 6 + 1 = 'a'
    {"escaped zero byte", "a=%00b", {{"a", kZero + "b"}}},
    {"plain zero byte", std::string("a=x") + kZero + "y&b=1", {{"a", "x" + kZero + "y"}, {"b", "1"}}},
    {"high bytes as digits", "a=%\xFF\xFF", {{"a", "("}}},  // 0xFF is digit 168
    {"escaped percent then digit", "a=%253", {{"a", "%3"}}},
};
// clang-format on

TEST(UrlDecoder, DecodesEveryCaseWholeAndInEverySplit) {
  for (const auto& c : kDecodeCases) {
    EXPECT_EQ(decode(c.input, true), c.expected) << c.label;
    for (std::size_t block = 1; block <= c.input.size(); ++block) {
      EXPECT_EQ(decode(c.input, true, block), c.expected) << c.label << " in blocks of " << block;
    }
  }
}

TEST(UrlDecoder, AllowsOnlyOneDecoderAtATime) {
  EXPECT_DEATH(
      {
        UrlDecoder first(true);
        UrlDecoder second(true);
      },
      "only one decoder");
  { UrlDecoder again(true); }
  UrlDecoder afterwards(true);
}

TEST(UrlDecoder, KeepsEscapedCarriageReturnWithoutDropCR) {
  EXPECT_EQ(decode("a=%0D&b=x%0dy", false), (Pairs{{"a", "\r"}, {"b", "x\ry"}}));
}

TEST(UrlDecoder, StreamsLongValuesAndManyRepeats) {
  std::string input = "v=";
  for (int i = 0; i < 100000; ++i) input += "ab%41+";
  Pairs result = decode(input, true, 4096);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].second.size(), 400000u);
  EXPECT_EQ(result[0].second.substr(0, 8), "abA abA ");

  std::string repeats;
  for (int i = 0; i < 1000; ++i) repeats += "n=" + std::to_string(i) + "&";
  result = decode(repeats, true, 7);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].second.substr(0, 6), "0;1;2;");
  EXPECT_EQ(result[0].second.substr(result[0].second.size() - 4), ";999");

  // A repeated name whose values run over several chunks and through the gathering of repeats.
  const std::string longValue(40000, 'y');
  std::string mixed = "a=x&a=" + longValue + "&a=z";
  for (int i = 0; i < 5000; ++i) mixed += "&a=" + std::to_string(i % 10);
  std::string expected = "x;" + longValue + ";z";
  for (int i = 0; i < 5000; ++i) expected += ";" + std::to_string(i % 10);
  for (std::size_t block : {std::size_t{0}, std::size_t{3}, std::size_t{20000}}) {
    EXPECT_EQ(decode(mixed, true, block), (Pairs{{"a", expected}})) << "blocks of " << block;
  }
}

}  // namespace
