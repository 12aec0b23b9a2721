// quorvane-devserver: the development back end on the command line.
//
//   quorvane-devserver [--host 127.0.0.1] [--port 8080] [--pages DIR] [--data DIR]
//
// Prints where it listens ("devserver listening on http://HOST:PORT", the line that scripts wait for) and
// each verification code it makes; stops on SIGINT or SIGTERM. Port 0 takes a free port. The sign-ins it
// hands out are kept in DIR/signins.json, by default under $XDG_DATA_HOME/quorvane-devserver (or
// ~/.local/share/quorvane-devserver), so that a signed-in app stays signed in when the server restarts.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "devserver/DevServer.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvane-devserver [--host HOST] [--port PORT] [--pages DIR] [--data DIR]\n"
    "  --host HOST  the address to listen on (default 127.0.0.1)\n"
    "  --port PORT  the port to listen on, 0 for a free one (default 8080)\n"
    "  --pages DIR  the sample front end's pages (default " QUORVANE_DEVSERVER_PAGES
    ")\n"
    "  --data DIR   where the sign-ins are kept (default $XDG_DATA_HOME/quorvane-devserver, or\n"
    "               ~/.local/share/quorvane-devserver)\n";

std::filesystem::path defaultDataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::filesystem::path(xdg) / "quorvane-devserver";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && home[0] ? home : "/tmp") / ".local/share/quorvane-devserver";
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::filesystem::path pages = QUORVANE_DEVSERVER_PAGES;
    std::filesystem::path data = defaultDataDir();
};

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::stoi(text);
    return port <= 65535;
}

// False (with a message on stderr) when the arguments are not understood.
bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (flag != "--host" && flag != "--port" && flag != "--pages" && flag != "--data") {
            std::cerr << "unknown option: " << flag << "\n" << kUsage;
            return false;
        }
        if (i + 1 >= argc) {
            std::cerr << flag << " needs a value\n" << kUsage;
            return false;
        }
        std::string value = argv[++i];
        if (flag == "--host") {
            options.host = value;
        } else if (flag == "--pages") {
            options.pages = value;
        } else if (flag == "--data") {
            options.data = value;
        } else if (!parsePort(value, options.port)) {
            std::cerr << "not a port number: " << value << "\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        return 2;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(options.pages, error)) {
        std::cerr << "pages directory not found: " << options.pages.string() << "\n";
        return 2;
    }

    // Block the stop signals before any thread starts, so that they reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    DevServer server({options.pages, {}});
    if (std::string problem = server.keepSignInsIn(options.data); !problem.empty()) {
        std::cout << "devserver: " << problem << std::endl;
    }
    std::string reason;
    auto port = server.start(options.host, options.port, &reason);
    if (!port) {
        std::cerr << "devserver: " << reason << "\n";
        return 1;
    }
    std::cout << "devserver keeps sign-ins in " << (options.data / "signins.json").string() << "\n"
              << "devserver listening on http://" << options.host << ":" << *port << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    std::cout << "devserver stopping (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")" << std::endl;
    server.stop();
    return 0;
}
