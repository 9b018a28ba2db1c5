// JSON parse and toString throughput (bytes of JSON text per second) on generated documents of
// 1 KiB to 1 MiB, side by side with nlohmann::json on the same texts when it is installed.
// The documents hold no escapes, since the parser does not accept them.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "utility/Json.h"

#ifdef FINS_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif

namespace {

constexpr int64_t kSizes[] = {1 << 10, 16 << 10, 256 << 10, 1 << 20};

// One record of a typical configuration or telemetry document.
std::string Record(int i)
{
    std::string n = std::to_string(i);
    return R"({"id":)" + n + R"(,"name":"item)" + n + R"(","price":)" + n + R"(.25,"active":)" +
           (i % 2 ? "true" : "false") + R"(,"tags":["alpha","beta","gamma"],"pos":{"x":)" + n +
           R"(,"y":-)" + n + R"(,"z":0.5},"note":null})";
}

// An array of records, at least `size` bytes long; built once per size.
const std::string& Document(int64_t size)
{
    static std::map<int64_t, std::string> cache;
    std::string& text = cache[size];
    if (text.empty()) {
        text = "[";
        for (int i = 0; static_cast<int64_t>(text.size()) < size - 1; ++i) {
            text += (i ? "," : "") + Record(i);
        }
        text += "]";
    }
    return text;
}

void BM_JsonParse(benchmark::State& state)
{
    const std::string& text = Document(state.range(0));
    for (auto _ : state) {
        libvor::json::Json value;
        value.parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_JsonToString(benchmark::State& state)
{
    libvor::json::Json value;
    value.parse(Document(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = value.toString();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

#ifdef FINS_HAVE_NLOHMANN
void BM_NlohmannParse(benchmark::State& state)
{
    const std::string& text = Document(state.range(0));
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_NlohmannDump(benchmark::State& state)
{
    nlohmann::json value = nlohmann::json::parse(Document(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = value.dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
#endif

void Sizes(benchmark::internal::Benchmark* bench)
{
    for (int64_t size : kSizes) {
        bench->Arg(size);
    }
}

} // namespace

BENCHMARK(BM_JsonParse)->Apply(Sizes);
BENCHMARK(BM_JsonToString)->Apply(Sizes);
#ifdef FINS_HAVE_NLOHMANN
BENCHMARK(BM_NlohmannParse)->Apply(Sizes);
BENCHMARK(BM_NlohmannDump)->Apply(Sizes);
#endif

BENCHMARK_MAIN();
