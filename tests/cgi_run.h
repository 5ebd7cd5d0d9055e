// Runs the programs the way web servers do: a CGI program as a fresh process
// with an environment built from scratch, given standard input bytes, its
// standard output captured byte for byte; or a FastCGI worker that answers
// request after request on a listening socket, through our own FastCGI client
// or Debian's cgi-fcgi.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <iosfwd>
#include <memory>
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
  int closedDescriptor = -1;             // 0, 1 or 2: started with it closed
  bool diskFull = false;                 // no file may grow (RLIMIT_FSIZE 0, SIGXFSZ ignored)
  // Called with workingDirectory once standard output, a pipe read only
  // afterwards, is full: the program waits on its client.
  void (*whileOutputWaits)(const std::string& workingDirectory) = nullptr;
};

struct CgiResult {
  std::string output;     // standard output (FCGI_STDOUT), raw bytes
  std::string errors;     // standard error (FCGI_STDERR), raw bytes
  int exitStatus = -1;    // the FastCGI application status; -1 when killed by a signal
  long inputOffset = -1;  // how far a CGI program read into its standard input file
};

// Every wait of the harness ends after this long with an exception that fails the test.
constexpr int kTimeoutSeconds = 60;

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
  void empty() const;                     // removes everything inside
  static void write_file(const std::string& path, const std::string& bytes);
  static std::string read_file(const std::string& path);

 private:
  std::string path_;
};

// A FastCGI client over a unix socket, one request per connection. It reads
// the answer while it sends, as a web server does, so that a program that
// answers as it reads never waits on it.
class FastCgiClient {
 public:
  explicit FastCgiClient(const std::string& socketPath);
  ~FastCgiClient();
  FastCgiClient(const FastCgiClient&) = delete;
  FastCgiClient& operator=(const FastCgiClient&) = delete;

  // FCGI_BEGIN_REQUEST (responder) and the parameters, split at each entry's first "=".
  // A kept connection (FCGI_KEEP_CONN) stays open for the next request.
  void beginRequest(const std::vector<std::string>& environment, bool keepConnection = false);
  void sendInput(const std::string& bytes);  // FCGI_STDIN records
  void endInput();                           // the empty FCGI_STDIN record
  // Reads until FCGI_END_REQUEST; throws when the connection ends first or nothing comes in time.
  CgiResult readAnswer(int timeoutSeconds = kTimeoutSeconds);
  // Ends what this side sends and returns every byte the worker sends until it closes.
  std::string readUntilClosed();
  // Waits until the first bytes of an answer came.
  void waitForAnswerToStart();
  // Whether any byte of an answer has arrived, without waiting.
  bool hasReceived();
  // Sends FCGI_GET_VALUES and waits for its result: the worker has then
  // taken every record sent before it (the result is skipped by readAnswer).
  void waitUntilTaken();
  void hangUp();                           // closes the connection, as a server whose client went away
  void sendRaw(const std::string& bytes);  // bytes as they stand, well-formed or not

  // The whole request in one go.
  static CgiResult exchange(const std::string& socketPath, const CgiRequest& request);

 private:
  bool receiveFor(int milliseconds);

  int socket_ = -1;
  bool kept_ = false;
  bool peerClosed_ = false;
  std::string received_;
};

// Processes of a program started as FastCGI workers, the way spawn-fcgi starts
// them: one listening unix socket as descriptor 0 of each, in the given
// working directory, their own output and errors kept in a file.
class FastCgiWorker {
 public:
  struct Options {
    int processes = 1;
    std::vector<std::string> arguments;  // after argv[0]
    long memoryLimit = 0;                // address-space limit in bytes, 0: none
    long descriptorLimit = 0;            // open descriptors at most, 0: no limit of the test's own
    // Instead of the program: this handler, served by a forked copy of the
    // test on the test's clock (see advanceTestClock).
    int (*handler)() = nullptr;
  };
  FastCgiWorker(const std::string& program, const std::string& workingDirectory);
  FastCgiWorker(const std::string& program, const std::string& workingDirectory, const Options& options);
  ~FastCgiWorker();  // stops what still runs
  FastCgiWorker(const FastCgiWorker&) = delete;
  FastCgiWorker& operator=(const FastCgiWorker&) = delete;

  const std::string& socketPath() const { return socket_; }
  const std::vector<pid_t>& pids() const { return pids_; }
  CgiResult run(const CgiRequest& request) const;
  CgiResult runThroughCgiFcgi(const CgiRequest& request) const;
  // Sends `signal` to each process and waits for it to end (SIGKILL after the
  // timeout); returns the exit statuses, -1 for an end by a signal.
  std::vector<int> stop(int signal);
  // What the processes wrote to their own standard output and error.
  std::string ownOutput() const;

 private:
  TempDir home_;
  std::string socket_;
  std::vector<pid_t> pids_;
};

// Moves the clock of the workers that serve a test's handler (never real
// time): a deadline passes without waiting for it.
void advanceTestClock(long long milliseconds);

// How a test hands a request to a program.
enum class Mode { cgi, fastcgi, cgiFcgi };
constexpr Mode kAllModes[] = {Mode::cgi, Mode::fastcgi, Mode::cgiFcgi};
std::string modeName(Mode mode);
void PrintTo(Mode mode, std::ostream* out);  // how GoogleTest names a mode

// One program answering a test's requests in one mode. In the FastCGI modes
// a single worker, started on first use in `workingDirectory`, answers them all;
// at the end it must stop at SIGTERM with status 0, having written nothing of its own.
class ProgramRunner {
 public:
  ProgramRunner(std::string program, Mode mode, std::string workingDirectory = "");
  ~ProgramRunner();
  CgiResult run(CgiRequest request);

 private:
  std::string program_;
  Mode mode_;
  std::string workingDirectory_;
  std::unique_ptr<FastCgiWorker> worker_;
};

// Where cgi-fcgi is on PATH; empty when it is not installed.
std::string cgiFcgiPath();

// A suite run once in each mode; without cgi-fcgi its mode is skipped.
class InEachMode : public testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    if (GetParam() == Mode::cgiFcgi && cgiFcgiPath().empty()) GTEST_SKIP() << "cgi-fcgi is not on PATH (libfcgi-bin)";
  }
};

// Waits for `child` to end, at most `timeoutSeconds`; then kills it and throws.
// Returns its exit status, -1 for an end by a signal.
int waitForExit(pid_t child, int timeoutSeconds = kTimeoutSeconds);

// How many fcntl locks /proc/locks lists on the file at `path`: those held,
// or those waited for.
int locksOnFile(const std::string& path, bool waitedFor);

// Waits until `count` processes wait for a lock on the file at `path`, as
// /proc/locks lists them; throws after kTimeoutSeconds.
void waitForLockWaiters(const std::string& path, int count);

// Holds an fcntl lock on a file until destroyed: exclusive, as a visit takes
// it, or shared, which anyone who can read the file can take.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path, bool shared = false);
  ~HeldLock();
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  // The file's bytes, read through the locked descriptor: closing any other
  // descriptor of the file would release the lock.
  std::string contents() const;

 private:
  int descriptor_;
};
