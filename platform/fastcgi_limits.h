// Every bound of the FastCGI worker, each with its reason. A worker serves
// whoever is ready: these bounds keep one peer, however slow or hostile, to
// its own connection, its own share of memory and disk, and its own time.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace fastcgi {

// How long a connection may take from its request's first byte (or from its
// acceptance) until its answer has gone out: a server sends a request and
// reads its answer in far less; a peer that does not is closed.
constexpr long long kStallMilliseconds = 30'000;

// After a stop signal, the requests in hand are finished, but a peer then has
// this long at most to send the rest of its request and take its answer: a
// restart under traffic waits on it, and a stalled peer must not hold it up.
constexpr long long kStopGraceMilliseconds = 2'000;

// The parameters of one request: a server sends a few KiB; more is no request of ours.
constexpr std::size_t kMaxParamsBytes = std::size_t{1} << 20;

// Connections one worker holds at once, kept ones included; at the limit the
// oldest idle one makes room for a new one.
constexpr std::size_t kMaxConnections = 32;

// Descriptors kept free for the program's own files while connections fill
// the rest: a visit opens a counter file, a view then its report file.
constexpr long kReservedDescriptors = 16;

// What a connection may hold open at once: its socket and the temporary files
// of its input and of its answer.
constexpr long kDescriptorsPerConnection = 3;

// Below this many descriptors a worker cannot serve one request: descriptors
// 0 to 2, one connection, and the counter file of a visit.
constexpr long kFewestDescriptors = 3 + kDescriptorsPerConnection + 1;

// How long accepting rests when descriptors or memory have run out.
constexpr long long kAcceptPauseMilliseconds = 250;

// One read from a connection: room for the largest record and what follows it.
constexpr std::size_t kReceiveLength = 64 * 1024;

// A request's input, and its answer, stay in memory up to this many bytes;
// beyond it they go to a temporary file, so that memory stays bounded for any body.
constexpr std::size_t kSpoolMemoryBytes = 128 * 1024;

// The temporary files of one worker, across all its connections: a body that
// would take more is refused (its connection closed without an answer), and an
// answer that would take more is cut off (its connection closed).
constexpr std::uint64_t kSpoolDiskBytes = std::uint64_t{1} << 30;

// A request that held more than this (parameters, input or answer) gives its
// memory back to the system afterwards: the allocator would keep it otherwise.
constexpr std::size_t kTrimAfterBytes = 256 * 1024;

// A request set aside (its program met a counter locked by another process)
// runs again after these pauses, the last repeated: the first retry comes
// after the other ready requests, and a lock held for long costs little.
constexpr long long kRetryPausesMilliseconds[] = {0, 1, 2, 4, 8, 16, 32, 50};

constexpr long long kNever = LLONG_MAX;

}  // namespace fastcgi
