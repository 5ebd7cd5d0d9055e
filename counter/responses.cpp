#include "counter/responses.h"

#include <strings.h>

#include "counter/escape.h"
#include "platform/environment.h"
#include "platform/text_stdio.h"

namespace {

constexpr const char* kJavaScriptHeader = "Content-Type: text/javascript\nPragma: no-cache\n\n";
constexpr const char* kHtmlHeader = "Content-Type: text/html\nPragma: no-cache\n\n";
constexpr const char* kImagePath = "/cgi-bin/count.gif";
constexpr const char* kCountStyle =
    "position:relative; top:-22px; left:-42px; font-family:serif; font-size:8px; color:black;";

// Closes both HTML pages; the build sets the address (CGI_HOME_PAGE).
constexpr const char* kFooter = "<hr>\n<p>Counted by <a href=\"" CGI_HOME_PAGE "\">vistrel</a></p>\n</body></html>";

// An environment value inside an HTML attribute inside a JavaScript string;
// an absent variable shows as "(null)".
std::string environmentForSnippet(const char* name) {
  const char* value = findEnvironmentValue(name);
  return escapeJsString(escapeHtml(value != nullptr ? value : "(null)"));
}

std::string idForHtml(const std::string& counterId) { return escapeHtml(upToZeroByte(counterId)); }

// A page served over TLS must not load the counter over plain HTTP: browsers
// block or flag such mixed content. Servers set HTTPS to "on" for TLS.
const char* schemeOfRequest() {
  const char* https = findEnvironmentValue("HTTPS");
  return https != nullptr && ::strcasecmp(https, "on") == 0 ? "https://" : "http://";
}

}  // namespace

void writeCounterSnippet(const std::string& counterId, int count) {
  const std::string host = environmentForSnippet("HTTP_HOST");
  const std::string script = environmentForSnippet("SCRIPT_NAME");
  const char* scheme = schemeOfRequest();
  writeText(kJavaScriptHeader);
  writeText(R"(document.write('<a href=\')");
  writeText(scheme);
  writeText(host);
  writeText(script);
  writeText("?cid=");
  writeText(percentEncode(upToZeroByte(counterId)));
  writeText(R"(&chto=v\' target=_blank style=\'text-decoration:none\''+)"
            "\n");
  writeText(R"(' title=\')");
  writeDecimal(count);
  writeText(R"( visits counted\'><img src=\')");
  writeText(scheme);
  writeText(host);
  writeText(kImagePath);
  writeText(R"(\' border=0><span'+)"
            "\n");
  writeText(R"(' style=\')");
  writeText(kCountStyle);
  writeText(R"(\'>)");
  writeDecimal(count);
  writeText("</span></a>');");
}

void writeErrorSnippet() {
  writeText(kJavaScriptHeader);
  writeText(R"(document.write('<span style=\'background-color:white; color:red; font-size: 12px;\'>ERROR</span>');)");
}

void writeHtmlHeader() { writeText(kHtmlHeader); }

void writeStatisticsPage(const std::string& counterId, int count) {
  const std::string id = idForHtml(counterId);
  writeText("<html><head><title>");
  writeText(id);
  writeText(" counter statistics</title></head><body><h1>&quot;");
  writeText(id);
  writeText("&quot; counter: Statistics</h1><p>");
  writeDecimal(count);
  writeText(" visits totally registered with this counter</p>");
  writeText(kFooter);
}

void writeErrorPage(const std::string& counterId) {
  writeText(
      "<html><head><title>Counter error</title></head><body><h1>Counter error</h1>"
      "<p>Cannot show statistics for <b>");
  writeText(idForHtml(counterId));
  writeText("</b>. This counter <u>does not exist</u>!</p>");
  writeText(kFooter);
}
