#include "counter/counter_request.h"

#include <string>

#include "counter/counter_files.h"
#include "counter/counter_id.h"
#include "counter/responses.h"
#include "formlib/form.h"
#include "platform/request.h"

namespace {

enum class Action { count, view, none };

Action requestedAction() {
  const std::string& action = formStore["chto"];
  return action == "c" ? Action::count : action == "v" ? Action::view : Action::none;
}

CounterOpening openCounter(DataFile& data, const std::string& counterId, bool forUpdate) {
  if (!isUsableCounterId(counterId)) return CounterOpening::missing;
  return openDataFileForRequest(data, counterId, forUpdate);
}

void countVisit(const std::string& counterId) {
  DataFile data;
  const CounterOpening opening = openCounter(data, counterId, true);
  if (opening == CounterOpening::setAside) return;
  if (opening == CounterOpening::missing) {
    writeErrorSnippet();
    return;
  }
  // The answer shows the count before this visit. It is written once the
  // count is stored and the lock released: a client that does not read its
  // answer holds no counter.
  const int count = data.reading.count();
  rewriteCount(data);
  closeDataFile(data);
  writeCounterSnippet(counterId, count);
}

void showStatistics(const std::string& counterId) {
  DataFile data;
  const CounterOpening opening = openCounter(data, counterId, false);
  if (opening == CounterOpening::setAside) return;
  const bool counterExists = opening == CounterOpening::opened;
  const int count = data.reading.count();
  // The counter is closed before its report is read.
  closeDataFile(data);
  writeHtmlHeader();
  if (!counterExists) {
    writeErrorPage(counterId);
  } else if (!copyReportPage(counterId, count)) {
    writeStatisticsPage(counterId, count);
  }
}

}  // namespace

int answerCounterRequest() {
  // Decode first: a refused request gets no answer at all.
  if (!decodeForm(true)) return 1;
  // Any other action answers nothing and opens nothing.
  const Action action = requestedAction();
  if (action == Action::none) return 0;
  const std::string counterId = effectiveCounterId(formStore["cid"]);
  if (action == Action::count) {
    countVisit(counterId);
  } else {
    showStatistics(counterId);
  }
  return 0;
}

