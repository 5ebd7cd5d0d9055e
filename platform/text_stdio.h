// Standard input and output as text streams.
//
// A CGI response must reach the web server with every line feed written as
// carriage return plus line feed, and a request body must reach the program
// with every carriage return removed and with the first 0x1A ending it. Linux
// streams translate nothing, so these functions do it, block by block.
//
// Output is buffered and flushed when the program ends by returning from main
// (or calling exit). A failed write (the client went away) is ignored: the
// rest of the response is discarded and the program runs on to its end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Fills `buffer` with the next bytes of standard input as a text stream and
// returns how many; 0 means end of input (end of file, a read error, or 0x1A).
// Returns 0 for ever after the end.
std::size_t readTextInput(char* buffer, std::size_t capacity);

// Forgets that standard input has ended, for a process that has given file
// descriptor 0 a new input (a test or fuzz driver; programs never do).
void restartTextInput();

// Writes bytes to standard output, each line feed as carriage return plus line feed.
void writeText(const char* bytes, std::size_t length);
void writeText(std::string_view text);

// Writes a string the way a "%s" conversion does: up to its first zero byte.
void writeUpToZeroByte(const std::string& text);

// Writes a C string the way a "%s" conversion does; a null pointer is "(null)".
void writeCString(const char* text);

// Writes an integer the way a "%d" conversion does.
void writeDecimal(long long value);

// Hands everything buffered to standard output. Runs by itself at exit.
void flushTextOutput();
