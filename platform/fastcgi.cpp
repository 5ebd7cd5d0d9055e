// The FastCGI responder: one worker process, one request answered at a time,
// any number of connections (up to a limit) read while it waits.
//
// A connection moves through these phases:
//   waiting   no request in progress; the next FCGI_BEGIN_REQUEST may come
//   params    a request began and its parameters arrive
//   ready     its parameters are complete: it waits for its turn, or is being answered
//   draining  answered, its input not yet ended: the rest is read and dropped
// The worker polls the listening socket and every connection that waits on
// its peer, so that no connection, however slow or silent, holds it; it
// answers the ready requests in turn. A connection that breaks the protocol
// is closed without an answer. Every wait on a peer ends at the connection's
// deadline, kStallMilliseconds after the first byte of its request (or after
// it was accepted).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/call_time_limit.h"
#include "platform/environment.h"
#include "platform/fastcgi_records.h"
#include "platform/serving.h"
#include "platform/text_stdio.h"

namespace {

using fastcgi::RecordHeader;

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};
// How long a connection may take to send a request and take its answer.
constexpr long long kStallMilliseconds = 30'000;
// The parameters of one request: a server sends a few KiB; more is no request of ours.
constexpr std::size_t kMaxParamsBytes = std::size_t{1} << 20;
// Connections one worker holds at once, kept ones included; at the limit the
// oldest idle one makes room for a new one.
constexpr std::size_t kMaxConnections = 32;
// Descriptors kept free for the program's own files while connections fill the rest.
constexpr rlim_t kReservedDescriptors = 16;
// How long accepting rests when descriptors or memory have run out.
constexpr long long kAcceptPauseMilliseconds = 250;
// Answer bytes gathered before they are sent: a small answer leaves in one write with its end.
constexpr std::size_t kSendThreshold = std::size_t{1} << 16;
constexpr long long kNever = LLONG_MAX;

enum class Phase { waiting, params, ready, draining };

struct Connection {
  int descriptor = -1;
  Phase phase = Phase::waiting;
  long long deadline = kNever;
  unsigned long long lastUse = 0;  // when it was accepted or last answered, for closing the oldest first
  // Received bytes not yet handled, [start, end). Records are handled once
  // whole; the buffer holds the largest one, so one always fits.
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t stdinTaken = 0;  // content of the FCGI_STDIN record at `start` already handed to the program
  // The request in progress.
  unsigned requestId = 0;
  bool keep = false;        // FCGI_KEEP_CONN: the server reuses the connection
  bool inputEnded = false;  // its empty FCGI_STDIN record came
  bool aborted = false;     // FCGI_ABORT_REQUEST: the answer is dropped
  bool broken = false;      // the protocol was broken or the peer is gone: no answer, the connection closes
  bool wroteErrors = false;
  std::string params;
  std::string out;  // records to send
};

struct Worker {
  int listener = -1;  // -1: one connection only, no accepting
  RequestHandler handler = nullptr;
  std::size_t connectionLimit = 1;
  Connection connections[kMaxConnections];
  std::size_t nextTurn = 0;
  unsigned long long uses = 0;
  long long acceptPausedUntil = 0;
  bool failed = false;
  // The request's variables as "NAME=value" entries.
  std::string environmentText;
  std::vector<char*> environment;
};

volatile sig_atomic_t stopRequested;
// A closed connection's buffer, for the next one: most connections carry one request.
unsigned char* spareBuffer;
// The connection whose request the program is answering, for its input and output.
Connection* answering;

void requestStop(int) { stopRequested = 1; }

// ---- receiving and sending

bool wholeRecordBuffered(const Connection& c) {
  if (c.end - c.start < fastcgi::kHeaderLength) return false;
  return c.end - c.start >= fastcgi::readHeader(&c.buffer[c.start]).recordLength();
}

RecordHeader bufferedHeader(const Connection& c) { return fastcgi::readHeader(&c.buffer[c.start]); }

std::string_view bufferedContent(const Connection& c, const RecordHeader& header) {
  return std::string_view(reinterpret_cast<const char*>(&c.buffer[c.start + fastcgi::kHeaderLength]),
                          header.contentLength);
}

