// vistrelctl, run as an administrator runs it: each command's output, errors,
// exit status and the files it leaves; set and restore while workers count;
// check on set-ups broken on purpose.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cgi_run.h"
#include "platform/fastcgi_records.h"

namespace {

using Files = std::map<std::string, std::string>;

CgiResult runCtl(const TempDir& dir, const std::vector<std::string>& arguments, bool diskFull = false) {
  CgiRequest request;
  request.arguments = arguments;
  request.diskFull = diskFull;
  request.workingDirectory = dir.path();
  return runCgi(VISTRELCTL, request);
}

const std::string kBackup = "vistrel counters\n7 41\nab 2\n7 report 3\nx\ny\n";
const std::string kBadId = " (at most two bytes, without /, \\ or a zero byte)\n";
const std::string kBadCount = " (a whole number from -2147483648 to 2147483647)\n";

struct Command {
  const char* name;
  std::vector<std::string> arguments;
  Files before;
  std::string output;
  std::string errors;
  int status;
  Files after;  // none: as before
  bool diskFull = false;
};

// clang-format off
const Command kCommands[] = {
    {"CreateCountsFromZero", {"create", "7"}, {}, "", "", 0, {{"7.dat", "0"}}},
    {"CreateCountsFromTheCountGiven", {"create", "ab", "41"}, {}, "", "", 0, {{"ab.dat", "41"}}},
    {"CreateTakesTheLowestCount", {"create", "7", "-2147483648"}, {}, "", "", 0, {{"7.dat", "-2147483648"}}},
    {"CreateTakesTheEmptyIdAsTwoQuotes", {"create", "\"\"", "3"}, {}, "", "", 0, {{".dat", "3"}}},
    {"CreateTakesAByteAsAnEscape", {"create", "\\x01"}, {}, "", "", 0, {{"\x01.dat", "0"}}},
    {"CreateRefusesAnExistingCounter", {"create", "7", "9"}, {{"7.dat", "5"}}, "",
     "vistrelctl: counter 7 exists already\n", 1, {{"7.dat", "5"}}},
    {"CreateRefusesALongerId", {"create", "abc"}, {}, "", "vistrelctl: not a counter id: abc" + kBadId, 1, {}},
    {"CreateRefusesASlash", {"create", "a/"}, {}, "", "vistrelctl: not a counter id: a/" + kBadId, 1, {}},
    {"CreateRefusesABackslash", {"create", "\\x5c"}, {}, "", "vistrelctl: not a counter id: \\x5c" + kBadId, 1, {}},
    {"CreateRefusesAZeroByte", {"create", "\\x00"}, {}, "", "vistrelctl: not a counter id: \\x00" + kBadId, 1, {}},
    {"CreateRefusesABrokenEscape", {"create", "\\x4"}, {}, "", "vistrelctl: not a counter id: \\x4" + kBadId, 1, {}},
    {"CreateRefusesAWord", {"create", "7", "x"}, {}, "", "vistrelctl: not a count: x" + kBadCount, 1, {}},
    {"CreateRefusesACountBeyond32Bits", {"create", "7", "2147483648"}, {}, "",
     "vistrelctl: not a count: 2147483648" + kBadCount, 1, {}},
    {"CreateRefusesAPlusSign", {"create", "7", "+1"}, {}, "", "vistrelctl: not a count: +1" + kBadCount, 1, {}},
    {"ShowListsEveryCounterInIdOrder", {"show"},
     {{"7.dat", "41"}, {"ab.dat", "0\n"}, {".dat", ""}, {"\x01.dat", " -3"}, {"abc.dat", "9"}, {"7.dat.new", "1"}},
     "\"\" 0\n\\x01 -3\n7 41\nab 0\n", "", 0, {}},
    {"ShowSaysWhichCounterIsMissing", {"show", "zz", "ab", "7", "7"}, {{"7.dat", "41"}, {"ab.dat", "0"}}, "7 41\nab 0\n",
     "vistrelctl: no counter zz\n", 1, {}},
    {"ShowSaysWhatIsNoCounterFile", {"show"}, {{"7.dat", "41"}, {"8.dat.new", "1"}}, "7 41\n", "", 0, {}},
    {"SetWritesTheCountAlone", {"set", "7", "5"}, {{"7.dat", "1234567\n"}}, "", "", 0, {{"7.dat", "5"}}},
    {"SetKeepsWhatFollowsAShorterOldCount", {"set", "7", "100"}, {{"7.dat", "5\n"}}, "", "", 0, {{"7.dat", "100"}}},
    {"SetCreatesNoCounter", {"set", "9", "5"}, {}, "", "vistrelctl: no counter 9\n", 1, {}},
    {"SetNeedsACount", {"set", "7"}, {{"7.dat", "5"}}, "",
     "vistrelctl: wrong number of arguments for set (vistrelctl --help lists the commands)\n", 2, {{"7.dat", "5"}}},
    {"RemoveDeletesTheCounterAndItsReport", {"remove", "7"}, {{"7.dat", "5"}, {"7.report", "*"}, {"8.dat", "1"}},
     "", "", 0, {{"8.dat", "1"}}},
    {"RemoveSaysWhenThereIsNone", {"remove", "9"}, {{"8.dat", "1"}}, "", "vistrelctl: no counter 9\n", 1,
     {{"8.dat", "1"}}},
    {"ReportShowsTheTemplate", {"report", "7"}, {{"7.dat", "1"}, {"7.report", "A*\nB"}}, "A*\nB", "", 0, {}},
    {"ReportSaysWhenThereIsNone", {"report", "7"}, {{"7.dat", "1"}}, "",
     "vistrelctl: counter 7 has no report template: its view is the built-in statistics page\n", 1, {}},
    {"ReportInstallsAFile", {"report", "7", "page"}, {{"7.dat", "1"}, {"7.report", "old"}, {"page", "<p>*</p>"}},
     "", "", 0, {{"7.dat", "1"}, {"7.report", "<p>*</p>"}, {"page", "<p>*</p>"}}},
    {"ReportNeedsACounter", {"report", "9", "page"}, {{"page", "*"}}, "", "vistrelctl: no counter 9\n", 1,
     {{"page", "*"}}},
    {"BackupHoldsEveryCountAndTemplate", {"backup", "b"}, {{"7.dat", "41"}, {"ab.dat", "2\n"}, {"7.report", "x\ny"}},
     "", "", 0, {{"7.dat", "41"}, {"ab.dat", "2\n"}, {"7.report", "x\ny"}, {"b", kBackup}}},
    {"BackupToStandardOutput", {"backup", "-"}, {{"7.dat", "41"}, {"ab.dat", "2"}, {"7.report", "x\ny"}},
     kBackup, "", 0, {}},
    {"BackupWritesNothingWhenACounterCannotBeRead", {"backup", "b"}, {{"7.dat", "41"}, {"8.dat/x", ""}}, "",
     "vistrelctl: 8.dat is not a regular file\n", 1, {{"7.dat", "41"}, {"8.dat/x", ""}}},
    {"RestorePutsCountsAndTemplatesBack", {"restore", "b"}, {{"7.dat", "100000"}, {"b", kBackup}}, "", "", 0,
     {{"7.dat", "41"}, {"ab.dat", "2"}, {"7.report", "x\ny"}, {"b", kBackup}}},
    {"RestoreOnlyTheCountersNamed", {"restore", "b", "ab"}, {{"7.dat", "100000"}, {"b", kBackup}}, "", "", 0,
     {{"7.dat", "100000"}, {"ab.dat", "2"}, {"b", kBackup}}},
    {"RestoreRefusesACounterTheBackupLacks", {"restore", "b", "9"}, {{"7.dat", "1"}, {"b", kBackup}}, "",
     "vistrelctl: the backup holds no counter 9; nothing changed\n", 1, {{"7.dat", "1"}, {"b", kBackup}}},
    {"RestoreRefusesAnotherFile", {"restore", "b"}, {{"7.dat", "1"}, {"b", "7 5\n"}}, "",
     "vistrelctl: $DIR/b is not a vistrelctl backup: it does not start with \"vistrel counters\"\n", 1,
     {{"7.dat", "1"}, {"b", "7 5\n"}}},
    {"RestoreRefusesACutBackup", {"restore", "b"}, {{"7.dat", "1"}, {"b", kBackup.substr(0, kBackup.size() - 2)}},
     "", "vistrelctl: $DIR/b is not a vistrelctl backup: line 4\n", 1,
     {{"7.dat", "1"}, {"b", kBackup.substr(0, kBackup.size() - 2)}}},
    {"RestoreRefusesABadCount", {"restore", "b"}, {{"b", "vistrel counters\n7 5x\n"}}, "",
     "vistrelctl: $DIR/b is not a vistrelctl backup: line 2\n", 1, {{"b", "vistrel counters\n7 5x\n"}}},
    {"RestoreRefusesAWrongTemplateLength", {"restore", "b"}, {{"b", "vistrel counters\n7 report 2\nx\ny\n"}}, "",
     "vistrelctl: $DIR/b is not a vistrelctl backup: line 2\n", 1, {}},
    {"CreateOnAFullDiskLeavesNoCounter", {"create", "7", "41"}, {}, "", "vistrelctl: 7.dat: File too large\n", 1, {},
     true},
    {"SetOnAFullDiskKeepsTheCount", {"set", "7", "100"}, {{"7.dat", "5"}}, "",
     "vistrel: counter 7: the count 100 could not be stored: File too large\n", 1, {}, true},
    {"TheFolderCanBeNamed", {"--dir", "sub", "show"}, {{"sub/7.dat", "3"}, {"8.dat", "1"}}, "7 3\n", "", 0, {}},
    {"AMissingFolderIsSaid", {"--dir", "none", "show"}, {}, "",
     "vistrelctl: cannot enter the counter folder none: No such file or directory\n", 1, {}},
    {"NoCommand", {}, {}, "", "vistrelctl: no command given (vistrelctl --help lists the commands)\n", 2, {}},
    {"UnknownCommand", {"list"}, {}, "", "vistrelctl: unknown command: list (vistrelctl --help lists the commands)\n",
     2, {}},
};
// clang-format on

std::string inDir(std::string text, const TempDir& dir) {
  const std::size_t at = text.find("$DIR");
  return at == std::string::npos ? text : text.replace(at, 4, dir.path());
}

void PrintTo(const Command& command, std::ostream* out) { *out << command.name; }

class Commands : public testing::TestWithParam<Command> {};

TEST_P(Commands, AnswerAndLeaveTheirFiles) {
  const Command& command = GetParam();
  TempDir dir;
  for (const auto& [name, bytes] : command.before) {
    std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
    dir.write(name, bytes);
  }
  const CgiResult result = runCtl(dir, command.arguments, command.diskFull);
  EXPECT_EQ(result.output, command.output);
  EXPECT_EQ(result.errors, inDir(command.errors, dir));
  EXPECT_EQ(result.exitStatus, command.status);
  Files left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    if (entry.is_regular_file()) left[entry.path().string().substr(dir.path().size() + 1)] = TempDir::read_file(entry.path());
  }
  EXPECT_EQ(left, command.after.empty() ? command.before : command.after);
}

