// XML parse and toString throughput (bytes of XML text per second) on a generated 1 MiB
// document of attributed elements with text leaves.
#include <benchmark/benchmark.h>

#include <string>

#include "utility/Document.h"

namespace {

constexpr size_t kDocumentBytes = 1 << 20;

const std::string& Document()
{
    static const std::string text = [] {
        std::string doc = R"(<?xml version="1.0"?><!-- generated --><config version="1">)";
        for (int i = 0; doc.size() < kDocumentBytes; ++i) {
            std::string n = std::to_string(i);
            doc += R"(<item id=")" + n + R"(" kind="sensor" unit="mm"><name>channel )" + n +
                   "</name><value>" + n + ".5</value><limits><low>-100</low><high>" + n +
                   "</high></limits></item>";
        }
        return doc + "</config>";
    }();
    return text;
}

void BM_XmlParse(benchmark::State& state)
{
    const std::string& text = Document();
    for (auto _ : state) {
        libvor::xml::Document doc;
        doc.load_string(text);
        libvor::xml::Element root;
        if (!doc.parse(root)) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_XmlToString(benchmark::State& state)
{
    libvor::xml::Document doc;
    doc.load_string(Document());
    libvor::xml::Element root;
    doc.parse(root);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = root.toString();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

} // namespace

BENCHMARK(BM_XmlParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlToString)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
