// A plain statement of how a worker answers one connection, given every byte
// the peer sends before it ends its side: records taken one after another,
// kept apart from the real responder (platform/fastcgi_*.cpp, which must
// change with it) so that the fuzzer can compare the two.
// The program behind it reads all its input, then lists its variables and
// that input, and returns the number of variables as its status.
#pragma once

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

struct ReferenceRecord {
  unsigned type, id;
  std::string content;
  bool operator==(const ReferenceRecord& other) const {
    return std::tie(type, id, content) == std::tie(other.type, other.id, other.content);
  }
};

inline std::size_t referenceByte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

inline bool referencePairs(const std::string& bytes, std::vector<std::pair<std::string, std::string>>& pairs) {
  std::size_t at = 0;
  auto length = [&](std::size_t& n) {
    if (at < bytes.size() && referenceByte(bytes, at) < 128) return n = referenceByte(bytes, at++), true;
    if (bytes.size() < 4 || at > bytes.size() - 4) return false;
    n = (referenceByte(bytes, at) & 0x7F) << 24 | referenceByte(bytes, at + 1) << 16 |
        referenceByte(bytes, at + 2) << 8 | referenceByte(bytes, at + 3);
    return at += 4, true;
  };
  while (at < bytes.size()) {
    std::size_t name = 0, value = 0;
    if (!length(name) || !length(value) || name + value > bytes.size() - at) return false;
    pairs.emplace_back(bytes.substr(at, name), bytes.substr(at + name, value));
    at += name + value;
  }
  return true;
}

inline std::string referenceListing(const std::vector<std::pair<std::string, std::string>>& pairs,
                                    const std::string& input) {
  std::string text;
  for (const auto& [name, value] : pairs) {
    const std::string entry = name + "=" + value;
    text += entry.substr(0, entry.find('\0')) + "\n";  // a C string ends at its first zero byte
  }
  text += "--\n";
  // The text ends at the first 0x1A; carriage returns are dropped, line feeds
  // sent as CR LF. Runs between those bytes are copied whole: the fuzzer
  // measures every comparison of a loop over single bytes.
  const std::string body = input.substr(0, input.find('\x1A'));
  for (std::size_t at = 0, cr; at < body.size(); at = cr + 1) {
    cr = std::min(body.find('\r', at), body.size());
    text.append(body, at, cr - at);
  }
  std::string out;
  for (std::size_t at = 0, lf; at < text.size(); at = lf + 1) {
    lf = std::min(text.find('\n', at), text.size());
    out.append(text, at, lf - at);
    if (lf < text.size()) out += "\r\n";
  }
  return out;
}

inline ReferenceRecord referenceEnd(unsigned id, std::size_t appStatus, char protocolStatus) {
  const std::string body{static_cast<char>(appStatus >> 24),
                         static_cast<char>(appStatus >> 16),
                         static_cast<char>(appStatus >> 8),
                         static_cast<char>(appStatus),
                         protocolStatus,
                         0,
                         0,
                         0};
  return {3, id, body};
}

inline std::vector<ReferenceRecord> referenceAnswers(const std::string& stream, const std::string& limit) {
  std::vector<ReferenceRecord> out;
  enum { waiting, params, input } phase = waiting;
  unsigned id = 0;
  bool keep = false;
  std::string paramBytes, inputBytes;
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t at = 0; stream.size() - at >= 8;) {
    const unsigned type = referenceByte(stream, at + 1);
    const auto rid = static_cast<unsigned>(referenceByte(stream, at + 2) << 8 | referenceByte(stream, at + 3));
    const std::size_t length = referenceByte(stream, at + 4) << 8 | referenceByte(stream, at + 5);
    const std::size_t end = at + 8 + length + referenceByte(stream, at + 6);
    if (end > stream.size()) break;
    const std::string content = stream.substr(at + 8, length);
    const bool version1 = referenceByte(stream, at) == 1;
    at = end;
    if (!version1) return out;
    if (rid == 0 && type == 9) {
      std::vector<std::pair<std::string, std::string>> asked;
      if (!referencePairs(content, asked)) return out;
      std::string values;
      for (const std::string name : {"FCGI_MAX_CONNS", "FCGI_MAX_REQS", "FCGI_MPXS_CONNS"}) {
        const std::string value = name == "FCGI_MPXS_CONNS" ? "0" : limit;
        for (const auto& entry : asked) {
          if (entry.first == name) {
            values += std::string{static_cast<char>(name.size()), static_cast<char>(value.size())} + name + value;
            break;
          }
        }
      }
      out.push_back({10, 0, values});
      continue;
    }
    if (rid == 0) {
      out.push_back({11, 0, std::string{static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0}});
      continue;
    }
    if (phase == waiting) {
      if (type != 1) continue;
      if (length != 8) return out;
      keep = (content[2] & 1) != 0;
      if (content[0] != 0 || content[1] != 1) {
        out.push_back(referenceEnd(rid, 0, 3));
        if (!keep) return out;
        continue;
      }
      phase = params, id = rid, paramBytes.clear(), inputBytes.clear(), entries.clear();
      continue;
    }
    if (type == 1) {
      if (rid == id || length != 8) return out;
      out.push_back(referenceEnd(rid, 0, 1));
      continue;
    }
    if (rid != id) continue;
    if (phase == params && type == 2) {
      out.push_back(referenceEnd(id, 0, 0));
      if (!keep) return out;
      phase = waiting;
      continue;
    }
    if (phase == params) {
      if (type != 4 || paramBytes.size() + length > (std::size_t{1} << 20)) return out;
      paramBytes += content;
      if (length == 0 && !referencePairs(paramBytes, entries)) return out;
      if (length == 0) phase = input;
      continue;
    }
    // The input of a request in progress: the program runs once it has
    // ended, or once an abort ended it, which drops its answer.
    if (type != 5 && type != 2) return out;
    if (type == 5 && length > 0) {
      inputBytes += content;
      continue;
    }
    if (type == 5) {
      out.push_back({6, id, referenceListing(entries, inputBytes)});
      out.push_back({6, id, ""});
    }
    out.push_back(referenceEnd(id, entries.size(), 0));
    if (!keep) return out;
    phase = waiting;
  }
  return out;
}
