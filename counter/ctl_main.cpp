// vistrelctl: the administrator's command for vistrel's counters. A verb and
// its arguments, options before the verb; quiet on success except where it
// shows something; errors as one line on standard error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "counter/counter_admin.h"
#include "counter/counter_check.h"

namespace {

#ifdef CGI_COUNTER_DIR
constexpr const char* kCounterFolder = CGI_COUNTER_DIR;
#else
constexpr const char* kCounterFolder = ".";  // the current directory, where vistrel counts
#endif

constexpr int kUsageStatus = 2;

// The program that Debian's servers, and this tree's configurations for them,
// run, wherever a build from source was installed.
constexpr const char* kServedProgram = "/usr/lib/cgi-bin/vistrel";

const char kUsage[] =
    "Usage: vistrelctl [--dir DIR] [--root DIR] COMMAND [ARGUMENT...]\n"
    "The counters of vistrel, the web hit counter, in %s.\n"
    "\n"
    "Commands:\n"
    "  create ID [COUNT]     make a counter that counts from COUNT (0), www-data's, mode 600\n"
    "  show [ID...]          each counter's id and count, one line each, in id order\n"
    "  set ID COUNT          give a counter a count, also while the site serves\n"
    "  remove ID             delete a counter and its report template\n"
    "  report ID [FILE]      show a counter's report template, or install FILE (- reads standard input)\n"
    "  backup FILE           write every count and report template into FILE (- writes standard output)\n"
    "  restore FILE [ID...]  put the counters of a backup back (only the IDs named, if any)\n"
    "  check [ID...]         say what a visit needs, and whether it would count (exit status 0)\n"
    "\n"
    "An ID is at most two bytes, without / or \\; \\xHH stands for a byte and \"\" for the empty id.\n"
    "Options:\n"
    "  --dir DIR    the counter folder\n"
    "  --root DIR   check: the servers' configuration and sockets under DIR instead of /\n"
    "  --help       show this text\n";

struct Invocation {
  std::string folder = kCounterFolder;
  std::string root;
  std::string verb;
  std::vector<std::string> arguments;
};

int usageError(const std::string& message) {
  failure(message + " (vistrelctl --help lists the commands)");
  return kUsageStatus;
}

bool readInvocation(int argc, char** argv, Invocation& call) {
  int at = 1;
  for (; at < argc && std::string(argv[at]).compare(0, 2, "--") == 0; ++at) {
    const std::string option = argv[at];
    if (option == "--help") {
      call.verb = option;
    } else if ((option == "--dir" || option == "--root") && at + 1 < argc) {
      (option == "--dir" ? call.folder : call.root) = argv[++at];
    } else {
      usageError("unknown option or option without its value: " + option);
      return false;
    }
  }
  if (call.verb.empty() && at < argc) call.verb = argv[at++];
  for (; at < argc; ++at) call.arguments.push_back(argv[at]);
  if (call.verb.empty()) usageError("no command given");
  return !call.verb.empty();
}

// A file named relative to where the command was started, which it leaves for the counter folder.
std::string fromStartFolder(const std::string& path) {
  if (path.empty() || path[0] == '/' || path == "-") return path;
  std::vector<char> folder(4096);
  return ::getcwd(folder.data(), folder.size()) ? std::string(folder.data()) + "/" + path : path;
}

bool enterFolder(Invocation& call) {
  const std::size_t file = call.verb == "report" ? 1 : 0;
  if ((call.verb == "backup" || call.verb == "restore" || call.verb == "report") && call.arguments.size() > file) {
    call.arguments[file] = fromStartFolder(call.arguments[file]);
  }
  if (::chdir(call.folder.c_str()) != 0) {
    failure("cannot enter the counter folder " + call.folder + ": " + std::strerror(errno));
    return false;
  }
  std::vector<char> folder(4096);
  if (::getcwd(folder.data(), folder.size())) call.folder = folder.data();
  return true;
}

// The arguments from `first` on as ids; false, having said which is wrong, for a bad one.
bool readIds(const std::vector<std::string>& arguments, std::size_t first, std::vector<std::string>& counterIds) {
  for (std::size_t i = first; i < arguments.size(); ++i) {
    std::string counterId;
    if (!parseCounterId(arguments[i], counterId)) {
      failure("not a counter id: " + arguments[i] + " (at most two bytes, without /, \\ or a zero byte)");
      return false;
    }
    counterIds.push_back(counterId);
  }
  return true;
}

bool readCountArgument(const std::string& argument, int& count) {
  if (parseCount(argument, count)) return true;
  failure("not a count: " + argument + " (a whole number from -2147483648 to 2147483647)");
  return false;
}

int runVerb(const Invocation& call) {
  const std::string& verb = call.verb;
  const std::vector<std::string>& arguments = call.arguments;
  const std::size_t given = arguments.size();
  std::vector<std::string> counterIds;
  int count = 0;
  const bool wantsOneId = verb == "create" || verb == "set" || verb == "remove" || verb == "report";
  if (wantsOneId && (given < 1 || given > 2 || (verb == "remove" && given != 1) || (verb == "set" && given != 2))) {
    return usageError("wrong number of arguments for " + verb);
  }
  if ((verb == "backup" && given != 1) || (verb == "restore" && given < 1)) {
    return usageError("wrong number of arguments for " + verb);
  }
  if (wantsOneId && !readIds({arguments[0]}, 0, counterIds)) return 1;
  if ((verb == "create" || verb == "set") && given == 2 && !readCountArgument(arguments[1], count)) return 1;
  if (verb == "create") return createCounter(counterIds[0], count);
  if (verb == "set") return setCounter(counterIds[0], count);
  if (verb == "remove") return removeCounter(counterIds[0]);
  if (verb == "report") return given == 1 ? showReport(counterIds[0]) : installReport(counterIds[0], arguments[1]);
  if (verb == "backup") return backUpCounters(arguments[0]);
  if (verb == "restore") return readIds(arguments, 1, counterIds) ? restoreCounters(arguments[0], counterIds) : 1;
  if (verb == "show") return readIds(arguments, 0, counterIds) ? showCounters(counterIds) : 1;
  if (verb == "check") {
    return readIds(arguments, 0, counterIds) ? checkCounters({call.folder, call.root, kServedProgram}, counterIds) : 1;
  }
  return usageError("unknown command: " + verb);
}

}  // namespace

int main(int argc, char** argv) {
  Invocation call;
  if (!readInvocation(argc, argv, call)) return kUsageStatus;
  if (call.verb == "--help") {
    std::printf(kUsage, kCounterFolder);
    return 0;
  }
  if (!enterFolder(call)) return 1;
  return runVerb(call);
}
