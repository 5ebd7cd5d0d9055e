// The FastCGI record format: the 8-byte header, the name-value pairs of
// FCGI_PARAMS and FCGI_GET_VALUES, and the records a responder sends.
// Every length is checked against the bytes it sits in before it is used.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fastcgi {

enum RecordType : unsigned char {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

enum ProtocolStatus : unsigned char { kRequestComplete = 0, kCantMultiplex = 1, kUnknownRole = 3 };

constexpr unsigned kVersion = 1;
constexpr unsigned kResponder = 1;
constexpr unsigned kKeepConnection = 1;  // the FCGI_BEGIN_REQUEST flag
constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kMaxContentLength = 0xFFFF;
constexpr std::size_t kMaxPaddingLength = 0xFF;
constexpr std::size_t kMaxRecordLength = kHeaderLength + kMaxContentLength + kMaxPaddingLength;

struct RecordHeader {
  unsigned version;
  unsigned type;
  unsigned requestId;  // 0 for management records
  std::size_t contentLength;
  std::size_t paddingLength;

  std::size_t recordLength() const { return kHeaderLength + contentLength + paddingLength; }
};

// Reads a header from kHeaderLength bytes.
RecordHeader readHeader(const unsigned char* bytes);

// Splits a stream of name-value pairs, each length in 1 byte (below 128) or
// 4 bytes (high bit set), and hands each pair to take(name, value). Returns
// false, having handed over only the pairs before it, at a pair whose lengths
// or bytes run past the end of the stream.
template <typename Take>
bool forEachPair(std::string_view stream, Take take);

// Appends one record of `type` for `requestId`, without padding; `content`
// is at most kMaxContentLength bytes.
void appendRecord(std::string& out, unsigned type, unsigned requestId, std::string_view content);

// Appends one name-value pair to a stream of them (the client's side of
// FCGI_PARAMS), each length in the shortest of the two forms.
void appendPair(std::string& out, std::string_view name, std::string_view value);

// Appends an FCGI_END_REQUEST record.
void appendEndRequest(std::string& out, unsigned requestId, int appStatus, ProtocolStatus status);

// The answer to an FCGI_GET_VALUES record: the values of the variables it
// names that this responder knows, each once; false for malformed pairs.
bool appendGetValuesResult(std::string& out, std::string_view names, std::size_t maxConnections);

// ---- implementation of the template

namespace detail {
// Reads one length at `at`, advancing it; false when it runs past the end.
bool readPairLength(std::string_view stream, std::size_t& at, std::size_t& length);
}  // namespace detail

template <typename Take>
bool forEachPair(std::string_view stream, Take take) {
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t nameLength = 0;
    std::size_t valueLength = 0;
    if (!detail::readPairLength(stream, at, nameLength) || !detail::readPairLength(stream, at, valueLength)) {
      return false;
    }
    // Each length is below 2^31 and the stream is in memory: the sum cannot wrap.
    if (nameLength + valueLength > stream.size() - at) return false;
    take(stream.substr(at, nameLength), stream.substr(at + nameLength, valueLength));
    at += nameLength + valueLength;
  }
  return true;
}

}  // namespace fastcgi
