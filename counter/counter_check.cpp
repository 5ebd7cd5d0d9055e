#include "counter/counter_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "counter/counter_admin.h"
#include "counter/counter_files.h"
#include "platform/call_time_limit.h"
#include "platform/fastcgi_records.h"

namespace {

// A test request waits this long for its answer: a visit may wait 3 s for a lock.
constexpr long kAnswerMilliseconds = 10000;
constexpr const char* kErrorPageMark = "does not exist";

int faults;

void say(const char* kind, const std::string& finding) {
  std::printf("%s: %s\n", kind, finding.c_str());
  std::fflush(stdout);
}
void ok(const std::string& finding) { say("ok", finding); }
void note(const std::string& finding) { say("note", finding); }
void fault(const std::string& finding) {
  say("fault", finding);
  ++faults;
}

struct ServerUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

bool findServerGroups(ServerUser& user) {
  if (!findServerUser(user.uid, user.gid)) return false;
  int count = 64;
  user.groups.resize(static_cast<std::size_t>(count));
  if (::getgrouplist(kServerUser, user.gid, user.groups.data(), &count) < 0) count = 0;
  user.groups.resize(static_cast<std::size_t>(count));
  return true;
}

// Whether the server's user has `bits` (4 read, 2 write, 1 enter) by the file's mode.
bool serverUserMay(const ServerUser& user, const struct stat& status, unsigned bits) {
  unsigned shift = 0;
  if (status.st_uid == user.uid) {
    shift = 6;
  } else if (status.st_gid == user.gid ||
             std::find(user.groups.begin(), user.groups.end(), status.st_gid) != user.groups.end()) {
    shift = 3;
  }
  return (status.st_mode >> shift & bits) == bits;
}

std::string ownerAndMode(const struct stat& status) {
  const struct passwd* owner = ::getpwuid(status.st_uid);
  const struct group* group = ::getgrgid(status.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(status.st_mode & 07777));
  return (owner ? owner->pw_name : std::to_string(status.st_uid)) + ":" +
         (group ? group->gr_name : std::to_string(status.st_gid)) + " " + mode;
}

bool exists(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The folder and each folder above it must let the server's user in.
bool checkFolder(const ServerUser& user, const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    struct stat status;
    const std::string above = folder.substr(0, slash);
    if (::stat(above.c_str(), &status) == 0 && !serverUserMay(user, status, 1)) {
      fault(above + " is " + ownerAndMode(status) + ": " + kServerUser + " cannot enter it, nor " + folder);
      return false;
    }
  }
  struct stat status;
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    fault("the counter folder " + folder + " is not there: install -d -o root -g " + kServerUser + " -m 750 " + folder);
    return false;
  }
  if (!serverUserMay(user, status, 1)) {
    fault("the counter folder " + folder + " is " + ownerAndMode(status) + ": " + kServerUser +
          " cannot enter it: chown root:" + kServerUser + " " + folder + " && chmod 750 " + folder);
    return false;
  }
  ok("the counter folder " + folder + " is " + ownerAndMode(status) + ": " + kServerUser + " can enter it");
  return true;
}

bool checkCounter(const ServerUser& user, const std::string& folder, const std::string& counterId) {
  const std::string path = folder + "/" + dataFileName(counterId);
  const std::string named = "counter " + shownCounterId(counterId);
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    fault(named + ": no file " + path + ": vistrelctl create " + shownCounterId(counterId));
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    fault(named + ": " + path + " is not a regular file");
    return false;
  }
  const std::string is = named + " is " + ownerAndMode(status);
  if (!serverUserMay(user, status, 6)) {
    fault(is + ": " + kServerUser + " cannot read and write it: chown " + kServerUser + ": " + path + " && chmod 600 " +
          path);
    return false;
  }
  int count;
  if (!readCounter(counterId, count)) {
    fault(named + ": its count cannot be read");
    return false;
  }
  ok(is + ", count " + std::to_string(count));
  if ((status.st_mode & 044) != 0) {
    note(named + ": other users can read it, and so hold its lock and keep visits waiting: chmod 600 " + path);
  }
  return true;
}

// One way a server runs vistrel, and what it needs besides its own file.
struct Route {
  const char* server;
  const char* how;
  const char* enabledBy;  // the file that enables it
  std::vector<const char*> needs;  // each one file, or files of which one will do, split by "|"
  const char* pidFile;
  std::vector<const char*> sockets;  // where its workers listen; none: the server starts the program itself
};

