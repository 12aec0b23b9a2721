#include "platform/foundation/NSUUID.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace {

TEST(NSUUID, UpperCaseVersionFourText) {
    static const std::regex kForm("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        auto uuid = NSUUID::create();
        const std::string text = uuid->UUIDString();
        EXPECT_TRUE(std::regex_match(text, kForm)) << text;
        EXPECT_EQ(uuid->description(), text);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 64u);
    auto a = NSUUID::create(), b = NSUUID::create();
    EXPECT_TRUE(a->isEqual(*a));
    EXPECT_FALSE(a->isEqual(*b));
    EXPECT_FALSE(Value(a) == Value(b));
}

}  // namespace
