// Small JSON POSTs over loopback: the HTTP session manager (JSON serializers, blocks on the main queue),
// kept across requests or made fresh for each one as the app's request tool does, against plain libcurl
// (one easy handle, keep-alive; and for comparison a new connection per request) posting the same body to
// the same server, asking for gzip as the session does.
//
// Each iteration is one whole request: build, send, receive, decode (the manager) or collect (libcurl), and
// the caller hearing of it. Reported: requests per second, p50/p99 latency in microseconds, the CPU time
// and voluntary context switches per request over all threads of the process (the loopback server's
// included, the same for every row), and per 1000 requests the connections opened and the threads the
// process started. Both sides count their failures; a run with any is an error.
//
// BM_libcurl_POST_Handoffs is the floor for a client that, like the session, runs libcurl on an I/O thread
// and answers on the caller's thread: plain libcurl with just those two hand-offs. A manager's request takes
// the same two when all goes its usual way: the worker that ran the I/O loop's last pass goes on to the
// delegate callbacks and the response's processing, and only the answer hops back to the caller.
//
// On a shared machine one row can run through a busy spell that the next escapes. For ratios, run the rows
// interleaved (--benchmark_repetitions=6 --benchmark_enable_random_interleaving=true) and compare their
// _median lines.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/HCHTTPSessionManager.h"
#include "platform/foundation/RunLoop.h"
#include "testsupport/LoopbackServer.h"

namespace {

std::atomic<int64_t> threadStarts{0};
std::atomic<int64_t> connects{0};

}  // namespace

// Count every thread the process starts and every TCP connection it opens (libstdc++'s and libcurl's
// included), then do it.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    threadStarts.fetch_add(1);
    return real(thread, attr, start, arg);
}

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    using Connect = int (*)(int, const sockaddr*, socklen_t);
    static auto real = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    if (address && (address->sa_family == AF_INET || address->sa_family == AF_INET6)) connects.fetch_add(1);
    return real(fd, address, length);
}

namespace {

constexpr const char* kBody = R"({"mtype":"1","phone":"13800000000","token":"abcdef0123456789"})";

LoopbackServer& server() {
    static auto* instance = [] {
        auto* s = new LoopbackServer();
        s->on("POST", "/api/login", [](const LoopbackRequest& request) {
            return LoopbackReply::json(R"({"errCode":0,"msg":"ok","data":{"len":)" +
                                       std::to_string(request.body.size()) + "}}");
        });
        return s;
    }();
    return *instance;
}

using Clock = std::chrono::steady_clock;

rusage processUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

double microsOf(const timeval& t) {
    return double(t.tv_sec) * 1e6 + double(t.tv_usec);
}

// What one benchmark run costs besides time: connections, thread starts, CPU time and voluntary context
// switches of the whole process, from its first request on.
struct Costs {
    int64_t connections = connects.load();
    int64_t threads = threadStarts.load();
    rusage usage = processUsage();
};

void report(benchmark::State& state, std::vector<double>& micros, int64_t failures, const Costs& before) {
    state.SetItemsProcessed(int64_t(micros.size()));
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))];
    };
    const rusage usage = processUsage();
    const double requests = double(micros.size());
    double perThousand = 1000.0 / requests;
    state.counters["cpu_us"] = (microsOf(usage.ru_utime) + microsOf(usage.ru_stime) -
                                microsOf(before.usage.ru_utime) - microsOf(before.usage.ru_stime)) /
                               requests;
    state.counters["vcsw"] = double(usage.ru_nvcsw - before.usage.ru_nvcsw) / requests;
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["connects_per_1k"] = double(connects.load() - before.connections) * perThousand;
    state.counters["threads_per_1k"] = double(threadStarts.load() - before.threads) * perThousand;
    state.counters["failures"] = double(failures);
    if (failures) state.SkipWithError("some requests failed");
}

const Value& parameters() {
    static const Value value(Dict{{"mtype", "1"}, {"phone", "13800000000"}, {"token", "abcdef0123456789"}});
    return value;
}

std::shared_ptr<HCHTTPSessionManager> jsonManager() {
    auto manager = HCHTTPSessionManager::manager();
    manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
    return manager;
}

// What the caller does with the manager once its request is on the way.
enum class AfterSending { Keep, Invalidate };

// One POST through `manager`, waited for on the main loop; false when it failed.
bool post(HCHTTPSessionManager& manager, const std::string& url, AfterSending after = AfterSending::Keep) {
    bool done = false;
    bool ok = false;
    manager.POST(
        url, parameters(), nullptr,
        [&](const NSURLSessionDataTaskPtr&, const std::optional<Value>& object) {
            ok = object && (*object)["errCode"] == Value(0);
            done = true;
        },
        [&](const NSURLSessionDataTaskPtr&, const NSErrorPtr&) { done = true; });
    if (after == AfterSending::Invalidate) manager.invalidateSessionCancelingTasks(false);
    return NSRunLoop::main().runUntil([&] { return done; }, 10) && ok;
}

