// A ready request's program run: its parameters become its variables, its
// input comes from what the connection received, and its answer is queued as
// records, to go out once it returns. Nothing here waits on a peer.
#include <malloc.h>

#include <algorithm>

#include "platform/environment.h"
#include "platform/fastcgi_worker.h"
#include "platform/serving.h"
#include "platform/text_stdio.h"

namespace fastcgi {

namespace {

// The connection whose request the program is answering, and its worker.
Connection* answering;
Worker* answeringWorker;
bool setAsideAsked;
bool answerLost;  // the answer outgrew the disk budget: the connection closes without it

std::size_t readRequestInput(char* buffer, std::size_t capacity) {
  return readSpool(answering->input, buffer, capacity);
}

// An answer that the disk budget cannot take breaks the connection: the
// program still runs to its end, as for a client that went away.
bool writeRequestOutput(const char* bytes, std::size_t length) {
  Connection& c = *answering;
  if (c.aborted || answerLost) return false;
  std::string records;
  for (std::size_t at = 0; at < length; at += kMaxContentLength) {
    records.clear();
    appendRecord(records, kStdout, c.requestId, std::string_view(bytes + at, std::min(length - at, kMaxContentLength)));
    if (!appendToSpool(c.output, records)) {
      answerLost = true;
      return false;
    }
  }
  return true;
}

// Makes the request's parameters its variables, as "NAME=value" entries;
// false, for a request without an answer, when a pair runs past the stream.
bool useParamsAsEnvironment(Worker& w, const std::string& params) {
  // The two lengths of a pair take at least two bytes, as many as its "=" and
  // its zero byte: the entries never take more room than the stream.
  w.environmentText.resize(params.size());
  w.environment.clear();
  char* out = w.environmentText.data();
  const bool wellFormed = forEachPair(params, [&](std::string_view name, std::string_view value) {
    w.environment.push_back(out);
    out = std::copy(name.begin(), name.end(), out);
    *out++ = '=';
    out = std::copy(value.begin(), value.end(), out);
    *out++ = '\0';
  });
  w.environment.push_back(nullptr);
  if (wellFormed) useRequestEnvironment(w.environment.data());
  return wellFormed;
}

void forgetEnvironment(Worker& w) {
  useRequestEnvironment(nullptr);
  if (w.environmentText.capacity() > kTrimAfterBytes) {
    freeString(w.environmentText);
    w.environment = std::vector<char*>();
  }
}

// The records that end an answer; an aborted request gets its end alone.
bool endAnswer(Connection& c, int status) {
  std::string records;
  if (!c.aborted) appendRecord(records, kStdout, c.requestId, "");
  if (c.wroteErrors && !c.aborted) appendRecord(records, kStderr, c.requestId, "");
  appendEndRequest(records, c.requestId, status, kRequestComplete);
  return appendToSpool(c.output, records);
}

void setAside(Worker& w, Connection& c, std::size_t answerStart) {
  discardTextOutput();
  if (!cutSpool(c.output, answerStart)) {
    closeConnection(w, c);
    return;
  }
  constexpr std::size_t kPauses = sizeof kRetryPausesMilliseconds / sizeof kRetryPausesMilliseconds[0];
  c.phase = Phase::setAside;
  c.retryAt = w.clock() + kRetryPausesMilliseconds[std::min(c.retries, kPauses - 1)];
  ++c.retries;
}

}  // namespace

void answer(Worker& w, Connection& c) {
  if (!useParamsAsEnvironment(w, c.params)) {
    closeConnection(w, c);
    return;
  }
  if (c.retries == 0) c.setAsideSince = w.clock();
  c.wroteErrors = false;  // what a run set aside wrote is dropped
  answering = &c;
  answeringWorker = &w;
  setAsideAsked = answerLost = false;
  rewindSpool(c.input);
  const std::size_t answerStart = static_cast<std::size_t>(spoolSize(c.output));
  beginTextStreams(RawStreams{readRequestInput, writeRequestOutput});
  const int status = answerGuarded(w.handler);
  if (setAsideAsked) {
    setAside(w, c, answerStart);
  } else {
    flushTextOutput();
    if (answerLost || !endAnswer(c, status)) {
      closeConnection(w, c);
    } else {
      c.phase = Phase::sending;
    }
  }
  forgetEnvironment(w);
  answering = nullptr;
  answeringWorker = nullptr;
  releaseRequest();
}

void forgetRequest(Worker& w, Connection& c) {
  std::uint64_t held = c.params.size();
  c.params.clear();
  if (c.params.capacity() > kTrimAfterBytes / 4) freeString(c.params);
  held += clearSpool(c.input);
  held += clearSpool(c.output);
  c.retries = 0;
  if (held > kTrimAfterBytes) w.trimPending = true;
}

}  // namespace fastcgi

bool sendToRequestErrors(std::string_view line) {
  if (fastcgi::answering == nullptr) return false;
  fastcgi::Connection& c = *fastcgi::answering;
  if (c.aborted || fastcgi::answerLost) return true;
  std::string record;
  fastcgi::appendRecord(record, fastcgi::kStderr, c.requestId, line.substr(0, fastcgi::kMaxContentLength));
  if (fastcgi::appendToSpool(c.output, record)) c.wroteErrors = true;
  return true;
}

bool canSetRequestAside() { return fastcgi::answering != nullptr; }

bool setRequestAside(long boundMilliseconds) {
  using fastcgi::answering;
  if (answering == nullptr) return false;
  if (fastcgi::answeringWorker->clock() - answering->setAsideSince >= boundMilliseconds) return false;
  fastcgi::setAsideAsked = true;
  return true;
}
