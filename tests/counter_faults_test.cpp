// vistrel against faults: visits killed at random moments, and bad files in
// the counter folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

// Starts one counted visit on counter 7 whose answer goes to `outputPath`.
pid_t startVisit(const TempDir& dir, const std::string& outputPath) {
  const pid_t child = fork();
  if (child == 0) {
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    char method[] = "REQUEST_METHOD=GET";
    char query[] = "QUERY_STRING=cid=7&chto=c";
    char* environment[] = {method, query, nullptr};
    char program[] = VISTREL;
    char* arguments[] = {program, nullptr};
    execve(VISTREL, arguments, environment);
    _exit(127);
  }
  return child;
}

int shownCount(const std::string& answer) {
  const std::string end = "</span></a>');";
  const std::size_t close = answer.rfind(end);
  const std::size_t open = answer.rfind('>', close);
  EXPECT_TRUE(close != std::string::npos && close + end.size() == answer.size() && open != std::string::npos)
      << answer;
  return close == std::string::npos ? -1 : std::stoi(answer.substr(open + 1, close - open - 1));
}

// One count in the form a visit writes: no sign, blank or leading zero.
bool isPlainCount(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  return text.find_first_not_of("0123456789") == std::string::npos;
}

TEST(CounterFaults, KeepsOneValidCountWhenVisitsAreKilled) {
  TempDir dir;
  dir.write("7.dat", "0");
  std::mt19937 random(12345);
  int finished = 0;
  int killed = 0;
  std::set<int> shown;
  for (int round = 0; round < 12; ++round) {
    // The visits queue up behind a lock held here, so that they all run at once
    // when it goes; the first is killed while it waits.
    const int held = open(dir.file("7.dat").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(held, F_SETLKW, &lock), 0);
    std::vector<pid_t> visits;
    for (int i = 0; i < 16; ++i) visits.push_back(startVisit(dir, dir.file("out" + std::to_string(i))));
    usleep(2000);
    kill(visits[0], SIGKILL);
    close(held);
    for (int i = 1; i < 16; ++i) {
      if (random() % 3 == 0) {
        usleep(static_cast<useconds_t>(random() % 800));
        kill(visits[i], SIGKILL);
      }
    }
    for (int i = 0; i < 16; ++i) {
      int status = 0;
      waitpid(visits[i], &status, 0);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        ++finished;
        EXPECT_TRUE(shown.insert(shownCount(dir.read("out" + std::to_string(i)))).second) << "a count shown twice";
      } else {
        ++killed;
      }
    }
  }
  const std::string count = dir.read("7.dat");
  ASSERT_TRUE(isPlainCount(count)) << "not one valid number: " << count;
  const int final = std::stoi(count);
  EXPECT_GE(final, finished) << "a finished visit was lost";
  EXPECT_LE(final, finished + killed) << "a visit counted twice";
  EXPECT_LT(*shown.rbegin(), final);
  EXPECT_GT(killed, 0);
}

CgiResult view(const TempDir& dir, const std::string& query, bool asNobody = false) {
  CgiRequest request;
  request.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=" + query};
  request.workingDirectory = dir.path();
  request.runAsNobody = asNobody;
  return runCgi(VISTREL, request);
}

TEST(CounterFaults, ReadsAndRewritesAHugeDataFileWithoutReadingItAll) {
  TempDir dir;
  dir.write("7.dat", "41\n");
  ASSERT_EQ(truncate(dir.file("7.dat").c_str(), 1LL << 31), 0);  // 2 GiB, sparse
  const CgiResult counted = view(dir, "cid=7&chto=c");
  EXPECT_EQ(shownCount(counted.output), 41);
  struct stat status {};
  ASSERT_EQ(stat(dir.file("7.dat").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 1LL << 31);
  char start[4] = {};
  const int data = open(dir.file("7.dat").c_str(), O_RDONLY);
  ASSERT_EQ(read(data, start, 3), 3);
  close(data);
  EXPECT_EQ(std::string(start, 3), "42\n");
}

TEST(CounterFaults, CopiesAHugeReportAndFallsBackWhenItCannotBeRead) {
  TempDir dir;
  dir.write("7.dat", "5");
  dir.write("7.report", "*");
  ASSERT_EQ(truncate(dir.file("7.report").c_str(), 8 << 20), 0);
  const CgiResult huge = view(dir, "cid=7&chto=v");
  EXPECT_EQ(huge.output, crlf("Content-Type: text/html\nPragma: no-cache\n\n5") + std::string((8 << 20) - 1, '\0'));

  const std::string statistics = "<p>5 visits totally registered with this counter</p>";
  ASSERT_EQ(chmod(dir.file("7.report").c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.file("7.dat").c_str(), 0666), 0);
  EXPECT_NE(view(dir, "cid=7&chto=v", true).output.find(statistics), std::string::npos) << "unreadable report";

  ASSERT_EQ(unlink(dir.file("7.report").c_str()), 0);
  ASSERT_EQ(symlink("7.report", dir.file("7.report").c_str()), 0);
  EXPECT_NE(view(dir, "cid=7&chto=v").output.find(statistics), std::string::npos) << "report is a link loop";
}

}  // namespace
