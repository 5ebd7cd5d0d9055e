// vistrel: a web hit counter. "chto=c" counts a visit and answers with a
// script that shows the count; "chto=v" answers with the statistics page.
#include <csignal>
#include <string>

#include "counter/counter_files.h"
#include "counter/counter_id.h"
#include "counter/responses.h"
#include "formlib/form.h"
#include "platform/request.h"

namespace {

bool actionIs(const char* action) { return formStore["chto"] == action; }

int countOrShow() {
  // Decode first: a refused request gets no answer at all.
  if (!decodeForm(true)) return 1;

  // The counter exists only through its data file, opened and locked here
  // (exclusively when the visit will rewrite it) and its count read.
  const std::string counterId = effectiveCounterId(formStore["cid"]);
  DataFile data;
  const bool counterExists = isUsableCounterId(counterId) && openDataFile(data, counterId, actionIs("c"));

  if (counterExists) {
    // Count the visit: the answer shows the count before it.
    const int count = data.reading.count();
    if (actionIs("c")) {
      writeCounterSnippet(counterId, count);
      rewriteCount(data);
    }
    closeDataFile(data);

    // View: the counter's own report page, or the built-in one.
    if (actionIs("v")) {
      writeHtmlHeader();
      if (!copyReportPage(counterId, count)) writeStatisticsPage(counterId, count);
    }
  } else {
    if (actionIs("c")) writeErrorSnippet();
    if (actionIs("v")) {
      writeHtmlHeader();
      writeErrorPage(counterId);
    }
  }
  return 0;
}

}  // namespace

int main() {
  // A client that hangs up must not stop its visit from being counted.
  std::signal(SIGPIPE, SIG_IGN);
  return serveRequests(countOrShow);
}
