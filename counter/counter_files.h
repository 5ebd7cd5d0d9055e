// A counter's files in the working directory: its data file "<id>.dat", which
// holds the visit count, and its optional report file "<id>.report".
#pragma once

#include <string>

#include "counter/count_text.h"

// An open data file and the count read from it. Whatever ends the request,
// the file is closed, and its lock released, when the object goes.
struct DataFile {
  DataFile() = default;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;
  ~DataFile();

  int descriptor = -1;
  std::string counterId;
  bool rewritten = false;
  CountScanner reading;
  // The file's first bytes as the count was read, and whether they are all of it.
  char head[16];
  std::size_t headLength = 0;
  bool headIsWholeFile = false;
};

// How long a visit or a view waits for a counter that another process has
// locked. Anyone who can open the file can lock it: past this, the request is
// answered as if the counter did not exist, and the server's log says why.
constexpr long kLockWaitMilliseconds = 3000;

// Opens the counter's existing data file for reading and writing, never
// creating it, and reads the count under a POSIX record lock: exclusive for a
// visit that will rewrite the count, shared otherwise. The lock lasts until
// closeDataFile(), and is always the lock of the file that the counter's name
// leads to, also where the file was replaced while the visit waited. Returns
// false, the counter does not exist, when the file cannot be opened for both,
// is not a regular file, or stays locked by another process too long.
// The names of a counter's files: "<id>.dat" and "<id>.report".
std::string dataFileName(const std::string& counterId);
std::string reportFileName(const std::string& counterId);

bool openDataFile(DataFile& data, const std::string& counterId, bool forUpdate);

// How a request's counter opened.
enum class CounterOpening { opened, missing, setAside };

// As openDataFile, for a request of a FastCGI worker, which must not wait on
// a lock that another process holds: the request is set aside (see
// setRequestAside) and runs again from its start, up to kLockWaitMilliseconds
// in all, while the worker serves others; then it is answered as missing and
// the server's log says why. Elsewhere (a CGI request) it waits as
// openDataFile does.
CounterOpening openDataFileForRequest(DataFile& data, const std::string& counterId, bool forUpdate);

// Writes the next count over the start of the data file (see rewriteNeedsCut).
// Returns false, having told the server's log, when it could not be stored.
// With stopBeforeCut, leaves the file as a visit killed between its write and
// its cut would (for tests).
bool rewriteCount(DataFile& data, bool stopBeforeCut = false);

// Writes `count` over the data file the way rewriteCount() writes the next
// one: the administrator's command sets and restores counts with it, under
// the lock that openDataFile() took for an update.
bool storeCount(DataFile& data, int count, bool stopBeforeCut = false);

// Closes the data file; after a rewrite, a failed close (a write that a
// network file system could not store) is told to the server's log.
void closeDataFile(DataFile& data);

// Copies the report file to standard output, each "*" replaced by the count.
// Returns false, having written nothing, when there is no readable regular report file.
bool copyReportPage(const std::string& counterId, int count);

// Enters the folder that the build names for the counters (CGI_COUNTER_DIR),
// if it names one. Where it cannot, openDataFile() finds no counter and tells
// the server's log why, request by request.
void enterCounterFolder();
