// Standard input and output as text streams.
//
// A CGI response must reach the web server with every line feed written as
// carriage return plus line feed, and a request body must reach the program
// with every carriage return removed and with the first 0x1A ending it. Linux
// streams translate nothing, so these functions do it, block by block.
//
// Output is buffered until flushTextOutput(); serveRequests() flushes at the
// end of each request. A failed write (the client went away) is ignored: the
// rest of the response is discarded and the request runs on to its end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The byte channels under the text streams: descriptors 0 and 1 for a CGI
// request, the request's own streams in a FastCGI worker.
struct RawStreams {
  // Reads up to `capacity` bytes; 0 at the end of the input or on an error.
  std::size_t (*read)(char* buffer, std::size_t capacity);
  // Writes all `length` bytes; false when they could not all be written.
  bool (*write)(const char* bytes, std::size_t length);
};

// Descriptors 0 and 1, what the text streams use until told otherwise.
RawStreams standardDescriptors();

// Starts the text streams of a new request on `raw`: the input has not ended,
// nothing is buffered and no write has failed.
void beginTextStreams(const RawStreams& raw);

// Fills `buffer` with the next bytes of standard input as a text stream and
// returns how many; 0 means end of input (end of file, a read error, or 0x1A).
// Returns 0 for ever after the end, until the next beginTextStreams().
std::size_t readTextInput(char* buffer, std::size_t capacity);

// How many raw bytes this request has read from its input.
std::size_t rawInputBytes();

// Writes bytes to standard output, each line feed as carriage return plus line feed.
void writeText(const char* bytes, std::size_t length);
void writeText(std::string_view text);

// A string as a "%s" conversion sees it: up to its first zero byte.
std::string_view upToZeroByte(std::string_view text);

// Writes a C string the way a "%s" conversion does; a null pointer is "(null)".
void writeCString(const char* text);

// Writes an integer the way a "%d" conversion does.
void writeDecimal(long long value);

// Hands everything buffered to the output channel.
void flushTextOutput();

// Forgets the buffered output that has not been handed on yet, for a request
// that must end without an answer.
void discardTextOutput();
