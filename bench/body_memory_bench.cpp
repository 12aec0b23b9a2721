// Peak memory of one data task whose gzip body inflates past the task's memory bound (64 MiB by default),
// against plain libcurl inflating the same body into a string without any bound. The task fails with
// -1103 as soon as the bound is passed; the figure is the process's peak resident size (each case runs in
// a fresh process: `--benchmark_filter`), with the resident size before the request for scale.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>
#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/net/URLSession.h"
#include "testsupport/LoopbackRawServer.h"

namespace {

// 256 MiB of one byte, gzip-framed: about 256 KB on the wire.
std::string bomb() {
    std::string out;
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    std::string chunk(1 << 20, 'a'), buffer(1 << 16, '\0');
    for (int i = 0; i < 256; ++i) {
        z.next_in = reinterpret_cast<Bytef*>(chunk.data());
        z.avail_in = uInt(chunk.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer.data());
            z.avail_out = uInt(buffer.size());
            deflate(&z, i == 255 ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer.data(), buffer.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

double residentMB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024;
}

struct BombServer {
    std::string body = bomb();
    LoopbackRawServer server{[this](LoopbackConnection& connection) {
        connection.readRequest();
        connection.write("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n");
        connection.write(body);
        connection.close();
    }};
};

void BM_SessionDataTask(benchmark::State& state) {
    BombServer bomb;
    const double before = residentMB();
    for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        long code = 0;
        auto session =
            NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
        session
            ->dataTaskWithRequest(NSURLRequest(NSURL::URLWithString(bomb.server.url("/bomb"))),
                                  [&](auto, auto, NSErrorPtr error) {
                                      std::lock_guard lock(mutex);
                                      code = error ? error->code() : 0;
                                      finished = true;
                                      done.notify_all();
                                  })
            ->resume();
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(60), [&] { return finished; }))
            state.SkipWithError("no completion");
        if (code != NSURLErrorDataLengthExceedsMaximum) state.SkipWithError("the bound did not apply");
    }
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = peakMB();
}

size_t collect(char* bytes, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(bytes, size * count);
    return size * count;
}

void BM_CurlIntoString(benchmark::State& state) {
    BombServer bomb;
    const double before = residentMB();
    for (auto _ : state) {
        std::string body;
        CURL* easy = curl_easy_init();
        const std::string url = bomb.server.url("/bomb");
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip");
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("transfer failed");
        curl_easy_cleanup(easy);
        benchmark::DoNotOptimize(body);
    }
    state.counters["rss_before_MB"] = before;
    state.counters["peak_MB"] = peakMB();
}

}  // namespace

BENCHMARK(BM_SessionDataTask)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlIntoString)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
