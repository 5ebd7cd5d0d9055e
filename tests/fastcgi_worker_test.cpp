// The programs as long-lived FastCGI workers: what must hold from one request
// to the next, and where a worker must behave soundly although a CGI process
// would simply end (refused requests, clients that went away, stop signals,
// a server that stops sending).
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "cgi_run.h"
#include "counter/counter_request.h"

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
  ASSERT_GT(idleDescriptors, 0) << "the worker never closed its connections";

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
  // Parameters of 1 MiB, and connections that hold them and go away.
  const CgiRequest largeParams = request({"REQUEST_METHOD=GET", "HTTP_X=" + std::string(1000000, 'x')});
  EXPECT_EQ(worker.run(largeParams).exitStatus, 0);
  {
    std::vector<std::unique_ptr<FastCgiClient>> stalled;
    for (int i = 0; i < 8; ++i) {
      stalled.push_back(std::make_unique<FastCgiClient>(worker.socketPath()));
      stalled.back()->beginRequest(largeParams.environment);
      stalled.back()->waitUntilTaken();
    }
  }
  // Twice: the worker gives memory back before it waits again.
  EXPECT_EQ(worker.run(small).output, smallAnswer);
  EXPECT_EQ(worker.run(small).output, smallAnswer);
  EXPECT_LE(residentKiB(worker.pids().at(0)), idleKiB + 512) << "idle: " << idleKiB << " KiB";
}

// As CGI, the same refusals end the process with status 1 and nothing written.
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
    CgiRequest asCgi = request(refusal.environment, refusal.input);
    asCgi.memoryLimit = refusal.memoryLimit;
    const CgiResult cgi = runCgi(FIELDECHO, asCgi);
    EXPECT_EQ(cgi.exitStatus, 1) << refusal.label << " as CGI";
    EXPECT_EQ(cgi.output, "") << refusal.label << " as CGI";
    EXPECT_EQ(cgi.errors, "") << refusal.label << " as CGI";
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

// A client that goes away: the program still does its work (a visit is
// counted) and ends normally, as a CGI process whose output nobody reads and
// as a worker whose peer hangs up once its answer started; the worker then
// serves the next request.
TEST(Programs, FinishTheirWorkWhenTheClientHasGoneAway) {
  const struct {
    const char* program;
    std::vector<std::string> environment;
    std::string input;
    const char* countAfter;  // in 7.dat, after one visit in each mode
  } rows[] = {
      {VISTREL, kCount, "", "43"},
      {FIELDECHO, {"REQUEST_METHOD=POST"}, "a=" + std::string(1 << 20, 'x'), "41"},
      {ENVPROBE, {"REQUEST_METHOD=POST"}, std::string(8 << 20, 'x'), "41"},
  };
  for (const auto& row : rows) {
    TempDir counters;
    counters.write("7.dat", "41");
    CgiRequest made = request(row.environment, row.input);
    made.workingDirectory = counters.path();
    made.closeOutputEarly = true;
    const CgiResult cgi = runCgi(row.program, made);
    EXPECT_EQ(cgi.exitStatus, 0) << row.program;
    EXPECT_EQ(cgi.errors, "") << row.program;
    EXPECT_EQ(cgi.inputOffset, static_cast<long>(row.input.size())) << row.program;
    FastCgiWorker worker(row.program, counters.path());
    {
      FastCgiClient client(worker.socketPath());
      client.beginRequest(row.environment);
      client.sendInput(row.input);
      client.endInput();
      client.waitForAnswerToStart();
    }
    EXPECT_EQ(worker.run(request({"REQUEST_METHOD=GET"})).exitStatus, 0) << row.program;
    EXPECT_EQ(counters.read("7.dat"), row.countAfter) << row.program;
    EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0}) << row.program;
    EXPECT_EQ(worker.ownOutput(), "") << row.program;
  }
}

TEST(Worker, StopsAtASignalOnlyAfterAnsweringTheRequestInProgress) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
    TempDir folder;
    FastCgiWorker worker(ENVPROBE, folder.path());
    const std::string input(1 << 20, 'y');
    FastCgiClient client(worker.socketPath());
    client.beginRequest({"REQUEST_METHOD=POST"});
    client.sendInput(input);
    client.waitUntilTaken();
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

// A record as a server or an attacker sends it: version, type, request id, content, padding.
std::string record(int type, int id, const std::string& content, int padding = 0, int version = 1) {
  const std::size_t length = content.size();
  return std::string{static_cast<char>(version),       static_cast<char>(type), static_cast<char>(id >> 8),
                     static_cast<char>(id & 0xFF),      static_cast<char>(length >> 8),
                     static_cast<char>(length & 0xFF), static_cast<char>(padding), 0} +
         content + std::string(padding, '\xAA');
}

