// The FastCGI responder's parts, inside the platform: one worker process
// serves any number of connections (up to a limit) in one poll loop, and
// never waits on one peer while others wait on it.
//
// A connection moves through these phases:
//   waiting   no request in progress; the next FCGI_BEGIN_REQUEST may come
//   params    a request began and its parameters arrive
//   input     its parameters are complete and its input arrives
//   ready     its whole input is in hand: the program runs at its turn
//   setAside  the program met a counter locked by another process: it runs
//             again from the start at retryAt, while others are served
//   sending   its answer is made and goes out as fast as the peer takes it
// A request's program runs only once its whole input is in the worker's
// hands, and nothing it writes goes out before it returns: so it never waits
// on its peer. A connection that breaks the protocol is closed without an
// answer. Every phase but ready and setAside waits on the peer, up to the
// connection's deadline, kStallMilliseconds after its request's first byte
// (or after it was accepted): then it is closed, except that a request whose
// input stalls has its input end there and is answered, if the peer takes it.
//
// The files:
//   fastcgi_intake.cpp  records taken from received bytes, one dispatcher over
//                       record types (the version and management checks once)
//   fastcgi_answer.cpp  a ready request's program run, its input and answer
//   fastcgi_socket.cpp  bytes received from and sent to a connection's socket
//   fastcgi_worker.cpp  the loop: poll, accept, turns, deadlines, signals
// The fuzz target's fuzz/reference_responder.h states what a connection is
// answered; it must change with these files.
// Linux and glibc only: accept4, ppoll, O_TMPFILE, malloc_trim.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fastcgi_limits.h"
#include "platform/fastcgi_records.h"
#include "platform/fastcgi_spool.h"
#include "platform/request.h"

namespace fastcgi {

enum class Phase { waiting, params, input, ready, setAside, sending };

// No socket: a connection whose bytes come from memory (answerStream).
constexpr int kNoSocket = -2;

struct Connection {
  int descriptor = -1;  // -1: the place is free
  Phase phase = Phase::waiting;
  long long deadline = kNever;
  unsigned long long lastUse = 0;  // when it was accepted or last answered, for closing the oldest first
  std::string pending;             // received bytes of a record not yet whole
  // The request in progress.
  unsigned requestId = 0;
  bool keep = false;     // FCGI_KEEP_CONN: the server reuses the connection
  bool aborted = false;  // FCGI_ABORT_REQUEST: the program runs, its answer is dropped
  bool wroteErrors = false;
  std::string params;
  Spool input;
  Spool output;  // records to send, protocol answers and the program's answer alike
  long long setAsideSince = 0;
  long long retryAt = 0;
  std::size_t retries = 0;
};

struct Worker {
  int listener = -1;  // -1: no accepting
  RequestHandler handler = nullptr;
  std::size_t connectionLimit = 1;
  long long (*clock)() = nullptr;  // milliseconds, monotonic
  Connection connections[kMaxConnections];
  std::size_t nextTurn = 0;
  unsigned long long uses = 0;
  long long acceptPausedUntil = 0;
  bool failed = false;
  bool trimPending = false;  // a large request's memory is to be given back before the next wait
  // The request's variables as "NAME=value" entries.
  std::string environmentText;
  std::vector<char*> environment;
  // What one read brings, behind a connection's pending bytes: one buffer for
  // all connections, since each takes its records from it at once.
  unsigned char* received = nullptr;
};

bool isOpen(const Connection& c);
void closeConnection(Worker& w, Connection& c);
// Whether the connection's peer is to be read (else only written, or left alone).
bool readsPeer(const Connection& c);

// ---- fastcgi_intake.cpp

constexpr std::size_t kReceivedRoom = kReceiveLength + kMaxRecordLength;

// Copies the connection's pending bytes to the front of w.received; returns how many.
std::size_t restorePending(Worker& w, Connection& c);
// Takes the whole records among w.received[0, length), keeping the rest pending;
// stops at a request that is ready. A connection that breaks the protocol
// closes, once what it was sent before has gone out.
void takeReceived(Worker& w, Connection& c, std::size_t length);
// Takes the records still pending (after an answer went out on a kept connection).
void takePending(Worker& w, Connection& c);
// What comes after a request whose answer has all gone out: the next one on a
// kept connection, else the connection's end.
void settle(Worker& w, Connection& c);

// ---- fastcgi_answer.cpp

// Runs the program of a ready request; its answer is then queued to be sent.
void answer(Worker& w, Connection& c);
// Frees what a request held; asks for a trim when it was large.
void forgetRequest(Worker& w, Connection& c);

// ---- fastcgi_socket.cpp

enum class Received { some, nothing, ended };
// Reads what has arrived into w.received behind the pending bytes, without waiting.
Received receive(Worker& w, Connection& c, std::size_t& length);
// Sends what the connection's output holds, as far as the peer takes it; false when the peer is gone.
bool sendQueued(Connection& c);

}  // namespace fastcgi
