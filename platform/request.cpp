#include "platform/request.h"

#include <fcgiapp.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/environment.h"
#include "platform/text_stdio.h"

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};
// A server that sends nothing for this long has stalled; the request ends.
constexpr time_t kStallSeconds = 30;
// A request that read more than this gives its memory back to the system
// afterwards: the allocator keeps freed memory up to a threshold that grows
// after large blocks, so an idle worker would otherwise hold tens of MiB.
constexpr std::size_t kLargeRequestBytes = std::size_t{1} << 20;

void (*releaseHooks[4])();
int releaseHookCount;

int answerGuarded(RequestHandler handler) {
  try {
    return handler();
  } catch (const std::exception&) {
    // Out of memory, most likely, halfway through an answer.
    discardTextOutput();
    return 1;
  }
}

bool isListeningSocket(int descriptor) {
  int listening = 0;
  socklen_t length = sizeof listening;
  return ::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}

int answerCgiRequest(RequestHandler handler) {
  const int status = answerGuarded(handler);
  flushTextOutput();
  return status;
}

FCGX_Request request;
volatile sig_atomic_t stopRequested;

void requestStop(int) { stopRequested = 1; }

std::size_t readRequestInput(char* buffer, std::size_t capacity) {
  const int got = FCGX_GetStr(buffer, static_cast<int>(capacity), request.in);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool writeRequestOutput(const char* bytes, std::size_t length) {
  return FCGX_PutStr(bytes, static_cast<int>(length), request.out) == static_cast<int>(length);
}

// The stop signals are held back while a request runs and let through only
// while the worker waits for the next one: a request is always finished, and
// a waiting worker stops at once. Returns the signal mask for waiting.
sigset_t holdStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : kStopSignals) sigaddset(&stops, signal);
  struct sigaction action {};
  action.sa_handler = requestStop;
  action.sa_mask = stops;
  // Installed before libfcgi starts: it sets a SIGUSR1 handler of its own only where none is set.
  for (const int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
  sigset_t waiting;
  ::sigprocmask(SIG_BLOCK, &stops, &waiting);
  for (const int signal : kStopSignals) sigdelset(&waiting, signal);
  return waiting;
}

// Waits until the next request can be read; false once a stop signal came.
bool waitForRequest(const sigset_t& waitingMask) {
  // A connection the server keeps open carries its next request itself.
  pollfd wanted{request.ipcFd >= 0 ? request.ipcFd : 0, POLLIN, 0};
  while (stopRequested == 0) {
    const int ready = ::ppoll(&wanted, 1, nullptr, &waitingMask);
    if (ready > 0) return (wanted.revents & POLLNVAL) == 0;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

// libfcgi puts an entry of its own, "FCGI_ROLE=...", before the server's parameters.
char** serverParameters(char** entries) {
  return entries[0] != nullptr && std::strncmp(entries[0], "FCGI_ROLE=", 10) == 0 ? entries + 1 : entries;
}

// libfcgi reads and writes the connection blocking: these limits end a read
// or a write that has waited that long, and with it the request's input or answer.
void limitStalls(int connection) {
  const timeval limit{kStallSeconds, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void releaseRequest() {
  for (int i = 0; i < releaseHookCount; ++i) releaseHooks[i]();
  if (rawInputBytes() > kLargeRequestBytes) ::malloc_trim(0);
}

int serveFastCgiRequests(RequestHandler handler) {
  const sigset_t waitingMask = holdStopSignals();
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  // Workers share the listening socket: when another one takes the connection
  // that woke this one, accepting must come back rather than block.
  ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
  while (waitForRequest(waitingMask)) {
    const int accepted = FCGX_Accept_r(&request);
    if (accepted == -EAGAIN || accepted == -EWOULDBLOCK) continue;
    if (accepted < 0) return 1;
    limitStalls(request.ipcFd);
    useRequestEnvironment(serverParameters(request.envp));
    beginTextStreams(RawStreams{readRequestInput, writeRequestOutput});
    const int status = answerGuarded(handler);
    flushTextOutput();
    FCGX_SetExitStatus(status, request.out);
    FCGX_Finish_r(&request);
    useRequestEnvironment(nullptr);
    releaseRequest();
  }
  return 0;
}

}  // namespace

int serveRequests(RequestHandler handler) {
  return isListeningSocket(0) ? serveFastCgiRequests(handler) : answerCgiRequest(handler);
}

void atRequestEnd(void (*release)()) {
  for (int i = 0; i < releaseHookCount; ++i) {
    if (releaseHooks[i] == release) return;
  }
  if (releaseHookCount == static_cast<int>(sizeof releaseHooks / sizeof releaseHooks[0])) std::abort();
  releaseHooks[releaseHookCount++] = release;
}
