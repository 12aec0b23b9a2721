#include "platform/foundation/Process.h"
#include "platform/foundation/TextUtil.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/foundation/tests/test_support.h"

namespace {

TEST(DeviceProfileTest, LanguagesFromTheLocaleVariables) {
    struct Case {
        const char *language, *lcAll, *lcMessages, *lang;
        std::vector<std::string> expected;
    } cases[] = {
        {"", "", "", "en_US.UTF-8", {"en-US"}},
        {"", "", "", "zh_CN", {"zh-CN"}},
        {"", "", "", "C", {"en"}},
        {"", "POSIX", "", "de_DE", {"en"}},  // LC_ALL wins over LANG
        {"", "", "fr_FR.UTF-8@euro", "de_DE", {"fr-FR"}},
        {"", "", "", "", {"en"}},
        {"zh_CN:en_US:en", "de_DE", "", "", {"zh-CN", "en-US", "en"}},
        {"fr::fr_FR:fr", "", "", "en_US", {"fr", "fr-FR"}},  // empties and repeats skipped
        {":", "", "", "ja_JP.eucJP", {"ja-JP"}},
        {"../etc:x y", "", "", "pt_BR", {"pt-BR"}},  // garbage is no tag
        {"", "", "", "sr_RS@latin", {"sr-RS"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceProfile::languagesFromLocale(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << c.language << "|" << c.lcAll << "|" << c.lcMessages << "|" << c.lang;
}

using foundation_test::ScopedEnv;

TEST(DeviceProfileTest, ResetDropsASetProfileAndRereadsTheEnvironment) {
    ScopedEnv env({{"LANGUAGE", "zh_CN:en"}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "C"}});
    DeviceProfile::reset();
    EXPECT_EQ(DeviceProfile::current().preferredLanguages, (std::vector<std::string>{"zh-CN", "en"}));

    DeviceProfile custom;
    custom.model = "iPad";
    custom.preferredLanguages = {"de-DE"};
    DeviceProfile::set(custom);
    EXPECT_EQ(DeviceProfile::current().model, "iPad");
    env.set("LANGUAGE", "ko_KR");
    DeviceProfile::reset();
    EXPECT_EQ(DeviceProfile::current().model, "iPhone");
    EXPECT_EQ(DeviceProfile::current().preferredLanguages, (std::vector<std::string>{"ko-KR"}));
}

TEST(DeviceProfileTest, ConcurrentReadersSeeWholeProfiles) {
    DeviceProfile a, b;
    a.model = "A";
    a.preferredLanguages = {"a"};
    b.model = "B";
    b.preferredLanguages = {"b", "b2"};
    std::atomic<bool> torn{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) DeviceProfile::set(i % 2 ? a : b);
    });
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            auto p = DeviceProfile::current();
            if (p.model == "A" && p.preferredLanguages.size() != 1) torn = true;
            if (p.model == "B" && p.preferredLanguages.size() != 2) torn = true;
        }
    });
    writer.join();
    reader.join();
    EXPECT_FALSE(torn);
    DeviceProfile::reset();
}

std::string kernelThreadName() {
    char buf[64] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return buf;
}

TEST(ProcessInfoTest, ThreadNamesKeepTheFullNameBeyondTheKernelLimit) {
    struct Result {
        std::string full, kernel;
        uint64_t tid = 0;
    };
    auto named = [](std::string name) {
        Result r;
        std::thread t([&] {
            ProcessInfo::setThreadName(name);
            r = {ProcessInfo::threadName(), kernelThreadName(), ProcessInfo::threadId()};
        });
        t.join();
        return r;
    };
    Result longName = named("com.hcnet.networking.session.manager.processing");
    EXPECT_EQ(longName.full, "com.hcnet.networking.session.manager.processing");
    EXPECT_EQ(longName.kernel, "com.hcnet.netwo");

    // Cut before a character that would not fit whole: the kernel's copy stays UTF-8.
    Result wide = named("abcdefghijklm\u4e2d\u6587");
    EXPECT_EQ(wide.full, "abcdefghijklm\u4e2d\u6587");
    EXPECT_EQ(wide.kernel, "abcdefghijklm");
    EXPECT_TRUE(TextUtil::isValidUTF8(wide.kernel));

    EXPECT_EQ(named("short").kernel, "short");
    EXPECT_NE(longName.tid, ProcessInfo::threadId());
    EXPECT_NE(longName.tid, 0u);
    EXPECT_EQ(ProcessInfo::threadName(), "");  // other threads' names are their own
}

TEST(ProcessInfoTest, ProcessFacts) {
    EXPECT_EQ(ProcessInfo::processName(), "foundation_core_tests");
    EXPECT_EQ(ProcessInfo::processIdentifier(), int(::getpid()));
    EXPECT_EQ(ProcessInfo::threadId(), uint64_t(::getpid()));  // the test body runs on the main thread
    // The id is read once per thread; a forked child's thread has an id of its own.
    const pid_t child = fork();
    if (child == 0) _exit(ProcessInfo::threadId() == uint64_t(::getpid()) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_GE(ProcessInfo::processorCount(), 1u);
    ScopedEnv env({{"QUORVANE_PROBE", "v=1"}, {"QUORVANE_ABSENT", nullptr}});
    EXPECT_EQ(ProcessInfo::environment("QUORVANE_PROBE"), "v=1");
    EXPECT_EQ(ProcessInfo::environment("QUORVANE_ABSENT"), "");
}

}  // namespace
