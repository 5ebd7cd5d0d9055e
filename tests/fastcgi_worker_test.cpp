// The programs as long-lived FastCGI workers: what must hold from one request
// to the next, and where a worker must behave soundly although a CGI process
// would simply end (refused requests, clients that went away, stop signals,
// a server that stops sending).
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

const std::vector<std::string> kCount = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=c"};
const std::vector<std::string> kView = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=7&chto=v"};
const std::vector<std::string> kMultipart = {"CONTENT_TYPE=multipart/form-data", "REQUEST_METHOD=POST"};

// AddressSanitizer holds freed memory back on purpose: under it, resident memory tells nothing.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The worker's open descriptors, counted once it has closed its connections
// (it closes the last one just after the answer has gone out).
long descriptorsWhenIdle(pid_t pid) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    long open = 0;
    bool connected = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      ++open;
      std::error_code gone;
      const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
      connected = connected || (entry.path().filename() != "0" && target.rfind("socket:", 0) == 0);
    }
    if (!connected) return open;
    usleep(10000);
  }
  return -1;
}

std::string statisticsView(int count) {
  return crlf(
      "Content-Type: text/html\nPragma: no-cache\n\n<html><head><title>7 counter statistics</title></head>"
      "<body><h1>&quot;7&quot; counter: Statistics</h1><p>" +
      std::to_string(count) + " visits totally registered with this counter</p><hr>\n<p>Counted by <a href=\"" +
      CGI_HOME_PAGE + "\">vistrel</a></p>\n</body></html>");
}

int shownCount(const std::string& snippet) {
  const std::size_t end = snippet.rfind("</span></a>');");
  const std::size_t start = snippet.rfind('>', end);
  return end == std::string::npos ? -1 : std::stoi(snippet.substr(start + 1, end - start - 1));
}

CgiRequest request(std::vector<std::string> environment, std::string input = "") {
  CgiRequest made;
  made.environment = std::move(environment);
  made.input = std::move(input);
  return made;
}

// Sends a request and hangs up without reading the answer, as a server whose client went away.
void sendAndHangUp(const FastCgiWorker& worker, const CgiRequest& made) {
  FastCgiClient client(worker.socketPath());
  client.beginRequest(made.environment);
  client.sendInput(made.input);
  client.endInput();
}

TEST(Worker, AnswersLikeAFreshOneAfterTenThousandMixedRequests) {
  TempDir counters;
  counters.write("7.dat", "0");
  FastCgiWorker worker(VISTREL, counters.path());
  const pid_t pid = worker.pids().at(0);
  int counted = 0;
  // One round of every kind of request but the large one.
  auto mixedRound = [&](int round) {
    const int kind = round % 6;
    if (kind == 0) {
      EXPECT_EQ(shownCount(worker.run(request(kCount)).output), counted++);
    } else if (kind == 1) {
      EXPECT_EQ(worker.run(request(kView)).output, statisticsView(counted));
    } else if (kind == 2) {
      EXPECT_EQ(worker.run(request({"REQUEST_METHOD=POST"}, "chto=v&cid=7&n=" + std::to_string(round))).output,
                statisticsView(counted));
    } else if (kind == 3) {
      const CgiResult refused = worker.run(request(kMultipart, "cid=7&chto=c"));
      EXPECT_EQ(refused.output, "");
      EXPECT_EQ(refused.exitStatus, 1);
    } else if (kind == 4) {
      sendAndHangUp(worker, request(kCount));
      ++counted;
    } else {
      EXPECT_EQ(worker.run(request({"REQUEST_METHOD=GET", "QUERY_STRING=cid=9&chto=c"})).exitStatus, 0);
    }
  };
  for (int round = 0; round < 60; ++round) mixedRound(round);
  // The hung-up visits may still be running: a view waits for their locks.
  EXPECT_EQ(worker.run(request(kView)).output, statisticsView(counted));
  const long idleKiB = residentKiB(pid);
  const long idleDescriptors = descriptorsWhenIdle(pid);

  for (int round = 0; round < 10000; ++round) {
    if (round == 5000) {
      const CgiResult large =
          worker.run(request({"REQUEST_METHOD=POST"}, "cid=7&chto=c&v=" + std::string(64 << 20, 'x')));
      EXPECT_EQ(shownCount(large.output), counted++);
    }
    mixedRound(round);
  }

  const CgiResult last = worker.run(request(kView));
  EXPECT_EQ(last.output, statisticsView(counted));
  EXPECT_EQ(last.output, FastCgiWorker(VISTREL, counters.path()).run(request(kView)).output) << "a fresh worker";
  EXPECT_EQ(counters.read("7.dat"), std::to_string(counted));
  EXPECT_EQ(descriptorsWhenIdle(pid), idleDescriptors);
  if (kResidentMemoryTells) {
    EXPECT_LE(residentKiB(pid), idleKiB + 8 * 1024) << "idle: " << idleKiB << " KiB";
  }
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
  EXPECT_EQ(worker.ownOutput(), "");
}