void consumeRecord(Connection& c, const RecordHeader& header) {
  c.start += header.recordLength();
  c.stdinTaken = 0;
  if (c.start == c.end) c.start = c.end = 0;
}

enum class Received { some, nothing, ended };

// Reads what has arrived, without waiting. Bytes arriving on a connection
// without a deadline start one: they are the first of a request.
Received receive(Connection& c) {
  // Room for the largest record, and small enough to come from the heap rather than its own mapping.
  constexpr std::size_t kBufferLength = 66 * 1024;
  static_assert(kBufferLength >= fastcgi::kMaxRecordLength, "a whole record must fit");
  if (!c.buffer)
    c.buffer.reset(spareBuffer != nullptr ? std::exchange(spareBuffer, nullptr) : new unsigned char[kBufferLength]);
  if (c.start > 0) {
    std::memmove(&c.buffer[0], &c.buffer[c.start], c.end - c.start);
    c.end -= c.start;
    c.start = 0;
  }
  for (;;) {
    const ssize_t got = ::read(c.descriptor, &c.buffer[c.end], kBufferLength - c.end);
    if (got > 0) {
      c.end += static_cast<std::size_t>(got);
      if (c.deadline == kNever) c.deadline = monotonicMilliseconds() + kStallMilliseconds;
      return Received::some;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Received::nothing : Received::ended;
  }
}

// Waits until the connection is ready for `events`; false at its deadline.
// Stop signals stay held: a request in progress is finished first.
bool waitOnPeer(const Connection& c, short events) {
  for (;;) {
    const long long left = c.deadline - monotonicMilliseconds();
    if (left <= 0) return false;
    pollfd wanted{c.descriptor, events, 0};
    const int ready = ::poll(&wanted, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// Sends the queued records; false when the peer is gone or stalls past the deadline.
bool sendQueued(Connection& c) {
  std::size_t sent = 0;
  bool delivered = true;
  while (sent < c.out.size()) {
    const ssize_t written = ::send(c.descriptor, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitOnPeer(c, POLLOUT)) continue;
    delivered = false;
    break;
  }
  c.out.clear();
  return delivered;
}

void closeConnection(Connection& c) {
  ::close(c.descriptor);
  if (spareBuffer == nullptr) spareBuffer = c.buffer.release();
  c = Connection{};
}

// ---- records outside the program's input

bool answerManagementRecord(const Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.type == fastcgi::kGetValues) {
    if (!fastcgi::appendGetValuesResult(c.out, content, w.connectionLimit)) return false;
  } else {
    const char body[8] = {static_cast<char>(header.type)};
    fastcgi::appendRecord(c.out, fastcgi::kUnknownType, 0, std::string_view(body, sizeof body));
  }
  return sendQueued(c);
}

// A connection carries one request at a time.
bool refuseSecondRequest(Connection& c, const RecordHeader& header) {
  if (header.requestId == c.requestId || header.contentLength != 8) return false;
  fastcgi::appendEndRequest(c.out, header.requestId, 0, fastcgi::kCantMultiplex);
  return sendQueued(c);
}

// After a request: a kept connection waits for the next one (with no
// deadline while nothing of it has come), any other closes.
void settle(Worker& w, Connection& c) {
  if (c.broken || !c.keep) {
    closeConnection(c);
    return;
  }
  c.phase = Phase::waiting;
  c.requestId = 0;
  c.params.clear();
  if (c.params.capacity() > kSendThreshold) c.params.shrink_to_fit();
  if (c.out.capacity() > 4 * kSendThreshold) c.out.shrink_to_fit();
  // An idle kept connection has no deadline (see takeRecords).
  c.deadline = kNever;
  c.lastUse = ++w.uses;
}

// A request that ends without the program: refused, or aborted before its parameters ended.
bool endWithoutAnswer(Worker& w, Connection& c, unsigned requestId, fastcgi::ProtocolStatus status, bool keep) {
  fastcgi::appendEndRequest(c.out, requestId, 0, status);
  c.keep = keep;
  if (!sendQueued(c)) c.broken = true;
  settle(w, c);
  return true;
}

bool beginRequest(Worker& w, Connection& c, const RecordHeader& header, std::string_view body) {
  if (body.size() != 8) return false;
  const unsigned role = static_cast<unsigned char>(body[0]) << 8 | static_cast<unsigned char>(body[1]);
  const bool keep = (static_cast<unsigned char>(body[2]) & fastcgi::kKeepConnection) != 0;
  if (role != fastcgi::kResponder) return endWithoutAnswer(w, c, header.requestId, fastcgi::kUnknownRole, keep);
  c.phase = Phase::params;
  c.requestId = header.requestId;
  c.keep = keep;
  c.inputEnded = c.aborted = c.broken = c.wroteErrors = false;
  return true;
}

// The pairs are split, and checked, when the request's turn comes (see answer()).
bool endParams(Connection& c) {
  c.phase = Phase::ready;
  return true;
}

bool takeParamsRecord(Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.type == fastcgi::kBeginRequest) return refuseSecondRequest(c, header);
  if (header.requestId != c.requestId) return true;  // a refused request's records
  if (header.type == fastcgi::kAbortRequest) {
    return endWithoutAnswer(w, c, c.requestId, fastcgi::kRequestComplete, c.keep);
  }
  if (header.type != fastcgi::kParams) return false;
  if (content.empty()) return endParams(c);
  if (content.size() > kMaxParamsBytes - c.params.size()) return false;
  c.params.append(content);
  return true;
}

// What still comes of an answered request's input is dropped; a kept
// connection may also go on with its next request.
bool takeLeftoverRecord(Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.type == fastcgi::kBeginRequest && c.keep) {
    settle(w, c);
    return beginRequest(w, c, header, content);
  }
  if (header.requestId != c.requestId) return true;
  if (header.type != fastcgi::kStdin && header.type != fastcgi::kAbortRequest) return false;
  if (header.type == fastcgi::kAbortRequest || content.empty()) settle(w, c);
  return true;
}

// Handles one record of a connection whose request is not being answered; false when it breaks the protocol.
bool takeRecord(Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.version != fastcgi::kVersion) return false;
  if (header.requestId == 0) return answerManagementRecord(w, c, header, content);
  switch (c.phase) {
    case Phase::waiting:
      // Records of requests that are not in progress are skipped.
      return header.type != fastcgi::kBeginRequest || beginRequest(w, c, header, content);
    case Phase::params: return takeParamsRecord(w, c, header, content);
    case Phase::draining: return takeLeftoverRecord(w, c, header, content);
    case Phase::ready: break;
  }
  return false;
}

