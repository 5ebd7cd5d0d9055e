// Serving requests: once as a CGI program, or request after request as a
// FastCGI worker. A program's answer is the same function in both modes.
#pragma once

// A program's work for one request. It reads the request through
// findEnvironmentValue(), requestEnvironment() and readTextInput(), answers
// through writeText(), and returns the request's exit status: 0, or 1 for a
// request that it refuses (having written nothing).
using RequestHandler = int (*)();

// Serves the requests of this process and returns its exit status.
//
// When descriptor 0 is a listening socket, as spawn-fcgi, lighttpd's
// mod_fastcgi (bin-path) and Apache's mod_fcgid start a worker, the process is
// a FastCGI worker. Each request's parameters are its variables, in the order
// the server sent them; its FCGI_STDIN and FCGI_STDOUT are standard input and
// output; nothing goes to FCGI_STDERR; the handler's status ends the request.
// SIGTERM, SIGINT, SIGHUP and SIGUSR1 stop the worker: a request in progress
// is finished and answered first, and a waiting worker stops at once; then
// this returns 0. A request whose server sends nothing for 30 s while the
// worker waits on it is answered as if its input had ended there.
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
