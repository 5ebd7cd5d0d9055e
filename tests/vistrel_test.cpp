// vistrel run as a web server runs it, in a fresh working directory per case:
// exact bytes, exit status, and the counter files before and after.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

using Files = std::map<std::string, std::string>;

const std::string kJsHeader = "Content-Type: text/javascript\nPragma: no-cache\n\n";
const std::string kHtmlHeader = "Content-Type: text/html\nPragma: no-cache\n\n";
const std::string kFooter =
    "<hr>\n<p>Counted by <a href=\"" CGI_HOME_PAGE "\">vistrel</a></p>\n</body></html>";
const std::string kErrorSnippet =
    kJsHeader + R"(document.write('<span style=\'background-color:white; color:red; font-size: 12px;\'>ERROR</span>');)";

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
         "<b>" + id + "</b>. This counter <u>does not exist</u>!</p>" + kFooter;
}

std::vector<std::string> getRequest(const std::string& query) {
  return {"REQUEST_METHOD=GET", "QUERY_STRING=" + query, "HTTP_HOST=example.org:8080",
          "SCRIPT_NAME=/cgi-bin/vistrel"};
}

CgiResult visit(const TempDir& dir, const std::vector<std::string>& environment, const std::string& input = "") {
  CgiRequest request;
  request.environment = environment;
  request.input = input;
  request.workingDirectory = dir.path();
  return runCgi(VISTREL, request);
}

Files filesIn(const TempDir& dir) {
  Files files;
  for (const auto& name : dir.list()) files[name] = dir.read(name);
  return files;
}

std::string snippetFor(const std::string& id, int count) {
  return snippet("example.org:8080", "/cgi-bin/vistrel", id, count);
}

struct Road {
  const char* label;
  Files before;
  std::vector<std::string> environment;
  std::string expected;  // before the LF to CR LF translation
  Files after;
  int exitStatus = 0;
  std::string input = "";
};