void BM_HCHTTPSessionManager_POST(benchmark::State& state) {
    auto manager = jsonManager();
    const std::string url = server().url("/api/login");
    std::vector<double> micros;
    int64_t failures = 0;
    Costs before;
    for (auto _ : state) {
        auto start = Clock::now();
        if (!post(*manager, url)) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, micros, failures, before);
    manager->invalidateSessionCancelingTasks(false);
    NSRunLoop::main().runUntil([&] { return !manager->session()->delegate(); }, 10);
}
BENCHMARK(BM_HCHTTPSessionManager_POST)->UseRealTime()->MinTime(2.0);

// A new manager per request, used as the app's request tool uses it: right after the POST it is told to
// invalidate its session once the task is done, so the session's end is announced with the task's completion.
void BM_FreshManager_POST(benchmark::State& state) {
    const std::string url = server().url("/api/login");
    std::vector<double> micros;
    int64_t failures = 0;
    Costs before;
    std::shared_ptr<HCHTTPSessionManager> last;
    for (auto _ : state) {
        auto start = Clock::now();
        auto manager = jsonManager();
        if (!post(*manager, url, AfterSending::Invalidate)) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        last = std::move(manager);
    }
    report(state, micros, failures, before);
    if (last) NSRunLoop::main().runUntil([&] { return !last->session()->delegate(); }, 10);
}
BENCHMARK(BM_FreshManager_POST)->UseRealTime()->MinTime(2.0);

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One easy handle posting kBody to `url` as the session does, collecting the reply into `reply`.
struct CurlPost {
    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    std::string reply;

    CurlPost(const std::string& url, bool keepAlive) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Accept: application/json");
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
        curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, keepAlive ? 0L : 1L);
    }
    CurlPost(const CurlPost&) = delete;
    CurlPost& operator=(const CurlPost&) = delete;
    ~CurlPost() {
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }

    // Whether the transfer that ended with `code` got the expected reply.
    bool succeeded(CURLcode code) const {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        return code == CURLE_OK && status == 200 && reply.find("\"errCode\":0") != std::string::npos;
    }
};

// range(0) 1: one connection kept alive across requests; 0: a new connection for every request.
void BM_libcurl_POST(benchmark::State& state) {
    CurlPost post(server().url("/api/login"), state.range(0) != 0);
    std::vector<double> micros;
    int64_t failures = 0;
    Costs before;
    for (auto _ : state) {
        post.reply.clear();
        auto start = Clock::now();
        if (!post.succeeded(curl_easy_perform(post.easy))) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, micros, failures, before);
}
BENCHMARK(BM_libcurl_POST)->Arg(1)->Arg(0)->ArgName("keepalive")->UseRealTime()->MinTime(2.0);

// libcurl's multi interface on an I/O thread of its own; the caller hands each request over (a queue and
// curl_multi_wakeup) and waits on a condition variable for the I/O thread to hand the outcome back.
class CurlLoop {
  public:
    explicit CurlLoop(CurlPost& post) : post_(post), multi_(curl_multi_init()), thread_([this] { run(); }) {}
    CurlLoop(const CurlLoop&) = delete;
    CurlLoop& operator=(const CurlLoop&) = delete;
    ~CurlLoop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }

    // One POST, waited for (at most 10 s); whether it succeeded.
    bool post() {
        std::unique_lock lock(mutex_);
        requested_ = true;
        outcome_.reset();
        curl_multi_wakeup(multi_);
        if (!answered_.wait_for(lock, std::chrono::seconds(10), [&] { return outcome_.has_value(); }))
            return false;
        return *outcome_;
    }

  private:
    void run() {
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
                if (requested_) {
                    requested_ = false;
                    post_.reply.clear();
                    curl_multi_add_handle(multi_, post_.easy);
                }
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                bool ok = post_.succeeded(message->data.result);
                curl_multi_remove_handle(multi_, message->easy_handle);
                std::lock_guard lock(mutex_);
                outcome_ = ok;
                answered_.notify_one();
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    CurlPost& post_;
    CURLM* multi_;
    std::mutex mutex_;
    std::condition_variable answered_;
    bool requested_ = false;
    bool stopping_ = false;
    std::optional<bool> outcome_;
    std::thread thread_;  // last: it starts once the rest is set up
};

void BM_libcurl_POST_Handoffs(benchmark::State& state) {
    CurlPost post(server().url("/api/login"), true);
    CurlLoop loop(post);
    std::vector<double> micros;
    int64_t failures = 0;
    Costs before;
    for (auto _ : state) {
        auto start = Clock::now();
        if (!loop.post()) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, micros, failures, before);
}
BENCHMARK(BM_libcurl_POST_Handoffs)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    NSRunLoop::main();  // this thread is the main thread
    server();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
