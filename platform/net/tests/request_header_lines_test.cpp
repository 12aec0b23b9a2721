#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/RequestHeaderLines.h"

namespace {

using Fields = std::vector<HTTPHeaderFields::Field>;
using Form = RequestHeaderLines::FormContentType;

std::vector<std::string> linesOf(RequestHeaderLines& lines) {
    std::vector<std::string> out;
    for (curl_slist* node = lines.list(); node; node = node->next) out.emplace_back(node->data);
    return out;
}

struct LinesCase {
    const char* name;
    Fields request;
    Value::Dictionary additional;
    Form form;
    std::vector<std::string> expected;
};

class RequestHeaderLinesTest : public testing::TestWithParam<LinesCase> {};

// The lines libcurl gets, in the order they go out.
TEST_P(RequestHeaderLinesTest, LinesGoOutInOrder) {
    RequestHeaderLines lines;
    EXPECT_EQ(lines.list(), nullptr);
    lines.assign(HTTPHeaderFields(GetParam().request), GetParam().additional, GetParam().form);
    EXPECT_EQ(linesOf(lines), GetParam().expected);
    // Laid out again for another hop, nothing of the first is left.
    lines.assign(HTTPHeaderFields(Fields{{"Accept", "a"}}), {}, Form::Keep);
    EXPECT_EQ(linesOf(lines), (std::vector<std::string>{"Accept: a", "Expect:"}));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestHeaderLinesTest,
    testing::Values(
        LinesCase{"Bare", {}, {}, Form::Keep, {"Accept: */*", "Expect:"}},
        LinesCase{
            "BareBodyOfAnotherMethod", {}, {}, Form::Remove, {"Accept: */*", "Expect:", "Content-Type:"}},
        LinesCase{"RequestOrderKept",
                  {{"X-B", "2"}, {"accept", "text/html"}, {"X-A", "1"}, {"content-type", "a/b"}},
                  {},
                  Form::Remove,
                  {"X-B: 2", "accept: text/html", "X-A: 1", "content-type: a/b", "Expect:"}},
        LinesCase{"EmptyValuesGoOutEmpty",
                  {{"X-Empty", ""}, {"Content-Type", ""}, {"content-type-ish", ""}},
                  {},
                  Form::Keep,
                  {"X-Empty;", "Content-Type:", "content-type-ish;", "Accept: */*", "Expect:"}},
        LinesCase{"ExpectEmptiedInPlace",
                  {{"X-A", "1"}, {"Expect", "100-continue"}, {"X-B", "2"}},
                  {},
                  Form::Keep,
                  {"X-A: 1", "Expect:", "X-B: 2", "Accept: */*"}},
        LinesCase{"ExpectOfOtherSpellingKeepsItsSpelling",
                  {{"expect", "100-continue"}},
                  {},
                  Form::Keep,
                  {"expect;", "Accept: */*"}},
        LinesCase{"ContentLengthLeftToTheBody",
                  {{"Content-Length", "12"}, {"X-A", "1"}},
                  {{"content-length", Value("99")}},
                  Form::Keep,
                  {"X-A: 1", "Accept: */*", "Expect:"}},
        LinesCase{"ConfigurationFillsIn",
                  {{"x-both", "request"}, {"X-A", "1"}},
                  {{"Accept", Value("conf/accept")},
                   {"X-Both", Value("config")},
                   {"X-Number", Value(int64_t(3))},
                   {"X-Z", Value("z")},
                   {"x-z", Value("second spelling")}},
                  Form::Remove,
                  {"x-both: request", "X-A: 1", "Accept: conf/accept", "X-Z: z", "Expect:", "Content-Type:"}},
        LinesCase{"ConfigurationExpect",
                  {},
                  {{"Expect", Value("100-continue")}, {"Content-Type", Value("c/t")}},
                  Form::Remove,
                  {"Content-Type: c/t", "Expect:", "Accept: */*"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
