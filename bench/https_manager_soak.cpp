// A soak, not a timing: HTTPS requests each through a fresh HTTP session manager that is let go after its
// request and never invalidated (the app's request tool does the same), against a loopback TLS server run
// in a child process so that only the client's threads and descriptors are counted.
//
// After every request it samples the process's threads and open descriptors and prints the largest seen,
// the failures and the -1202 among them. It exits non-zero when a request fails or a bound is broken.
//
//   bench_https_manager_soak [requests=2000] [in-flight=4]
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "httpclient/HCHTTPSessionManager.h"
#include "platform/foundation/RunLoop.h"
#include "platform/security/Security.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TestPKI.h"

namespace {

constexpr size_t kMaxThreads = 16;
constexpr size_t kMaxDescriptors = 64;

// nullopt when the directory cannot be read (no descriptor left to read it with).
std::optional<size_t> entriesIn(const char* directory) {
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error))
        ++count;
    if (error) return std::nullopt;
    return count;
}

// Starts the server in a child process; its port, or 0. The child serves until killed.
int startServer(pid_t* child) {
    TestPKI::shared();  // made before the fork: the client trusts the root the server's leaf comes from
    int ports[2];
    if (pipe(ports) != 0) return 0;
    *child = fork();
    if (*child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // not left behind when the client dies
        close(ports[0]);
        LoopbackServer server(LoopbackServer::Scheme::HTTPS);
        server.reply("/api/item", LoopbackReply::json(R"({"errCode":0,"msg":"ok","data":{"id":7}})"));
        int port = server.port();
        if (write(ports[1], &port, sizeof port) != sizeof port) _exit(1);
        for (;;) pause();
    }
    close(ports[1]);
    int port = 0;
    if (*child < 0 || read(ports[0], &port, sizeof port) != sizeof port) port = 0;
    close(ports[0]);
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int window = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
    pid_t child = -1;
    const int port = startServer(&child);
    if (port <= 0) {
        std::fprintf(stderr, "the loopback TLS server did not start\n");
        return 2;
    }
    SecSystemAnchors::replace({SecCertificate::createWithData(TestPKI::shared().root().certificateDer)});
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/api/item";

    const size_t threadsAtStart = entriesIn("/proc/self/task").value_or(0);
    const size_t descriptorsAtStart = entriesIn("/proc/self/fd").value_or(0);
    size_t maxThreads = threadsAtStart, maxDescriptors = descriptorsAtStart;
    int started = 0, finished = 0, failures = 0, untrusted = 0, uncounted = 0;
    auto sample = [&] {
        auto threads = entriesIn("/proc/self/task");
        auto descriptors = entriesIn("/proc/self/fd");
        if (!threads || !descriptors) ++uncounted;
        maxThreads = std::max(maxThreads, threads.value_or(0));
        maxDescriptors = std::max(maxDescriptors, descriptors.value_or(0));
    };
    auto startOne = [&] {
        ++started;
        auto manager = HCHTTPSessionManager::manager();  // let go when this returns
        manager->GET(
            url, Value(), [&](auto&, auto&) { ++finished; },
            [&](auto&, const NSErrorPtr& error) {
                ++finished;
                ++failures;
                if (error->code() == NSURLErrorServerCertificateUntrusted) ++untrusted;
                if (failures <= 5) std::fprintf(stderr, "failed: %s\n", error->description().c_str());
            });
    };
    bool stalled = false;
    while (finished < requests && !stalled) {
        while (started < requests && started - finished < window) startOne();
        const int before = finished;
        stalled = !NSRunLoop::main().runUntil([&] { return finished > before; }, 30);
        sample();
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);

    std::printf("requests %d (%d in flight), finished %d, failed %d, of which -1202 %d\n", requests, window,
                finished, failures, untrusted);
    std::printf("threads: %zu at start, at most %zu (bound %zu)\n", threadsAtStart, maxThreads, kMaxThreads);
    std::printf("descriptors: %zu at start, at most %zu (bound %zu)\n", descriptorsAtStart, maxDescriptors,
                kMaxDescriptors);
    if (uncounted) std::printf("%d samples could not be taken: no descriptor left\n", uncounted);
    const bool ok = !stalled && finished == requests && failures == 0 && uncounted == 0 &&
                    maxThreads <= kMaxThreads && maxDescriptors <= kMaxDescriptors;
    if (!ok) std::printf("FAILED%s\n", stalled ? " (a request did not finish within 30 s)" : "");
    return ok ? 0 : 1;
}
