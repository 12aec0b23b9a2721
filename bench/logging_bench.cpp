// Logging throughput and latency: the push logging registry (synchronous and asynchronous log calls) into
// a null logger and into the console logger writing to /dev/null, beside spdlog doing the same work (null
// sink; file sink on /dev/null; its asynchronous logger for the asynchronous case). Every run counts the
// records that arrived and fails when one is missing.
//
// File logging: the file logger (1 MiB files, nothing deleted) beside spdlog's file sink flushing each
// record, both into a temporary directory; the lines on disk are counted afterwards. The roll cases time
// one roll plus the record that opens the next file, with 7 and with 100 files kept in the directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "pushlog/PUSHAbstractLogger.h"
#include "pushlog/PUSHCustomFormatter.h"
#include "pushlog/PUSHFileLogger.h"
#include "pushlog/PUSHLog.h"
#include "pushlog/PUSHTTYLogger.h"

namespace {

class CountingNullLogger : public PUSHAbstractLogger {
  public:
    static std::shared_ptr<CountingNullLogger> create() {
        return std::shared_ptr<CountingNullLogger>(new CountingNullLogger());
    }
    void logMessage(const PUSHLogMessagePtr&) override { count.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> count{0};

  private:
    CountingNullLogger() : PUSHAbstractLogger("bench.null") {}
};

// Counts the lines a formatter made, so the console runs can check that nothing was lost.
class CountingFormatter : public PUSHLogFormatter {
  public:
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& m) override {
        count.fetch_add(1, std::memory_order_relaxed);
        return inner_->formatLogMessage(m);
    }
    void didAddToLogger(PUSHLogger& l) override { inner_->didAddToLogger(l); }
    void willRemoveFromLogger(PUSHLogger& l) override { inner_->willRemoveFromLogger(l); }
    std::atomic<uint64_t> count{0};

  private:
    std::shared_ptr<PUSHCustomFormatter> inner_ = PUSHCustomFormatter::initWithType(0);
};

template <class Mutex>
class CountingSink : public spdlog::sinks::base_sink<Mutex> {
  public:
    explicit CountingSink(std::shared_ptr<spdlog::sinks::sink> inner) : inner_(std::move(inner)) {}
    std::atomic<uint64_t> count{0};

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        count.fetch_add(1, std::memory_order_relaxed);
        if (inner_) inner_->log(msg);
    }
    void flush_() override {
        if (inner_) inner_->flush();
    }

  private:
    std::shared_ptr<spdlog::sinks::sink> inner_;
};

void logPush(bool async, int64_t i) {
    PUSHLog::log(async, 31, PUSHLogFlagInfo, 0, "/src/PUSHService.m", "bench", 42, Value(),
                 "request %ld done in %d ms", {Value(static_cast<long long>(i)), Value(17)});
}

void checkCount(benchmark::State& state, uint64_t arrived, uint64_t expected) {
    state.counters["lost"] = double(expected - arrived);
    if (arrived != expected) state.SkipWithError("records were lost");
}

