#include "platform/fastcgi_records.h"

#include <initializer_list>

namespace fastcgi {

namespace {

void appendHeader(std::string& out, unsigned type, unsigned requestId, std::size_t contentLength) {
  const char header[kHeaderLength] = {static_cast<char>(kVersion),
                                      static_cast<char>(type),
                                      static_cast<char>(requestId >> 8),
                                      static_cast<char>(requestId & 0xFF),
                                      static_cast<char>(contentLength >> 8),
                                      static_cast<char>(contentLength & 0xFF),
                                      0,
                                      0};
  out.append(header, kHeaderLength);
}

// The names are short: one-byte lengths.
void appendShortPair(std::string& out, std::string_view name, std::string_view value) {
  out += static_cast<char>(name.size());
  out += static_cast<char>(value.size());
  out.append(name);
  out.append(value);
}

}  // namespace

RecordHeader readHeader(const unsigned char* bytes) {
  return RecordHeader{bytes[0], bytes[1], static_cast<unsigned>(bytes[2] << 8 | bytes[3]),
                      static_cast<std::size_t>(bytes[4] << 8 | bytes[5]), bytes[6]};
}

bool detail::readPairLength(std::string_view stream, std::size_t& at, std::size_t& length) {
  if (at >= stream.size()) return false;
  const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(stream[i])); };
  if ((byte(at) & 0x80) == 0) {
    length = byte(at++);
    return true;
  }
  if (stream.size() - at < 4) return false;
  length = (byte(at) & 0x7F) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
  at += 4;
  return true;
}

void appendRecord(std::string& out, unsigned type, unsigned requestId, std::string_view content) {
  appendHeader(out, type, requestId, content.size());
  out.append(content);
}

void appendPair(std::string& out, std::string_view name, std::string_view value) {
  for (const std::size_t length : {name.size(), value.size()}) {
    if (length < 0x80) {
      out += static_cast<char>(length);
    } else {
      out += static_cast<char>(length >> 24 | 0x80);
      out += static_cast<char>(length >> 16 & 0xFF);
      out += static_cast<char>(length >> 8 & 0xFF);
      out += static_cast<char>(length & 0xFF);
    }
  }
  out.append(name);
  out.append(value);
}

void appendEndRequest(std::string& out, unsigned requestId, int appStatus, ProtocolStatus status) {
  const auto app = static_cast<unsigned>(appStatus);
  const char body[8] = {static_cast<char>(app >> 24),
                        static_cast<char>(app >> 16),
                        static_cast<char>(app >> 8),
                        static_cast<char>(app),
                        static_cast<char>(status),
                        0,
                        0,
                        0};
  appendRecord(out, kEndRequest, requestId, std::string_view(body, sizeof body));
}

bool appendGetValuesResult(std::string& out, std::string_view names, std::size_t maxConnections) {
  // One connection serves one request at a time, so requests and connections
  // have the same limit, and connections are never multiplexed.
  const std::string limit = std::to_string(maxConnections);
  const struct {
    std::string_view name;
    std::string_view value;
  } known[] = {{"FCGI_MAX_CONNS", limit}, {"FCGI_MAX_REQS", limit}, {"FCGI_MPXS_CONNS", "0"}};
  bool asked[3] = {};
  const bool wellFormed = forEachPair(names, [&](std::string_view name, std::string_view) {
    for (std::size_t i = 0; i < 3; ++i) asked[i] = asked[i] || name == known[i].name;
  });
  if (!wellFormed) return false;
  std::string pairs;
  for (std::size_t i = 0; i < 3; ++i) {
    if (asked[i]) appendShortPair(pairs, known[i].name, known[i].value);
  }
  appendRecord(out, kGetValuesResult, 0, pairs);
  return true;
}

}  // namespace fastcgi
