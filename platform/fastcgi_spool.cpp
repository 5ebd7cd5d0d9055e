#include "platform/fastcgi_spool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fastcgi_limits.h"

namespace fastcgi {

namespace {

std::string spoolFolder = "/tmp";
std::uint64_t diskBytesInUse;

constexpr std::size_t kChunkLength = 64 * 1024;

// An unnamed file that no other process can open; where the file system
// cannot make one (O_TMPFILE), a named one unlinked at once.
int openTemporaryFile() {
  int file = ::open(spoolFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC | O_EXCL, 0600);
  if (file >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return file;
  std::string name = spoolFolder + "/fastcgi-spool-XXXXXX";
  file = ::mkostemp(name.data(), O_CLOEXEC);
  if (file >= 0) ::unlink(name.c_str());
  return file;
}

bool writeAllAt(int file, std::string_view bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(file, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

std::size_t readFileAt(int file, char* buffer, std::size_t capacity, std::uint64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(file, buffer, capacity, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
}

bool appendToFile(Spool& spool, std::string_view bytes) {
  if (bytes.size() > kSpoolDiskBytes - diskBytesInUse) return false;
  if (spool.file < 0 && (spool.file = openTemporaryFile()) < 0) return false;
  if (!writeAllAt(spool.file, bytes, spool.fileBytes)) return false;
  spool.fileBytes += bytes.size();
  diskBytesInUse += bytes.size();
  return true;
}

}  // namespace

void chooseSpoolFolder() {
  const char* folder = ::getenv("TMPDIR");
  if (folder != nullptr && folder[0] == '/') spoolFolder = folder;
}

bool appendToSpool(Spool& spool, std::string_view bytes) {
  if (spool.file < 0 && bytes.size() <= kSpoolMemoryBytes - std::min(spool.memory.size(), kSpoolMemoryBytes)) {
    spool.memory.append(bytes);
    return true;
  }
  // Once bytes went to the file, all further ones do: the order stays.
  if (spool.file < 0) {
    const std::size_t fits = kSpoolMemoryBytes - std::min(spool.memory.size(), kSpoolMemoryBytes);
    if (!appendToFile(spool, bytes.substr(fits))) return false;
    spool.memory.append(bytes.substr(0, fits));
    return true;
  }
  return appendToFile(spool, bytes);
}

std::uint64_t spoolSize(const Spool& spool) { return spool.memory.size() + spool.fileBytes; }

bool spoolIsEmpty(const Spool& spool) { return spoolSize(spool) == 0; }

std::size_t readSpool(Spool& spool, char* buffer, std::size_t capacity) {
  std::size_t got = 0;
  if (spool.readAt < spool.memory.size()) {
    got = std::min<std::size_t>(capacity, spool.memory.size() - spool.readAt);
    std::memcpy(buffer, spool.memory.data() + spool.readAt, got);
  } else if (spool.file >= 0) {
    const std::uint64_t offset = spool.readAt - spool.memory.size();
    got = readFileAt(spool.file, buffer, std::min<std::uint64_t>(capacity, spool.fileBytes - offset), offset);
  }
  spool.readAt += got;
  return got;
}

void rewindSpool(Spool& spool) {
  spool.readAt = 0;
  spool.chunkStart = spool.chunkEnd = 0;
}

std::string_view nextSpoolBytes(Spool& spool) {
  if (spool.readAt < spool.memory.size()) {
    return std::string_view(spool.memory).substr(static_cast<std::size_t>(spool.readAt));
  }
  if (spool.chunkStart == spool.chunkEnd && spool.readAt < spoolSize(spool)) {
    if (!spool.chunk) spool.chunk.reset(new char[kChunkLength]);
    const std::uint64_t offset = spool.readAt - spool.memory.size();
    spool.chunkStart = 0;
    spool.chunkEnd = readFileAt(spool.file, spool.chunk.get(),
                                std::min<std::uint64_t>(kChunkLength, spool.fileBytes - offset), offset);
  }
  return std::string_view(spool.chunk.get() + spool.chunkStart, spool.chunkEnd - spool.chunkStart);
}

void takeFromSpool(Spool& spool, std::size_t length) {
  if (spool.readAt >= spool.memory.size()) spool.chunkStart += length;
  spool.readAt += length;
}

bool spoolIsSent(const Spool& spool) { return spool.readAt >= spoolSize(spool); }

bool cutSpool(Spool& spool, std::size_t size) {
  if (spool.file >= 0 && size < spoolSize(spool)) return false;
  if (size < spool.memory.size()) spool.memory.resize(size);
  return true;
}

std::uint64_t clearSpool(Spool& spool) {
  const std::uint64_t held = spoolSize(spool);
  if (spool.file >= 0) ::close(spool.file);
  diskBytesInUse -= spool.fileBytes;
  spool.file = -1;
  spool.fileBytes = 0;
  spool.memory.clear();
  // A small answer's room is kept for the next one; a large one's is given back.
  if (spool.memory.capacity() > kSpoolMemoryBytes / 4) freeString(spool.memory);
  spool.chunk.reset();
  rewindSpool(spool);
  return held;
}

}  // namespace fastcgi
