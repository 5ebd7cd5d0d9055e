// Records taken from the bytes a connection received: each record once whole,
// through one dispatcher over the record types.
#include <cstring>

#include "platform/fastcgi_worker.h"

namespace fastcgi {

namespace {

// Appends a record to the connection's output; false when it cannot take it.
bool queue(Connection& c, unsigned type, unsigned requestId, std::string_view content) {
  std::string record;
  appendRecord(record, type, requestId, content);
  return appendToSpool(c.output, record);
}

bool queueEndRequest(Connection& c, unsigned requestId, int appStatus, ProtocolStatus status) {
  std::string record;
  appendEndRequest(record, requestId, appStatus, status);
  return appendToSpool(c.output, record);
}

bool answerManagementRecord(const Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.type != kGetValues) {
    const char body[8] = {static_cast<char>(header.type)};
    return queue(c, kUnknownType, 0, std::string_view(body, sizeof body));
  }
  std::string result;
  return appendGetValuesResult(result, content, w.connectionLimit) && appendToSpool(c.output, result);
}

bool isRequestInProgress(const Connection& c, const RecordHeader& header) {
  return c.phase != Phase::waiting && header.requestId == c.requestId;
}

// A request that ends without its program: refused, or aborted before its
// parameters ended. Its end goes out, then the connection settles.
bool endWithoutAnswer(Connection& c, unsigned requestId, ProtocolStatus status, bool keep) {
  c.requestId = requestId;
  c.keep = keep;
  c.phase = Phase::sending;
  return queueEndRequest(c, requestId, 0, status);
}

bool takeBeginRequest(Connection& c, const RecordHeader& header, std::string_view body) {
  if (body.size() != 8) return false;
  if (c.phase != Phase::waiting) {
    // A connection carries one request at a time.
    return header.requestId != c.requestId && queueEndRequest(c, header.requestId, 0, kCantMultiplex);
  }
  const unsigned role = static_cast<unsigned char>(body[0]) << 8 | static_cast<unsigned char>(body[1]);
  const bool keep = (static_cast<unsigned char>(body[2]) & kKeepConnection) != 0;
  if (role != kResponder) return endWithoutAnswer(c, header.requestId, kUnknownRole, keep);
  c.phase = Phase::params;
  c.requestId = header.requestId;
  c.keep = keep;
  c.aborted = c.wroteErrors = false;
  return true;
}

bool takeAbortRequest(Connection& c) {
  if (c.phase == Phase::params) return endWithoutAnswer(c, c.requestId, kRequestComplete, c.keep);
  // Its input ends here: the program runs (a visit is still counted) and its answer is dropped.
  c.aborted = true;
  c.phase = Phase::ready;
  return true;
}

// The pairs are checked once they are complete, and split when the program runs (see answer()).
bool takeParams(Connection& c, std::string_view content) {
  if (c.phase != Phase::params) return false;
  if (content.empty()) {
    c.phase = Phase::input;
    return forEachPair(c.params, [](std::string_view, std::string_view) {});
  }
  if (content.size() > kMaxParamsBytes - c.params.size()) return false;
  c.params.append(content);
  return true;
}

// Input beyond the disk budget is refused like any other breach.
bool takeStdin(Connection& c, std::string_view content) {
  if (c.phase != Phase::input) return false;
  if (content.empty()) {
    c.phase = Phase::ready;
    return true;
  }
  return appendToSpool(c.input, content);
}

// Handles one record; false when it breaks the protocol.
bool takeRecord(const Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.version != kVersion) return false;
  if (header.requestId == 0) return answerManagementRecord(w, c, header, content);
  if (header.type == kBeginRequest) return takeBeginRequest(c, header, content);
  // Records of requests that are not in progress are skipped.
  if (!isRequestInProgress(c, header)) return true;
  switch (header.type) {
    case kAbortRequest: return takeAbortRequest(c);
    case kParams: return takeParams(c, content);
    case kStdin: return takeStdin(c, content);
    default: return false;
  }
}

// A connection that breaks the protocol is closed without an answer, once
// what it was answered before (management records) has gone out.
void breakOff(Worker& w, Connection& c) {
  c.pending.clear();
  if (spoolIsSent(c.output)) {
    closeConnection(w, c);
    return;
  }
  c.keep = false;
  c.phase = Phase::sending;
}

bool takesRecords(const Connection& c) {
  return isOpen(c) && (c.phase == Phase::waiting || c.phase == Phase::params || c.phase == Phase::input);
}

}  // namespace

std::size_t restorePending(Worker& w, Connection& c) {
  const std::size_t length = c.pending.size();
  if (length > 0) std::memcpy(w.received, c.pending.data(), length);
  c.pending.clear();
  return length;
}

void takeReceived(Worker& w, Connection& c, std::size_t length) {
  std::size_t at = 0;
  while (takesRecords(c) && length - at >= kHeaderLength) {
    const RecordHeader header = readHeader(&w.received[at]);
    if (length - at < header.recordLength()) break;
    const std::string_view content(reinterpret_cast<const char*>(&w.received[at + kHeaderLength]),
                                   header.contentLength);
    at += header.recordLength();
    if (!takeRecord(w, c, header, content)) {
      breakOff(w, c);
      return;
    }
  }
  if (isOpen(c)) c.pending.assign(reinterpret_cast<const char*>(&w.received[at]), length - at);
  // A kept connection's idle room goes back; a cut record keeps what it needs.
  if (c.pending.empty() && c.pending.capacity() > kMaxRecordLength) freeString(c.pending);
}

void takePending(Worker& w, Connection& c) { takeReceived(w, c, restorePending(w, c)); }

void settle(Worker& w, Connection& c) {
  forgetRequest(w, c);
  if (!c.keep) {
    closeConnection(w, c);
    return;
  }
  c.phase = Phase::waiting;
  c.requestId = 0;
  c.lastUse = ++w.uses;
  // An idle kept connection has no deadline; what already came of its next request starts one.
  c.deadline = c.pending.empty() ? kNever : w.clock() + kStallMilliseconds;
  takePending(w, c);
}

}  // namespace fastcgi