// A name-value pair with one-byte lengths.
std::string pair(const std::string& name, const std::string& value) {
  return static_cast<char>(name.size()) + (static_cast<char>(value.size()) + name + value);
}

std::string endRequest(int id, int appStatus, int protocolStatus) {
  return record(3, id, std::string{0, 0, 0, static_cast<char>(appStatus), static_cast<char>(protocolStatus), 0, 0, 0});
}

const std::string kBegin = record(1, 1, std::string{0, 1, 0, 0, 0, 0, 0, 0});
const std::string kGetX = record(4, 1, pair("REQUEST_METHOD", "GET") + pair("QUERY_STRING", "x=1")) + record(4, 1, "");
const std::string kListingX =
    crlf("Content-Type: text/plain\n\n1 successful form elements totally submitted\n\nListing decoded data:\n\nx=1\n");
const std::string kAnswerX = record(6, 1, kListingX) + record(6, 1, "") + endRequest(1, 0, 0);
const CgiRequest kOk = request({"REQUEST_METHOD=GET", "QUERY_STRING=ok=1"});
const std::string kListingOk =
    crlf("Content-Type: text/plain\n\n1 successful form elements totally submitted\n\nListing decoded data:\n\nok=1\n");

TEST(Worker, AnswersBadAndHostileRecordsByTheProtocolAndServesTheNextRequest) {
  const std::string paramsEnd = record(4, 1, "");
  // One well-formed pair of 1 MiB and more, in as many records as it takes.
  const std::string tooManyParams = kBegin + [] {
    const std::string pairs = std::string("\x01\x80\x10\x00\x10" "A", 6) + std::string(0x100010, 'v');
    std::string records;
    for (std::size_t at = 0; at < pairs.size(); at += 65535) records += record(4, 1, pairs.substr(at, 65535));
    return records + record(4, 1, "") + record(5, 1, "");
  }();
  const std::string getValues = pair("FCGI_MAX_CONNS", "") + pair("FCGI_MAX_REQS", "") + pair("FCGI_MPXS_CONNS", "");
  const struct {
    const char* label;
    std::string bytes;
    std::string answer;  // every byte the worker sends back before it closes
  } cases[] = {
      {"nothing at all", "", ""},
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", ""},
      {"a cut header", std::string("\x01\x01\x00", 3), ""},
      {"another protocol version", record(1, 1, std::string{0, 1, 0, 0, 0, 0, 0, 0}, 0, 2), ""},
      {"parameters before the request began", record(4, 1, "\001\001ab") + paramsEnd, ""},
      {"a pair longer than its record", kBegin + record(4, 1, "\x7F\x7F" "ab") + paramsEnd, ""},
      {"a pair announcing 2 GiB", kBegin + record(4, 1, "\xFF\xFF\xFF\xFF\x01" "abc") + paramsEnd, ""},
      {"parameters beyond their limit", tooManyParams, ""},
      {"input before the parameters ended", kBegin + record(5, 1, "a=1") + paramsEnd, ""},
      {"an unknown record type of the request", kBegin + record(42, 1, "abc") + paramsEnd, ""},
      {"data for a responder", kBegin + paramsEnd + record(8, 1, "x") + record(5, 1, ""), ""},
      {"the request begun again", kBegin + kBegin, ""},
      {"input cut short", kBegin + paramsEnd + record(5, 1, "a=1").substr(0, 8) + "a=1", ""},
      {"padding cut short", kBegin + record(4, 1, "", 200).substr(0, 100), ""},
      {"an unknown role", record(1, 1, std::string{0, 9, 0, 0, 0, 0, 0, 0}) + paramsEnd, endRequest(1, 0, 3)},
      {"an authorizer", record(1, 1, std::string{0, 2, 0, 0, 0, 0, 0, 0}) + paramsEnd, endRequest(1, 0, 3)},
      {"an abort before the parameters ended", kBegin + record(2, 1, ""), endRequest(1, 0, 0)},
      {"an abort while the input is read", kBegin + paramsEnd + record(5, 1, "a") + record(2, 1, ""),
       endRequest(1, 0, 0)},
      {"a management record of another type", record(42, 0, "ab"), record(11, 0, std::string{42, 0, 0, 0, 0, 0, 0, 0})},
      {"one variable asked four times", record(9, 0, pair("FCGI_MPXS_CONNS", "") +
                                                    pair("FCGI_MPXS_CONNS", "") + pair("FCGI_MPXS_CONNS", "") +
                                                    pair("FCGI_MPXS_CONNS", "")),
       record(10, 0, pair("FCGI_MPXS_CONNS", "0"))},
      {"every variable and an unknown one", record(9, 0, getValues + pair("X", "")),
       record(10, 0, pair("FCGI_MAX_CONNS", "32") + pair("FCGI_MAX_REQS", "32") + pair("FCGI_MPXS_CONNS", "0"))},
      {"variables in a cut pair", record(9, 0, "\x0F"), ""},
      {"records of a request not in progress", kBegin + record(5, 2, "junk") + kGetX + record(5, 1, ""), kAnswerX},
      {"a second request on a busy connection",
       kBegin + record(1, 2, std::string{0, 1, 0, 0, 0, 0, 0, 0}) + kGetX + record(5, 2, "a=2") + record(5, 1, ""),
       endRequest(2, 0, 1) + kAnswerX},
      {"padded records", record(1, 1, std::string{0, 1, 0, 0, 0, 0, 0, 0}, 3) +
                             record(4, 1, pair("REQUEST_METHOD", "GET") + pair("QUERY_STRING", "x=1"), 7) +
                             record(4, 1, "", 255) + record(5, 1, "", 1),
       kAnswerX},
  };
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  for (const auto& c : cases) {
    FastCgiClient client(worker.socketPath());
    client.sendRaw(c.bytes);
    EXPECT_EQ(client.readUntilClosed(), c.answer) << c.label;
    EXPECT_EQ(worker.run(kOk).output, kListingOk) << c.label;
  }
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
  EXPECT_EQ(worker.ownOutput(), "");
}

