// vistrel under concurrency and faults: overlapping visits of CGI processes
// and FastCGI workers on one counter, visits and workers killed midway, and
// bad files in the counter folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cgi_run.h"

namespace {

const std::vector<std::string> kCount = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c"};

// Starts one counted visit on counter 7 as a CGI process whose answer goes to `outputPath`.
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
  EXPECT_TRUE(close != std::string::npos && close + end.size() == answer.size() && open != std::string::npos) << answer;
  return close == std::string::npos ? -1 : std::stoi(answer.substr(open + 1, close - open - 1));
}

// One count in the form a visit writes: no sign, blank or leading zero.
bool isPlainCount(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  return text.find_first_not_of("0123456789") == std::string::npos;
}

// The counts that answers showed, each of which must be shown once only.
class ShownCounts {
 public:
  void add(int count) {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!counts_.insert(count).second) ADD_FAILURE() << "count " << count << " shown twice";
  }
  std::set<int> all() const { return counts_; }

 private:
  std::mutex mutex_;
  std::set<int> counts_;
};

TEST(CounterFaults, LosesNoVisitWhenManyOverlap) {
  TempDir dir;
  dir.write("7.dat", "100\n");
  constexpr int kVisits = 48;
  std::vector<pid_t> visits;
  {
    // The visits queue up behind a held lock, so that they all run at once when it goes.
    HeldLock held(dir.file("7.dat"));
    for (int i = 0; i < kVisits; ++i) visits.push_back(startVisit(dir, dir.file("out" + std::to_string(i))));
    waitForLockWaiters(dir.file("7.dat"), kVisits);
    EXPECT_EQ(dir.read("7.dat"), "100\n") << "a visit went past the lock";
  }
  ShownCounts shown;
  for (int i = 0; i < kVisits; ++i) {
    EXPECT_EQ(waitForExit(visits[i]), 0);
    shown.add(shownCount(dir.read("out" + std::to_string(i))));
  }
  EXPECT_EQ(*shown.all().begin(), 100);
  EXPECT_EQ(*shown.all().rbegin(), 100 + kVisits - 1);
  EXPECT_EQ(dir.read("7.dat"), std::to_string(100 + kVisits) + "\n");
}

TEST(CounterFaults, KeepsOneValidCountWhenVisitsAreKilled) {
  TempDir dir;
  dir.write("7.dat", "0");
  std::mt19937 random(12345);
  int finished = 0;
  int killed = 0;
  ShownCounts shown;
  for (int round = 0; round < 12; ++round) {
    std::vector<pid_t> visits;
    std::vector<bool> sentKill(16, false);
    {
      // The visits queue up behind a held lock; the first is killed while it waits.
      HeldLock held(dir.file("7.dat"));
      for (int i = 0; i < 16; ++i) visits.push_back(startVisit(dir, dir.file("out" + std::to_string(i))));
      waitForLockWaiters(dir.file("7.dat"), 16);
      kill(visits[0], SIGKILL);
      sentKill[0] = true;
    }
    for (int i = 1; i < 16; ++i) {
      if (random() % 3 == 0) {
        usleep(static_cast<useconds_t>(random() % 800));
        kill(visits[i], SIGKILL);
        sentKill[i] = true;
      }
    }
    for (int i = 0; i < 16; ++i) {
      int status = 0;
      ASSERT_EQ(waitpid(visits[i], &status, 0), visits[i]);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        ++finished;
        shown.add(shownCount(dir.read("out" + std::to_string(i))));
      } else if (sentKill[i] && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
        ++killed;
      } else {
        ADD_FAILURE() << "a visit ended by itself with status " << status;
      }
    }
  }
  const std::string count = dir.read("7.dat");
  ASSERT_TRUE(isPlainCount(count)) << "not one valid number: " << count;
  const int final = std::stoi(count);
  EXPECT_GE(final, finished) << "a finished visit was lost";
  EXPECT_LE(final, finished + killed) << "a visit counted twice";
  EXPECT_LT(*shown.all().rbegin(), final);
}

