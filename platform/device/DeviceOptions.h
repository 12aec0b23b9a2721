// The flags of an executable that runs on the headless device:
//   --script FILE    run the commands of FILE, then quit
//   --home DIR       the sandbox's home directory
//   --backend URL    where the application should find its back end (kept here for the application to read)
//   --no-auto-token  leave remote-notification registration unanswered until a `token` command
//   --help           print the usage and exit
// Both "--flag value" and "--flag=value" are accepted.
#pragma once

#include <optional>
#include <string>

struct DeviceOptions {
    std::string scriptPath;  // "" for none
    std::string home;        // "" keeps the sandbox's default
    std::string backendURL;  // "" for the application's default
    bool autoToken = true;
    bool help = false;

    // nullopt, with a one-line reason in `error`, for an unknown flag or a flag missing its value.
    static std::optional<DeviceOptions> parse(int argc, const char* const* argv, std::string* error);
    // The flags with what each does and its default; `backendDefault` is where the application looks for
    // its back end without --backend.
    static std::string usage(const std::string& program, const std::string& backendDefault);
};
