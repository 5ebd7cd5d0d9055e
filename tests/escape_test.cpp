// Escaping for the places where request values land: ordinary values pass
// unchanged, hostile ones cannot end their string, attribute or query.
#include "counter/escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Escaped {
  std::string text;
  std::string url;   // percentEncode
  std::string html;  // escapeHtml
  std::string js;    // escapeJsString
};

// clang-format off
const Escaped kEscaped[] = {
    {"", "", "", ""},
    {"7", "7", "7", "7"},
    {"ab-._~", "ab-._~", "ab-._~", "ab-._~"},
    {"example.org:8080", "example.org%3A8080", "example.org:8080", "example.org:8080"},
    {"/cgi-bin/vistrel", "%2Fcgi-bin%2Fvistrel", "/cgi-bin/vistrel", "/cgi-bin/vistrel"},
    {"a b+c", "a%20b%2Bc", "a b+c", "a b+c"},
    {"'", "%27", "&#39;", "\\'"},
    {"\"", "%22", "&quot;", "\\\""},
    {"<b>&", "%3Cb%3E%26", "&lt;b&gt;&amp;", "<b>&"},
    {"\\", "%5C", "\\", "\\\\"},
    {"\n\t\r\x7F", "%0A%09%0D%7F", "\n\t\r\x7F", "\\x0A\\x09\\x0D\\x7F"},
    {"\xC3\xA9", "%C3%A9", "\xC3\xA9", "\xC3\xA9"},
    {std::string("a\0b", 3), "a%00b", std::string("a\0b", 3), "a\\x00b"},
};
// clang-format on

TEST(Escape, EscapesEachValueForWhereItLands) {
  for (const auto& e : kEscaped) {
    EXPECT_EQ(percentEncode(e.text), e.url) << e.text;
    EXPECT_EQ(escapeHtml(e.text), e.html) << e.text;
    EXPECT_EQ(escapeJsString(e.text), e.js) << e.text;
  }
}

}  // namespace
