// Bytes received from and sent to a connection's socket, never waiting:
// the worker's poll loop says when a socket is ready.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fastcgi_worker.h"

namespace fastcgi {

Received receive(Worker& w, Connection& c, std::size_t& length) {
  length = restorePending(w, c);
  for (;;) {
    const ssize_t got = ::read(c.descriptor, &w.received[length], kReceivedRoom - length);
    if (got > 0) {
      length += static_cast<std::size_t>(got);
      // Bytes on a connection without a deadline are the first of a request.
      if (c.deadline == kNever) c.deadline = w.clock() + kStallMilliseconds;
      return Received::some;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Received::nothing : Received::ended;
  }
}

bool sendQueued(Connection& c) {
  while (!spoolIsSent(c.output)) {
    const std::string_view bytes = nextSpoolBytes(c.output);
    if (bytes.empty()) return false;  // the temporary file could not be read
    const ssize_t written = ::send(c.descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written > 0) {
      takeFromSpool(c.output, static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    return written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

}  // namespace fastcgi