const std::vector<Route>& routes() {
  static const std::vector<Route> all = {
      {"lighttpd", "as CGI programs", "/etc/lighttpd/conf-enabled/20-vistrel.conf",
       {"/etc/lighttpd/conf-enabled/10-cgi.conf"}, "/run/lighttpd.pid", {}},
      {"lighttpd", "as FastCGI workers", "/etc/lighttpd/conf-enabled/20-vistrel-fastcgi.conf",
       {"/etc/lighttpd/conf-enabled/10-fastcgi.conf"}, "/run/lighttpd.pid",
       {"/run/vistrel-fcgi.socket"}},
      {"Apache httpd", "as CGI programs", "/etc/apache2/conf-enabled/vistrel.conf",
       {"/etc/apache2/mods-enabled/cgid.load|/etc/apache2/mods-enabled/cgi.load",
        "/etc/apache2/conf-enabled/serve-cgi-bin.conf"},
       "/run/apache2/apache2.pid", {}},
      // mod_fcgid starts its workers itself, on sockets of its own: its test is the program's.
      {"Apache httpd", "as FastCGI workers (mod_fcgid)", "/etc/apache2/conf-enabled/vistrel-fastcgi.conf",
       {"/etc/apache2/mods-enabled/fcgid.load"}, "/run/apache2/apache2.pid", {}},
      {"nginx", "as FastCGI workers", "/etc/nginx/sites-enabled", {"/etc/nginx/conf.d/vistrel-upstreams.conf"},
       "/run/nginx.pid", {"/run/vistrel-fcgi.socket"}},
  };
  return all;
}

// nginx has vistrel where an enabled site includes its snippet.
bool enabled(const std::string& root, const Route& route) {
  const std::string path = root + route.enabledBy;
  if (std::strcmp(route.server, "nginx") != 0) return exists(path);
  bool found = false;
  if (DIR* sites = ::opendir(path.c_str())) {
    while (const struct dirent* site = ::readdir(sites)) {
      if (site->d_name[0] != '.' && fileText(path + "/" + site->d_name).find("snippets/vistrel.conf") != std::string::npos) {
        found = true;
      }
    }
    ::closedir(sites);
  }
  return found;
}

bool running(const std::string& pidFile) {
  const long pid = std::atol(fileText(pidFile).c_str());
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string viewQuery(const std::string& counterId) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string query = "chto=v&cid=";
  for (const char c : counterId) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte)) {
      query += c;
    } else {
      query += std::string("%") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
  }
  return query;
}

std::vector<std::string> viewEnvironment(const std::string& counterId) {
  return {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "QUERY_STRING=" + viewQuery(counterId),
          "SCRIPT_NAME=/cgi-bin/vistrel", "HTTP_HOST=localhost", "SERVER_PROTOCOL=HTTP/1.1"};
}

