// Escaping of request and environment values for the place where they land.
// Letters, digits, "-", ".", "_" and ":" pass every one of them unchanged.
#pragma once

#include <string>
#include <string_view>

// For a URL query: every byte outside A-Z a-z 0-9 - . _ ~ as %XX.
std::string percentEncode(std::string_view text);

// For HTML text and attribute values: & < > " and ' as character references.
std::string escapeHtml(std::string_view text);

// For a single-quoted JavaScript string: backslash, quotes and control bytes.
std::string escapeJsString(std::string_view text);

// A string as a "%s" conversion sees it: up to its first zero byte.
std::string_view upToZeroByte(std::string_view text);
