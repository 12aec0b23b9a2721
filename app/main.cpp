// Quorvane: the application on the headless device.
//
//   Quorvane [--script FILE] [--home DIR] [--backend URL] [--no-auto-token] [--help]
//
// The application runs on the real clock. The device reads its commands from standard input (a terminal
// or a pipe), or from FILE with --script, and prints the screen after each; at the end of the input the
// application quits. Exit status: 0 after a run, 2 when the flags, the script or the back end's address
// cannot be used (nothing is started then).
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "app/screens/AppDelegate.h"
#include "app/tools/AppConfig.h"
#include "platform/device/DeviceOptions.h"
#include "platform/device/HeadlessDevice.h"
#include "platform/foundation/Sandbox.h"

namespace {

constexpr int kUsageError = 2;

// One line that says what cannot be used; the usage follows when the flags themselves were not understood.
enum class ShowUsage { Yes, No };
int refuse(const std::string& program, const std::string& reason, ShowUsage showUsage) {
    std::cerr << program << ": " << reason << "\n";
    if (showUsage == ShowUsage::Yes) std::cerr << DeviceOptions::usage(program, AppConfig::baseURL());
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a failed write, not the end of the app
    const std::string program = argc > 0 && argv[0] ? argv[0] : "Quorvane";
    std::string error;
    auto options = DeviceOptions::parse(argc, argv, &error);
    if (!options) return refuse(program, error, ShowUsage::Yes);
    if (options->help) {
        std::cout
            << DeviceOptions::usage(program, AppConfig::baseURL())
            << "The first-run guide shows on the first launch of each version in a sandbox; that launch,\n"
               "however short, marks it seen.\n";
        return 0;
    }
    // Checked before anything starts, so that a typo costs no launch.
    if (!options->scriptPath.empty() && !std::ifstream(options->scriptPath))
        return refuse(program, "cannot read the script " + options->scriptPath, ShowUsage::No);
    if (!options->home.empty()) Sandbox::setHome(options->home);
    if (std::string why; !options->backendURL.empty() && !AppConfig::setBaseURL(options->backendURL, &why))
        return refuse(
            program,
            "--backend wants an http or https URL, not \"" + options->backendURL + "\" (" + why + ")",
            ShowUsage::No);

    installAppScreens();
    std::shared_ptr<HeadlessDevice> device;
    HeadlessDevice::Config config;
    config.autoToken = options->autoToken ? HeadlessDevice::AutoToken::Yes : HeadlessDevice::AutoToken::No;
    int status = UIApplicationMain(argc, argv, nullptr, [&]() -> UIApplicationDelegatePtr {
        // The device starts reading now; its first command runs once the launch is over and the main
        // loop turns.
        device = HeadlessDevice::create(config);
        bool reading = options->scriptPath.empty() ? device->attachToStdin()
                                                   : device->runScriptFile(options->scriptPath);
        if (!reading) UIApplication::sharedApplication()->terminate();
        return AppDelegate::create();
    });
    device.reset();  // stops and joins the reader
    return status;
}
