#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/TextUtil.h"
#include "platform/net/HTTPResponseHead.h"

namespace {

using Line = HTTPResponseHead::Line;
using Fields = std::vector<HTTPHeaderFields::Field>;

// Feeds `lines` (each with its CR LF) and returns what the last one gave.
Line feed(HTTPResponseHead& head, const std::vector<std::string>& lines) {
    Line last = Line::Ignored;
    for (const auto& line : lines) last = head.take(line + "\r\n");
    return last;
}

std::vector<std::string> distinctFields(size_t count) {
    std::vector<std::string> lines = {"HTTP/1.1 200 OK"};
    for (size_t i = 0; i < count; ++i) lines.push_back("x-" + std::to_string(i) + ": " + std::to_string(i));
    return lines;
}

struct JoinCase {
    const char* name;
    std::vector<std::string> lines;  // after the status line, before the empty one
    Fields expected;
};

// More names than are looked at one by one: repeats join the same way before the names are indexed, of the
// name that starts the index and after it.
JoinCase pastTheUnindexedFields() {
    JoinCase c{"PastTheUnindexedFields", {}, {}};
    const size_t count = HTTPResponseHead::kUnindexedFields + 4;
    for (size_t i = 0; i < count; ++i) {
        c.lines.push_back("X-" + std::to_string(i) + ": a");
        c.expected.emplace_back("X-" + std::to_string(i), "a");
        if (i == 2) c.lines.push_back("x-1: b");
    }
    const std::string first = "x-" + std::to_string(HTTPResponseHead::kUnindexedFields);
    const std::string last = "x-" + std::to_string(count - 1);
    c.lines.insert(c.lines.end(), {"X-1: c", first + ": b", last + ": b", "X-0:", last + ": c"});
    c.expected[0].second = "a, ";
    c.expected[1].second = "a, b, c";
    c.expected[HTTPResponseHead::kUnindexedFields].second = "a, b";
    c.expected[count - 1].second = "a, b, c";
    return c;
}

class ResponseHeadJoins : public testing::TestWithParam<JoinCase> {};

TEST_P(ResponseHeadJoins, RepeatsJoinAtTheFirstFieldInOrder) {
    HTTPResponseHead head;
    std::vector<std::string> lines = {"HTTP/1.1 200 OK"};
    lines.insert(lines.end(), GetParam().lines.begin(), GetParam().lines.end());
    lines.push_back("");
    ASSERT_EQ(feed(head, lines), Line::End);
    EXPECT_EQ(head.headers.fields(), GetParam().expected);
    for (const auto& [name, value] : GetParam().expected) {
        EXPECT_EQ(head.headers.value(TextUtil::toLowerASCII(name)), value) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, ResponseHeadJoins,
    testing::Values(
        JoinCase{"Repeats",
                 {"Set-Cookie: a=1", "Vary: X", "set-cookie: b=2", "SET-COOKIE:c=3"},
                 {{"Set-Cookie", "a=1, b=2, c=3"}, {"Vary", "X"}}},
        JoinCase{
            "TrimmedAndEmpty", {"A  :  one  ", "B:", "a: two", "b:   "}, {{"A", "one, two"}, {"B", ", "}}},
        JoinCase{"FoldedAndColonless", {"A: 1", "\tfolded: no", "no colon", "A: 2"}, {{"A", "1, 2"}}},
        pastTheUnindexedFields()),
    [](const auto& info) { return std::string(info.param.name); });

// A head may hold kMaxFields distinct names; the next new name is refused, while repeats of names it has
// still join. A new status line starts the count again.
TEST(ResponseHead, DistinctNamesAreCapped) {
    HTTPResponseHead head;
    ASSERT_EQ(feed(head, distinctFields(HTTPResponseHead::kMaxFields)), Line::Field);
    EXPECT_EQ(head.take("X-0: again\r\n"), Line::Field);
    EXPECT_EQ(head.take("one-too-many: 1\r\n"), Line::TooManyFields);

    HTTPResponseHead fresh;
    feed(fresh, distinctFields(HTTPResponseHead::kMaxFields));
    EXPECT_EQ(fresh.take("X-0: again\r\n"), Line::Field);
    ASSERT_EQ(fresh.take("\r\n"), Line::End);
    EXPECT_EQ(fresh.headers.fields().size(), HTTPResponseHead::kMaxFields);
    EXPECT_EQ(fresh.headers.value("x-0"), "0, again");
    EXPECT_EQ(fresh.headers.fields().back(), HTTPHeaderFields::Field("x-999", "999"));

    EXPECT_EQ(fresh.take("HTTP/1.1 204 No Content\r\n"), Line::Status);
    EXPECT_EQ(feed(fresh, {"x-0: new", "Only: one", ""}), Line::End);
    EXPECT_EQ(fresh.status, 204);
    EXPECT_EQ(fresh.headers.fields(), (Fields{{"x-0", "new"}, {"Only", "one"}}));
}

}  // namespace
