#include "platform/device/DeviceOptions.h"

#include <string_view>

#include "platform/foundation/Sandbox.h"

namespace {

// The flags that take a value, and where it goes.
std::string* valueSlot(DeviceOptions& options, std::string_view flag) {
    if (flag == "--script") return &options.scriptPath;
    if (flag == "--home") return &options.home;
    if (flag == "--backend") return &options.backendURL;
    return nullptr;
}

}  // namespace

std::optional<DeviceOptions> DeviceOptions::parse(int argc, const char* const* argv, std::string* error) {
    DeviceOptions options;
    auto fail = [error](std::string reason) -> std::optional<DeviceOptions> {
        if (error) *error = std::move(reason);
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i] ? argv[i] : "";
        std::string_view flag = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            flag = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        if (flag == "--no-auto-token" || flag == "--help" || flag == "-h") {
            if (inlineValue) return fail(std::string(flag) + " takes no value");
            if (flag == "--no-auto-token")
                options.autoToken = false;
            else
                options.help = true;
            continue;
        }
        std::string* slot = valueSlot(options, flag);
        if (!slot) return fail("unknown option " + std::string(arg) + " (see --help)");
        if (inlineValue) {
            *slot = std::string(*inlineValue);
        } else if (i + 1 < argc && argv[i + 1]) {
            *slot = argv[++i];
        } else {
            return fail(std::string(flag) + " needs a value");
        }
        if (slot->empty()) return fail(std::string(flag) + " needs a value");
    }
    return options;
}

std::string DeviceOptions::usage(const std::string& program, const std::string& backendDefault) {
    return "usage: " + program +
           " [--script FILE] [--home DIR] [--backend URL] [--no-auto-token] [--help]\n"
           "  --script FILE    run the device commands in FILE, then quit (default: read them from standard\n"
           "                   input; type `help` there for the list)\n"
           "  --home DIR       keep the application's files (its sandbox) in DIR (default: " +
           Sandbox::home() +
           ",\n"
           "                   from $QUORVANE_HOME, else $XDG_DATA_HOME/quorvane or "
           "~/.local/share/quorvane)\n"
           "  --backend URL    talk to the back end at URL (default: " +
           backendDefault +
           ")\n"
           "  --no-auto-token  answer remote-notification registration only by the `token` command "
           "(default:\n"
           "                   the device answers at once with the token kept in the sandbox)\n"
           "  --help           print this and exit\n"
           "A new, empty directory for --home starts the application afresh, as on a new phone.\n";
}
