// Small JSON POSTs over loopback: one HTTP session manager (JSON serializers, blocks on the main queue)
// against plain libcurl (one easy handle, keep-alive; and for comparison a new connection per request)
// posting the same body to the same server.
//
// Each iteration is one whole request: build, send, receive, decode (the manager) or collect (libcurl), and
// the caller hearing of it. Reported: requests per second, and p50/p99 latency in microseconds. Both sides
// count their failures; a run with any is an error.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "httpclient/HCHTTPSessionManager.h"
#include "platform/foundation/RunLoop.h"
#include "testsupport/LoopbackServer.h"

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

void reportLatency(benchmark::State& state, std::vector<double>& micros, int64_t failures) {
    state.SetItemsProcessed(int64_t(micros.size()));
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["failures"] = double(failures);
    if (failures) state.SkipWithError("some requests failed");
}

void BM_HCHTTPSessionManager_POST(benchmark::State& state) {
    auto manager = HCHTTPSessionManager::manager();
    manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
    const std::string url = server().url("/api/login");
    const Value parameters(Dict{{"mtype", "1"}, {"phone", "13800000000"}, {"token", "abcdef0123456789"}});
    std::vector<double> micros;
    int64_t failures = 0;
    for (auto _ : state) {
        bool done = false;
        auto start = Clock::now();
        manager->POST(
            url, parameters, nullptr,
            [&](const NSURLSessionDataTaskPtr&, const std::optional<Value>& object) {
                if (!object || (*object)["errCode"] != Value(0)) ++failures;
                done = true;
            },
            [&](const NSURLSessionDataTaskPtr&, const NSErrorPtr&) {
                ++failures;
                done = true;
            });
        if (!NSRunLoop::main().runUntil([&] { return done; }, 10)) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportLatency(state, micros, failures);
    manager->invalidateSessionCancelingTasks(false);
    NSRunLoop::main().runUntil([&] { return !manager->session()->delegate(); }, 10);
}
BENCHMARK(BM_HCHTTPSessionManager_POST)->UseRealTime()->MinTime(2.0);

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// range(0) 1: one connection kept alive across requests; 0: a new connection for every request, which is
// what the session does when its I/O thread has gone idle between two requests.
void BM_libcurl_POST(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    const std::string url = server().url("/api/login");
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");
    std::string reply;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, state.range(0) ? 0L : 1L);
    std::vector<double> micros;
    int64_t failures = 0;
    for (auto _ : state) {
        reply.clear();
        auto start = Clock::now();
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK) ++failures;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200 || reply.find("\"errCode\":0") == std::string::npos) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportLatency(state, micros, failures);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
}
BENCHMARK(BM_libcurl_POST)->Arg(1)->Arg(0)->ArgName("keepalive")->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    NSRunLoop::main();  // this thread is the main thread
    server();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
