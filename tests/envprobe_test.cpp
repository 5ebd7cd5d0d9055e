// envprobe run as web servers run it, as a CGI program and as a FastCGI
// worker: banner, arguments, environment and input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

std::string programPath() {
  char path[4096];
  return realpath(ENVPROBE, path);
}

std::string probeListing(const std::string& method, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const std::string& input) {
  std::string text = "Content-Type: text/plain\n\nRequest method: " + method + "\n\nListing command line:\n";
  text += programPath() + "\n";
  for (const auto& argument : arguments) text += argument + "\n";
  text += "\nListing environment variables:\n";
  for (const auto& entry : environment) text += entry + "\n";
  return crlf(text + "\n\nListing stdin:\n") + input;
}

struct ProbeCase {
  const char* label;
  std::vector<std::string> environment;
  std::string method;  // as the banner shows it
  std::string input = "";
  std::string copied = "";  // the input as the listing shows it
};

// clang-format off
const ProbeCase kProbeCases[] = {
    {"absent", {"PATH=/bin"}, "(null)"},
    {"empty", {"REQUEST_METHOD="}, ""},
    {"plain", {"REQUEST_METHOD=POST"}, "POST"},
    {"first match wins", {"request_method=get", "REQUEST_METHOD=POST"}, "get"},
    {"longer name is another variable", {"REQUEST_METHODS=PUT", "XREQUEST_METHOD=PUT", "REQUEST_METHOD=HEAD"}, "HEAD"},
    {"value holding equals signs", {"Request_Method=a=b"}, "a=b"},
    {"entries starting with =", {"=C:=C:\\", "REQUEST_METHOD=GET"}, "GET"},
    {"input as a text stream", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=12"}, "POST", "x\r\ny\rz\032after",
     "x\r\nyz"},
    {"bytes copied as they are", {"CONTENT_LENGTH=3"}, "(null)", std::string("\0\xFF\x80", 3),
     std::string("\0\xFF\x80", 3)},
};
// clang-format on

class EnvProbeInEachMode : public InEachMode {};

TEST_P(EnvProbeInEachMode, ListsTheRequestAsItCame) {
  ProgramRunner envprobe(ENVPROBE, GetParam());
  for (const auto& c : kProbeCases) {
    CgiRequest request;
    request.environment = c.environment;
    request.input = c.input;
    const CgiResult result = envprobe.run(request);
    EXPECT_EQ(result.output, probeListing(c.method, {}, c.environment, c.copied)) << c.label;
    EXPECT_EQ(result.exitStatus, 0) << c.label;
    EXPECT_EQ(result.errors, "") << c.label;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, EnvProbeInEachMode, testing::ValuesIn(kAllModes),
                         [](const testing::TestParamInfo<Mode>& mode) { return modeName(mode.param); });

TEST(EnvProbe, TakesAnEntryWithoutEqualsSignForNoVariable) {
  // Only a process environment can hold such an entry; a FastCGI parameter always has a value.
  CgiRequest request;
  request.environment = {"REQUEST_METHOD", "Request_Method=GET"};
  EXPECT_EQ(runCgi(ENVPROBE, request).output, probeListing("GET", {}, request.environment, ""));
}

TEST(EnvProbe, ListsItsOwnFullPathWhateverItWasStartedBy) {
  TempDir dir;
  ASSERT_EQ(symlink(programPath().c_str(), dir.file("probe-link").c_str()), 0);
  struct Start {
    std::string program;
    std::string argv0;
    std::vector<std::string> arguments;
    std::string workingDirectory;
  };
  const Start starts[] = {
      {ENVPROBE, "envprobe", {}, ""},
      {"./probe-link", "./probe-link", {"*", "?", "a b", "\"q\""}, dir.path()},
      {dir.file("probe-link"), "", {"", "second"}, ""},
  };
  for (const auto& start : starts) {
    CgiRequest request;
    request.argv0 = start.argv0;
    request.arguments = start.arguments;
    request.workingDirectory = start.workingDirectory;
    request.environment = {"B=2", "a=1"};
    EXPECT_EQ(runCgi(start.program, request).output, probeListing("(null)", start.arguments, {"B=2", "a=1"}, ""))
        << start.program;
  }
}

TEST(EnvProbe, AsAWorkerListsItsOwnArgumentsAndOnlyTheRequestsVariables) {
  TempDir dir;
  ASSERT_EQ(symlink(programPath().c_str(), dir.file("probe-link").c_str()), 0);
  FastCgiWorker worker(dir.file("probe-link"), dir.path(), {1, {"*", "two words"}, 0});
  CgiRequest request;
  request.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(worker.run(request).output, probeListing("GET", {"*", "two words"}, request.environment, ""));
  }
}

}  // namespace
