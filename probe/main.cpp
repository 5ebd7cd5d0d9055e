// envprobe: shows what a web server hands to a CGI program: the request
// method, the argument vector, the environment and the standard input.
#include <limits.h>
#include <unistd.h>

#include <string>

#include "platform/environment.h"
#include "platform/request.h"
#include "platform/text_stdio.h"

namespace {

// The process's own arguments, listed for every request.
int argumentCount;
char** arguments;
std::string programPath;

// The running program's own file, not the word it was started by.
std::string ownProgramPath(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof path) return std::string(path, length);
  return argv0 != nullptr ? argv0 : "";
}

void writeLine(const char* text) {
  writeCString(text);
  writeText("\n");
}

void copyStandardInput() {
  static char block[1 << 16];
  while (std::size_t length = readTextInput(block, sizeof block)) writeText(block, length);
}

int probeRequest() {
  // Header and the request method.
  writeText("Content-Type: text/plain\n\nRequest method: ");
  writeLine(findEnvironmentValue("REQUEST_METHOD"));

  // The argument vector, starting with the program's own full path.
  writeText("\nListing command line:\n");
  writeLine(programPath.c_str());
  for (int i = 1; i < argumentCount; ++i) writeLine(arguments[i]);

  // The request's environment, in the order the server gave it.
  writeText("\nListing environment variables:\n");
  for (char** entry = requestEnvironment(); *entry != nullptr; ++entry) writeLine(*entry);

  // Standard input, to its end, whatever the method.
  writeText("\n\nListing stdin:\n");
  copyStandardInput();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  argumentCount = argc;
  arguments = argv;
  programPath = ownProgramPath(argc > 0 ? argv[0] : nullptr);
  return serveRequests(probeRequest);
}
