// envprobe run as a web server runs it: banner, arguments, environment and input.
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
};

TEST(EnvProbe, ShowsTheFirstRequestMethodFoundWithoutCase) {
  const ProbeCase cases[] = {
      {"absent", {"PATH=/bin"}, "(null)"},
      {"empty", {"REQUEST_METHOD="}, ""},
      {"plain", {"REQUEST_METHOD=POST"}, "POST"},
      {"first match wins", {"request_method=get", "REQUEST_METHOD=POST"}, "get"},
      {"longer name is another variable", {"REQUEST_METHODS=PUT", "XREQUEST_METHOD=PUT", "REQUEST_METHOD=HEAD"},
       "HEAD"},
      {"no equals sign", {"REQUEST_METHOD", "Request_Method=a=b"}, "a=b"},
      {"entries starting with =", {"=C:=C:\\", "REQUEST_METHOD=GET"}, "GET"},
  };
  for (const auto& c : cases) {
    CgiRequest request;
    request.environment = c.environment;
    const CgiResult result = runCgi(ENVPROBE, request);
    EXPECT_EQ(result.output, probeListing(c.method, {}, c.environment, "")) << c.label;
    EXPECT_EQ(result.exitStatus, 0) << c.label;
    EXPECT_EQ(result.errors, "") << c.label;
  }
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

TEST(EnvProbe, CopiesStandardInputAsATextStream) {
  const std::string zero(1, '\0');
  // Line feeds at every distance from each other, over several output buffers.
  std::string lines;
  for (int round = 0; lines.size() < 300000; ++round) lines += std::string(round % 41, 'x') + "\n\n";
  const struct {
    std::string input;
    std::string copied;
  } cases[] = {
      {"", ""},
      {"a\x1A" "b", "a"},
      {"x\r\ny\rz", "x\r\nyz"},
      {"\n\n", "\r\n\r\n"},
      {"\r\r\r", ""},
      {zero + "\xFF\x80" + zero, zero + "\xFF\x80" + zero},
      {std::string(200000, 'a') + "\n" + std::string(100000, '\r') + "\x1A\n", std::string(200000, 'a') + "\r\n"},
      {lines, crlf(lines)},
  };
  for (const auto& c : cases) {
    CgiRequest request;
    request.environment = {"REQUEST_METHOD=GET"};
    request.input = c.input;
    const CgiResult result = runCgi(ENVPROBE, request);
    EXPECT_EQ(result.output, probeListing("GET", {}, {"REQUEST_METHOD=GET"}, c.copied)) << c.input.size();
  }
}

TEST(EnvProbe, EndsNormallyWhenTheClientHasGoneAway) {
  CgiRequest request;
  request.input = std::string(1 << 20, 'x');
  request.closeOutputEarly = true;
  const CgiResult result = runCgi(ENVPROBE, request);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.inputOffset, 1 << 20);
}

}  // namespace