TEST(Worker, GivesBackTheMemoryOfALargeForm) {
  if (!kResidentMemoryTells) GTEST_SKIP() << "resident memory tells nothing under AddressSanitizer";
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  const CgiRequest small = request({"REQUEST_METHOD=POST"}, "a=1");
  const std::string smallAnswer = worker.run(small).output;
  const long idleKiB = residentKiB(worker.pids().at(0));
  // A long value first, which leaves the allocator keeping larger blocks for
  // itself; then many small fields, which it would keep afterwards.
  EXPECT_EQ(worker.run(request({"REQUEST_METHOD=POST"}, "v=" + std::string(40 << 20, 'v'))).output.substr(28, 2), "1 ");
  std::string fields;
  for (int i = 0; i < 150000; ++i) fields += "name" + std::to_string(i) + "=value&";
  EXPECT_EQ(worker.run(request({"REQUEST_METHOD=POST"}, fields)).output.substr(28, 7), "150000 ");
  EXPECT_EQ(worker.run(small).output, smallAnswer);
  EXPECT_LE(residentKiB(worker.pids().at(0)), idleKiB + 8 * 1024) << "idle: " << idleKiB << " KiB";
}

TEST(Worker, EndsARefusedOrFailedRequestWithStatusOneAndServesTheNext) {
  struct Refusal {
    const char* label;
    std::vector<std::string> environment;
    std::string input;
    long memoryLimit;
  };
  std::vector<Refusal> refusals = {{"multipart form data", kMultipart, "a=1", 0}};
#ifndef __SANITIZE_ADDRESS__
  refusals.push_back({"memory runs out", {"REQUEST_METHOD=POST"}, "a=" + std::string(48 << 20, 'x'), 24 << 20});
#endif
  for (const auto& refusal : refusals) {
    TempDir folder;
    FastCgiWorker worker(FIELDECHO, folder.path(), {1, {}, refusal.memoryLimit});
    for (int i = 0; i < 2; ++i) {
      const CgiResult refused = worker.run(request(refusal.environment, refusal.input));
      EXPECT_EQ(refused.exitStatus, 1) << refusal.label;
      EXPECT_EQ(refused.output, "") << refusal.label;
      EXPECT_EQ(worker.run(request({"REQUEST_METHOD=POST"}, "b=2")).output,
                crlf("Content-Type: text/plain\n\n1 successful form elements totally submitted\n\n"
                     "Listing decoded data:\n\nb=2\n"))
          << refusal.label;
    }
    EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0}) << refusal.label;
  }
}

TEST(Worker, FinishesTheWorkOfAClientThatWentAway) {
  TempDir counters;
  counters.write("7.dat", "41");
  FastCgiWorker vistrel(VISTREL, counters.path());
  sendAndHangUp(vistrel, request(kCount));
  EXPECT_EQ(vistrel.run(request(kView)).output, statisticsView(42));

  // An answer far larger than the connection holds, abandoned halfway.
  FastCgiWorker envprobe(ENVPROBE, counters.path());
  {
    FastCgiClient client(envprobe.socketPath());
    client.beginRequest({"REQUEST_METHOD=POST"});
    client.sendInput(std::string(8 << 20, 'x'));
    client.waitForAnswerToStart();
  }
  const CgiResult next = envprobe.run(request({"REQUEST_METHOD=GET"}, "after"));
  EXPECT_EQ(next.output.substr(next.output.size() - 23), "\r\nListing stdin:\r\nafter");
  EXPECT_EQ(envprobe.stop(SIGTERM), std::vector<int>{0});
  EXPECT_EQ(vistrel.stop(SIGTERM), std::vector<int>{0});
}