// Handles the records that have arrived, until a request is ready to answer.
void takeRecords(Worker& w, Connection& c) {
  while (c.descriptor >= 0 && c.phase != Phase::ready && wholeRecordBuffered(c)) {
    const RecordHeader header = bufferedHeader(c);
    const std::string_view content = bufferedContent(c, header);
    // The record stays in the buffer while it is handled: settle() may close the connection.
    const std::size_t next = c.start + header.recordLength();
    if (!takeRecord(w, c, header, content)) {
      closeConnection(c);
      return;
    }
    if (c.descriptor < 0) return;
    c.start = next;
    if (c.start == c.end) c.start = c.end = 0;
  }
  // What already came of the next request on a kept connection starts its deadline.
  if (c.descriptor >= 0 && c.deadline == kNever && c.start != c.end) {
    c.deadline = monotonicMilliseconds() + kStallMilliseconds;
  }
}

// ---- the program's input and output

// A record that arrives while the program reads its input.
bool takeRecordWhileAnswering(const Worker& w, Connection& c, const RecordHeader& header, std::string_view content) {
  if (header.version != fastcgi::kVersion) return false;
  if (header.requestId == 0) return answerManagementRecord(w, c, header, content);
  if (header.type == fastcgi::kBeginRequest) return refuseSecondRequest(c, header);
  if (header.requestId != c.requestId) return true;
  if (header.type != fastcgi::kAbortRequest) return false;
  c.aborted = c.inputEnded = true;
  return true;
}

const Worker* answeringWorker;

