#include "counter/counter_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text_stdio.h"

namespace {

// Opens an existing regular file. O_NONBLOCK keeps a FIFO or a device from
// stalling the request; such files are then refused.
int openRegularFile(const std::string& name, int access) {
  const int descriptor = ::open(name.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return -1;
  struct stat status;
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

// Waits for a whole-file record lock. fcntl locks also hold over NFS; they are
// released when any descriptor of the file closes, so the data file is opened once.
// Where the file system offers no locks the visit is still counted, unguarded.
void lockWholeFile(int descriptor, bool exclusive) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(descriptor, F_SETLKW, &lock) != 0 && errno == EINTR) {
  }
}

void scanCount(DataFile& data) {
  char block[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(data.descriptor, block, sizeof block, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || data.reading.feed(block, static_cast<std::size_t>(got))) return;
    // A short read of a regular file is its end.
    if (static_cast<std::size_t>(got) < sizeof block) return;
    offset += got;
  }
}

int byteAt(int descriptor, off_t offset) {
  unsigned char byte;
  return ::pread(descriptor, &byte, 1, offset) == 1 ? byte : -1;
}

void writeReportBlock(const char* bytes, std::size_t length, int count) {
  while (length > 0) {
    const char* star = static_cast<const char*>(std::memchr(bytes, '*', length));
    const std::size_t run = star ? static_cast<std::size_t>(star - bytes) : length;
    writeText(bytes, run);
    if (star == nullptr) return;
    writeDecimal(count);
    bytes += run + 1;
    length -= run + 1;
  }
}

}  // namespace

bool openDataFile(DataFile& data, const std::string& counterId, bool forUpdate) {
  data.descriptor = openRegularFile(counterId + ".dat", O_RDWR);
  if (data.descriptor < 0) return false;
  lockWholeFile(data.descriptor, forUpdate);
  scanCount(data);
  return true;
}

void rewriteCount(DataFile& data) {
  std::string text = countText(nextCount(data.reading.count()));
  const std::size_t digits = text.size();
  const bool cut = rewriteNeedsCut(data.reading, text, byteAt(data.descriptor, static_cast<off_t>(digits)));
  // A line feed behind the digits keeps the count readable even if the
  // process dies between the write and the cut.
  if (cut) text += '\n';
  // Unchecked: the answer is already written, and a failed rewrite has nobody to tell.
  (void)!::pwrite(data.descriptor, text.data(), text.size(), 0);
  // Unchecked too: an uncut file still reads as the new count, since the line feed ends it.
  if (cut) (void)!::ftruncate(data.descriptor, static_cast<off_t>(digits));
}

void closeDataFile(DataFile& data) {
  if (data.descriptor >= 0) ::close(data.descriptor);
  data.descriptor = -1;
}

DataFile::~DataFile() { closeDataFile(*this); }

bool copyReportPage(const std::string& counterId, int count) {
  const int report = openRegularFile(counterId + ".report", O_RDONLY);
  if (report < 0) return false;
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(report, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    writeReportBlock(block, static_cast<std::size_t>(got), count);
  }
  ::close(report);
  return true;
}
