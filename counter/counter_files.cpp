#include "counter/counter_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/call_time_limit.h"
#include "platform/request.h"
#include "platform/text_stdio.h"

namespace {

// Why the counter folder could not be entered; 0 when it was, or when the build names none.
int counterFolderError;

// Opens an existing regular file. O_NONBLOCK keeps a FIFO or a device from
// stalling the request; such files are then refused.
int openRegularFile(const std::string& name, int access, struct stat& status) {
  const int descriptor = ::open(name.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return -1;
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

// A counter id in the server's log: its bytes, any that are not printable as \xHH.
std::string printableId(const std::string& counterId) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : counterId) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += c;
    } else {
      shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
  }
  return shown;
}

void reportCounterProblem(const std::string& counterId, const std::string& problem) {
  reportToServerLog("vistrel: counter " + printableId(counterId) + ": " + problem);
}

// Takes a whole-file record lock, waiting at most until `limit`. fcntl locks
// also hold over NFS; they are released when any descriptor of the file
// closes, so the data file is opened once. Where the file system offers no
// locks the visit is still counted, unguarded.
bool lockWholeFile(int descriptor, bool exclusive, long waitMilliseconds) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(descriptor, F_SETLK, &lock) == 0) return true;
  if (errno != EACCES && errno != EAGAIN) return errno != EINTR;
  const CallTimeLimit limit(waitMilliseconds);
  while (::fcntl(descriptor, F_SETLKW, &lock) != 0) {
    if (errno != EINTR) return errno != EDEADLK;
    if (limit.passed()) return false;
  }
  return true;
}

