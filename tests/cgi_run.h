// Runs a CGI program the way a web server does: a fresh process with an
// environment built from scratch, given standard input bytes, its standard
// output captured byte for byte.
#pragma once

#include <string>
#include <vector>

struct CgiRequest {
  std::vector<std::string> environment;  // "NAME=value" entries, in this order
  std::string input;                     // bytes on standard input
  std::vector<std::string> arguments;    // after argv[0]
  std::string workingDirectory;          // empty: the test's own
  std::string argv0;                     // empty: the program path
  bool closeOutputEarly = false;         // standard output is a pipe nobody reads
  long memoryLimit = 0;                  // address-space limit in bytes, 0: none
  bool runAsNobody = false;              // drop root's rights, as a web server's user has none
};

struct CgiResult {
  std::string output;      // standard output, raw bytes
  std::string errors;      // standard error, raw bytes
  int exitStatus = -1;     // -1 when killed by a signal
  long inputOffset = -1;   // how far the program read into its standard input file
};

CgiResult runCgi(const std::string& program, const CgiRequest& request);

// The bytes a text-mode standard output sends for `text`: each LF as CR LF.
std::string crlf(const std::string& text);

// A fresh temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  std::vector<std::string> list() const;  // names, sorted
  static void write_file(const std::string& path, const std::string& bytes);
  static std::string read_file(const std::string& path);

 private:
  std::string path_;
};
