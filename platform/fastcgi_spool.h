// A byte queue for a FastCGI request's input or answer: in memory up to
// kSpoolMemoryBytes, beyond that in an unlinked temporary file that no other
// process can open. The temporary files of all spools share one disk budget,
// kSpoolDiskBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace fastcgi {

// Empties a string and gives its room back: assigning an empty string would
// keep the room, as a move of a short string copies into it.
inline void freeString(std::string& text) { std::string().swap(text); }

struct Spool {
  std::string memory;  // the first bytes
  int file = -1;       // the bytes beyond memory, once there are any
  std::uint64_t fileBytes = 0;
  std::uint64_t readAt = 0;  // bytes already read or sent, from the start
  // File bytes being sent: chunk[chunkStart, chunkEnd) are the spool's bytes from readAt on.
  std::unique_ptr<char[]> chunk;
  std::size_t chunkStart = 0;
  std::size_t chunkEnd = 0;
};

// Where the temporary files go: TMPDIR when it is set, taken once at start.
void chooseSpoolFolder();

// Appends bytes; false, having appended nothing, when the disk budget or the
// temporary file cannot take them.
bool appendToSpool(Spool& spool, std::string_view bytes);

std::uint64_t spoolSize(const Spool& spool);
bool spoolIsEmpty(const Spool& spool);

// Reads the next bytes in order; 0 at the end or on an error.
std::size_t readSpool(Spool& spool, char* buffer, std::size_t capacity);

// Reading starts again from the first byte.
void rewindSpool(Spool& spool);

// The next bytes to send, without taking them (empty when all are sent or
// the file cannot be read); then takeFromSpool(n) once n of them went out.
std::string_view nextSpoolBytes(Spool& spool);
void takeFromSpool(Spool& spool, std::size_t length);
bool spoolIsSent(const Spool& spool);

// Drops the bytes from `size` on; false where they are in the file already.
bool cutSpool(Spool& spool, std::size_t size);

// Empties the spool: its file is closed, its disk budget given back, its
// memory freed where it had grown large. Returns how many bytes it held.
std::uint64_t clearSpool(Spool& spool);

}  // namespace fastcgi