INSTANTIATE_TEST_SUITE_P(Vistrelctl, Commands, testing::ValuesIn(kCommands),
                         [](const testing::TestParamInfo<Command>& info) { return std::string(info.param.name); });

// check's requests to the workers: each length in one byte below 128, else in four.
TEST(Vistrelctl, FastCgiPairsReadBackAsWritten) {
  for (const std::size_t length : {0, 1, 127, 128, 255, 256, 70000}) {
    const std::string name(length, 'n'), value(length + 1, 'v');
    std::string stream;
    fastcgi::appendPair(stream, name, value);
    EXPECT_EQ(stream.size(), name.size() + value.size() + (length < 128 ? 1 : 4) + (length + 1 < 128 ? 1 : 4));
    std::vector<std::string> read;
    EXPECT_TRUE(fastcgi::forEachPair(stream, [&](std::string_view n, std::string_view v) {
      read = {std::string(n), std::string(v)};
    }));
    EXPECT_EQ(read, (std::vector<std::string>{name, value})) << length;
  }
}

TEST(Vistrelctl, HelpListsTheCommands) {
  TempDir dir;
  const CgiResult result = runCtl(dir, {"--help"});
  for (const char* verb : {"create", "show", "set", "remove", "report", "backup", "restore", "check"}) {
    EXPECT_NE(result.output.find("\n  " + std::string(verb) + " "), std::string::npos) << verb;
  }
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(Vistrelctl, RootMakesCountersTheServersUsersMode600) {
  TempDir dir;
  ASSERT_EQ(runCtl(dir, {"create", "7"}).exitStatus, 0);
  ASSERT_EQ(runCtl(dir, {"report", "7", "-"}).exitStatus, 0);
  const struct passwd* server = getpwnam("www-data");
  for (const char* name : {"7.dat", "7.report"}) {
    struct stat status;
    ASSERT_EQ(stat(dir.file(name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << name;
    if (geteuid() == 0 && server) {
      EXPECT_EQ(status.st_uid, server->pw_uid) << name;
    }
  }
}

TEST(Vistrelctl, SetWaitsForAVisitsLockAndGivesUpAfterItsWait) {
  TempDir dir;
  dir.write("7.dat", "41");
  HeldLock held(dir.file("7.dat"));
  const CgiResult result = runCtl(dir, {"set", "7", "0"});
  EXPECT_EQ(result.errors, "vistrelctl: counter 7 stayed locked by another process for 3 s; nothing changed\n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(held.contents(), "41");
}

// Visits from several workers, while vistrelctl sets the count again and
// again and then restores a backup: each set and the restore start a run of
// counts of their own, every visit is shown a count of one run, each count
// once, and the file holds the last run's next count.
TEST(Vistrelctl, SetAndRestoreWhileWorkersCountLoseNoVisitAndCountNoneTwice) {
  constexpr int kRun = 100000;  // the runs start kRun apart, each far shorter
  constexpr int kSets = 8;
  TempDir dir;
  dir.write("7.dat", std::to_string(10 * kRun));
  dir.write("b", "vistrel counters\n7 " + std::to_string(9 * kRun) + "\n");
  FastCgiWorker::Options options;
  options.processes = 4;
  FastCgiWorker workers(VISTREL, dir.path(), options);
  std::mutex mutex;
  std::vector<int> shown;
  std::atomic<bool> stop{false};
  std::vector<std::thread> visitors;
  for (int i = 0; i < 8; ++i) {
    visitors.emplace_back([&] {
      CgiRequest visit;
      visit.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c"};
      while (!stop) {
        const std::string answer = workers.run(visit).output;
        const std::size_t end = answer.rfind("</span>");
        const int count = std::stoi(answer.substr(answer.rfind('>', end) + 1));
        const std::lock_guard<std::mutex> guard(mutex);
        shown.push_back(count);
      }
    });
  }
  const auto visitsSoFar = [&] {
    const std::lock_guard<std::mutex> guard(mutex);
    return shown.size();
  };
  const auto afterMoreVisits = [&](std::size_t more) {
    const std::size_t target = visitsSoFar() + more;
    for (int waited = 0; visitsSoFar() < target && waited < kTimeoutSeconds * 100; ++waited) usleep(10000);
  };
  std::vector<int> statuses;
  for (int set = 1; set <= kSets; ++set) {
    afterMoreVisits(100);
    statuses.push_back(runCtl(dir, {"set", "7", std::to_string(set * kRun)}).exitStatus);
  }
  afterMoreVisits(100);
  statuses.push_back(runCtl(dir, {"restore", "b"}).exitStatus);
  afterMoreVisits(100);
  stop = true;
  for (std::thread& visitor : visitors) visitor.join();
  EXPECT_EQ(statuses, std::vector<int>(kSets + 1, 0));
  std::map<int, std::vector<int>> runs;
  for (const int count : shown) runs[count / kRun * kRun].push_back(count);
  // The first run, one per set, the restored one: none lost to a visit that wrote over it.
  EXPECT_EQ(runs.size(), static_cast<std::size_t>(kSets + 2));
  for (auto& [first, counts] : runs) {
    std::sort(counts.begin(), counts.end());
    for (std::size_t i = 0; i < counts.size(); ++i) ASSERT_EQ(counts[i], first + static_cast<int>(i)) << first;
  }
  EXPECT_EQ(dir.read("7.dat"), std::to_string(9 * kRun + runs[9 * kRun].size()));
  std::printf("%d sets and a restore under 8 visitors on 4 workers: %zu visits;", kSets, shown.size());
  for (const auto& [first, counts] : runs) std::printf(" %zu from %d,", counts.size(), first);
  std::printf(" file %s: none lost, none twice\n", dir.read("7.dat").c_str());
}

}  // namespace

namespace {

enum class Worker { none, inTheFolder, inAnotherFolder };

// A machine's set-up under a root of its own, and what check must say of it.
struct Site {
  const char* name;
  mode_t folderMode;
  bool counterOfRoot;  // root:root 644, as an administrator's printf leaves it
  std::vector<std::string> enabled;
  bool serverRuns;
  Worker worker;
  std::vector<std::string> named;
  std::string said;
  int status;
};

const std::vector<std::string> kLighttpdCgi = {"etc/lighttpd/conf-enabled/10-cgi.conf",
                                               "etc/lighttpd/conf-enabled/20-vistrel.conf", "run/lighttpd.pid"};
const std::vector<std::string> kNginx = {"etc/nginx/sites-enabled/vistrel", "etc/nginx/conf.d/vistrel-upstreams.conf",
                                         "run/nginx.pid"};
const std::vector<std::string> kApacheFcgid = {"etc/apache2/conf-enabled/vistrel-fastcgi.conf",
                                               "etc/apache2/mods-enabled/fcgid.load", "run/apache2/apache2.pid"};

// clang-format off
const Site kSites[] = {
    {"LighttpdCgiCounts", 0755, false, kLighttpdCgi, true, Worker::none, {},
     "ok: $ROOT/usr/lib/cgi-bin/vistrel, run as www-data, answered a view of counter 7 with its page\n"
     "ok: a visit would count\n", 0},
    {"ApacheFcgidCounts", 0755, false, kApacheFcgid, true, Worker::none, {}, "ok: a visit would count\n", 0},
    {"NginxWorkerCounts", 0755, false, kNginx, true, Worker::inTheFolder, {},
     "ok: the worker on $ROOT/run/vistrel-fcgi.socket answered a view of counter 7 with its page\n", 0},
    {"NoServerEnabled", 0755, false, {}, true, Worker::none, {},
     "fault: no web server has vistrel enabled: see \"Enable one server\" in /usr/share/doc/vistrel/deploy.md\n", 1},
    {"CounterNotTheServersUsers", 0755, true, kLighttpdCgi, true, Worker::none, {},
     "fault: counter 7 is root:root 644: www-data cannot read and write it: chown www-data: $DIR/7.dat && "
     "chmod 600 $DIR/7.dat\n", 1},
    {"FolderClosedToTheServersUser", 0700, false, kLighttpdCgi, true, Worker::none, {},
     "fault: the counter folder $DIR is root:root 700: www-data cannot enter it: chown root:www-data $DIR && "
     "chmod 750 $DIR\n", 1},
    {"CgiModuleNotEnabled", 0755, false, {kLighttpdCgi[1], kLighttpdCgi[2]}, true, Worker::none, {},
     "fault: lighttpd runs vistrel as CGI programs, but $ROOT/etc/lighttpd/conf-enabled/10-cgi.conf is not enabled\n", 1},
    {"ServerNotRunning", 0755, false, kLighttpdCgi, false, Worker::none, {},
     "fault: lighttpd runs vistrel as CGI programs, but it is not running (no process named in $ROOT/run/lighttpd.pid)\n",
     1},
    {"NoWorkerListens", 0755, false, kNginx, true, Worker::none, {},
     "fault: no worker socket for nginx at $ROOT/run/vistrel-fcgi.socket: systemctl enable --now vistrel-worker.socket vistrel-worker@{1..4}\n",
     1},
    {"WorkerCountsElsewhere", 0755, false, kNginx, true, Worker::inAnotherFolder, {},
     "fault: the worker on $ROOT/run/vistrel-fcgi.socket answered that counter 7 does not exist: "
     "/usr/lib/cgi-bin/vistrel keeps its counters elsewhere, or www-data cannot open them\n", 1},
    {"NamedCounterMissing", 0755, false, kLighttpdCgi, true, Worker::none, {"9"},
     "fault: counter 9: no file $DIR/9.dat: vistrelctl create 9\n", 1},
};
// clang-format on

void PrintTo(const Site& site, std::ostream* out) { *out << site.name; }

std::string placed(std::string text, const std::string& mark, const std::string& path) {
  for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), path);
  return text;
}

class Check : public testing::TestWithParam<Site> {};

TEST_P(Check, NamesTheFault) {
  const Site& site = GetParam();
  TempDir dir, root, elsewhere;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), site.folderMode), 0);
  ASSERT_EQ(runCtl(dir, {"create", "7", "5"}).exitStatus, 0);
  if (site.counterOfRoot) {
    ASSERT_EQ(chown(dir.file("7.dat").c_str(), 0, 0) | chmod(dir.file("7.dat").c_str(), 0644), 0);
  }
  for (const std::string& file : site.enabled) {
    std::filesystem::create_directories(std::filesystem::path(root.file(file)).parent_path());
    const bool pidFile = file.find(".pid") != std::string::npos;
    if (!pidFile || site.serverRuns) root.write(file, pidFile ? std::to_string(getpid()) : "include snippets/vistrel.conf;");
  }
  const std::string program = root.file("usr/lib/cgi-bin/vistrel");
  std::filesystem::create_directories(std::filesystem::path(program).parent_path());
  std::filesystem::copy_file(VISTREL, program);  // www-data may not reach the build
  std::unique_ptr<FastCgiWorker> worker;
  if (site.worker != Worker::none) {
    worker = std::make_unique<FastCgiWorker>(VISTREL, site.worker == Worker::inTheFolder ? dir.path() : elsewhere.path());
    std::filesystem::create_directories(root.file("run"));
    std::filesystem::create_symlink(worker->socketPath(), root.file("run/vistrel-fcgi.socket"));
  }
  std::vector<std::string> arguments = {"--root", root.path(), "check"};
  arguments.insert(arguments.end(), site.named.begin(), site.named.end());
  const CgiResult result = runCtl(dir, arguments);
  const std::string said = placed(placed(site.said, "$ROOT", root.path()), "$DIR", dir.path());
  EXPECT_NE(result.output.find(said), std::string::npos) << result.output;
  EXPECT_EQ(result.exitStatus, site.status) << result.output;
  const std::string verdict = site.status ? "\nfault: a visit would not count\n" : "\nok: a visit would count\n";
  EXPECT_EQ(result.output.substr(result.output.size() - std::min(verdict.size(), result.output.size())), verdict);
  EXPECT_EQ(dir.read("7.dat"), "5");
}

INSTANTIATE_TEST_SUITE_P(Vistrelctl, Check, testing::ValuesIn(kSites),
                         [](const testing::TestParamInfo<Site>& info) { return std::string(info.param.name); });

}  // namespace
