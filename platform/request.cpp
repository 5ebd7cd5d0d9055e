#include "platform/request.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "platform/serving.h"
#include "platform/text_stdio.h"

namespace {

// A request that read more than this gives its memory back to the system
// afterwards: the allocator keeps freed memory up to a threshold that grows
// after large blocks, so an idle worker would otherwise hold tens of MiB.
constexpr std::size_t kLargeRequestBytes = std::size_t{1} << 20;

void (*releaseHooks[4])();
int releaseHookCount;

// A program started with descriptor 0, 1 or 2 closed would otherwise get it
// for the first file it opens, and write its answer into a counter file.
void openMissingStandardDescriptors() {
  pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  if (::poll(standard, 3, 0) <= 0) return;
  for (const pollfd& descriptor : standard) {
    // open() takes the lowest free descriptor: the closed one, in order.
    if ((descriptor.revents & POLLNVAL) != 0 && ::open("/dev/null", O_RDWR) < 0) std::abort();
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

}  // namespace

int serveRequests(RequestHandler handler) {
  openMissingStandardDescriptors();
  // A client that hangs up must not end the program before its request is
  // done (a visit is still counted): a failed write is enough to tell.
  ::signal(SIGPIPE, SIG_IGN);
  return isListeningSocket(0) ? serveFastCgi(0, handler) : answerCgiRequest(handler);
}

void atRequestEnd(void (*release)()) {
  for (int i = 0; i < releaseHookCount; ++i) {
    if (releaseHooks[i] == release) return;
  }
  if (releaseHookCount == static_cast<int>(sizeof releaseHooks / sizeof releaseHooks[0])) std::abort();
  releaseHooks[releaseHookCount++] = release;
}

void reportToServerLog(std::string_view message) {
  std::string line(message);
  line += '\n';
  if (sendToRequestErrors(line)) return;
  // Unchecked: there is nowhere else to tell.
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

int answerGuarded(RequestHandler handler) {
  try {
    return handler();
  } catch (const std::exception&) {
    // Out of memory, most likely, halfway through an answer.
    discardTextOutput();
    return 1;
  }
}

void releaseRequest() {
  for (int i = 0; i < releaseHookCount; ++i) releaseHooks[i]();
  if (rawInputBytes() > kLargeRequestBytes) ::malloc_trim(0);
}
