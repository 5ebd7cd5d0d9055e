// vistrel run as web servers run it, as a CGI program and as a FastCGI worker:
// exact bytes, exit status, and the counter files before and after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kJsHeader = "Content-Type: text/javascript\nPragma: no-cache\n\n";
const std::string kHtmlHeader = "Content-Type: text/html\nPragma: no-cache\n\n";
const std::string kFooter = "<hr>\n<p>Counted by <a href=\"" CGI_HOME_PAGE "\">vistrel</a></p>\n</body></html>";
const std::string kErrorSnippet =
    kJsHeader +
    R"(document.write('<span style=\'background-color:white; color:red; font-size: 12px;\'>ERROR</span>');)";

std::string snippet(const std::string& host, const std::string& script, const std::string& idInUrl, int count) {
  const std::string n = std::to_string(count);
  return kJsHeader + "document.write('<a href=\\'http://" + host + script + "?cid=" + idInUrl +
         "&chto=v\\' target=_blank style=\\'text-decoration:none\\''+\n' title=\\'" + n +
         " visits counted\\'><img src=\\'http://" + host +
         "/cgi-bin/count.gif\\' border=0><span'+\n' style=\\'position:relative; top:-22px; left:-42px; "
         "font-family:serif; font-size:8px; color:black;\\'>" +
         n + "</span></a>');";
}

std::string statisticsPage(const std::string& id, int count) {
  return kHtmlHeader + "<html><head><title>" + id + " counter statistics</title></head><body><h1>&quot;" + id +
         "&quot; counter: Statistics</h1><p>" + std::to_string(count) +
         " visits totally registered with this counter</p>" + kFooter;
}

std::string errorPage(const std::string& id) {
  return kHtmlHeader +
         "<html><head><title>Counter error</title></head><body><h1>Counter error</h1><p>Cannot show statistics for "
         "<b>" +
         id + "</b>. This counter <u>does not exist</u>!</p>" + kFooter;
}

std::vector<std::string> getRequest(const std::string& query) {
  return {"REQUEST_METHOD=GET", "QUERY_STRING=" + query, "HTTP_HOST=example.org:8080", "SCRIPT_NAME=/cgi-bin/vistrel"};
}

Files filesIn(const TempDir& dir) {
  Files files;
  for (const auto& name : dir.list()) files[name] = dir.read(name);
  return files;
}

std::string snippetFor(const std::string& id, int count) {
  return snippet("example.org:8080", "/cgi-bin/vistrel", id, count);
}

// vistrel in one mode, with a folder of counter files that is its working directory.
struct Counters {
  explicit Counters(Mode mode) : vistrel(VISTREL, mode, dir.path()) {}
  TempDir dir;
  ProgramRunner vistrel;

  CgiResult visit(const std::vector<std::string>& environment, const std::string& input = "") {
    CgiRequest request;
    request.environment = environment;
    request.input = input;
    return vistrel.run(request);
  }
};

CgiResult visitAsCgi(const TempDir& dir, const std::vector<std::string>& environment) {
  CgiRequest request;
  request.environment = environment;
  request.workingDirectory = dir.path();
  return runCgi(VISTREL, request);
}

struct Case {
  const char* label;
  Files before;
  std::vector<std::string> environment;
  std::string expected;  // before the LF to CR LF translation
  Files after;
  int exitStatus = 0;
  std::string input = "";
};

