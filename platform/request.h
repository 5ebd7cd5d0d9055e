// Serving requests: once as a CGI program, or request after request as a
// FastCGI worker. A program's answer is the same function in both modes.
#pragma once

#include <string_view>

// A program's work for one request. It reads the request through
// findEnvironmentValue(), requestEnvironment() and readTextInput(), answers
// through writeText(), and returns the request's exit status: 0, or 1 for a
// request that it refuses (having written nothing).
using RequestHandler = int (*)();

// Sets the process up and serves its requests; returns its exit status.
//
// Set-up, for either mode: descriptors 0, 1 and 2 are opened on /dev/null
// where they are closed, so that no file the program opens takes their
// place; SIGPIPE is ignored, so that a client that went away ends no request
// before its work is done.
//
// When descriptor 0 is a listening socket, as spawn-fcgi, lighttpd's
// mod_fastcgi (bin-path), Apache's mod_fcgid and systemd (StandardInput=socket)
// start a worker, the process is a FastCGI worker (a responder; other roles
// are refused). Each request's parameters are its variables, in the order the
// server sent them; its FCGI_STDIN and FCGI_STDOUT are standard input and
// output; the handler's status ends the request. The worker serves any number
// of connections at once (FCGI_KEEP_CONN keeps one open) and waits on none:
// a request's handler runs once its whole input has come (in memory, then in
// an unlinked temporary file in TMPDIR or /tmp, 1 GiB across the worker's
// connections; a larger body closes its connection without an answer), and
// its answer goes out after it returns, as fast as the peer takes it.
// SIGTERM, SIGINT, SIGHUP and SIGUSR1 stop the worker: it accepts no more,
// answers the requests in hand first (an idle worker stops at once), then
// this returns 0. A connection that breaks the protocol is closed without an
// answer; one that stalls more than 30 s after its request's first byte is
// closed, or, while its input comes, has that input end there and is
// answered. Nothing is written to the worker's own standard error, except,
// at its start, that its descriptor limit is too low to serve, when it
// returns 1 at once.
//
// Otherwise the process answers the one CGI request of its environment and
// descriptors 0 and 1, and returns the handler's status.
//
// Either way the answer is flushed when the handler returns. A handler that
// runs out of memory ends its request with status 1 and, unless part of the
// answer had to be sent already, no answer at all.
int serveRequests(RequestHandler handler);

// Registers work to do after each request of a worker, such as freeing what
// the request built. (A CGI process just ends.) Registering the same work
// again changes nothing; at most four.
void atRequestEnd(void (*release)());

// For a handler that needs what another process holds (a locked counter
// file): in a FastCGI worker, sets the request aside, to run again from its
// start in a moment while the worker serves others, rather than wait inside
// the handler. Returns false where it cannot: outside a worker's request, or
// once the request has been set aside for `boundMilliseconds` in all; the
// handler then goes on without what it needed. After true the handler returns
// at once; what it wrote is dropped.
bool setRequestAside(long boundMilliseconds);

// Whether the handler runs in a FastCGI worker's request, where
// setRequestAside() may set it aside.
bool canSetRequestAside();

// Writes `message` and a line feed to the request's error stream, which the
// web server logs: standard error of a CGI program, FCGI_STDERR in a worker.
void reportToServerLog(std::string_view message);
