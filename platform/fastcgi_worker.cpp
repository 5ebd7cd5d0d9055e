// The worker's loop: it polls the listening socket and every connection that
// waits on its peer, accepts, reads and sends what is ready, runs the ready
// requests' programs in turn, and closes the connections past their deadline.
#include "platform/fastcgi_worker.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/call_time_limit.h"
#include "platform/serving.h"

namespace fastcgi {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};

volatile sig_atomic_t stopRequested;

void requestStop(int) { stopRequested = 1; }

// ---- connections

std::size_t openConnections(const Worker& w) {
  return static_cast<std::size_t>(
      std::count_if(std::begin(w.connections), std::end(w.connections), [](const Connection& c) { return isOpen(c); }));
}

bool isIdle(const Connection& c) { return c.phase == Phase::waiting && c.pending.empty() && spoolIsEmpty(c.output); }

// Makes room for one more connection: the oldest idle one goes first, else
// the oldest that waits on its peer. A request whose program is to run is
// never dropped.
bool makeRoom(Worker& w) {
  if (openConnections(w) < w.connectionLimit) return true;
  Connection* oldest = nullptr;
  bool oldestIdle = false;
  for (Connection& c : w.connections) {
    if (!isOpen(c) || c.phase == Phase::ready || c.phase == Phase::setAside) continue;
    const bool idle = isIdle(c);
    if (oldest == nullptr || (idle && !oldestIdle) || (idle == oldestIdle && c.lastUse < oldest->lastUse)) {
      oldest = &c;
      oldestIdle = idle;
    }
  }
  if (oldest == nullptr) return false;
  closeConnection(w, *oldest);
  return true;
}

Connection* adopt(Worker& w, int descriptor) {
  for (Connection& c : w.connections) {
    if (isOpen(c)) continue;
    c.descriptor = descriptor;
    c.deadline = w.clock() + kStallMilliseconds;
    c.lastUse = ++w.uses;
    return &c;
  }
  return nullptr;
}

// Sends what the connection has queued; once a request's answer has all gone
// out, the connection settles.
void sendToPeer(Worker& w, Connection& c) {
  if (!sendQueued(c)) {
    closeConnection(w, c);
    return;
  }
  if (!spoolIsSent(c.output)) return;
  if (c.phase == Phase::sending) {
    settle(w, c);
  } else {
    clearSpool(c.output);
  }
}

// Reads what the peer sent and takes its records; closes the connection at its end.
void readFromPeer(Worker& w, Connection& c) {
  std::size_t length = 0;
  if (receive(w, c, length) == Received::ended) {
    closeConnection(w, c);
    return;
  }
  takeReceived(w, c, length);
  if (isOpen(c) && !spoolIsEmpty(c.output)) sendToPeer(w, c);
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
    // The request usually comes with the connection: no need to poll first.
    readFromPeer(w, *adopt(w, descriptor));
    return;
  }
  if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
    w.acceptPausedUntil = w.clock() + kAcceptPauseMilliseconds;
  } else if (!isPassingAcceptError(errno)) {
    w.failed = true;  // the listening socket itself is unusable
  }
}

// ---- turns and deadlines

short eventsWanted(const Connection& c) {
  if (c.phase == Phase::ready || c.phase == Phase::setAside) return 0;
  // A peer that does not take what it is sent is not read meanwhile: what it
  // could make the worker queue stays bounded.
  if (!spoolIsSent(c.output)) return POLLOUT;
  return readsPeer(c) ? POLLIN : 0;
}

// A request whose input stalls is answered with what came; a connection
// that stalls anywhere else is closed.
void passDeadlines(Worker& w, long long now) {
  for (Connection& c : w.connections) {
    if (!isOpen(c) || c.deadline > now || c.phase == Phase::ready || c.phase == Phase::setAside) continue;
    if (c.phase == Phase::input && spoolIsSent(c.output)) {
      c.phase = Phase::ready;
      c.keep = false;
    } else {
      closeConnection(w, c);
    }
  }
}

void retrySetAside(Worker& w, long long now) {
  for (Connection& c : w.connections) {
    if (isOpen(c) && c.phase == Phase::setAside && c.retryAt <= now) c.phase = Phase::ready;
  }
}

