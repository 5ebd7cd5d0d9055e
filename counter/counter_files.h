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
  CountScanner reading;
};

// Opens the counter's existing data file for reading and writing, never
// creating it, and reads the count under a POSIX record lock: exclusive for a
// visit that will rewrite the count, shared otherwise. The lock lasts until
// closeDataFile(). Returns false, the counter does not exist, when the file
// cannot be opened for both or is not a regular file.
bool openDataFile(DataFile& data, const std::string& counterId, bool forUpdate);

// Writes the next count over the start of the data file (see rewriteNeedsCut).
void rewriteCount(DataFile& data);

void closeDataFile(DataFile& data);

// Copies the report file to standard output, each "*" replaced by the count.
// Returns false, having written nothing, when there is no readable regular report file.
bool copyReportPage(const std::string& counterId, int count);
