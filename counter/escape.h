// Escaping of request and environment values for the place where they land.
// Letters, digits, "-", "." and "_" pass every one of them unchanged; so does
// ":" (as in "host:8080") through the HTML and JavaScript escapes.
#pragma once

#include <string>
#include <string_view>

// For a URL query: every byte outside A-Z a-z 0-9 - . _ ~ as %XX.
std::string percentEncode(std::string_view text);

// For HTML text and attribute values: & < > " and ' as character references.
std::string escapeHtml(std::string_view text);

// For a single-quoted JavaScript string: backslash, quotes and control bytes.
std::string escapeJsString(std::string_view text);
