#include <gtest/gtest.h>

#include "app/tools/SaveService.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "testsupport/TempDir.h"

namespace {

class SaveServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sandbox::setHome(home_.path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        Sandbox::resetHome();
    }
    // Saves and forgets the store, as a new launch would find it.
    static void relaunch() { NSUserDefaults::resetStandardUserDefaultsForTesting(); }

    TempDir home_;
};

TEST_F(SaveServiceTest, WrittenValueIsReadBackAtOnceAndAfterRelaunch) {
    EXPECT_FALSE(SaveService::objectForKey(kSaveServiceAccessTokenKey).has_value());
    SaveService::setObject("tok-123", kSaveServiceAccessTokenKey);
    SaveService::setObject("13800000000", kSaveServiceAccountKey);
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccessTokenKey), std::optional<Value>("tok-123"));

    relaunch();
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccessTokenKey), std::optional<Value>("tok-123"));
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccountKey), std::optional<Value>("13800000000"));

    // A later write replaces the value; other kinds of value keep their kind.
    SaveService::setObject("tok-456", kSaveServiceAccessTokenKey);
    const Value page = Value::dictionary({{"list", Value::array({1, "two", 3.5})}, {"flag", true}});
    SaveService::setObject(page, "pageCache");
    relaunch();
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccessTokenKey), std::optional<Value>("tok-456"));
    EXPECT_EQ(SaveService::objectForKey("pageCache"), std::optional<Value>(page));
}

TEST_F(SaveServiceTest, EmptyStringIsKeptNotRemoved) {
    SaveService::setObject("tok-123", kSaveServiceAccessTokenKey);
    SaveService::setObject("", kSaveServiceAccessTokenKey);
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccessTokenKey), std::optional<Value>(""));
    relaunch();
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccessTokenKey), std::optional<Value>(""))
        << "the empty token must survive a relaunch as \"\", not as nil";
}

TEST_F(SaveServiceTest, ValueTheStoreRefusesKeepsTheOldValue) {
    SaveService::setObject("13800000000", kSaveServiceAccountKey);
    // A set is no property-list value: the store refuses it and nothing is lost.
    SaveService::setObject(Value::set({"a", "b"}), kSaveServiceAccountKey);
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccountKey), std::optional<Value>("13800000000"));
    relaunch();
    EXPECT_EQ(SaveService::objectForKey(kSaveServiceAccountKey), std::optional<Value>("13800000000"));
}

}  // namespace