void runPush(benchmark::State& state, bool async, bool console) {
    PUSHLog::removeAllLoggers();
    std::shared_ptr<CountingNullLogger> null;
    std::shared_ptr<CountingFormatter> formatter;
    int devNull = -1;
    if (console) {
        devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        auto tty = PUSHTTYLogger::create(devNull, PUSHTTYColorScheme::none());
        formatter = std::make_shared<CountingFormatter>();
        tty->setLogFormatter(formatter);
        PUSHLog::addLogger(tty, PUSHLogLevelInfo);
    } else {
        null = CountingNullLogger::create();
        PUSHLog::addLogger(null, PUSHLogLevelInfo);
    }
    PUSHLog::allLoggers();
    int64_t i = 0;
    for (auto _ : state) logPush(async, i++);
    auto start = std::chrono::steady_clock::now();
    logPush(false, i++);  // returns once every record before it has been delivered
    state.counters["drain_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    checkCount(state, console ? formatter->count.load() : null->count.load(), uint64_t(i));
    state.SetItemsProcessed(state.iterations());
    PUSHLog::removeAllLoggers();
    PUSHLog::allLoggers();
    if (devNull >= 0) ::close(devNull);
}

void runSpd(benchmark::State& state, bool async, bool console) {
    std::shared_ptr<spdlog::sinks::sink> inner;
    if (console) inner = std::make_shared<spdlog::sinks::basic_file_sink_st>("/dev/null");
    auto sink = std::make_shared<CountingSink<std::mutex>>(inner);
    std::shared_ptr<spdlog::logger> logger;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    if (async) {
        pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
        logger =
            std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
    } else {
        logger = std::make_shared<spdlog::logger>("bench", sink);
    }
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e | PUSH | %L - [PUSHService] %v");
    int64_t i = 0;
    for (auto _ : state) logger->info("request {} done in {} ms", i++, 17);
    auto start = std::chrono::steady_clock::now();
    if (async) {
        logger->flush();  // queued behind every record
        while (sink->count.load() < uint64_t(i) &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
            std::this_thread::yield();
        }
    }
    state.counters["drain_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    checkCount(state, sink->count.load(), uint64_t(i));
    state.SetItemsProcessed(state.iterations());
    logger.reset();
    pool.reset();
}

// A fresh directory under the system's temporary directory, removed afterwards.
class BenchDir {
  public:
    BenchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~BenchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

uint64_t linesIn(const std::string& directory) {
    uint64_t lines = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        char buffer[1 << 16];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            lines += uint64_t(std::count(buffer, buffer + in.gcount(), '\n'));
        }
    }
    return lines;
}

size_t filesIn(const std::string& directory) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(directory, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

void runPushFile(benchmark::State& state, bool async) {
    BenchDir dir;
    if (dir.path().empty()) return state.SkipWithError("no temporary directory");
    PUSHLog::removeAllLoggers();
    auto manager = PUSHLogFileManagerDefault::create(dir.path() + "/PUSHLogs");
    manager->setMaximumNumberOfLogFiles(0);
    manager->setLogFilesDiskQuota(0);
    auto logger = PUSHFileLogger::create(manager);
    logger->setLogFormatter(PUSHCustomFormatter::initWithType(0));
    PUSHLog::addLogger(logger, PUSHLogLevelDebug);
    PUSHLog::allLoggers();
    int64_t i = 0;
    for (auto _ : state) logPush(async, i++);
    auto start = std::chrono::steady_clock::now();
    logPush(false, i++);
    state.counters["drain_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    PUSHLog::removeAllLoggers();
    PUSHLog::allLoggers();
    logger->loggerQueue()->sync([] {});
    state.counters["files"] = double(filesIn(dir.path() + "/PUSHLogs"));
    checkCount(state, linesIn(dir.path() + "/PUSHLogs"), uint64_t(i));
    state.SetItemsProcessed(state.iterations());
}

void runSpdFile(benchmark::State& state, bool async) {
    BenchDir dir;
    if (dir.path().empty()) return state.SkipWithError("no temporary directory");
    const std::string path = dir.path() + "/spdlog.log";
    {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
        std::shared_ptr<spdlog::logger> logger;
        std::shared_ptr<spdlog::details::thread_pool> pool;
        if (async) {
            pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
            logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                            spdlog::async_overflow_policy::block);
        } else {
            logger = std::make_shared<spdlog::logger>("bench", sink);
        }
        logger->set_pattern("%Y-%m-%d %H:%M:%S.%e | PUSH | %L - [PUSHService] %v");
        logger->flush_on(spdlog::level::trace);  // each record reaches the file, as with the file logger
        int64_t i = 0;
        for (auto _ : state) logger->info("request {} done in {} ms", i++, 17);
        auto start = std::chrono::steady_clock::now();
        logger->flush();
        logger.reset();
        pool.reset();  // joins the worker once the queue is empty
        state.counters["drain_ms"] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        sink.reset();
        checkCount(state, linesIn(dir.path()), uint64_t(i));
    }
    state.SetItemsProcessed(state.iterations());
}

// One roll and the record that opens the next file, with `kept` files in the directory (each roll
// creates one and deletes the oldest).
void runRoll(benchmark::State& state) {
    const auto kept = uint32_t(state.range(0));
    BenchDir dir;
    if (dir.path().empty()) return state.SkipWithError("no temporary directory");
    auto manager = PUSHLogFileManagerDefault::create(dir.path() + "/PUSHLogs");
    manager->setMaximumNumberOfLogFiles(kept);
    auto logger = PUSHFileLogger::create(manager);
    auto record = PUSHLogMessage::create("rolled", PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1);
    auto queue = logger->loggerQueue();
    PUSHLog::loggingQueue()->sync([] {});
    queue->sync([&] {
        for (uint32_t n = 0; n < kept; ++n) {
            logger->logMessage(record);
            logger->rollLogFile();
        }
    });
    for (auto _ : state) {
        queue->sync([&] {
            logger->rollLogFile();
            logger->logMessage(record);
        });
    }
    queue->sync([&] { logger->rollLogFile(); });
    PUSHLog::loggingQueue()->sync([] {});
    const size_t files = filesIn(dir.path() + "/PUSHLogs");
    state.counters["files"] = double(files);
    if (files != kept) state.SkipWithError("the directory does not hold the expected number of files");
    state.SetItemsProcessed(state.iterations());
}

void BM_PushLog_Sync_File(benchmark::State& s) {
    runPushFile(s, false);
}
void BM_Spdlog_Sync_File_FlushEach(benchmark::State& s) {
    runSpdFile(s, false);
}
void BM_PushLog_Async_File(benchmark::State& s) {
    runPushFile(s, true);
}
void BM_Spdlog_Async_File_FlushEach(benchmark::State& s) {
    runSpdFile(s, true);
}
void BM_PushLog_FileRoll(benchmark::State& s) {
    runRoll(s);
}

void BM_PushLog_Sync_Null(benchmark::State& s) {
    runPush(s, false, false);
}
void BM_Spdlog_Sync_Null(benchmark::State& s) {
    runSpd(s, false, false);
}
void BM_PushLog_Async_Null(benchmark::State& s) {
    runPush(s, true, false);
}
void BM_Spdlog_Async_Null(benchmark::State& s) {
    runSpd(s, true, false);
}
void BM_PushLog_Sync_ConsoleDevNull(benchmark::State& s) {
    runPush(s, false, true);
}
void BM_Spdlog_Sync_FileDevNull(benchmark::State& s) {
    runSpd(s, false, true);
}
void BM_PushLog_Async_ConsoleDevNull(benchmark::State& s) {
    runPush(s, true, true);
}
void BM_Spdlog_Async_FileDevNull(benchmark::State& s) {
    runSpd(s, true, true);
}

}  // namespace

BENCHMARK(BM_PushLog_Sync_Null)->UseRealTime();
BENCHMARK(BM_Spdlog_Sync_Null)->UseRealTime();
BENCHMARK(BM_PushLog_Async_Null)->UseRealTime();
BENCHMARK(BM_Spdlog_Async_Null)->UseRealTime();
BENCHMARK(BM_PushLog_Sync_ConsoleDevNull)->UseRealTime();
BENCHMARK(BM_Spdlog_Sync_FileDevNull)->UseRealTime();
BENCHMARK(BM_PushLog_Async_ConsoleDevNull)->UseRealTime();
BENCHMARK(BM_Spdlog_Async_FileDevNull)->UseRealTime();

BENCHMARK(BM_PushLog_Sync_File)->UseRealTime();
BENCHMARK(BM_Spdlog_Sync_File_FlushEach)->UseRealTime();
BENCHMARK(BM_PushLog_Async_File)->UseRealTime();
BENCHMARK(BM_Spdlog_Async_File_FlushEach)->UseRealTime();
BENCHMARK(BM_PushLog_FileRoll)->Arg(7)->Arg(100)->UseRealTime();

BENCHMARK_MAIN();