TEST(Worker, AnswersOthersWhileAConnectionStallsAndStopsAtOnce) {
  const std::string stalls[] = {std::string("\x01\x01\x00", 3), kBegin + record(4, 1, pair("A", "b")), kBegin + kGetX};
  for (const auto& stall : stalls) {
    TempDir folder;
    FastCgiWorker worker(FIELDECHO, folder.path());
    FastCgiClient stalled(worker.socketPath());
    stalled.sendRaw(stall);
    EXPECT_EQ(worker.run(kOk).output, kListingOk);
    // Within stop()'s limit: after a stop a stalled request has 2 s, not 30.
    EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
  }
}

// A server sends a request on a connection it opened before the stop, and does not send it again.
TEST(Worker, AnswersARequestThatComesAfterAStopOnAConnectionItHadTaken) {
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  FastCgiClient client(worker.socketPath());
  client.waitUntilTaken();
  ASSERT_EQ(kill(worker.pids()[0], SIGTERM), 0);
  // Delivered, the stop is acted on before the worker reads again.
  const std::string status = "/proc/" + std::to_string(worker.pids()[0]) + "/status";
  for (int tries = 0;; ++tries) {
    std::ifstream lines(status);
    std::string line, pending;
    while (std::getline(lines, line)) {
      if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) pending += line.substr(7);
    }
    if (pending.find_first_not_of("0\t ") == std::string::npos) break;
    ASSERT_LT(tries, 1000) << "the stop is still pending";
    usleep(10'000);
  }
  client.beginRequest(kOk.environment);
  client.endInput();
  EXPECT_EQ(client.readAnswer(10).output, kListingOk);
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
}

TEST(Worker, AnswersAtOnceBesideManySilentConnections) {
  for (const long descriptorLimit : {0L, 12L}) {
    TempDir folder;
    FastCgiWorker worker(FIELDECHO, folder.path(), {1, {}, 0, descriptorLimit});
    std::vector<std::unique_ptr<FastCgiClient>> silent;
    for (int i = 0; i < 40; ++i) silent.push_back(std::make_unique<FastCgiClient>(worker.socketPath()));
    FastCgiClient client(worker.socketPath());
    client.beginRequest(kOk.environment);
    client.endInput();
    EXPECT_EQ(client.readAnswer(10).output, kListingOk) << descriptorLimit;
    EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
    EXPECT_EQ(worker.ownOutput(), "");
  }
}

TEST(Worker, EndsAtOnceSayingSoWhereTooFewDescriptorsAreLeft) {
#ifdef __SANITIZE_ADDRESS__
  // A sanitized build links dynamically: below 6 the loader runs out first.
  const long limits[] = {6};
#else
  const long limits[] = {3, 4, 6};
#endif
  for (const long descriptorLimit : limits) {
    TempDir folder;
    FastCgiWorker worker(VISTREL, folder.path(), {1, {}, 0, descriptorLimit});
    EXPECT_EQ(worker.stop(0), std::vector<int>{1}) << descriptorLimit;
    EXPECT_EQ(worker.ownOutput(), "vistrel: a limit of " + std::to_string(descriptorLimit) +
                                      " open files is too few for a FastCGI worker, which needs 7\n");
  }
}

