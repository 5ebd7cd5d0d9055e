#include "counter/counter_admin.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

#include "counter/count_text.h"
#include "counter/counter_files.h"
#include "counter/counter_id.h"

namespace {

constexpr const char* kBackupHeading = "vistrel counters";

std::string errorText() { return std::strerror(errno); }

// openDataFile() tells the server's log, standard error here, of a lock held
// too long, in a visit's words; the command says it in its own.
class QuietServerLog {
 public:
  QuietServerLog() : saved_(::dup(STDERR_FILENO)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO);
      ::close(null);
    }
  }
  ~QuietServerLog() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietServerLog(const QuietServerLog&) = delete;
  QuietServerLog& operator=(const QuietServerLog&) = delete;

 private:
  int saved_;
};

// Says why openDataFile() found no counter.
void explainMissingCounter(const std::string& counterId) {
  const std::string name = dataFileName(counterId);
  struct stat status;
  if (::stat(name.c_str(), &status) != 0) {
    failure(errno == ENOENT ? "no counter " + shownCounterId(counterId) : name + ": " + errorText());
  } else if (!S_ISREG(status.st_mode)) {
    failure(name + " is not a regular file");
  } else if (::access(name.c_str(), R_OK | W_OK) != 0) {
    failure(name + " cannot be read and written: " + errorText());
  } else {
    failure("counter " + shownCounterId(counterId) + " stayed locked by another process for " +
            std::to_string(kLockWaitMilliseconds / 1000) + " s; nothing changed");
  }
}

bool openCounter(DataFile& data, const std::string& counterId, bool forUpdate) {
  bool opened;
  {
    const QuietServerLog quiet;
    opened = openDataFile(data, counterId, forUpdate);
  }
  if (!opened) explainMissingCounter(counterId);
  return opened;
}