bool anyReady(const Worker& w) {
  return std::any_of(std::begin(w.connections), std::end(w.connections),
                     [](const Connection& c) { return isOpen(c) && c.phase == Phase::ready; });
}

bool accepting(const Worker& w) { return w.listener >= 0 && stopRequested == 0; }

// Waits for the listening socket and the connections whose peers are to be
// read or written, up to the next deadline or retry, and handles what came.
// Without waiting where a request is ready. With `waitingMask`, the stop
// signals end the wait.
void waitAndServe(Worker& w, const sigset_t* waitingMask) {
  pollfd wanted[kMaxConnections + 1];
  Connection* polled[kMaxConnections + 1];
  nfds_t count = 0;
  long long until = kNever;
  for (Connection& c : w.connections) {
    if (!isOpen(c) || c.descriptor < 0) continue;
    if (c.phase == Phase::setAside) until = std::min(until, c.retryAt);
    const short events = eventsWanted(c);
    if (events == 0) continue;
    if (c.deadline != kNever) until = std::min(until, c.deadline);
    polled[count] = &c;
    wanted[count++] = pollfd{c.descriptor, events, 0};
  }
  const long long now = w.clock();
  // Where every place holds a request in hand, none can be made for another.
  // The listener comes last: accepting adopts a connection that the entries
  // above do not stand for.
  if (accepting(w) && (openConnections(w) < w.connectionLimit || count > 0)) {
    if (w.acceptPausedUntil > now) {
      until = std::min(until, w.acceptPausedUntil);
    } else {
      polled[count] = nullptr;
      wanted[count++] = pollfd{w.listener, POLLIN, 0};
    }
  }
  const bool ready = anyReady(w);
  if (!ready && w.trimPending) {
    // Idle, or about to be: a large request's memory goes back to the system.
    ::malloc_trim(0);
    w.trimPending = false;
  }
  timespec timeout{0, 0};
  if (!ready && until != kNever) {
    const long long left = std::max(0LL, until - now);
    timeout = timespec{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1'000'000};
  }
  const bool forever = !ready && until == kNever;
  if (::ppoll(wanted, count, forever ? nullptr : &timeout, waitingMask) > 0) {
    for (nfds_t i = 0; i < count; ++i) {
      if (wanted[i].revents == 0) continue;
      if (polled[i] == nullptr) {
        acceptConnection(w);
      } else if (isOpen(*polled[i]) && (wanted[i].events & POLLOUT) != 0) {
        sendToPeer(w, *polled[i]);
      } else if (isOpen(*polled[i])) {
        readFromPeer(w, *polled[i]);
      }
    }
  }
  const long long after = w.clock();
  passDeadlines(w, after);
  retrySetAside(w, after);
}

// Runs each ready request's program once, taking the connections in turn,
// and sends each answer as far as its peer takes it at once.
void answerReadyRequests(Worker& w) {
  for (std::size_t i = 0; i < kMaxConnections; ++i) {
    Connection& c = w.connections[(w.nextTurn + i) % kMaxConnections];
    if (!isOpen(c) || c.phase != Phase::ready) continue;
    answer(w, c);
    if (isOpen(c) && c.phase == Phase::sending) {
      if (c.descriptor >= 0) sendToPeer(w, c);
    }
  }
  w.nextTurn = (w.nextTurn + 1) % kMaxConnections;
}

// After a stop signal: no more accepting, and kept idle connections close;
// the requests in hand are still answered, within a shorter deadline.
void shortenDeadlines(Worker& w) {
  const long long deadline = w.clock() + kStopGraceMilliseconds;
  for (Connection& c : w.connections) c.deadline = std::min(c.deadline, deadline);
}

// Only a kept connection between two requests: one just accepted may carry a
// request that its server has sent already and will not send again on a new
// connection; it has the shortened deadline to arrive.
void closeIdle(Worker& w) {
  for (Connection& c : w.connections) {
    if (isOpen(c) && isIdle(c) && c.keep) closeConnection(w, c);
  }
}