TEST(Worker, StopsAtASignalOnlyAfterAnsweringTheRequestInProgress) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
    TempDir folder;
    FastCgiWorker worker(ENVPROBE, folder.path());
    // More input than the answer's buffer holds: the answer starts while the request still reads.
    const std::string input(1 << 20, 'y');
    FastCgiClient client(worker.socketPath());
    client.beginRequest({"REQUEST_METHOD=POST"});
    client.sendInput(input);
    client.waitForAnswerToStart();
    kill(worker.pids().at(0), signal);
    client.sendInput("end");
    client.endInput();
    const CgiResult answer = client.readAnswer();
    EXPECT_EQ(answer.exitStatus, 0) << strsignal(signal);
    EXPECT_EQ(answer.output.substr(answer.output.size() - input.size() - 3), input + "end") << strsignal(signal);
    EXPECT_EQ(worker.stop(0), std::vector<int>{0}) << strsignal(signal);
  }
}

TEST(Worker, StopsAtOnceWhenIdle) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
    TempDir folder;
    FastCgiWorker worker(FIELDECHO, folder.path());
    // One answered request: the worker is past its start and waits for the next.
    EXPECT_EQ(worker.run(request({"REQUEST_METHOD=GET"})).exitStatus, 0);
    EXPECT_EQ(worker.stop(signal), std::vector<int>{0}) << strsignal(signal);
  }
}

TEST(Worker, SurvivesMalformedRecordsAndServesTheNextRequest) {
  // A record header: version, type, request id 1, content length, no padding.
  auto header = [](int version, int type, int length) {
    return std::string{static_cast<char>(version),     static_cast<char>(type),          0, 1,
                       static_cast<char>(length >> 8), static_cast<char>(length & 0xFF), 0, 0};
  };
  const std::string begin = header(1, 1, 8) + std::string{0, 1, 0, 0, 0, 0, 0, 0};
  const std::string paramsEnd = header(1, 4, 0);
  const struct {
    const char* label;
    std::string bytes;
  } malformed[] = {
      {"nothing at all", ""},
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"a cut header", "\x01\x01\x00"},
      {"another protocol version", header(2, 1, 8) + std::string(8, '\0')},
      {"parameters before the request began", header(1, 4, 4) + "\001\001ab" + paramsEnd},
      {"a pair longer than its record", begin + header(1, 4, 4) +
                                            "\x7F\x7F"
                                            "ab" +
                                            paramsEnd},
      {"a pair announcing 2 GiB", begin + header(1, 4, 8) +
                                      "\xFF\xFF\xFF\xFF\x01"
                                      "abc" +
                                      paramsEnd},
      {"an unknown role", header(1, 1, 8) + std::string{0, 9, 0, 0, 0, 0, 0, 0} + paramsEnd},
      {"an aborted request", begin + paramsEnd + header(1, 2, 0)},
      {"a management record", header(1, 9, 0)},
      {"input cut short", begin + paramsEnd + header(1, 5, 1000) + "a=1"},
      {"an unknown record type", begin + header(1, 42, 3) + "abc" + paramsEnd},
  };
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  for (const auto& m : malformed) {
    {
      FastCgiClient client(worker.socketPath());
      client.sendRaw(m.bytes);
    }
    // The worker is done with the bad connection before the next one comes.
    descriptorsWhenIdle(worker.pids().at(0));
    EXPECT_EQ(worker.run(request({"REQUEST_METHOD=GET", "QUERY_STRING=ok=1"})).output,
              crlf("Content-Type: text/plain\n\n1 successful form elements totally submitted\n\n"
                   "Listing decoded data:\n\nok=1\n"))
        << m.label;
  }
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
  EXPECT_EQ(worker.ownOutput(), "");
}

TEST(Worker, EndsARequestWhoseInputStallsAndServesTheNext) {
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  FastCgiClient stalled(worker.socketPath());
  stalled.beginRequest({"REQUEST_METHOD=POST"});
  stalled.sendInput("a=1&b=");
  // The worker gives up on the input after 30 s and answers what came.
  EXPECT_EQ(stalled.readAnswer(50).output,
            crlf("Content-Type: text/plain\n\n2 successful form elements totally submitted\n\n"
                 "Listing decoded data:\n\na=1\nb=\n"));
  EXPECT_EQ(worker.run(request({"REQUEST_METHOD=GET", "QUERY_STRING=c=3"})).output.substr(28, 2), "1 ");
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
}

}  // namespace