bool writeAll(int descriptor, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = ::write(descriptor, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool readAll(int descriptor, std::string& bytes) {
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(descriptor, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(block, static_cast<std::size_t>(got));
  }
}

bool readFile(const std::string& path, std::string& bytes) {
  if (path == "-") return readAll(STDIN_FILENO, bytes);
  // O_NONBLOCK: a FIFO in a report's place does not stall the command.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool read = readAll(descriptor, bytes);
  ::close(descriptor);
  return read;
}

// Writes `bytes` into a new file beside `path`, mode 600, and gives it the
// name `path` in one step: with `replace` over a file there, without it only
// where none is. A reader sees the old file or the whole new one. Made by
// root, a counter's file belongs to the servers' user. Returns 0 or, having
// said why, 1.
int placeNewFile(const std::string& path, const std::string& bytes, bool replace, bool forServer = true) {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (uid == 0 && forServer && !findServerUser(uid, gid)) return failure(std::string("no user ") + kServerUser);
  std::string temporary = path + ".XXXXXX";
  const int descriptor = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (descriptor < 0) return failure(path + ": " + errorText());
  bool written = ::fchown(descriptor, uid, gid) == 0 && ::fchmod(descriptor, 0600) == 0 &&
                 writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
  written = ::close(descriptor) == 0 && written;
  const bool placed = written && (replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                                          : ::link(temporary.c_str(), path.c_str()) == 0);
  const int placeError = errno;
  ::unlink(temporary.c_str());
  if (placed) return 0;
  errno = placeError;
  return failure(path + ": " + (errno == EEXIST ? "exists already" : errorText()));
}

bool counterFileExists(const std::string& counterId) {
  struct stat status;
  return ::lstat(dataFileName(counterId).c_str(), &status) == 0;
}

// A backup: every counter's count, then the report templates, each as
// "ID report LENGTH", a line feed, its bytes and a line feed.
struct Backup {
  std::map<std::string, int> counts;
  std::map<std::string, std::string> reports;
};

std::string backupText(const Backup& backup) {
  std::string text = std::string(kBackupHeading) + "\n";
  for (const auto& [counterId, count] : backup.counts) text += shownCounterId(counterId) + " " + countText(count) + "\n";
  for (const auto& [counterId, report] : backup.reports) {
    text += shownCounterId(counterId) + " report " + std::to_string(report.size()) + "\n" + report + "\n";
  }
  return text;
}

// Reads a backup; false, with the line that is wrong, for anything else.
bool parseBackup(const std::string& text, Backup& backup, std::string& problem) {
  const std::string heading = std::string(kBackupHeading) + "\n";
  if (text.compare(0, heading.size(), heading) != 0) {
    problem = "it does not start with \"" + std::string(kBackupHeading) + "\"";
    return false;
  }
  int lineNumber = 1;
  for (std::size_t at = heading.size(); at < text.size();) {
    ++lineNumber;
    problem = "line " + std::to_string(lineNumber);
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t space = line.find(' ');
    std::string counterId;
    if (space == std::string::npos || !parseCounterId(line.substr(0, space), counterId)) return false;
    const std::string rest = line.substr(space + 1);
    int number;
    if (rest.compare(0, 7, "report ") == 0) {
      if (!parseCount(rest.substr(7), number) || number < 0 || text.size() - at < static_cast<std::size_t>(number) + 1 ||
          text[at + static_cast<std::size_t>(number)] != '\n') {
        return false;
      }
      backup.reports[counterId] = text.substr(at, static_cast<std::size_t>(number));
      at += static_cast<std::size_t>(number) + 1;
    } else if (parseCount(rest, number)) {
      backup.counts[counterId] = number;
    } else {
      return false;
    }
  }
  return true;
}

// Keeps only the counters named, each of which the backup must hold.
int selectFromBackup(Backup& backup, const std::vector<std::string>& counterIds) {
  if (counterIds.empty()) return 0;
  Backup chosen;
  for (const std::string& counterId : counterIds) {
    if (backup.counts.count(counterId) == 0) {
      return failure("the backup holds no counter " + shownCounterId(counterId) + "; nothing changed");
    }
    chosen.counts[counterId] = backup.counts[counterId];
    if (backup.reports.count(counterId) != 0) chosen.reports[counterId] = backup.reports[counterId];
  }
  backup = chosen;
  return 0;
}

int restoreCount(const std::string& counterId, int count) {
  return counterFileExists(counterId) ? setCounter(counterId, count) : createCounter(counterId, count);
}

}  // namespace

std::string shownCounterId(const std::string& counterId) {
  if (counterId.empty()) return "\"\"";
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : counterId) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
      shown += c;
    } else {
      shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
  }
  return shown;
}

bool parseCounterId(const std::string& argument, std::string& counterId) {
  counterId.clear();
  if (argument == "\"\"") return true;
  for (std::size_t i = 0; i < argument.size(); ++i) {
    if (argument[i] != '\\') {
      counterId += argument[i];
      continue;
    }
    const std::string digits = argument.substr(i + 1, 3);
    if (digits.size() < 3 || digits[0] != 'x' || !std::isxdigit(static_cast<unsigned char>(digits[1])) ||
        !std::isxdigit(static_cast<unsigned char>(digits[2]))) {
      return false;
    }
    counterId += static_cast<char>(std::stoi(digits.substr(1), nullptr, 16));
    i += 3;
  }
  return effectiveCounterId(counterId) == counterId && isUsableCounterId(counterId);
}

bool parseCount(const std::string& argument, int& count) {
  const std::size_t first = argument.compare(0, 1, "-") == 0 ? 1 : 0;
  if (argument.size() == first || argument.size() - first > 10 ||
      argument.find_first_not_of("0123456789", first) != std::string::npos) {
    return false;
  }
  const long long value = std::stoll(argument);
  if (value < INT_MIN || value > INT_MAX) return false;
  count = static_cast<int>(value);
  return true;
}

int failure(const std::string& message) {
  const std::string line = "vistrelctl: " + message + "\n";
  std::fflush(stdout);
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  return 1;
}

bool findServerUser(uid_t& uid, gid_t& gid) {
  const struct passwd* user = ::getpwnam(kServerUser);
  if (user == nullptr) return false;
  uid = user->pw_uid;
  gid = user->pw_gid;
  return true;
}

