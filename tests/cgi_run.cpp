#include "cgi_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "platform/serving.h"

namespace {

using Clock = std::chrono::steady_clock;

int temporaryFile() {
  char name[] = "/tmp/cgi_run_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

std::string readWhole(int fd) {
  std::string bytes;
  lseek(fd, 0, SEEK_SET);
  char block[65536];
  for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) bytes.append(block, static_cast<size_t>(got));
  return bytes;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

void limitMemory(long bytes) {
  if (bytes <= 0) return;
  const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  setrlimit(RLIMIT_AS, &limit);
}

// A copy of `program` in a folder that every user may enter, for a run
// without root's rights: the build tree may lie in a folder only root can enter.
std::string reachableCopy(const std::string& program, const TempDir& folder) {
  std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
  const std::string copy = folder.file("program");
  std::filesystem::copy_file(program, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                         std::filesystem::perms::others_exec);
  return copy;
}

// FastCGI records.
enum RecordType : unsigned char {
  kBeginRequest = 1,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7
};
constexpr std::size_t kMaxContent = 65535;

std::string record(RecordType type, const std::string& content) {
  std::string bytes{1, static_cast<char>(type), 0, 1};
  bytes += static_cast<char>(content.size() >> 8);
  bytes += static_cast<char>(content.size() & 0xFF);
  bytes += std::string(2, '\0');  // no padding, reserved
  return bytes + content;
}

// Content cut into records; empty content makes none.
std::string records(RecordType type, const std::string& content) {
  std::string bytes;
  for (std::size_t at = 0; at < content.size(); at += kMaxContent)
    bytes += record(type, content.substr(at, kMaxContent));
  return bytes;
}

std::string pairLength(std::size_t length) {
  if (length < 128) return std::string(1, static_cast<char>(length));
  return std::string{static_cast<char>(0x80 | (length >> 24)), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 8), static_cast<char>(length)};
}

std::string encodeParams(const std::vector<std::string>& environment) {
  std::string pairs;
  for (const auto& entry : environment) {
    const std::size_t equals = std::min(entry.find('='), entry.size());
    const std::string name = entry.substr(0, equals);
    const std::string value = equals < entry.size() ? entry.substr(equals + 1) : "";
    pairs += pairLength(name.size()) + pairLength(value.size()) + name + value;
  }
  return pairs;
}

unsigned byteAt(const std::string& bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

// The test's clock, in memory that the workers it forks share.
volatile long long* sharedTestClock() {
  static auto* clock = static_cast<volatile long long*>(
      mmap(nullptr, sizeof(long long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  return clock;
}

long long testClockNow() { return *sharedTestClock(); }

// Waits until `process` sleeps in a write to a full pipe, as its /proc wchan tells.
void waitUntilWritingToFullPipe(pid_t process) {
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  for (;;) {
    std::ifstream wchan("/proc/" + std::to_string(process) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    if (where.find("pipe_write") != std::string::npos) return;
    if (Clock::now() > deadline) throw std::runtime_error("the program never waited on its output");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

int waitForExit(pid_t child, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  for (auto pause = std::chrono::microseconds(100);; pause = std::min(pause * 2, std::chrono::microseconds(20000))) {
    int status = 0;
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (ended < 0) throw std::runtime_error("waitpid: " + std::string(strerror(errno)));
    if (Clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      throw std::runtime_error("process " + std::to_string(child) + " did not end within " +
                               std::to_string(timeoutSeconds) + " s");
    }
    std::this_thread::sleep_for(pause);
  }
}

CgiResult runCgi(const std::string& program, const CgiRequest& request) {
  const int in = temporaryFile();
  if (write(in, request.input.data(), request.input.size()) != static_cast<ssize_t>(request.input.size())) {
    throw std::runtime_error("cannot write standard input");
  }
  lseek(in, 0, SEEK_SET);
  // Where no file may grow, the answer and the errors travel through pipes.
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (request.diskFull && (pipe(outPipe) != 0 || pipe(errPipe) != 0)) throw std::runtime_error("pipe failed");
  if (request.whileOutputWaits != nullptr && pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
  const int out = outPipe[0] >= 0 ? outPipe[0] : temporaryFile();
  const int err = request.diskFull ? errPipe[0] : temporaryFile();
  int deadPipe[2] = {-1, -1};
  if (request.closeOutputEarly) {
    if (pipe(deadPipe) != 0) throw std::runtime_error("pipe failed");
    close(deadPipe[0]);
  }
  TempDir copyFolder;
  const std::string executable = request.runAsNobody ? reachableCopy(program, copyFolder) : program;

  std::vector<std::string> argv{request.argv0.empty() ? program : request.argv0};
  argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
  std::vector<std::string> envp = request.environment;
  auto argvPointers = pointers(argv);
  auto envpPointers = pointers(envp);

  const pid_t child = fork();
  if (child == 0) {
    dup2(in, 0);
    dup2(request.closeOutputEarly ? deadPipe[1] : outPipe[1] >= 0 ? outPipe[1] : out, 1);
    dup2(request.diskFull ? errPipe[1] : err, 2);
    if (!request.workingDirectory.empty() && chdir(request.workingDirectory.c_str()) != 0) _exit(126);
    if (request.runAsNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    limitMemory(request.memoryLimit);
    if (request.closedDescriptor >= 0) close(request.closedDescriptor);
    if (request.diskFull) {
      const rlimit none{0, 0};
      setrlimit(RLIMIT_FSIZE, &none);
      signal(SIGXFSZ, SIG_IGN);
    }
    // A web server starts programs with SIGPIPE at its default action.
    signal(SIGPIPE, SIG_DFL);
    execve(executable.c_str(), argvPointers.data(), envpPointers.data());
    _exit(127);
  }
  if (request.closeOutputEarly) close(deadPipe[1]);
  if (outPipe[1] >= 0) close(outPipe[1]);
  if (request.diskFull) close(errPipe[1]);
  CgiResult result;
  if (request.whileOutputWaits != nullptr) {
    try {
      waitUntilWritingToFullPipe(child);
    } catch (const std::exception&) {
      kill(child, SIGKILL);  // no program is left behind, blocked on its output
      waitForExit(child);
      throw;
    }
    request.whileOutputWaits(request.workingDirectory);
    result.output = readWhole(out);
  }
  result.exitStatus = waitForExit(child);
  result.output += readWhole(out);
  result.errors = readWhole(err);
  result.inputOffset = static_cast<long>(lseek(in, 0, SEEK_CUR));
  close(in);
  close(out);
  close(err);
  return result;
}

std::string crlf(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

TempDir::TempDir() {
  char name[] = "/tmp/cgi_test_XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& bytes) const { write_file(file(name), bytes); }

std::string TempDir::read(const std::string& name) const { return read_file(file(name)); }

void TempDir::write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string TempDir::read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

bool TempDir::exists(const std::string& name) const {
  std::error_code ignored;
  return std::filesystem::symlink_status(file(name), ignored).type() != std::filesystem::file_type::not_found;
}

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void TempDir::empty() const {
  for (const auto& name : list()) std::filesystem::remove_all(file(name));
}

FastCgiClient::FastCgiClient(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + socketPath);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_ < 0) throw std::runtime_error("socket failed");
  // A listening socket's backlog takes the connection even before the worker accepts it.
  if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const std::string why = strerror(errno);
    ::close(socket_);
    throw std::runtime_error("cannot connect to " + socketPath + ": " + why);
  }
}

FastCgiClient::~FastCgiClient() { hangUp(); }

void FastCgiClient::hangUp() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

void FastCgiClient::beginRequest(const std::vector<std::string>& environment, bool keepConnection) {
  kept_ = keepConnection;
  sendRaw(record(kBeginRequest, std::string{0, 1, keepConnection, 0, 0, 0, 0, 0}) +
          records(kParams, encodeParams(environment)) + record(kParams, ""));
}

void FastCgiClient::sendInput(const std::string& bytes) {
  if (!bytes.empty()) sendRaw(records(kStdin, bytes));
}

void FastCgiClient::endInput() { sendRaw(record(kStdin, "")); }

// Reads what arrives within `milliseconds`; false when the worker closed the connection.
bool FastCgiClient::receiveFor(int milliseconds) {
  pollfd ready{socket_, POLLIN, 0};
  if (poll(&ready, 1, milliseconds) <= 0) return true;
  char block[65536];
  const ssize_t got = ::read(socket_, block, sizeof block);
  if (got > 0) received_.append(block, static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && errno == EAGAIN);
}

// A worker may end the request before it has read all the input (a refused
// request does): then the rest is not sent, and the answer is read as it is.
void FastCgiClient::sendRaw(const std::string& bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  for (std::size_t sent = 0; sent < bytes.size() && !peerClosed_;) {
    if (Clock::now() > deadline) throw std::runtime_error("the worker took no input for too long");
    pollfd ready{socket_, POLLIN | POLLOUT, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    if ((ready.revents & POLLIN) != 0 && !receiveFor(0)) peerClosed_ = true;
    if ((ready.revents & POLLOUT) == 0 || peerClosed_) continue;
    const ssize_t written = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && (errno == EPIPE || errno == ECONNRESET)) peerClosed_ = true;
    if (written < 0 && errno != EAGAIN && !peerClosed_)
      throw std::runtime_error("send: " + std::string(strerror(errno)));
    if (written > 0) sent += static_cast<std::size_t>(written);
  }
}

CgiResult FastCgiClient::readAnswer(int timeoutSeconds) {
  CgiResult result;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  for (std::size_t at = 0;;) {
    // Whole records first, then wait for more bytes.
    while (received_.size() - at >= 8) {
      const std::size_t length = byteAt(received_, at + 4) << 8 | byteAt(received_, at + 5);
      const std::size_t end = at + 8 + length + byteAt(received_, at + 6);
      if (received_.size() < end) break;
      const std::string content = received_.substr(at + 8, length);
      const unsigned type = byteAt(received_, at + 1);
      at = end;
      if (type == kStdout) result.output += content;
      if (type == kStderr) result.errors += content;
      if (type == kEndRequest) {
        result.exitStatus = static_cast<int>(byteAt(content, 0) << 24 | byteAt(content, 1) << 16 |
                                             byteAt(content, 2) << 8 | byteAt(content, 3));
        received_.erase(0, at);
        // Without FCGI_KEEP_CONN the request ends the connection; a server closes it now.
        if (!kept_) hangUp();
        return result;
      }
    }
    if (Clock::now() > deadline) throw std::runtime_error("no end of the request in time");
    if (!receiveFor(100)) throw std::runtime_error("the connection ended before the request did");
  }
}

std::string FastCgiClient::readUntilClosed() {
  ::shutdown(socket_, SHUT_WR);
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  while (receiveFor(100)) {
    if (Clock::now() > deadline) throw std::runtime_error("the worker did not close the connection in time");
  }
  return std::move(received_);
}

bool FastCgiClient::hasReceived() {
  receiveFor(0);
  return !received_.empty();
}

void FastCgiClient::waitUntilTaken() {
  const std::size_t before = received_.size();
  sendRaw(std::string{1, 9, 0, 0, 0, 0, 0, 0});
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  while (received_.size() == before) {
    if (Clock::now() > deadline) throw std::runtime_error("no FCGI_GET_VALUES_RESULT in time");
    if (!receiveFor(100)) throw std::runtime_error("the connection ended before FCGI_GET_VALUES_RESULT");
  }
}

void FastCgiClient::waitForAnswerToStart() {
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  while (received_.empty()) {
    if (Clock::now() > deadline) throw std::runtime_error("no answer started in time");
    if (!receiveFor(100)) throw std::runtime_error("the connection ended before an answer started");
  }
}

CgiResult FastCgiClient::exchange(const std::string& socketPath, const CgiRequest& request) {
  FastCgiClient client(socketPath);
  client.beginRequest(request.environment);
  client.sendInput(request.input);
  client.endInput();
  return client.readAnswer();
}

FastCgiWorker::FastCgiWorker(const std::string& program, const std::string& workingDirectory)
    : FastCgiWorker(program, workingDirectory, Options{}) {}

FastCgiWorker::FastCgiWorker(const std::string& program, const std::string& workingDirectory, const Options& options)
    : socket_(home_.file("worker.sock")) {
  sharedTestClock();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
  if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1024) != 0) {
    throw std::runtime_error("cannot listen on " + socket_);
  }
  const int output = ::open(home_.file("output").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  // The worker's own environment, which no request may see.
  std::vector<std::string> envp{"PATH=/usr/bin:/bin", "WORKER_OWN_VARIABLE=1"};
  auto argvPointers = pointers(argv);
  auto envpPointers = pointers(envp);
  for (int i = 0; i < options.processes; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      // A test killed midway must not leave its workers behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(listener, 0);
      dup2(output, 1);
      dup2(output, 2);
      if (chdir(workingDirectory.c_str()) != 0) _exit(126);
      limitMemory(options.memoryLimit);
      if (options.descriptorLimit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.descriptorLimit), static_cast<rlim_t>(options.descriptorLimit)};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      signal(SIGPIPE, SIG_DFL);
      if (options.handler != nullptr) {
        useWorkerClock(testClockNow);
        _exit(serveRequests(options.handler));
      }
      execve(program.c_str(), argvPointers.data(), envpPointers.data());
      _exit(127);
    }
    pids_.push_back(child);
  }
  close(listener);
  close(output);
}

FastCgiWorker::~FastCgiWorker() {
  try {
    stop(SIGKILL);
  } catch (const std::exception&) {
  }
}

std::vector<int> FastCgiWorker::stop(int signal) {
  for (const pid_t pid : pids_) kill(pid, signal);
  std::vector<int> statuses;
  for (const pid_t pid : pids_) statuses.push_back(waitForExit(pid, 10));
  pids_.clear();
  return statuses;
}

std::string FastCgiWorker::ownOutput() const { return TempDir::read_file(home_.file("output")); }

CgiResult FastCgiWorker::run(const CgiRequest& request) const { return FastCgiClient::exchange(socket_, request); }

CgiResult FastCgiWorker::runThroughCgiFcgi(const CgiRequest& request) const {
  CgiRequest bridged = request;
  bridged.arguments = {"-bind", "-connect", socket_};
  bridged.workingDirectory.clear();
  // cgi-fcgi forwards as much of its input as CONTENT_LENGTH says, as a web server sets it.
  const bool lengthGiven = std::any_of(request.environment.begin(), request.environment.end(),
                                       [](const std::string& entry) { return entry.rfind("CONTENT_LENGTH=", 0) == 0; });
  if (!request.input.empty() && !lengthGiven) {
    bridged.environment.push_back("CONTENT_LENGTH=" + std::to_string(request.input.size()));
  }
  return runCgi(cgiFcgiPath(), bridged);
}

void advanceTestClock(long long milliseconds) { *sharedTestClock() += milliseconds; }

std::string cgiFcgiPath() {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/cgi-fcgi";
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string modeName(Mode mode) {
  switch (mode) {
    case Mode::cgi: return "Cgi";
    case Mode::fastcgi: return "FastCgi";
    case Mode::cgiFcgi: return "CgiFcgi";
  }
  return "?";
}

void PrintTo(Mode mode, std::ostream* out) { *out << modeName(mode); }

ProgramRunner::ProgramRunner(std::string program, Mode mode, std::string workingDirectory)
    : program_(std::move(program)), mode_(mode), workingDirectory_(std::move(workingDirectory)) {}

ProgramRunner::~ProgramRunner() {
  if (!worker_) return;
  try {
    EXPECT_EQ(worker_->stop(SIGTERM), std::vector<int>{0}) << program_ << " as a worker";
  } catch (const std::exception& failure) {
    ADD_FAILURE() << program_ << " as a worker: " << failure.what();
  }
  EXPECT_EQ(worker_->ownOutput(), "") << program_ << " as a worker";
}

CgiResult ProgramRunner::run(CgiRequest request) {
  if (mode_ == Mode::cgi) {
    if (request.workingDirectory.empty()) request.workingDirectory = workingDirectory_;
    return runCgi(program_, request);
  }
  if (!worker_) {
    const std::string folder = workingDirectory_.empty() ? std::filesystem::current_path().string() : workingDirectory_;
    worker_ = std::make_unique<FastCgiWorker>(program_, folder);
  }
  return mode_ == Mode::fastcgi ? worker_->run(request) : worker_->runThroughCgiFcgi(request);
}

int locksOnFile(const std::string& path, bool waitedFor) {
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) throw std::runtime_error("cannot stat " + path);
  // "N: POSIX ADVISORY WRITE pid MAJ:MIN:INODE start end", a waiter's with " -> " after "N:".
  const std::string inode = ":" + std::to_string(file.st_ino) + " ";
  std::ifstream locks("/proc/locks");
  int found = 0;
  for (std::string line; std::getline(locks, line);) {
    found += (line.find(" -> ") != std::string::npos) == waitedFor && line.find(inode) != std::string::npos;
  }
  return found;
}

void waitForLockWaiters(const std::string& path, int count) {
  const auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
  while (locksOnFile(path, true) < count) {
    if (Clock::now() > deadline) throw std::runtime_error("no " + std::to_string(count) + " waiters on " + path);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

HeldLock::HeldLock(const std::string& path, bool shared)
    : descriptor_(::open(path.c_str(), (shared ? O_RDONLY : O_RDWR) | O_CLOEXEC)) {
  struct flock lock {};
  lock.l_type = shared ? F_RDLCK : F_WRLCK;
  if (descriptor_ < 0 || fcntl(descriptor_, F_SETLKW, &lock) != 0) throw std::runtime_error("cannot lock " + path);
}

HeldLock::~HeldLock() { ::close(descriptor_); }

std::string HeldLock::contents() const {
  std::string bytes;
  char block[4096];
  for (ssize_t got; (got = pread(descriptor_, block, sizeof block, static_cast<off_t>(bytes.size()))) > 0;) {
    bytes.append(block, static_cast<std::size_t>(got));
  }
  return bytes;
}
