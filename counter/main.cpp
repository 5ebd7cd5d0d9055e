// vistrel: a web hit counter. "chto=c" counts a visit and answers with a
// script that shows the count; "chto=v" answers with the statistics page.
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

void countVisit(const std::string& counterId) {
  DataFile data;
  if (!isUsableCounterId(counterId) || !openDataFile(data, counterId, true)) {
    writeErrorSnippet();
    return;
  }
  // The answer shows the count before this visit.
  writeCounterSnippet(counterId, data.reading.count());
  rewriteCount(data);
}

void showStatistics(const std::string& counterId) {
  DataFile data;
  const bool counterExists = isUsableCounterId(counterId) && openDataFile(data, counterId, false);
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

int countOrShow() {
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

}  // namespace

int main() {
  enterCounterFolder();
  return serveRequests(countOrShow);
}