std::vector<std::string> listCounterIds() {
  std::vector<std::string> counterIds;
  DIR* folder = ::opendir(".");
  if (folder == nullptr) return counterIds;
  const std::string suffix = dataFileName("");
  while (const struct dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    const std::string counterId = name.substr(0, name.size() - suffix.size());
    if (effectiveCounterId(counterId) == counterId && isUsableCounterId(counterId)) counterIds.push_back(counterId);
  }
  ::closedir(folder);
  std::sort(counterIds.begin(), counterIds.end());
  return counterIds;
}

bool readCounter(const std::string& counterId, int& count) {
  DataFile data;
  if (!openCounter(data, counterId, false)) return false;
  count = data.reading.count();
  return true;
}

int createCounter(const std::string& counterId, int count) {
  if (counterFileExists(counterId)) return failure("counter " + shownCounterId(counterId) + " exists already");
  return placeNewFile(dataFileName(counterId), countText(count), false);
}

int showCounters(const std::vector<std::string>& counterIds) {
  std::vector<std::string> shown = counterIds.empty() ? listCounterIds() : counterIds;
  std::sort(shown.begin(), shown.end());
  shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  int status = 0;
  for (const std::string& counterId : shown) {
    int count;
    if (readCounter(counterId, count)) {
      std::printf("%s %d\n", shownCounterId(counterId).c_str(), count);
    } else {
      status = 1;
    }
  }
  return status;
}

int setCounter(const std::string& counterId, int count) {
  DataFile data;
  if (!openCounter(data, counterId, true)) return 1;
  // storeCount() says why on standard error when it fails.
  return storeCount(data, count) ? 0 : 1;
}

int removeCounter(const std::string& counterId) {
  DataFile data;
  if (!openCounter(data, counterId, true)) return 1;
  // Under the lock: a visit waiting for it finds the name gone and answers
  // as for a missing counter, and none counts into the removed file after.
  if (::unlink(dataFileName(counterId).c_str()) != 0) return failure(dataFileName(counterId) + ": " + errorText());
  if (::unlink(reportFileName(counterId).c_str()) != 0 && errno != ENOENT) {
    return failure(reportFileName(counterId) + ": " + errorText());
  }
  return 0;
}

int showReport(const std::string& counterId) {
  std::string bytes;
  if (!readFile(reportFileName(counterId), bytes)) {
    return failure(errno == ENOENT ? "counter " + shownCounterId(counterId) +
                                         " has no report template: its view is the built-in statistics page"
                                   : reportFileName(counterId) + ": " + errorText());
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  return 0;
}

int installReport(const std::string& counterId, const std::string& templatePath) {
  std::string bytes;
  if (!readFile(templatePath, bytes)) return failure(templatePath + ": " + errorText());
  int count;
  if (!readCounter(counterId, count)) return 1;
  return placeNewFile(reportFileName(counterId), bytes, true);
}

int backUpCounters(const std::string& backupPath) {
  Backup backup;
  for (const std::string& counterId : listCounterIds()) {
    // Said why; a backup without one of the counters is not written at all.
    if (!readCounter(counterId, backup.counts[counterId])) return 1;
    std::string report;
    if (readFile(reportFileName(counterId), report)) {
      backup.reports[counterId] = report;
    } else if (errno != ENOENT) {
      return failure(reportFileName(counterId) + ": " + errorText() + "; no backup written");
    }
  }
  const std::string text = backupText(backup);
  if (backupPath != "-") return placeNewFile(backupPath, text, true, false);
  return writeAll(STDOUT_FILENO, text) ? 0 : failure("standard output: " + errorText());
}

int restoreCounters(const std::string& backupPath, const std::vector<std::string>& counterIds) {
  std::string text;
  if (!readFile(backupPath, text)) return failure(backupPath + ": " + errorText());
  Backup backup;
  std::string problem;
  if (!parseBackup(text, backup, problem)) return failure(backupPath + " is not a vistrelctl backup: " + problem);
  if (selectFromBackup(backup, counterIds) != 0) return 1;
  int status = 0;
  for (const auto& [counterId, count] : backup.counts) status |= restoreCount(counterId, count);
  for (const auto& [counterId, report] : backup.reports) {
    status |= placeNewFile(reportFileName(counterId), report, true);
  }
  return status;
}