// Reads what arrives on each descriptor until all of them end or the time is up.
bool readUntilEnd(std::vector<int> descriptors, std::vector<std::string>& texts, long long deadline) {
  texts.assign(descriptors.size(), "");
  for (std::size_t open = descriptors.size(); open > 0;) {
    std::vector<pollfd> polled;
    for (const int descriptor : descriptors) polled.push_back({descriptor, POLLIN, 0});
    const long long left = deadline - monotonicMilliseconds();
    if (left <= 0 || ::poll(polled.data(), polled.size(), static_cast<int>(left)) < 0) {
      if (left > 0 && errno == EINTR) continue;
      return false;
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      char block[4096];
      const ssize_t got = ::read(descriptors[i], block, sizeof block);
      if (got > 0) {
        texts[i].append(block, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        descriptors[i] = -1;  // poll() skips it from now on
        --open;
      }
    }
  }
  return true;
}

// Runs the program as a server runs a CGI program, as the server's user;
// its answer and what it told the server's log. "" when it ended well, else why not.
std::string runProgram(const std::string& program, const std::string& folder, const ServerUser& user,
                const std::string& counterId, std::string& answer, std::string& log) {
  int output[2], errors[2];
  if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) return std::strerror(errno);
  const pid_t child = ::fork();
  if (child == 0) {
    const int none = ::open("/dev/null", O_RDONLY);
    ::dup2(none, 0);
    ::dup2(output[1], 1);
    ::dup2(errors[1], 2);
    const bool becameServer = ::geteuid() != 0 || (::initgroups(kServerUser, user.gid) == 0 &&
                                                   ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0);
    // A build without a folder of its own counts in its working directory.
    if (!becameServer || ::chdir(folder.c_str()) != 0) ::_exit(126);
    std::vector<std::string> environment = viewEnvironment(counterId);
    std::vector<char*> pointers;
    for (std::string& entry : environment) pointers.push_back(&entry[0]);
    pointers.push_back(nullptr);
    char* arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execve(program.c_str(), arguments, pointers.data());
    ::_exit(127);
  }
  ::close(output[1]);
  ::close(errors[1]);
  std::vector<std::string> texts;
  const bool ended = child > 0 && readUntilEnd({output[0], errors[0]}, texts, monotonicMilliseconds() + kAnswerMilliseconds);
  ::close(output[0]);
  ::close(errors[0]);
  if (child > 0 && !ended) ::kill(child, SIGKILL);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  answer = texts.empty() ? "" : texts[0];
  log = texts.empty() ? "" : texts[1];
  if (child < 0) return std::strerror(errno);
  if (!ended) return "no answer within " + std::to_string(kAnswerMilliseconds / 1000) + " s";
  if (!WIFEXITED(status)) return "it ended by signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) >= 126) return std::string("it could not be started as ") + kServerUser;
  return WEXITSTATUS(status) == 0 ? "" : "it ended with status " + std::to_string(WEXITSTATUS(status));
}

std::string fastCgiRequest(const std::string& counterId) {
  std::string request;
  const char begin[8] = {0, static_cast<char>(fastcgi::kResponder), 0, 0, 0, 0, 0, 0};
  fastcgi::appendRecord(request, fastcgi::kBeginRequest, 1, std::string_view(begin, sizeof begin));
  std::string pairs;
  for (const std::string& entry : viewEnvironment(counterId)) {
    const std::size_t equals = entry.find('=');
    fastcgi::appendPair(pairs, std::string_view(entry).substr(0, equals), std::string_view(entry).substr(equals + 1));
  }
  fastcgi::appendRecord(request, fastcgi::kParams, 1, pairs);
  fastcgi::appendRecord(request, fastcgi::kParams, 1, "");
  fastcgi::appendRecord(request, fastcgi::kStdin, 1, "");
  return request;
}

// Splits a worker's records into its answer and its log; false without a whole FCGI_END_REQUEST.
bool splitRecords(const std::string& bytes, std::string& answer, std::string& log) {
  for (std::size_t at = 0; bytes.size() - at >= fastcgi::kHeaderLength;) {
    const fastcgi::RecordHeader header = fastcgi::readHeader(reinterpret_cast<const unsigned char*>(&bytes[at]));
    if (bytes.size() - at < header.recordLength()) return false;
    const std::string content = bytes.substr(at + fastcgi::kHeaderLength, header.contentLength);
    if (header.type == fastcgi::kEndRequest) return true;
    (header.type == fastcgi::kStderr ? log : answer) += content;
    at += header.recordLength();
  }
  return false;
}

// Sends a view to the worker on `socketPath` as a web server does; "" when it answered, else why not.
std::string askWorker(const std::string& socketPath, const std::string& counterId, std::string& answer,
                      std::string& log) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return "its path is too long";
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0) return std::strerror(errno);
  std::string why;
  std::vector<std::string> texts;
  const std::string request = fastCgiRequest(counterId);
  if (::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    why = std::string("nothing listens there (") + std::strerror(errno) + ")";
  } else if (::send(connection, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    why = std::string("the request could not be sent: ") + std::strerror(errno);
  } else if (!readUntilEnd({connection}, texts, monotonicMilliseconds() + kAnswerMilliseconds)) {
    why = "no answer within " + std::to_string(kAnswerMilliseconds / 1000) + " s";
  } else if (!splitRecords(texts[0], answer, log)) {
    why = "the answer ended early";
  }
  ::close(connection);
  return why;
}