// Whether `name` still leads to the file that was opened as `opened`: one
// replaced by a rename while the visit waited for its lock does not.
bool stillNamed(const std::string& name, const struct stat& opened) {
  struct stat now;
  return ::stat(name.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

void scanCount(DataFile& data) {
  char block[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(data.descriptor, block, sizeof block, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return;
    if (offset == 0) {
      data.headLength = std::min(static_cast<std::size_t>(got), sizeof data.head);
      std::memcpy(data.head, block, data.headLength);
      data.headIsWholeFile = static_cast<std::size_t>(got) < sizeof block;
    }
    if (got == 0 || data.reading.feed(block, static_cast<std::size_t>(got))) return;
    // A short read of a regular file is its end.
    if (static_cast<std::size_t>(got) < sizeof block) return;
    offset += got;
  }
}

// The byte at `offset` of the data file, -1 past its end; the count's own
// bytes were read already, so a visit seldom reads the file again.
int byteAt(const DataFile& data, std::size_t offset) {
  if (offset < data.headLength) return static_cast<unsigned char>(data.head[offset]);
  if (data.headIsWholeFile) return -1;
  unsigned char byte;
  return ::pread(data.descriptor, &byte, 1, static_cast<off_t>(offset)) == 1 ? byte : -1;
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

void enterCounterFolder() {
#ifdef CGI_COUNTER_DIR
  counterFolderError = ::chdir(CGI_COUNTER_DIR) == 0 ? 0 : errno;
#endif
}

// Takes the lock only if no other process holds it.
bool lockWholeFileAtOnce(int descriptor, bool exclusive) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(descriptor, F_SETLK, &lock) != 0) {
    if (errno != EINTR) return errno != EACCES && errno != EAGAIN;
  }
  return true;
}

bool counterFolderEntered() {
  if (counterFolderError == 0) return true;
#ifdef CGI_COUNTER_DIR
  reportToServerLog(std::string("vistrel: cannot enter the counter folder " CGI_COUNTER_DIR ": ") +
                    std::strerror(counterFolderError));
#endif
  return false;
}

std::string dataFileName(const std::string& counterId) { return counterId + ".dat"; }
std::string reportFileName(const std::string& counterId) { return counterId + ".report"; }

// Opens the counter's data file and locks it, waiting for the lock at most
// `waitMilliseconds` (none at all for 0), until the name leads to the locked file.
CounterOpening openAndLock(DataFile& data, const std::string& counterId, bool forUpdate, long waitMilliseconds) {
  const std::string name = dataFileName(counterId);
  const long long deadline = monotonicMilliseconds() + waitMilliseconds;
  data.counterId = counterId;
  for (;;) {
    struct stat opened;
    errno = 0;  // a file that is not regular sets none
    data.descriptor = openRegularFile(name, O_RDWR, opened);
    if (data.descriptor < 0 && (errno == EMFILE || errno == ENFILE)) {
      // The counter may well exist: this visit could not be counted.
      reportCounterProblem(counterId,
                           std::string("cannot be opened: ") + std::strerror(errno) + "; answered as missing");
    }
    if (data.descriptor < 0) return CounterOpening::missing;
    const bool locked = waitMilliseconds == 0 ? lockWholeFileAtOnce(data.descriptor, forUpdate)
                                              : lockWholeFile(data.descriptor, forUpdate,
                                                              static_cast<long>(deadline - monotonicMilliseconds()));
    if (!locked) {
      closeDataFile(data);
      return CounterOpening::setAside;
    }
    if (stillNamed(name, opened)) break;
    // The lock is the replaced file's: the visit counts in the file that took its place.
    closeDataFile(data);
  }
  scanCount(data);
  return CounterOpening::opened;
}

void reportLockedTooLong(const std::string& counterId) {
  reportCounterProblem(counterId, "locked by another process for too long; answered as missing");
}

bool openDataFile(DataFile& data, const std::string& counterId, bool forUpdate) {
  if (!counterFolderEntered()) return false;
  const CounterOpening opening = openAndLock(data, counterId, forUpdate, kLockWaitMilliseconds);
  if (opening == CounterOpening::setAside) reportLockedTooLong(counterId);
  return opening == CounterOpening::opened;
}

CounterOpening openDataFileForRequest(DataFile& data, const std::string& counterId, bool forUpdate) {
  if (!canSetRequestAside())
    return openDataFile(data, counterId, forUpdate) ? CounterOpening::opened : CounterOpening::missing;
  if (!counterFolderEntered()) return CounterOpening::missing;
  const CounterOpening opening = openAndLock(data, counterId, forUpdate, 0);
  if (opening != CounterOpening::setAside || setRequestAside(kLockWaitMilliseconds)) return opening;
  reportLockedTooLong(counterId);
  return CounterOpening::missing;
}

bool rewriteCount(DataFile& data, bool stopBeforeCut) {
  return storeCount(data, nextCount(data.reading.count()), stopBeforeCut);
}

bool storeCount(DataFile& data, int next, bool stopBeforeCut) {
  std::string text = countText(next);
  const std::size_t digits = text.size();
  const bool cut = rewriteNeedsCut(data.reading, text, byteAt(data, digits));
  // A line feed behind the digits keeps the count readable even if the
  // process dies between the write and the cut.
  if (cut) text += '\n';
  data.rewritten = true;
  const ssize_t written = ::pwrite(data.descriptor, text.data(), text.size(), 0);
  const bool stored = written == static_cast<ssize_t>(text.size()) &&
                      (!cut || stopBeforeCut || ::ftruncate(data.descriptor, static_cast<off_t>(digits)) == 0);
  if (!stored) {
    // The answer has gone out already: the server's log is the one place left to tell.
    const bool partly = written >= 0 && written < static_cast<ssize_t>(text.size());
    const std::string why = partly ? "the disk took only part of it" : std::strerror(errno);
    reportCounterProblem(data.counterId, "the count " + countText(next) + " could not be stored: " + why);
  }
  return stored;
}

void closeDataFile(DataFile& data) {
  if (data.descriptor < 0) return;
  if (::close(data.descriptor) != 0 && data.rewritten && errno != EINTR) {
    reportCounterProblem(data.counterId, std::string("the count could not be stored: ") + std::strerror(errno));
  }
  data.descriptor = -1;
  data.rewritten = false;
}

DataFile::~DataFile() { closeDataFile(*this); }

bool copyReportPage(const std::string& counterId, int count) {
  struct stat status;
  const int report = openRegularFile(reportFileName(counterId), O_RDONLY, status);
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