const std::vector<Road> kRoads = {
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

TEST(Vistrel, TakesEveryRoadWithItsFiles) {
  for (const auto& road : kRoads) {
    TempDir dir;
    for (const auto& [name, bytes] : road.before) dir.write(name, bytes);
    const CgiResult result = visit(dir, road.environment, road.input);
    EXPECT_EQ(result.output, crlf(road.expected)) << road.label;
    EXPECT_EQ(result.exitStatus, road.exitStatus) << road.label;
    EXPECT_EQ(result.errors, "") << road.label;
    EXPECT_EQ(filesIn(dir), road.after) << road.label;
  }
}

struct Rewrite {
  std::string before;
  int shown;
  std::string after;
};

const std::vector<Rewrite> kRewrites = {
    {"", 0, "1"},
    {"41", 41, "42"},
    {"41\n", 41, "42\n"},
    {"41\r\n", 41, "42\r\n"},
    {"99\n", 99, "100"},
    {"999", 999, "1000"},
    {"0", 0, "1"},
    {"abc", 0, "1bc"},
    {"x5", 0, "1"},
    {"7 apples", 7, "8 apples"},
    {"-10", -10, "-9"},
    {"-5", -5, "-4"},
    {"-1", -1, "0"},
    {"  41", 41, "42"},
    {"\t\n41\n", 41, "42"},
    {"007", 7, "8"},
    {"+5", 5, "6"},
    {"99\n5", 99, "100"},
    {std::string("12\0" "34", 5), 12, std::string("13\0" "34", 5)},
    {"2147483646", 2147483646, "2147483647"},
    {"2147483647", 2147483647, "2147483647"},
    {"99999999999999999999", 2147483647, "2147483647"},
    {"-2147483648", -2147483647 - 1, "-2147483647"},
    {"-99999999999", -2147483647 - 1, "-2147483647"},
};

TEST(Vistrel, RewritesTheCountSoThatItReadsBackAsOneMore) {
  for (const auto& rewrite : kRewrites) {
    TempDir dir;
    dir.write("7.dat", rewrite.before);
    EXPECT_EQ(visit(dir, getRequest("cid=7&chto=c")).output, crlf(snippetFor("7", rewrite.shown)))
        << "file " << rewrite.before;
    EXPECT_EQ(dir.read("7.dat"), rewrite.after) << "file " << rewrite.before;
    EXPECT_EQ(visit(dir, getRequest("cid=7&chto=v")).output,
              crlf(statisticsPage("7", rewrite.shown == 2147483647 ? rewrite.shown : rewrite.shown + 1)))
        << "file " << rewrite.before;
  }
}

struct HostileId {
  const char* query;
  const char* shownId;  // on the error page, HTML-escaped
};

TEST(Vistrel, NeverPutsAPathOrAZeroByteIntoAFileName) {
  const HostileId ids[] = {{"cid=%2Fx", "/x"}, {"cid=..%2F", "1"}, {"cid=%2F", "/"}, {"cid=a%5C", "a\\"},
                           {"cid=%5C", "\\"},  {"cid=x%00", "x"},  {"cid=%00", ""}};
  for (const auto& id : ids) {
    TempDir dir;
    // What a careless program would open: "x" for "x%00", ".dat" for "%00".
    const Files before = {{"x", "5"}, {".dat", "5"}, {"a\\.dat", "5"}, {"\\.dat", "5"}, {"1.dat", "5"}};
    for (const auto& [name, bytes] : before) dir.write(name, bytes);
    const std::string query = id.query;
    const bool longId = std::string(id.shownId) == "1";
    EXPECT_EQ(visit(dir, getRequest(query + "&chto=c")).output,
              crlf(longId ? snippetFor("1", 5) : kErrorSnippet)) << query;
    EXPECT_EQ(visit(dir, getRequest(query + "&chto=v")).output,
              crlf(longId ? statisticsPage("1", 6) : errorPage(id.shownId))) << query;
    Files after = before;
    if (longId) after["1.dat"] = "6";
    EXPECT_EQ(filesIn(dir), after) << query;
  }
  EXPECT_NE(access("/x.dat", F_OK), 0);
}

TEST(Vistrel, EscapesHostileValuesAndKeepsThemInert) {
  TempDir dir;
  dir.write("'.dat", "1");
  dir.write("<.dat", "1");
  const std::string host = "e.org'\"><script>alert(1)</script>\\\n";
  const CgiResult counted =
      visit(dir, {"REQUEST_METHOD=GET", "QUERY_STRING=cid='&chto=c", "HTTP_HOST=" + host, "SCRIPT_NAME=/a&b"});
  EXPECT_EQ(counted.output,
            crlf(snippet("e.org&#39;&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\\\\\\x0A", "/a&amp;b", "%27", 1)));
  EXPECT_EQ(visit(dir, getRequest("cid=<&chto=v")).output, crlf(statisticsPage("&lt;", 1)));
  EXPECT_EQ(visit(dir, getRequest("cid=%3Ca&chto=v")).output, crlf(errorPage("&lt;a")));
}

TEST(Vistrel, LosesNoVisitWhenManyOverlap) {
  TempDir dir;
  dir.write("7.dat", "100\n");
  // Hold the data file's lock while the visits start, so that they all overlap.
  const int held = open(dir.file("7.dat").c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(held, F_SETLK, &lock), 0);

  constexpr int kVisits = 48;
  std::vector<pid_t> children;
  std::vector<std::string> names;
  for (int i = 0; i < kVisits; ++i) {
    names.push_back(dir.file("out" + std::to_string(i)));
    const pid_t child = fork();
    if (child == 0) {
      CgiRequest request;
      request.environment = getRequest("cid=7&chto=c");
      request.workingDirectory = dir.path();
      TempDir::write_file(names[i], runCgi(VISTREL, request).output);
      _exit(0);
    }
    children.push_back(child);
  }
  usleep(300 * 1000);
  EXPECT_EQ(dir.read("7.dat"), "100\n") << "a visit went past the lock";
  close(held);

  for (const pid_t child : children) waitpid(child, nullptr, 0);
  std::set<std::string> shown;
  for (const auto& name : names) shown.insert(TempDir::read_file(name));
  std::set<std::string> expected;
  for (int i = 0; i < kVisits; ++i) expected.insert(crlf(snippetFor("7", 100 + i)));
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(dir.read("7.dat"), std::to_string(100 + kVisits) + "\n");
}

TEST(Vistrel, CountsTheVisitWhenTheClientHasGoneAway) {
  TempDir dir;
  dir.write("7.dat", "41");
  CgiRequest request;
  request.environment = getRequest("cid=7&chto=c");
  request.workingDirectory = dir.path();
  request.closeOutputEarly = true;
  EXPECT_EQ(runCgi(VISTREL, request).exitStatus, 0);
  EXPECT_EQ(dir.read("7.dat"), "42");
}

TEST(Vistrel, TreatsAnythingButAWritableRegularFileAsNoCounter) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("d.dat").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("f.dat").c_str(), 0644), 0);
  ASSERT_EQ(symlink("l.dat", dir.file("l.dat").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", dir.file("n.dat").c_str()), 0);
  dir.write("r.dat", "5");
  dir.write("d.report", "x");
  for (const char* id : {"d", "f", "l", "n"}) {
    EXPECT_EQ(visit(dir, getRequest(std::string("chto=c&cid=") + id)).output, crlf(kErrorSnippet)) << id;
    EXPECT_EQ(visit(dir, getRequest(std::string("chto=v&cid=") + id)).output, crlf(errorPage(id))) << id;
  }
  // A read-only data file, for a user that is not allowed to write it.
  ASSERT_EQ(chmod(dir.file("r.dat").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  CgiRequest request;
  request.environment = getRequest("cid=r&chto=c");
  request.workingDirectory = dir.path();
  request.runAsNobody = true;
  EXPECT_EQ(runCgi(VISTREL, request).output, crlf(kErrorSnippet));
  EXPECT_EQ(dir.read("r.dat"), "5");
}

TEST(Vistrel, ShowsTheStatisticsPageWhenTheReportIsNoRegularFile) {
  TempDir dir;
  dir.write("7.dat", "3");
  ASSERT_EQ(mkdir(dir.file("7.report").c_str(), 0755), 0);
  EXPECT_EQ(visit(dir, getRequest("cid=7&chto=v")).output, crlf(statisticsPage("7", 3)));
  dir.write("8.dat", "4");
  ASSERT_EQ(mkfifo(dir.file("8.report").c_str(), 0644), 0);
  EXPECT_EQ(visit(dir, getRequest("cid=8&chto=v")).output, crlf(statisticsPage("8", 4)));
}

}  // namespace