std::size_t readRequestInput(char* buffer, std::size_t capacity) {
  Connection& c = *answering;
  while (!c.inputEnded && !c.broken) {
    if (wholeRecordBuffered(c)) {
      const RecordHeader header = bufferedHeader(c);
      const std::string_view content = bufferedContent(c, header);
      if (header.version == fastcgi::kVersion && header.type == fastcgi::kStdin && header.requestId == c.requestId) {
        if (content.empty()) {
          c.inputEnded = true;
          consumeRecord(c, header);
          break;
        }
        const std::size_t take = std::min(capacity, content.size() - c.stdinTaken);
        std::memcpy(buffer, content.data() + c.stdinTaken, take);
        c.stdinTaken += take;
        if (c.stdinTaken == content.size()) consumeRecord(c, header);
        return take;
      }
      if (!takeRecordWhileAnswering(*answeringWorker, c, header, content)) c.broken = true;
      consumeRecord(c, header);
      continue;
    }
    const Received received = receive(c);
    if (received == Received::ended) c.broken = true;
    if (received == Received::nothing && !waitOnPeer(c, POLLIN)) {
      // A server that stops sending: the input ends there and the request is
      // answered, but the connection is not used again.
      c.inputEnded = true;
      c.keep = false;
    }
  }
  return 0;
}

bool writeRequestOutput(const char* bytes, std::size_t length) {
  Connection& c = *answering;
  if (c.broken || c.aborted) return false;
  for (std::size_t at = 0; at < length; at += fastcgi::kMaxContentLength) {
    fastcgi::appendRecord(c.out, fastcgi::kStdout, c.requestId,
                          std::string_view(bytes + at, std::min(length - at, fastcgi::kMaxContentLength)));
  }
  if (c.out.size() >= kSendThreshold && !sendQueued(c)) c.broken = true;
  return !c.broken;
}

// Reads what has already arrived of the answered request's input, without
// waiting: a request whose input has ended can leave at once.
void skipArrivedInput(Connection& c) {
  while (!c.inputEnded && !c.broken) {
    if (!wholeRecordBuffered(c)) {
      if (receive(c) != Received::some) return;
      continue;
    }
    const RecordHeader header = bufferedHeader(c);
    if (header.version != fastcgi::kVersion || header.type != fastcgi::kStdin || header.requestId != c.requestId) {
      return;
    }
    c.inputEnded = header.contentLength == 0;
    consumeRecord(c, header);
  }
}

void finishAnswer(Connection& c, int status) {
  flushTextOutput();
  if (c.broken) return;
  if (!c.aborted) fastcgi::appendRecord(c.out, fastcgi::kStdout, c.requestId, "");
  if (c.wroteErrors) fastcgi::appendRecord(c.out, fastcgi::kStderr, c.requestId, "");
  fastcgi::appendEndRequest(c.out, c.requestId, status, fastcgi::kRequestComplete);
  if (!sendQueued(c)) c.broken = true;
}

// Makes the request's parameters its variables, as "NAME=value" entries;
// false, for a request without an answer, when a pair runs past the stream.
bool useParamsAsEnvironment(Worker& w, const std::string& params) {
  // The two lengths of a pair take at least two bytes, as many as its "=" and
  // its zero byte: the entries never take more room than the stream.
  w.environmentText.resize(params.size());
  w.environment.clear();
  char* out = w.environmentText.data();
  const bool wellFormed = fastcgi::forEachPair(params, [&](std::string_view name, std::string_view value) {
    w.environment.push_back(out);
    out = std::copy(name.begin(), name.end(), out);
    *out++ = '=';
    out = std::copy(value.begin(), value.end(), out);
    *out++ = '\0';
  });
  w.environment.push_back(nullptr);
  if (wellFormed) useRequestEnvironment(w.environment.data());
  return wellFormed;
}

void forgetEnvironment(Worker& w) {
  useRequestEnvironment(nullptr);
  if (w.environmentText.capacity() > kSendThreshold) w.environmentText = std::string();
}

