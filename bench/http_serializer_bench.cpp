// The JSON response serializer against nlohmann-json's own DOM parse of the same bytes, and the platform's
// JSON writer against nlohmann-json's dump of the same document.
//
// Replies of about 1 KB and 1 MB: arrays of records with strings, integers, reals, booleans and nulls, as a
// back end sends them. Each iteration decodes (or writes) one whole reply; the serializer also validates the
// response.
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <string>

#include "httpclient/HCURLResponseSerialization.h"
#include "platform/foundation/JSON.h"

namespace {

std::string makeReply(size_t targetBytes) {
    std::string out = "{\"errCode\":0,\"msg\":\"ok\",\"data\":[";
    for (size_t i = 0; out.size() < targetBytes; ++i) {
        if (i) out += ',';
        out += "{\"id\":" + std::to_string(i) + ",\"name\":\"item " + std::to_string(i) +
               "\",\"price\":" + std::to_string(i) + ".25,\"active\":" + (i % 2 ? "true" : "false") +
               ",\"note\":null,\"tags\":[\"a\",\"b\\u00e9\"]}";
    }
    return out + "]}";
}

const std::string& reply(size_t bytes) {
    static const std::string small = makeReply(1024);
    static const std::string large = makeReply(1024 * 1024);
    return bytes <= 1024 ? small : large;
}

void BM_HCJSONResponseSerializer(benchmark::State& state) {
    const std::string& text = reply(size_t(state.range(0)));
    Data data = Data::fromString(text);
    auto serializer = HCJSONResponseSerializer::serializer();
    HTTPHeaderFields headers;
    headers.set("Content-Type", "application/json; charset=utf-8");
    auto response = NSHTTPURLResponse::create(NSURL::URLWithString("http://h/api"), 200, "HTTP/1.1", headers);
    for (auto _ : state) {
        NSErrorPtr error;
        auto object = serializer->responseObjectForResponse(response, data, &error);
        if (!object || error) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(object);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_NlohmannDOM(benchmark::State& state) {
    const std::string& text = reply(size_t(state.range(0)));
    for (auto _ : state) {
        auto document = nlohmann::json::parse(text, nullptr, false);
        if (document.is_discarded()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_JSONWrite(benchmark::State& state) {
    const std::string& text = reply(size_t(state.range(0)));
    auto value = NSJSONSerialization::JSONObjectWithData(Data::fromString(text), 0, nullptr);
    if (!value) state.SkipWithError("decoding failed");
    for (auto _ : state) {
        auto written = NSJSONSerialization::dataWithJSONObject(*value, 0, nullptr);
        if (!written) state.SkipWithError("writing failed");
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_NlohmannDump(benchmark::State& state) {
    const std::string& text = reply(size_t(state.range(0)));
    const auto document = nlohmann::json::parse(text);
    for (auto _ : state) {
        auto written = document.dump();
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

}  // namespace

BENCHMARK(BM_HCJSONResponseSerializer)->Arg(1024)->Arg(1024 * 1024);
BENCHMARK(BM_NlohmannDOM)->Arg(1024)->Arg(1024 * 1024);
BENCHMARK(BM_JSONWrite)->Arg(1024)->Arg(1024 * 1024);
BENCHMARK(BM_NlohmannDump)->Arg(1024)->Arg(1024 * 1024);
BENCHMARK_MAIN();