TEST(CounterFaults, WorkersAndCgiProcessesCountEveryVisitOfOneCounter) {
  TempDir dir;
  dir.write("7.dat", "500");
  FastCgiWorker workers(VISTREL, dir.path(), {4, {}, 0});
  constexpr int kClients = 16;
  constexpr int kVisitsPerClient = 625;  // 10,000 visits through the workers
  constexpr int kCgiVisits = 200;
  ShownCounts shown;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kVisitsPerClient; ++i) {
        CgiRequest visit;
        visit.environment = kCount;
        shown.add(shownCount(workers.run(visit).output));
      }
    });
  }
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kCgiVisits / 2; ++i) {
        CgiRequest visit;
        visit.environment = kCount;
        visit.workingDirectory = dir.path();
        shown.add(shownCount(runCgi(VISTREL, visit).output));
      }
    });
  }
  for (auto& client : clients) client.join();
  constexpr int kAll = kClients * kVisitsPerClient + kCgiVisits;
  EXPECT_EQ(dir.read("7.dat"), std::to_string(500 + kAll));
  EXPECT_EQ(shown.all().size(), static_cast<std::size_t>(kAll));
  EXPECT_EQ(*shown.all().begin(), 500);
  EXPECT_EQ(*shown.all().rbegin(), 500 + kAll - 1);
  EXPECT_EQ(workers.stop(SIGTERM), std::vector<int>(4, 0));
}

TEST(CounterFaults, KeepsOneValidCountWhenAWorkerIsKilledUnderLoad) {
  TempDir dir;
  dir.write("7.dat", "0");
  FastCgiWorker workers(VISTREL, dir.path(), {4, {}, 0});
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::atomic<int> failed{0};
  ShownCounts shown;
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      while (started++ < 3000) {
        try {
          CgiRequest visit;
          visit.environment = kCount;
          shown.add(shownCount(workers.run(visit).output));
          ++finished;
        } catch (const std::exception&) {
          ++failed;  // the connection of a killed worker
        }
      }
    });
  }
  // Two workers killed while visits run, whatever each is doing.
  for (std::size_t victim = 0; victim < 2; ++victim) {
    for (int waited = 0; finished < 1000 * static_cast<int>(victim + 1) && waited < 6000; ++waited) usleep(10000);
    kill(workers.pids()[victim], SIGKILL);
  }
  for (auto& client : clients) client.join();
  const std::string count = dir.read("7.dat");
  ASSERT_TRUE(isPlainCount(count)) << "not one valid number: " << count;
  EXPECT_GE(std::stoi(count), finished.load()) << "a finished visit was lost";
  EXPECT_LE(std::stoi(count), finished + failed) << "a visit counted twice";
  EXPECT_EQ(workers.stop(SIGTERM), (std::vector<int>{-1, -1, 0, 0}));
}

TEST(CounterFaults, AnswersAsMissingWhileAnotherProcessHoldsTheLockAndStopsInTime) {
  TempDir dir;
  dir.write("7.dat", "41");
  const std::string kLogLine = "vistrel: counter 7: locked by another process for too long; answered as missing\n";
  FastCgiWorker worker(VISTREL, dir.path());
  CgiRequest visit;
  visit.environment = kCount;
  visit.workingDirectory = dir.path();
  {
    // A read-only descriptor is enough for a shared lock, which keeps visits out.
    HeldLock foreign(dir.file("7.dat"), true);
    const CgiResult asCgi = runCgi(VISTREL, visit);
    EXPECT_NE(asCgi.output.find(">ERROR</span>"), std::string::npos) << asCgi.output;
    EXPECT_EQ(asCgi.errors, kLogLine);
    FastCgiClient waiting(worker.socketPath());
    waiting.beginRequest(kCount);
    waiting.waitUntilTaken();
    waiting.endInput();
    // A request in hand when the stop comes is still answered: after the
    // lock's bound, while the worker sets it aside and retries.
    kill(worker.pids().at(0), SIGTERM);
    const CgiResult asWorker = waiting.readAnswer();
    EXPECT_EQ(asWorker.output, asCgi.output);
    EXPECT_EQ(asWorker.errors, kLogLine);
    EXPECT_EQ(worker.stop(0), std::vector<int>{0});
    visit.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=v"};
    EXPECT_NE(runCgi(VISTREL, visit).output.find("<p>41 visits totally"), std::string::npos) << "a view shares";
  }
  HeldLock exclusive(dir.file("7.dat"));
  EXPECT_NE(runCgi(VISTREL, visit).output.find("<u>does not exist</u>"), std::string::npos) << "a view kept out";
  EXPECT_EQ(dir.read("7.dat"), "41");
}

