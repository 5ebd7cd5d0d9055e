// fieldecho run as web servers run it, as a CGI program and as a FastCGI
// worker: exact bytes out, exit status, input left unread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi_run.h"

namespace {

std::string listing(int count, const std::string& lines) {
  return crlf("Content-Type: text/plain\n\n" + std::to_string(count) +
              " successful form elements totally submitted\n\nListing decoded data:\n\n" + lines);
}

struct EchoCase {
  const char* label;
  std::vector<std::string> environment;
  std::string input;
  std::string expected;  // exact bytes; empty means no output and exit status 1
};

const std::string kZero(1, '\0');

// clang-format off
const std::vector<EchoCase> kEchoCases = {
    {"GET query in name order", {"REQUEST_METHOD=GET", "QUERY_STRING=b=2&a=1"}, "", listing(2, "a=1\nb=2\n")},
    {"GET without query string", {"REQUEST_METHOD=GET"}, "a=1", listing(0, "")},
    {"GET with empty query string", {"REQUEST_METHOD=GET", "QUERY_STRING="}, "a=1", listing(0, "")},
    {"first variable wins, case ignored", {"REQUEST_METHOD=GET", "query_string=a=1", "QUERY_STRING=b=2"}, "",
     listing(1, "a=1\n")},
    {"method name in lower case", {"request_method=GET", "QUERY_STRING=q=1"}, "", listing(1, "q=1\n")},
    {"method value in lower case reads the body", {"REQUEST_METHOD=get", "QUERY_STRING=q=1"}, "b=1",
     listing(1, "b=1\n")},
    {"method with a trailing blank reads the body", {"REQUEST_METHOD=GET ", "QUERY_STRING=q=1"}, "b=1",
     listing(1, "b=1\n")},
    {"no method reads the body", {"QUERY_STRING=q=1"}, "x=1&x=2", listing(1, "x=1;2\n")},
    {"POST with empty body", {"REQUEST_METHOD=POST"}, "", listing(0, "")},
    {"one element still says elements", {"REQUEST_METHOD=POST"}, "a=1", listing(1, "a=1\n")},
    {"multipart refused", {"CONTENT_TYPE=multipart/form-data", "REQUEST_METHOD=POST"}, "a=1", ""},
    {"multipart refused for GET too", {"CONTENT_TYPE=multipart/form-data", "REQUEST_METHOD=GET", "QUERY_STRING=a=1"},
     "", ""},
    {"multipart found without case in the name", {"content_type=multipart/form-data", "REQUEST_METHOD=POST"}, "a=1",
     ""},
    {"multipart with parameters decoded", {"CONTENT_TYPE=multipart/form-data; boundary=x", "REQUEST_METHOD=POST"},
     "a=1", listing(1, "a=1\n")},
    {"multipart in other case decoded", {"CONTENT_TYPE=Multipart/form-data", "REQUEST_METHOD=POST"}, "a=1",
     listing(1, "a=1\n")},
    {"body read as a text stream", {"REQUEST_METHOD=POST"}, "a=1\r\n&b=\r2\x1A&c=3", listing(2, "a=1\n\nb=2\n")},
    {"escaped CR dropped, LF breaks the line", {"REQUEST_METHOD=POST"}, "a=x%0D%0Ay", listing(1, "a=x\ny\n")},
    {"zero byte ends the value", {"REQUEST_METHOD=POST"}, "a=x%00y", listing(1, "a=x\n")},
    {"zero byte ends the name", {"REQUEST_METHOD=POST"}, "p%00q=1&p%00r=2", listing(2, "p=1\np=2\n")},
    {"raw zero byte in the body", {"REQUEST_METHOD=POST"}, "a=x" + kZero + "y&b=1", listing(2, "a=x\nb=1\n")},
    {"empty name and empty value", {"REQUEST_METHOD=POST"}, "=v&e=", listing(2, "=v\ne=\n")},
    {"bytes written as they are", {"REQUEST_METHOD=POST"}, "k=%26%3D%25+%09\xE9\xFF", listing(1, "k=&=% \t\xE9\xFF\n")},
};
// clang-format on

class FieldEchoInEachMode : public InEachMode {};

TEST_P(FieldEchoInEachMode, AnswersEachRequestExactly) {
  ProgramRunner fieldecho(FIELDECHO, GetParam());
  for (const auto& c : kEchoCases) {
    CgiRequest request;
    request.environment = c.environment;
    request.input = c.input;
    const CgiResult result = fieldecho.run(request);
    EXPECT_EQ(result.output, c.expected) << c.label;
    EXPECT_EQ(result.exitStatus, c.expected.empty() ? 1 : 0) << c.label;
    EXPECT_EQ(result.errors, "") << c.label;
  }
}

TEST(FieldEcho, LeavesStandardInputUnreadWhenItHasNoBusinessThere) {
  for (const auto& environment :
       std::vector<std::vector<std::string>>{{"CONTENT_TYPE=multipart/form-data", "REQUEST_METHOD=POST"},
                                             {"REQUEST_METHOD=GET"},
                                             {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"}}) {
    CgiRequest request;
    request.environment = environment;
    request.input = "b=2";
    EXPECT_EQ(runCgi(FIELDECHO, request).inputOffset, 0) << environment[0];
  }
}

TEST_P(FieldEchoInEachMode, StreamsABodyLargerThanAnyBuffer) {
  CgiRequest request;
  request.environment = {"REQUEST_METHOD=POST"};
  std::string value;
  std::string decoded;
  for (int i = 0; i < 300000; ++i) {
    value += "x%41+\r";
    decoded += "xA ";
  }
  request.input = "a=" + value + "&b=1";
  const CgiResult result = ProgramRunner(FIELDECHO, GetParam()).run(request);
  EXPECT_EQ(result.output, listing(2, "a=" + decoded + "\nb=1\n"));
  EXPECT_EQ(result.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, FieldEchoInEachMode, testing::ValuesIn(kAllModes),
                         [](const testing::TestParamInfo<Mode>& mode) { return modeName(mode.param); });

}  // namespace
