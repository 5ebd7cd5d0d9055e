#include "cgi_run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

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

}  // namespace

CgiResult runCgi(const std::string& program, const CgiRequest& request) {
  const int in = temporaryFile();
  if (write(in, request.input.data(), request.input.size()) != static_cast<ssize_t>(request.input.size())) {
    throw std::runtime_error("cannot write standard input");
  }
  lseek(in, 0, SEEK_SET);
  const int out = temporaryFile();
  const int err = temporaryFile();
  int deadPipe[2] = {-1, -1};
  if (request.closeOutputEarly) {
    if (pipe(deadPipe) != 0) throw std::runtime_error("pipe failed");
    close(deadPipe[0]);
  }

  std::vector<std::string> argv{request.argv0.empty() ? program : request.argv0};
  argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
  std::vector<std::string> envp = request.environment;
  auto argvPointers = pointers(argv);
  auto envpPointers = pointers(envp);

  const pid_t child = fork();
  if (child == 0) {
    dup2(in, 0);
    dup2(request.closeOutputEarly ? deadPipe[1] : out, 1);
    dup2(err, 2);
    if (!request.workingDirectory.empty() && chdir(request.workingDirectory.c_str()) != 0) _exit(126);
    if (request.runAsNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    if (request.memoryLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(request.memoryLimit), static_cast<rlim_t>(request.memoryLimit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    // A web server starts programs with SIGPIPE at its default action.
    signal(SIGPIPE, SIG_DFL);
    execve(program.c_str(), argvPointers.data(), envpPointers.data());
    _exit(127);
  }
  if (request.closeOutputEarly) close(deadPipe[1]);
  int status = 0;
  waitpid(child, &status, 0);

  CgiResult result;
  result.output = readWhole(out);
  result.errors = readWhole(err);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