TEST(Worker, AnswersEveryConnectionWhileItKeepsSome) {
  TempDir folder;
  FastCgiWorker worker(FIELDECHO, folder.path());
  FastCgiClient kept[2] = {FastCgiClient(worker.socketPath()), FastCgiClient(worker.socketPath())};
  for (int round = 0; round < 3; ++round) {
    for (auto& connection : kept) {
      connection.beginRequest({"REQUEST_METHOD=GET", "QUERY_STRING=x=1"}, true);
      connection.endInput();
      EXPECT_EQ(connection.readAnswer(10).output, kListingX) << round;
    }
    FastCgiClient other(worker.socketPath());
    other.beginRequest(kOk.environment);
    other.endInput();
    EXPECT_EQ(other.readAnswer(10).output, kListingOk) << round;
  }
  EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0});
}

// Four peers that stall on a pool of one worker (vistrel's handler, on the
// test's clock): a visit to another counter is answered at once, and each
// stalled peer gets what its bound gives it once the clock passes that bound.
TEST(Worker, AnswersOthersAtOnceWhilePeersStallAndEndsThemAtTheirBound) {
  const std::vector<std::string> visit8 = {"REQUEST_METHOD=POST"};
  const std::vector<std::string> view8 = {"REQUEST_METHOD=GET", "QUERY_STRING=cid=8&chto=v"};
  const std::string locked = "vistrel: counter 8: locked by another process for too long; answered as missing\n";
  const struct {
    const char* label;
    std::vector<std::string> environment;
    std::string input;
    bool inputEnds;        // else the body stalls
    bool counterHeld;      // another process holds 8.dat's lock
    long long bound;       // what the test clock then moves
    bool answerCut;        // its answer starts before the bound, and after it the connection closes
    int shown;             // else the count the first answer shows (one more each), -1 for the error snippet
    const char* errors;
    const char* countAfter;
  } stalls[] = {
      {"a body that stops", visit8, "chto=c&cid=8&x=", false, false, 30'000, false, 5, "", "9"},
      {"an answer nobody reads", view8, "", true, false, 30'000, true, 0, "", "5"},
      {"a counter held by another process", {"REQUEST_METHOD=GET", "QUERY_STRING=cid=8&chto=c"}, "", true, true,
       3'000, false, -1, locked.c_str(), "5"},
  };
  for (const auto& stall : stalls) {
    TempDir counters;
    counters.write("8.dat", "5");
    counters.write("8.report", std::string(4 << 20, 'r'));
    counters.write("9.dat", "0");
    FastCgiWorker worker("vistrel", counters.path(), {1, {}, 0, 0, answerCounterRequest});
    auto held = stall.counterHeld ? std::make_unique<HeldLock>(counters.file("8.dat")) : nullptr;
    std::vector<std::unique_ptr<FastCgiClient>> peers;
    for (int i = 0; i < 4; ++i) {
      peers.push_back(std::make_unique<FastCgiClient>(worker.socketPath()));
      peers.back()->beginRequest(stall.environment);
      peers.back()->sendInput(stall.input);
      // The worker reads a connection as it accepts it, in the order they came.
      if (stall.inputEnds) peers.back()->endInput();
    }
    const CgiRequest visit9 = request({"REQUEST_METHOD=GET", "QUERY_STRING=cid=9&chto=c"});
    EXPECT_EQ(shownCount(FastCgiClient::exchange(worker.socketPath(), visit9).output), 0) << stall.label;
    for (auto& peer : peers) EXPECT_EQ(peer->hasReceived(), stall.answerCut) << stall.label << ": before the bound";
    advanceTestClock(stall.bound);
    // A request wakes the worker, which then finds the bound passed.
    EXPECT_EQ(shownCount(FastCgiClient::exchange(worker.socketPath(), visit9).output), 1) << stall.label;
    std::vector<int> shown;
    for (auto& peer : peers) {
      if (stall.answerCut) {
        EXPECT_LT(peer->readUntilClosed().size(), std::size_t{4} << 20) << stall.label;
        continue;
      }
      const CgiResult answer = peer->readAnswer();
      EXPECT_EQ(answer.errors, stall.errors) << stall.label;
      shown.push_back(shownCount(answer.output));
    }
    std::sort(shown.begin(), shown.end());
    for (std::size_t i = 0; i < shown.size(); ++i) {
      EXPECT_EQ(shown[i], stall.shown < 0 ? -1 : stall.shown + static_cast<int>(i)) << stall.label;
    }
    held.reset();
    EXPECT_EQ(counters.read("8.dat"), stall.countAfter) << stall.label;
    EXPECT_EQ(worker.stop(SIGTERM), std::vector<int>{0}) << stall.label;
    EXPECT_EQ(worker.ownOutput(), "") << stall.label;
  }
}

}  // namespace