// clang-format off
const std::vector<Case> kCases = {
    {"count a visit", {{"7.dat", "41"}}, getRequest("cid=7&chto=c"), snippetFor("7", 41), {{"7.dat", "42"}}},
    {"view statistics", {{"7.dat", "41"}}, getRequest("cid=7&chto=v"), statisticsPage("7", 41), {{"7.dat", "41"}}},
    {"view report", {{"7.dat", "42"}, {"7.report", "Visits: *"}}, getRequest("cid=7&chto=v"),
     kHtmlHeader + "Visits: 42", {{"7.dat", "42"}, {"7.report", "Visits: *"}}},
    {"report with stars, CR LF and binary bytes", {{"7.dat", "5"}, {"7.report", "*a\r\n**\xFF\x1A" "b*"}},
     getRequest("cid=7&chto=v"), kHtmlHeader + "5a\r\n55\xFF\x1A" "b5", {{"7.dat", "5"}, {"7.report", "*a\r\n**\xFF\x1A" "b*"}}},
    {"empty report", {{"7.dat", "5"}, {"7.report", ""}}, getRequest("cid=7&chto=v"), kHtmlHeader,
     {{"7.dat", "5"}, {"7.report", ""}}},
    {"report of a counter without data file", {{"7.report", "*"}}, getRequest("cid=7&chto=v"), errorPage("7"),
     {{"7.report", "*"}}},
    {"count a missing counter", {}, getRequest("cid=7&chto=c"), kErrorSnippet, {}},
    {"view a missing counter", {}, getRequest("cid=7&chto=v"), errorPage("7"), {}},
    {"other action", {{"7.dat", "41"}}, getRequest("cid=7&chto=C"), "", {{"7.dat", "41"}}},
    {"action cc", {{"7.dat", "41"}}, getRequest("cid=7&chto=cc"), "", {{"7.dat", "41"}}},
    {"empty action", {{"7.dat", "41"}}, getRequest("cid=7&chto="), "", {{"7.dat", "41"}}},
    {"no action", {{"7.dat", "41"}}, getRequest("cid=7"), "", {{"7.dat", "41"}}},
    {"repeated action", {{"7.dat", "41"}}, getRequest("cid=7&chto=c&chto=c"), "", {{"7.dat", "41"}}},
    {"other action on a missing counter", {}, getRequest("cid=7&chto=x"), "", {}},
    {"refused request", {{"7.dat", "41"}},
     {"CONTENT_TYPE=multipart/form-data", "REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c"}, "",
     {{"7.dat", "41"}}, 1},
    {"POST body", {{"7.dat", "1"}}, {"REQUEST_METHOD=POST", "HTTP_HOST=h", "SCRIPT_NAME=/v"},
     snippet("h", "/v", "7", 1), {{"7.dat", "2"}}, 0, "cid=7&chto=c"},
    {"no cid: the empty id", {{".dat", "3"}}, getRequest("chto=c"), snippetFor("", 3), {{".dat", "4"}}},
    {"empty id on the statistics page", {{".dat", "3"}}, getRequest("cid=&chto=v"), statisticsPage("", 3),
     {{".dat", "3"}}},
    {"two-byte id", {{"ab.dat", "9"}}, getRequest("cid=ab&chto=c"), snippetFor("ab", 9), {{"ab.dat", "10"}}},
    {"long id selects counter 1", {{"1.dat", "9"}, {"abc.dat", "5"}}, getRequest("cid=abc&chto=c"),
     snippetFor("1", 9), {{"1.dat", "10"}, {"abc.dat", "5"}}},
    {"two cids join into a long id", {{"1.dat", "0"}}, getRequest("cid=a&cid=b&chto=c"), snippetFor("1", 0),
     {{"1.dat", "1"}}},
    {"no host and no script name", {{"7.dat", "0"}}, {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c"},
     snippet("(null)", "(null)", "7", 0), {{"7.dat", "1"}}},
    {"variable names in any case", {{"7.dat", "0"}},
     {"request_method=GET", "Query_String=cid=7&chto=c", "http_host=a.b", "Script_Name=/s"},
     snippet("a.b", "/s", "7", 0), {{"7.dat", "1"}}},
};
// clang-format on

class VistrelInEachMode : public InEachMode {};

TEST_P(VistrelInEachMode, AnswersEachCaseAndLeavesItsFiles) {
  Counters counters(GetParam());
  for (const auto& c : kCases) {
    counters.dir.empty();
    for (const auto& [name, bytes] : c.before) counters.dir.write(name, bytes);
    const CgiResult result = counters.visit(c.environment, c.input);
    EXPECT_EQ(result.output, crlf(c.expected)) << c.label;
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.label;
    EXPECT_EQ(result.errors, "") << c.label;
    EXPECT_EQ(filesIn(counters.dir), c.after) << c.label;
  }
}

TEST_P(VistrelInEachMode, NeverPutsAPathOrAZeroByteIntoAFileName) {
  struct HostileId {
    const char* query;
    const char* shownId;  // on the error page; "1" where the id is too long to be used
  };
  const HostileId ids[] = {{"cid=d%2F", "d/"}, {"cid=.%2F", "./"}, {"cid=a%5C", "a\\"}, {"cid=%5C", "\\"},
                           {"cid=x%00", "x"},  {"cid=%00", ""},    {"cid=..%2F", "1"}};
  Counters counters(GetParam());
  // The files that a program putting the id into the name would open:
  // "d/.dat", "./.dat", "a\\.dat", "\\.dat", and "x" or "" cut at the zero byte.
  ASSERT_EQ(mkdir(counters.dir.file("d").c_str(), 0755), 0);
  const Files planted = {{"d/.dat", "5"}, {".dat", "5"}, {"a\\.dat", "5"}, {"\\.dat", "5"}, {"x", "5"}, {"1.dat", "5"}};
  for (const auto& [name, bytes] : planted) counters.dir.write(name, bytes);
  for (const auto& id : ids) {
    const std::string query = id.query;
    const bool longId = std::string(id.shownId) == "1";
    EXPECT_EQ(counters.visit(getRequest(query + "&chto=c")).output, crlf(longId ? snippetFor("1", 5) : kErrorSnippet))
        << query;
    EXPECT_EQ(counters.visit(getRequest(query + "&chto=v")).output,
              crlf(longId ? statisticsPage("1", 6) : errorPage(id.shownId)))
        << query;
  }
  for (const auto& [name, bytes] : planted) EXPECT_EQ(counters.dir.read(name), name == "1.dat" ? "6" : bytes) << name;
}

TEST_P(VistrelInEachMode, EscapesHostileValuesWhereTheyLand) {
  Counters counters(GetParam());
  counters.dir.write("'.dat", "1");
  counters.dir.write("<.dat", "1");
  const std::string host = "e.org'\"><script>alert(1)</script>\\\n";
  const CgiResult counted =
      counters.visit({"REQUEST_METHOD=GET", "QUERY_STRING=cid='&chto=c", "HTTP_HOST=" + host, "SCRIPT_NAME=/a&b"});
  EXPECT_EQ(counted.output,
            crlf(snippet("e.org&#39;&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\\\\\\x0A", "/a&amp;b", "%27", 1)));
  EXPECT_EQ(counters.visit(getRequest("cid=<&chto=v")).output, crlf(statisticsPage("&lt;", 1)));
  EXPECT_EQ(counters.visit(getRequest("cid=%3Ca&chto=v")).output, crlf(errorPage("&lt;a")));
}

TEST_P(VistrelInEachMode, LinksOverHttpsWhenTheRequestCameOverTls) {
  struct Scheme {
    const char* https;  // the HTTPS variable; nullptr: absent
    const char* scheme;
  };
  const Scheme schemes[] = {{"on", "https"}, {"On", "https"}, {"off", "http"},
                            {"", "http"},    {"1", "http"},   {nullptr, "http"}};
  Counters counters(GetParam());
  counters.dir.write("7.dat", "3");
  int count = 3;
  for (const Scheme& c : schemes) {
    std::vector<std::string> environment = getRequest("cid=7&chto=c");
    if (c.https != nullptr) environment.push_back(std::string("HTTPS=") + c.https);
    std::string expected = crlf(snippetFor("7", count++));
    for (std::size_t at = 0; (at = expected.find("http://", at)) != std::string::npos; at += 7) {
      expected.replace(at, 4, c.scheme);
    }
    EXPECT_EQ(counters.visit(environment).output, expected) << (c.https ? c.https : "absent");
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, VistrelInEachMode, testing::ValuesIn(kAllModes),
                         [](const testing::TestParamInfo<Mode>& mode) { return modeName(mode.param); });

TEST(Vistrel, TreatsAnythingButAWritableRegularFileAsNoCounter) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("d.dat").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("f.dat").c_str(), 0644), 0);
  ASSERT_EQ(symlink("l.dat", dir.file("l.dat").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", dir.file("n.dat").c_str()), 0);
  dir.write("r.dat", "5");
  dir.write("d.report", "x");
  for (const char* id : {"d", "f", "l", "n"}) {
    EXPECT_EQ(visitAsCgi(dir, getRequest(std::string("chto=c&cid=") + id)).output, crlf(kErrorSnippet)) << id;
    EXPECT_EQ(visitAsCgi(dir, getRequest(std::string("chto=v&cid=") + id)).output, crlf(errorPage(id))) << id;
  }
  // A read-only data file, for a user that is not allowed to write it.
  ASSERT_EQ(chmod(dir.file("r.dat").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  CgiRequest request;
  request.environment = getRequest("cid=r&chto=c");
  request.workingDirectory = dir.path();
  request.runAsNobody = true;
  const CgiResult asNobody = runCgi(VISTREL, request);
  EXPECT_EQ(asNobody.exitStatus, 0);
  EXPECT_EQ(asNobody.output, crlf(kErrorSnippet));
  EXPECT_EQ(dir.read("r.dat"), "5");
}

TEST(Vistrel, CountsRightWhenStartedWithAStandardDescriptorClosed) {
  // A host long enough that the answer is sent while the counter file is open.
  const std::string host(100000, 'h');
  for (const int closed : {0, 1, 2}) {
    TempDir dir;
    dir.write("7.dat", "41");
    CgiRequest request;
    request.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c", "HTTP_HOST=" + host, "SCRIPT_NAME=/v"};
    request.workingDirectory = dir.path();
    request.closedDescriptor = closed;
    const CgiResult result = runCgi(VISTREL, request);
    EXPECT_EQ(result.exitStatus, 0) << closed;
    EXPECT_EQ(result.output, closed == 1 ? "" : crlf(snippet(host, "/v", "7", 41))) << closed;
    EXPECT_EQ(filesIn(dir), (Files{{"7.dat", "42"}})) << closed;
  }
}

TEST(Vistrel, TellsTheServerLogWhenACountCannotBeStored) {
  TempDir dir;
  dir.write("7.dat", "");
  CgiRequest request;
  request.environment = getRequest("cid=7&chto=c");
  request.workingDirectory = dir.path();
  request.diskFull = true;
  const CgiResult result = runCgi(VISTREL, request);
  EXPECT_EQ(result.output, crlf(snippetFor("7", 0)));
  EXPECT_EQ(result.errors, "vistrel: counter 7: the count 1 could not be stored: File too large\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(dir.read("7.dat"), "");
}

TEST(Vistrel, ShowsTheStatisticsPageWhenTheReportIsNoRegularFile) {
  TempDir dir;
  dir.write("7.dat", "3");
  ASSERT_EQ(mkdir(dir.file("7.report").c_str(), 0755), 0);
  EXPECT_EQ(visitAsCgi(dir, getRequest("cid=7&chto=v")).output, crlf(statisticsPage("7", 3)));
  dir.write("8.dat", "4");
  ASSERT_EQ(mkfifo(dir.file("8.report").c_str(), 0644), 0);
  EXPECT_EQ(visitAsCgi(dir, getRequest("cid=8&chto=v")).output, crlf(statisticsPage("8", 4)));
}

}  // namespace
