// Reading a response head the way the URL session does (one line at a time, then the response object)
// against a plain line split of the same bytes, the least any reader of a head must do.
//
// Heads of 256 KiB, the most the session accepts, in the shapes a hostile server picks: many distinct
// short names, one name repeated on every line, and an ordinary head of a dozen fields for scale. Each
// iteration reads one whole head (or up to the point where the reader refuses it).
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "platform/foundation/NSURL.h"
#include "platform/foundation/URLResponse.h"
#include "platform/net/HTTPResponseHead.h"

namespace {

constexpr size_t kHeadBytes = 256 * 1024;

enum Shape { Ordinary, DistinctNames, RepeatedName };

std::string makeHead(Shape shape) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (shape == Ordinary) {
        for (const char* line :
             {"Date: Mon, 01 Jan 2024 00:00:00 GMT", "Server: test", "Content-Type: text/html",
              "Content-Length: 1234", "Cache-Control: no-cache", "Connection: keep-alive", "Set-Cookie: a=1",
              "Set-Cookie: b=2", "ETag: \"abc\"", "Vary: Accept-Encoding", "X-Request-Id: 0123456789",
              "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT"}) {
            head += line;
            head += "\r\n";
        }
        return head + "\r\n";
    }
    for (size_t i = 0; head.size() + 16 < kHeadBytes; ++i) {
        head += shape == DistinctNames ? "x" + std::to_string(i) + ": v\r\n"
                                       : "x: " + std::to_string(i % 10) + "\r\n";
    }
    return head + "\r\n";
}

const std::string& head(Shape shape) {
    static const std::string heads[] = {makeHead(Ordinary), makeHead(DistinctNames), makeHead(RepeatedName)};
    return heads[shape];
}

template <class Line>
void eachLine(std::string_view text, Line&& line) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view one = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(one.size());
        if (!line(one)) return;
    }
}

void BM_ResponseHead(benchmark::State& state, Shape shape) {
    const std::string& text = head(shape);
    const auto url = NSURL::URLWithString("http://bench.invalid/");
    for (auto _ : state) {
        HTTPResponseHead parsed;
        bool refused = false;
        eachLine(text, [&](std::string_view line) {
            const auto kind = parsed.take(line);
            if (kind == HTTPResponseHead::Line::End) {
                benchmark::DoNotOptimize(
                    NSHTTPURLResponse::create(url, parsed.status, parsed.version, parsed.headers));
            }
            refused = refused || kind == HTTPResponseHead::Line::TooManyFields;
            return !refused;
        });
        benchmark::DoNotOptimize(refused);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// The peer: each line found and split at its colon, nothing kept.
void BM_LineSplit(benchmark::State& state, Shape shape) {
    const std::string& text = head(shape);
    for (auto _ : state) {
        size_t colons = 0;
        eachLine(text, [&](std::string_view line) {
            colons += line.find(':') != std::string_view::npos;
            return true;
        });
        benchmark::DoNotOptimize(colons);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

}  // namespace

BENCHMARK_CAPTURE(BM_ResponseHead, Ordinary, Ordinary);
BENCHMARK_CAPTURE(BM_ResponseHead, DistinctNames, DistinctNames);
BENCHMARK_CAPTURE(BM_ResponseHead, RepeatedName, RepeatedName);
BENCHMARK_CAPTURE(BM_LineSplit, Ordinary, Ordinary);
BENCHMARK_CAPTURE(BM_LineSplit, DistinctNames, DistinctNames);
BENCHMARK_CAPTURE(BM_LineSplit, RepeatedName, RepeatedName);

BENCHMARK_MAIN();
