// vistrel's answer to one request: "chto=c" counts a visit and answers with a
// script that shows the count; "chto=v" answers with the statistics page.
#pragma once

// The request handler (see serveRequests): 1 for a refused request, else 0.
int answerCounterRequest();
