// Soak runs: what the process holds after a long stretch of ordinary work, not how fast it goes.
//
// BM_Soak_RequestTool sends 10,000 back-end calls through the app's request tool (a session manager of its
// own for each call, as the screens do) to the development back end on loopback, one after another.
// BM_Soak_PushLogging writes 1,000,000 records through the push client's logging set-up (rolling files,
// system log, console) into a scratch sandbox, the console on /dev/null.
//
// Each reports the process's threads, open descriptors and resident memory at the start, the middle and
// the end as counters (threads_start, fds_mid, rss_mib_end, ...). A run that leaks grows between the
// middle and the end; one that starts a thread per call shows it in the thread counts. Every call must
// succeed: a lost reply or record fails the run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/tools/AppConfig.h"
#include "app/tools/HttpRequestManager.h"
#include "devserver/DevServer.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/uikit/UIApplication.h"
#include "push/Lib/Controller/PUSHClientLog.h"
#include "pushlog/PUSHLog.h"
#include "pushlog/PUSHLogSetup.h"

namespace {

constexpr double kReplyWait = 30;  // seconds for one loopback reply, however loaded the machine

struct ProcessFigures {
    long threads = 0;
    long descriptors = 0;
    double rssMiB = 0;
};

ProcessFigures readProcessFigures() {
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) figures.threads = std::stol(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0) figures.rssMiB = std::stod(line.substr(6)) / 1024;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++figures.descriptors;
    }
    return figures;
}

void report(benchmark::State& state, const char* when, const ProcessFigures& figures) {
    state.counters[std::string("threads_") + when] = double(figures.threads);
    state.counters[std::string("fds_") + when] = double(figures.descriptors);
    state.counters[std::string("rss_mib_") + when] = figures.rssMiB;
}

// A scratch sandbox for the run, removed afterwards.
class ScratchHome {
  public:
    ScratchHome() {
        char pattern[] = "/tmp/quorvane-soak-XXXXXX";
        path_ = ::mkdtemp(pattern);
        Sandbox::setHome(path_);
    }
    ~ScratchHome() {
        Sandbox::resetHome();
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

  private:
    std::string path_;
};

void BM_Soak_RequestTool(benchmark::State& state) {
    constexpr int kCalls = 10000;
    ScratchHome home;
    UIApplication::sharedApplication();
    DevServer server(DevServer::Config{QUORVANE_DEVSERVER_PAGES, [](const std::string&) {}});
    if (!server.start("127.0.0.1", 0)) {
        state.SkipWithError("the development back end did not start");
        return;
    }
    server.scriptReply("1", EntryReply::json(R"({"errCode":0,"data":{"ok":true}})"));
    AppConfig::setBaseURL(server.url());

    for (auto _ : state) {
        report(state, "start", readProcessFigures());
        for (int call = 0; call < kCalls; ++call) {
            bool answered = false;
            HttpRequestManager::httpRequestManagerRequpestWithPathString(
                kHttpRequestEntryPath, {{"type", Value("1")}}, [&](const Value&) { answered = true; }, {},
                kHttpRequestMethodPOST, false);
            if (!NSRunLoop::main().runUntil([&] { return answered; }, kReplyWait)) {
                state.SkipWithError("a call got no reply");
                return;
            }
            if (call == kCalls / 2) report(state, "mid", readProcessFigures());
        }
        NSRunLoop::main().runUntilIdle();
        report(state, "end", readProcessFigures());
    }
    AppConfig::resetBaseURL();
}
BENCHMARK(BM_Soak_RequestTool)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_Soak_PushLogging(benchmark::State& state) {
    constexpr int kRecords = 1000000;
    ScratchHome home;
    // The console logger writes to standard error: keep the run's own output readable.
    const int savedError = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDERR_FILENO);
    ::close(devNull);

    PUSHLogSetup();
    for (auto _ : state) {
        report(state, "start", readProcessFigures());
        for (int record = 0; record < kRecords; ++record) {
            PUSHClientLogInfo("soak record %d of the push client", Value(record));
            if (record == kRecords / 2) report(state, "mid", readProcessFigures());
        }
        PUSHLog::flushLog();
        report(state, "end", readProcessFigures());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRecords);

    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
}
BENCHMARK(BM_Soak_PushLogging)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
