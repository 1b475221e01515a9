// Parse throughput of parse_json next to RapidJSON, nlohmann::json and simdjson on gateway batches of three sizes.
//
//   json_bench [Google Benchmark flags]   one benchmark per parser and body, e.g. parse_json/200KB
//   json_bench --summary                  one line per body for the benchmark table:
//     json 200KB bytes=... parse_json_mbps=... rapidjson_mbps=... nlohmann_mbps=... simdjson_mbps=...
//          vs_rapidjson=... vs_nlohmann=... parse_json_peak_x=... meets_targets=yes|no
//
// MB/s counts 10^6 bytes of body per second. parse_json_peak_x is the most
// heap that parse_json held at once while parsing the body (the finished
// tree included), divided by the body size. A parser whose package was not
// found at build time shows n/a.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#if TARN_BENCH_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if TARN_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "alloc_counter.h"
#include "common/gateway_batch.h"
#include "json/json_parser.h"

namespace {

struct Body {
    const char* name;
    std::size_t max_bytes;
};

constexpr Body bodies[] = {{"10KB", 10 * 1024}, {"200KB", 200 * 1024}, {"4MiB", 4 * 1024 * 1024}};
constexpr std::size_t body_count = sizeof bodies / sizeof bodies[0];

// The batch for body `i`, generated once.
const std::string& body_text(std::size_t i) {
    static std::string texts[body_count];
    if (texts[i].empty())
        texts[i] = tarn::bench::make_gateway_batch(tarn::bench::gateway_batch_shape_for(bodies[i].max_bytes));
    return texts[i];
}

bool parse_with_parse_json(std::size_t body) {
    tarn::JsonValue value;
    std::string error;
    return tarn::parse_json(body_text(body), value, error);
}

bool parse_with_rapidjson(std::size_t body) {
    const std::string& text = body_text(body);
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    return !doc.HasParseError();
}

#if TARN_BENCH_NLOHMANN
bool parse_with_nlohmann(std::size_t body) {
    const nlohmann::json doc = nlohmann::json::parse(body_text(body), nullptr, false);
    return !doc.is_discarded();
}
#endif

#if TARN_BENCH_SIMDJSON
// simdjson reads its input with padding past the end, so each body gets a
// padded copy once; the parser keeps its buffers between documents, which is
// how simdjson is meant to be used.
bool parse_with_simdjson(std::size_t body) {
    static simdjson::padded_string padded[body_count];
    static simdjson::dom::parser parser;
    if (padded[body].size() == 0) padded[body] = simdjson::padded_string(body_text(body));
    simdjson::dom::element doc;
    return parser.parse(padded[body]).get(doc) == simdjson::SUCCESS;
}
#endif

struct Parser {
    const char* name;
    bool (*parse)(std::size_t body);  // nullptr: not built
};

const Parser parsers[] = {
    {"parse_json", parse_with_parse_json},
    {"rapidjson", parse_with_rapidjson},
#if TARN_BENCH_NLOHMANN
    {"nlohmann", parse_with_nlohmann},
#else
    {"nlohmann", nullptr},
#endif
#if TARN_BENCH_SIMDJSON
    {"simdjson", parse_with_simdjson},
#else
    {"simdjson", nullptr},
#endif
};
constexpr std::size_t parser_count = sizeof parsers / sizeof parsers[0];

void run_benchmark(benchmark::State& state, const Parser& parser, std::size_t body) {
    const std::string& text = body_text(body);
    for (auto _ : state) {
        if (!parser.parse(body)) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["body_bytes"] = static_cast<double>(text.size());
}

void register_benchmarks() {
    for (std::size_t b = 0; b < body_count; ++b) {
        for (const Parser& parser : parsers) {
            if (parser.parse == nullptr) continue;
            const std::string name = std::string(parser.name) + "/" + bodies[b].name;
            benchmark::RegisterBenchmark(name.c_str(), [&parser, b](benchmark::State& state) {
                run_benchmark(state, parser, b);
            })->Unit(benchmark::kMicrosecond);
        }
    }
}

// --- summary ---------------------------------------------------------------

constexpr double round_seconds = 0.15;
constexpr int rounds = 7;

// MB/s of one round: as many parses as fit in round_seconds.
double one_round_mbps(const Parser& parser, std::size_t body) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    std::int64_t parses = 0;
    double seconds = 0.0;
    do {
        parser.parse(body);
        ++parses;
        seconds = std::chrono::duration<double>(clock::now() - start).count();
    } while (seconds < round_seconds);
    return static_cast<double>(parses) * static_cast<double>(body_text(body).size()) / seconds / 1e6;
}

// Peak heap bytes of one parse_json call, or -1 when not countable.
std::int64_t parse_json_peak_bytes(std::size_t body) {
    if (!tarn::bench::allocation_count_available()) return -1;
    const std::string& text = body_text(body);
    tarn::bench::start_allocation_count();
    {
        tarn::JsonValue value;
        std::string error;
        tarn::parse_json(text, value, error);
    }
    return tarn::bench::stop_allocation_count().peak_bytes;
}

std::string format_figure(double value, int decimals) {
    if (value < 0) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Rounds take turns between the parsers so that load on the machine falls on
// all of them alike; each parser's best round counts.
int print_summary() {
    for (std::size_t b = 0; b < body_count; ++b) {
        for (const Parser& parser : parsers) {
            if (parser.parse != nullptr && !parser.parse(b)) {
                std::fprintf(stderr, "json_bench: %s failed to parse the %s body\n", parser.name, bodies[b].name);
                return 1;
            }
        }
        double best[parser_count];
        std::fill(best, best + parser_count, -1.0);
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t p = 0; p < parser_count; ++p) {
                if (parsers[p].parse == nullptr) continue;
                best[p] = std::max(best[p], one_round_mbps(parsers[p], b));
            }
        }
        const double ours = best[0];
        const double vs_rapidjson = best[1] > 0 ? ours / best[1] : -1.0;
        const double vs_nlohmann = best[2] > 0 ? ours / best[2] : -1.0;
        const std::int64_t peak = parse_json_peak_bytes(b);
        const double size = static_cast<double>(body_text(b).size());
        const bool met = vs_rapidjson >= 0.5 && (vs_nlohmann < 0 || vs_nlohmann >= 2.0);
        std::printf("json %s bytes=%zu", bodies[b].name, body_text(b).size());
        for (std::size_t p = 0; p < parser_count; ++p) {
            std::printf(" %s_mbps=%s", parsers[p].name, format_figure(best[p], 1).c_str());
        }
        std::printf(" vs_rapidjson=%s vs_nlohmann=%s parse_json_peak_x=%s meets_targets=%s\n",
                    format_figure(vs_rapidjson, 2).c_str(), format_figure(vs_nlohmann, 2).c_str(),
                    format_figure(peak < 0 ? -1.0 : static_cast<double>(peak) / size, 2).c_str(), met ? "yes" : "no");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--summary") == 0) return print_summary();
    }
    register_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
