// vistrel: a web hit counter, in the counter folder, as a CGI program or a FastCGI worker.
#include "counter/counter_files.h"
#include "counter/counter_request.h"
#include "platform/request.h"

int main() {
  enterCounterFolder();
  return serveRequests(answerCounterRequest);
}
