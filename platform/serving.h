// What the two ways of serving a request share, inside the platform: CGI in
// request.cpp, FastCGI in the fastcgi_*.cpp files (see fastcgi_worker.h).
#pragma once

#include <string>
#include <string_view>

#include "platform/request.h"

// Runs the handler; a handler that runs out of memory ends its request with
// status 1 and nothing of its answer that was still buffered.
int answerGuarded(RequestHandler handler);

// Frees what a worker's request built (atRequestEnd) and gives large blocks back to the system.
void releaseRequest();

// A FastCGI worker on the listening socket `listener`: see serveRequests.
int serveFastCgi(int listener, RequestHandler handler);

// The clock of the workers and connections served after this call, in
// milliseconds, monotonic: for tests, which must not wait out a deadline.
void useWorkerClock(long long (*clock)());

// The same responder without a socket: every byte the worker sends to a
// peer that sends `stream` and then ends its side, for the fuzz target.
std::string answerFastCgiStream(std::string_view stream, RequestHandler handler);

// Puts `line` on the error stream of the FastCGI request being answered;
// false when no FastCGI request is being answered.
bool sendToRequestErrors(std::string_view line);
