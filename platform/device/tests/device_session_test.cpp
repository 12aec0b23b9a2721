#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "DeviceTestApp.h"
#include "platform/device/DeviceOptions.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Sandbox.h"

namespace {

// The application loop as the executable runs it (real clock), with a device that `start` sets reading.
class DeviceSession : public ::testing::Test {
  protected:
    DeviceSession() { Sandbox::setHome(home.path()); }
    ~DeviceSession() override {
        DeviceTest::resetWorld();
        Sandbox::resetHome();
    }

    // Returns what the device printed; a watchdog ends the loop should the device never quit. `onOutput`
    // sees each piece as it is printed (main thread).
    std::string run(int inputFd, const std::function<bool(HeadlessDevice&)>& start,
                    const std::function<void(const std::string&)>& onOutput = nullptr) {
        std::string output;
        std::shared_ptr<HeadlessDevice> device;
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 300 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done) UIApplication::sharedApplication()->terminate();
        });
        int status = UIApplicationMain(0, nullptr, nullptr, [&]() -> UIApplicationDelegatePtr {
            app = DeviceTestApp::create();
            HeadlessDevice::Config config;
            config.output = [&output, &onOutput](const std::string& text) {
                output += text;
                if (onOutput) onOutput(text);
            };
            config.inputFd = inputFd;
            device = HeadlessDevice::create(config);
            EXPECT_TRUE(start(*device));
            return app;
        });
        bool quitByDevice = !done.exchange(true);
        watchdog.join();
        device.reset();
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(quitByDevice);
        return output;
    }

    TempDir home;
    std::shared_ptr<DeviceTestApp> app;
};

}  // namespace

TEST_F(DeviceSession, AScriptRunsLineByLineAndAnErrorDoesNotStopIt) {
    std::string script = home.file("walk.txt");
    std::ofstream(script) << "# taps twice\ntap Send   # once\n\nbogus\n  #\ntap Send #\nquit\nscreen\n";
    std::string out = run(-1, [&](HeadlessDevice& device) { return device.runScriptFile(script); });

    EXPECT_EQ(out.rfind("ready\nregistered for remote notifications with token ", 0), 0u) << out;
    EXPECT_NE(out.find("\n> tap Send   # once\ntapped button \"Send\"\nwindow (key)\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\n> bogus\nerror: unknown command \"bogus\" (try help)\n\n> tap Send #\n"),
              std::string::npos);
    EXPECT_TRUE(out.ends_with("> quit\nbye\n\n")) << out;  // nothing after quit runs
    EXPECT_EQ(app->sends, 2);
}

TEST_F(DeviceSession, CommandsComeThroughAPipeAndItsEndQuits) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string input = "tap Send\nscreen";  // the last line has no newline
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), ssize_t(input.size()));
    ::close(fds[1]);
    std::string out = run(fds[0], [](HeadlessDevice& device) { return device.attachToStdin(); });
    ::close(fds[0]);

    EXPECT_NE(out.find("> tap Send\ntapped button \"Send\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("> screen\nwindow (key)\n  label \"Sent 1\"\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("\nbye\n\n")) << out;
}

TEST_F(DeviceSession, ATipThatComesAndGoesWhileNoCommandRunsIsPrinted) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // A line far past the limit is refused whole; the next one runs.
    std::string input = "type " + std::string(3 * kDeviceMaxLineBytes, 'z') + "\ntap Send\n";
    std::thread writer(
        [&] { EXPECT_EQ(::write(fds[1], input.data(), input.size()), ssize_t(input.size())); });
    bool shown = false;
    std::string out = run(
        fds[0], [](HeadlessDevice& device) { return device.attachToStdin(); },
        [&](const std::string& text) {
            // Once the tap is done, a tip shows; once the device has told of it, it goes, and the input ends.
            if (text.find("tapped button \"Send\"") != std::string::npos)
                DispatchQueue::main()->async(
                    [] { THProgressHUD::shareInstancetype()->showErrorTip("Gone soon"); });
            if (text.find("shown: hud tip \"Gone soon\"") != std::string::npos && !shown) {
                shown = true;
                THProgressHUD::resetForTesting();
                EXPECT_EQ(::write(fds[1], "screen\n", 7), 7);
                ::close(fds[1]);
            }
        });
    writer.join();
    ::close(fds[0]);
    EXPECT_TRUE(shown) << out;
    EXPECT_NE(out.find("error: the line is longer than 65536 bytes and was not run (it began \"type zzz"),
              std::string::npos);
    EXPECT_NE(out.find("\n\nshown: hud tip \"Gone soon\"\n> screen\nwindow (key)\n"), std::string::npos)
        << out;
    EXPECT_EQ(app->sends, 1);
}

TEST_F(DeviceSession, AMissingScriptIsRefusedWithAConsoleLine) {
    Console::Capture console;
    auto device = HeadlessDevice::create();
    EXPECT_FALSE(device->runScriptFile(home.file("absent.txt")));
    EXPECT_FALSE(device->isReading());
    EXPECT_TRUE(console.contains("cannot read the script"));
}

TEST(DeviceOptions, FlagsAreReadAndMistakesNamed) {
    const struct {
        std::vector<const char*> args;
        std::string error, read = "";  // read: script|home|backend|autoToken when the flags are good
    } cases[] = {
        {{}, "", "|||1"},
        {{"--script", "s", "--home=/h", "--backend", "http://b:9", "--no-auto-token"},
         "",
         "s|/h|http://b:9|0"},
        {{"--script"}, "--script needs a value"},
        {{"--home="}, "--home needs a value"},
        {{"--verbose"}, "unknown option --verbose (see --help)"},
        {{"--no-auto-token=1"}, "--no-auto-token takes no value"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"quorvane"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string error;
        auto options = DeviceOptions::parse(int(argv.size()), argv.data(), &error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(options ? options->scriptPath + "|" + options->home + "|" + options->backendURL + "|" +
                                std::to_string(options->autoToken)
                          : "",
                  c.read);
    }
    const char* help[] = {"quorvane", "--help"};
    EXPECT_TRUE(DeviceOptions::parse(2, help, nullptr)->help);
    // Every flag's default is named, the sandbox's the one in use.
    std::string usage = DeviceOptions::usage("quorvane", "http://b:9");
    const std::string defaults[] = {"(default: read them from standard", "(default: " + Sandbox::home() + ",",
                                    "(default: http://b:9)",
                                    "(default:\n                   the device answers"};
    for (const std::string& fragment : defaults)
        EXPECT_NE(usage.find(fragment), std::string::npos) << fragment;
}