void answer(Worker& w, Connection& c) {
  if (!useParamsAsEnvironment(w, c.params)) {
    closeConnection(c);
    return;
  }
  answering = &c;
  answeringWorker = &w;
  beginTextStreams(RawStreams{readRequestInput, writeRequestOutput});
  finishAnswer(c, answerGuarded(w.handler));
  forgetEnvironment(w);
  answering = nullptr;
  skipArrivedInput(c);
  if (c.inputEnded || c.broken) {
    settle(w, c);
  } else {
    c.phase = Phase::draining;
    c.lastUse = ++w.uses;
  }
  // What already arrived behind the request, such as the next one on a kept connection.
  takeRecords(w, c);
  releaseRequest();
}

// ---- connections

std::size_t connectionLimit() {
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) return kMaxConnections;
  if (descriptors.rlim_cur <= kReservedDescriptors + 1) return 1;
  return std::min<std::size_t>(kMaxConnections, descriptors.rlim_cur - kReservedDescriptors);
}

std::size_t openConnections(const Worker& w) {
  return static_cast<std::size_t>(std::count_if(std::begin(w.connections), std::end(w.connections),
                                                [](const Connection& c) { return c.descriptor >= 0; }));
}

// Makes room for one more connection: the oldest idle one goes first, else
// the oldest that waits on its peer. Ready requests are never dropped.
bool makeRoom(Worker& w) {
  if (openConnections(w) < w.connectionLimit) return true;
  Connection* oldest = nullptr;
  bool oldestIdle = false;
  for (Connection& c : w.connections) {
    if (c.descriptor < 0 || c.phase == Phase::ready) continue;
    const bool idle = c.phase == Phase::waiting && c.start == c.end;
    if (oldest == nullptr || (idle && !oldestIdle) || (idle == oldestIdle && c.lastUse < oldest->lastUse)) {
      oldest = &c;
      oldestIdle = idle;
    }
  }
  if (oldest == nullptr) return false;
  closeConnection(*oldest);
  return true;
}

void adopt(Worker& w, int descriptor) {
  for (Connection& c : w.connections) {
    if (c.descriptor >= 0) continue;
    c.descriptor = descriptor;
    c.deadline = monotonicMilliseconds() + kStallMilliseconds;
    c.lastUse = ++w.uses;
    return;
  }
}

// Reads what the peer sent and handles its records; closes the connection at its end.
void readConnection(Worker& w, Connection& c) {
  const Received received = receive(c);
  if (received == Received::ended) {
    closeConnection(c);
  } else if (received == Received::some) {
    takeRecords(w, c);
  }
}

bool isPassingAcceptError(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT: return true;
    default: return false;
  }
}

void acceptConnection(Worker& w) {
  if (!makeRoom(w)) return;
  const int descriptor = ::accept4(w.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (descriptor >= 0) {
    adopt(w, descriptor);
    // The request usually comes with the connection: no need to poll first.
    for (Connection& c : w.connections) {
      if (c.descriptor == descriptor) readConnection(w, c);
    }
    return;
  }
  if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
    w.acceptPausedUntil = monotonicMilliseconds() + kAcceptPauseMilliseconds;
  } else if (!isPassingAcceptError(errno)) {
    w.failed = true;  // the listening socket itself is unusable
  }
}

bool waitsOnPeer(const Connection& c) { return c.descriptor >= 0 && c.phase != Phase::ready; }

void closeExpired(Worker& w, long long now) {
  for (Connection& c : w.connections) {
    if (waitsOnPeer(c) && c.deadline <= now) closeConnection(c);
  }
}

