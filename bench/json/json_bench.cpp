// Parse throughput of parse_json next to RapidJSON's DOM parser on one gateway batch.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdint>
#include <string>

#include "common/gateway_batch.h"
#include "json/json_parser.h"

namespace {

const std::string& batch() {
    static const std::string text = tarn::bench::make_gateway_batch();
    return text;
}

void BM_ParseJson(benchmark::State& state) {
    const std::string& text = batch();
    for (auto _ : state) {
        tarn::JsonValue value;
        std::string error;
        if (!tarn::parse_json(text, value, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["body_bytes"] = static_cast<double>(text.size());
}

void BM_RapidJsonDom(benchmark::State& state) {
    const std::string& text = batch();
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(text.data(), text.size());
        if (doc.HasParseError()) state.SkipWithError("rapidjson parse error");
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["body_bytes"] = static_cast<double>(text.size());
}

BENCHMARK(BM_ParseJson)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RapidJsonDom)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