TEST(CounterFaults, StoresTheCountAndUnlocksBeforeTheAnswerWaitsOnItsClient) {
  TempDir dir;
  dir.write("7.dat", "41");
  CgiRequest visit;
  // Escaped, the host takes about 320 KB of answer: more than the output buffer and the pipe hold.
  visit.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c", "HTTP_HOST=" + std::string(40000, '<')};
  visit.workingDirectory = dir.path();
  visit.whileOutputWaits = [](const std::string& folder) {
    EXPECT_EQ(TempDir::read_file(folder + "/7.dat"), "42");
    EXPECT_EQ(locksOnFile(folder + "/7.dat", false), 0) << "the counter stays locked while the client does not read";
  };
  const CgiResult result = runCgi(VISTREL, visit);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(shownCount(result.output), 41);
}

TEST(CounterFaults, CountsEveryVisitWhileTheFileIsReplacedUnderItsLock) {
  TempDir dir;
  dir.write("7.dat", "0");
  FastCgiWorker workers(VISTREL, dir.path(), {4, {}, 0});
  std::atomic<bool> visiting{true};
  std::atomic<int> replaced{0};
  // An administrator's restore: lock the counter, write a copy, rename it over, unlock.
  std::thread replacer([&] {
    for (; visiting; ++replaced) {
      HeldLock lock(dir.file("7.dat"));
      dir.write("7.new", lock.contents());
      ASSERT_EQ(rename(dir.file("7.new").c_str(), dir.file("7.dat").c_str()), 0);
      usleep(2000);
    }
  });
  ShownCounts shown;
  std::atomic<int> visits{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&] {
      // Visits go on until the file was replaced often enough, however fast they are.
      for (int i = 0; i < 5000 && (i < 200 || replaced < 20); ++i, ++visits) {
        CgiRequest visit;
        visit.environment = kCount;
        shown.add(shownCount(workers.run(visit).output));
      }
    });
  }
  for (auto& client : clients) client.join();
  visiting = false;
  replacer.join();
  EXPECT_GE(replaced, 20);
  EXPECT_EQ(dir.read("7.dat"), std::to_string(visits));
  EXPECT_EQ(shown.all().size(), static_cast<std::size_t>(visits));
  EXPECT_EQ(workers.stop(SIGTERM), std::vector<int>(4, 0));
}

CgiResult view(const TempDir& dir, const std::string& query, bool asNobody = false) {
  CgiRequest request;
  request.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=" + query};
  request.workingDirectory = dir.path();
  request.runAsNobody = asNobody;
  return runCgi(VISTREL, request);
}

TEST(CounterFaults, CountsInAHugeSparseDataFileWithoutChangingItsSize) {
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
  const CgiResult unreadable = view(dir, "cid=7&chto=v", true);
  EXPECT_EQ(unreadable.exitStatus, 0);
  EXPECT_NE(unreadable.output.find(statistics), std::string::npos) << "unreadable report";

  ASSERT_EQ(unlink(dir.file("7.report").c_str()), 0);
  ASSERT_EQ(symlink("7.report", dir.file("7.report").c_str()), 0);
  EXPECT_NE(view(dir, "cid=7&chto=v").output.find(statistics), std::string::npos) << "report is a link loop";
}

}  // namespace