// Judges a view's answer: the counter's page, or why not.
void judgeView(const std::string& asked, const std::string& counterId, const std::string& answer,
               const std::string& log, const std::string& program) {
  const std::string named = "counter " + shownCounterId(counterId);
  std::string firstLogLine = log.substr(0, log.find('\n'));
  if (answer.find("Content-Type: text/html") == std::string::npos) {
    fault(asked + " did not answer with a page" + (firstLogLine.empty() ? "" : ": " + firstLogLine));
  } else if (answer.find(kErrorPageMark) != std::string::npos) {
    fault(asked + " answered that " + named + " does not exist: " + program + " keeps its counters elsewhere, or " +
          kServerUser + " cannot open them" + (firstLogLine.empty() ? "" : " (" + firstLogLine + ")"));
  } else {
    ok(asked + " answered a view of " + named + " with its page");
  }
}

void testRoute(const std::string& root, const Route& route, const CheckPlaces& places, const ServerUser& user,
               const std::string& counterId) {
  std::string answer, log;
  if (route.sockets.empty()) {
    const std::string program = root + places.program;
    if (!exists(program)) {
      fault(program + " is not there: install the package, or the programs from source");
      return;
    }
    // Only root can become the servers' user; anyone else tries the program as themselves.
    const std::string runAs = ::geteuid() == 0 ? kServerUser : "you";
    const std::string why = runProgram(program, places.counterFolder, user, counterId, answer, log);
    if (!why.empty()) {
      fault(program + ", run as " + runAs + ": " + why + (log.empty() ? "" : ": " + log.substr(0, log.find('\n'))));
      return;
    }
    judgeView(program + ", run as " + runAs + ",", counterId, answer, log, places.program);
    return;
  }
  bool anyListening = false;
  for (const char* socket : route.sockets) {
    const std::string path = root + socket;
    if (!exists(path)) continue;
    anyListening = true;
    const std::string why = askWorker(path, counterId, answer, log);
    if (why.empty()) {
      judgeView("the worker on " + path, counterId, answer, log, places.program);
    } else {
      fault("the worker on " + path + ": " + why);
    }
  }
  if (!anyListening) {
    fault(std::string("no worker socket for ") + route.server + " at " + root + route.sockets[0] +
          ": systemctl enable --now vistrel-worker.socket vistrel-worker@{1..4}");
  }
}

// A view is sent only of a counter that passed: it would fail for the reason said already.
void checkRoutes(const CheckPlaces& places, const ServerUser& user, bool viewable, const std::string& counterId) {
  bool anyEnabled = false;
  for (const Route& route : routes()) {
    if (!enabled(places.root, route)) continue;
    anyEnabled = true;
    const std::string runs = std::string(route.server) + " runs vistrel " + route.how;
    bool ready = true;
    for (const char* need : route.needs) {
      const std::string choices = need;
      const std::string first = choices.substr(0, choices.find('|'));
      const std::string second = choices.find('|') == std::string::npos ? first : choices.substr(choices.find('|') + 1);
      if (!exists(places.root + first) && !exists(places.root + second)) {
        fault(runs + ", but " + places.root + first + " is not enabled");
        ready = false;
      }
    }
    if (!running(places.root + route.pidFile)) {
      fault(runs + ", but it is not running (no process named in " + places.root + route.pidFile + ")");
      ready = false;
    }
    if (!ready) continue;
    ok(runs);
    if (!viewable) continue;
    testRoute(places.root, route, places, user, counterId);
  }
  if (!anyEnabled) {
    fault("no web server has vistrel enabled: see \"Enable one server\" in /usr/share/doc/vistrel/deploy.md");
  }
}

int summary() {
  if (faults == 0) ok("a visit would count");
  if (faults != 0) say("fault", "a visit would not count");
  return faults == 0 ? 0 : 1;
}

}  // namespace

int checkCounters(const CheckPlaces& places, const std::vector<std::string>& counterIds) {
  faults = 0;
  ServerUser user;
  if (!findServerGroups(user)) {
    fault(std::string("there is no user ") + kServerUser + ", the user the servers run vistrel as");
    return 1;
  }
  if (!checkFolder(user, places.counterFolder)) return summary();
  const std::vector<std::string> checked = counterIds.empty() ? listCounterIds() : counterIds;
  if (checked.empty()) fault("there is no counter in " + places.counterFolder + " yet: vistrelctl create 7");
  bool anyUsable = false;
  std::string viewed;
  for (const std::string& counterId : checked) {
    if (checkCounter(user, places.counterFolder, counterId) && !anyUsable) {
      anyUsable = true;
      viewed = counterId;
    }
  }
  checkRoutes(places, user, anyUsable, viewed);
  return summary();
}
