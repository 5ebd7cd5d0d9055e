// The administrator's commands on a counter folder (vistrelctl). Every count
// is read and written through counter_files, under the lock that visits take,
// so that a command run while a site serves loses no visit and counts none
// twice. Each command works in the current directory, the counter folder,
// and returns the exit status: 0, or 1 after one line on standard error.
// A failed command leaves every counter as it was.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// An id as vistrelctl shows it: bytes outside printable ASCII, a space, "\"
// and a quote as \xHH, the empty id as "" (two quotes).
std::string shownCounterId(const std::string& counterId);

// An id as given on the command line or in a backup, where \xHH stands for
// a byte and "" for the empty id. Only an id that vistrel uses as it stands
// is taken: at most two bytes, no "/", "\" or zero byte.
bool parseCounterId(const std::string& argument, std::string& counterId);

// A count: an optional "-" and decimal digits, within 32 bits.
bool parseCount(const std::string& argument, int& count);

// Writes "vistrelctl: " and the message to standard error; returns 1.
int failure(const std::string& message);

// The user the web servers run vistrel as; a command run by root gives the
// files it makes to that user. False when no such user exists.
bool findServerUser(uid_t& uid, gid_t& gid);
constexpr const char* kServerUser = "www-data";

// The ids of the counters in the current directory, in byte order.
std::vector<std::string> listCounterIds();

// The count of an existing counter, read under a shared lock; false, having
// said why, when it cannot be read.
bool readCounter(const std::string& counterId, int& count);

int createCounter(const std::string& counterId, int count);
int showCounters(const std::vector<std::string>& counterIds);  // none: every counter
int setCounter(const std::string& counterId, int count);
int removeCounter(const std::string& counterId);
int showReport(const std::string& counterId);
int installReport(const std::string& counterId, const std::string& templatePath);  // "-": standard input
int backUpCounters(const std::string& backupPath);                                 // "-": standard output
int restoreCounters(const std::string& backupPath, const std::vector<std::string>& counterIds);