// Waits for the listening socket and the connections that wait on their
// peers, and handles what came; without waiting where `answerReady`. With
// `waitingMask`, the stop signals end the wait.
void waitAndRead(Worker& w, bool answerReady, const sigset_t* waitingMask) {
  pollfd wanted[kMaxConnections + 1];
  Connection* polled[kMaxConnections + 1];
  nfds_t count = 0;
  std::size_t open = 0;
  long long until = kNever;
  for (Connection& c : w.connections) {
    if (c.descriptor < 0) continue;
    ++open;
    if (c.phase == Phase::ready) continue;
    until = std::min(until, c.deadline);
    polled[count] = &c;
    wanted[count++] = pollfd{c.descriptor, POLLIN, 0};
  }
  // Where every place holds a request waiting for its turn, none can be made for another.
  const long long now = monotonicMilliseconds();
  if (w.listener >= 0 && (open < w.connectionLimit || count > 0)) {
    if (w.acceptPausedUntil > now) {
      until = std::min(until, w.acceptPausedUntil);
    } else {
      polled[count] = nullptr;
      wanted[count++] = pollfd{w.listener, POLLIN, 0};
    }
  }
  timespec timeout{0, 0};
  if (!answerReady && until != kNever) {
    const long long left = std::max(0LL, until - now);
    timeout = timespec{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1'000'000};
  }
  const bool forever = !answerReady && until == kNever;
  if (::ppoll(wanted, count, forever ? nullptr : &timeout, waitingMask) > 0) {
    for (nfds_t i = 0; i < count; ++i) {
      if (wanted[i].revents == 0) continue;
      if (polled[i] == nullptr) {
        acceptConnection(w);
      } else if (polled[i]->descriptor >= 0) {
        readConnection(w, *polled[i]);
      }
    }
  }
  if (until != kNever && monotonicMilliseconds() >= until) closeExpired(w, monotonicMilliseconds());
}

// Answers each request that is ready once, taking the connections in turn;
// returns whether one is ready again (a kept connection's next request came
// with its last one).
bool answerReadyRequests(Worker& w) {
  bool readyAgain = false;
  for (std::size_t i = 0; i < kMaxConnections; ++i) {
    Connection& c = w.connections[(w.nextTurn + i) % kMaxConnections];
    if (c.descriptor < 0 || c.phase != Phase::ready) continue;
    answer(w, c);
    readyAgain = readyAgain || (c.descriptor >= 0 && c.phase == Phase::ready);
  }
  w.nextTurn = (w.nextTurn + 1) % kMaxConnections;
  return readyAgain;
}

int runWorker(Worker& w, const sigset_t* waitingMask) {
  bool readyAgain = false;
  while (stopRequested == 0 && !w.failed && (w.listener >= 0 || openConnections(w) > 0)) {
    waitAndRead(w, readyAgain, waitingMask);
    if (stopRequested != 0) break;
    readyAgain = answerReadyRequests(w);
  }
  for (Connection& c : w.connections) {
    if (c.descriptor >= 0) closeConnection(c);
  }
  return w.failed ? 1 : 0;
}

// The stop signals are held while a request is answered and let through only
// while the worker waits: a request is always finished, a waiting worker
// stops at once. Returns the signal mask for waiting.
sigset_t holdStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : kStopSignals) sigaddset(&stops, signal);
  struct sigaction action {};
  action.sa_handler = requestStop;
  action.sa_mask = stops;
  for (const int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
  sigset_t waiting;
  ::sigprocmask(SIG_BLOCK, &stops, &waiting);
  for (const int signal : kStopSignals) sigdelset(&waiting, signal);
  return waiting;
}

}  // namespace

int serveFastCgi(int listener, RequestHandler handler) {
  const sigset_t waitingMask = holdStopSignals();
  // Workers share the listening socket: when another one takes the connection
  // that woke this one, accepting must come back rather than block.
  ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
  auto worker = std::make_unique<Worker>();
  worker->listener = listener;
  worker->handler = handler;
  worker->connectionLimit = connectionLimit();
  return runWorker(*worker, &waitingMask);
}

void serveFastCgiConnection(int connection, RequestHandler handler) {
  ::fcntl(connection, F_SETFL, ::fcntl(connection, F_GETFL) | O_NONBLOCK);
  auto worker = std::make_unique<Worker>();
  worker->handler = handler;
  adopt(*worker, connection);
  runWorker(*worker, nullptr);
}

bool sendToRequestErrors(std::string_view line) {
  if (answering == nullptr) return false;
  Connection& c = *answering;
  if (c.broken || c.aborted) return true;
  fastcgi::appendRecord(c.out, fastcgi::kStderr, c.requestId, line.substr(0, fastcgi::kMaxContentLength));
  c.wroteErrors = true;
  return true;
}
