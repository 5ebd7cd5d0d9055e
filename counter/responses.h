// The counter's answers: two JavaScript snippets for a script element and the
// HTML pages of the view. Values from the request and the environment are
// escaped for where they land; ordinary ids and host names pass unchanged.
#pragma once

#include <string>

void writeCounterSnippet(const std::string& counterId, int count);
void writeErrorSnippet();
void writeHtmlHeader();
void writeStatisticsPage(const std::string& counterId, int count);
void writeErrorPage(const std::string& counterId);