int runWorker(Worker& w, const sigset_t* waitingMask) {
  bool stopping = false;
  while (!w.failed && (accepting(w) || openConnections(w) > 0)) {
    waitAndServe(w, waitingMask);
    answerReadyRequests(w);
    if (stopRequested == 0) continue;
    if (!stopping) shortenDeadlines(w);
    stopping = true;
    // Each time: a kept connection whose answer went out is idle now.
    closeIdle(w);
  }
  for (Connection& c : w.connections) {
    if (isOpen(c)) closeConnection(w, c);
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

long descriptorLimit() {
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) return LONG_MAX;
  return static_cast<long>(std::min<rlim_t>(descriptors.rlim_cur, LONG_MAX));
}

std::size_t connectionLimit(long descriptors) {
  const long spare = std::max(descriptors - kReservedDescriptors, 0L) / kDescriptorsPerConnection;
  return static_cast<std::size_t>(std::clamp<long>(spare, 1, static_cast<long>(kMaxConnections)));
}

long long (*injectedClock)() = monotonicMilliseconds;

unsigned char receivedBuffer[kReceivedRoom];

std::unique_ptr<Worker> newWorker(RequestHandler handler) {
  auto worker = std::make_unique<Worker>();
  worker->handler = handler;
  worker->clock = injectedClock;
  worker->received = receivedBuffer;
  return worker;
}

// The allocator's thresholds stay fixed: after a large block it would raise
// them, and keep tens of MiB for itself once the request is done.
void fixAllocatorThresholds() {
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 256 * 1024);
}

}  // namespace

bool isOpen(const Connection& c) { return c.descriptor != -1; }

bool readsPeer(const Connection& c) {
  return c.phase == Phase::waiting || c.phase == Phase::params || c.phase == Phase::input;
}

void closeConnection(Worker& w, Connection& c) {
  if (c.descriptor >= 0) ::close(c.descriptor);
  forgetRequest(w, c);
  if (c.pending.capacity() > kMaxRecordLength) w.trimPending = true;
  // Moved out, not assigned over: its strings give their room back.
  Connection gone = std::move(c);
  c = Connection{};
}

}  // namespace fastcgi

void useWorkerClock(long long (*clock)()) { fastcgi::injectedClock = clock; }

int serveFastCgi(int listener, RequestHandler handler) {
  using namespace fastcgi;
  const long descriptors = descriptorLimit();
  if (descriptors < kFewestDescriptors) {
    std::fprintf(stderr, "%s: a limit of %ld open files is too few for a FastCGI worker, which needs %ld\n",
                 program_invocation_short_name, descriptors, kFewestDescriptors);
    return 1;
  }
  const sigset_t waitingMask = holdStopSignals();
  // Workers share the listening socket: when another one takes the connection
  // that woke this one, accepting must come back rather than block.
  ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
  fixAllocatorThresholds();
  chooseSpoolFolder();
  auto worker = newWorker(handler);
  worker->listener = listener;
  worker->connectionLimit = connectionLimit(descriptors);
  return runWorker(*worker, &waitingMask);
}

std::string answerFastCgiStream(std::string_view stream, RequestHandler handler) {
  using namespace fastcgi;
  auto worker = newWorker(handler);
  Worker& w = *worker;
  Connection& c = *adopt(w, kNoSocket);
  std::string sent;
  while (isOpen(c)) {
    for (std::string_view bytes; !(bytes = nextSpoolBytes(c.output)).empty();) {
      sent += bytes;
      takeFromSpool(c.output, bytes.size());
    }
    if (c.phase == Phase::sending) {
      settle(w, c);
      continue;
    }
    clearSpool(c.output);
    // No time passes here: a request set aside runs again at once.
    if (c.phase == Phase::setAside) c.phase = Phase::ready;
    if (c.phase == Phase::ready) {
      answer(w, c);
      continue;
    }
    if (stream.empty()) {
      closeConnection(w, c);  // the peer ended its side
      break;
    }
    const std::size_t length = restorePending(w, c);
    const std::size_t taken = std::min(stream.size(), kReceiveLength);
    std::memcpy(&w.received[length], stream.data(), taken);
    stream.remove_prefix(taken);
    takeReceived(w, c, length + taken);
  }
  return sent;
}
