// Formatting and batching speed of the writer against a plain snprintf formatter of the
// same line formats, both feeding a transport that throws the bodies away.
// Prints lines per second of both and their ratio; the goal is a ratio of 8 or more.

#include "SnprintfFormat.h"
#include "influx/RyInfluxDB.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

using namespace quarvel;

namespace {

constexpr int kLines = 1000000;

// Samples as a node stores them: a few tags, readings kept to one or two decimals,
// means with full float precision, now and then a sample without value.
std::vector<LogSample> MakeSamples() {
    std::mt19937 random(2024);
    std::uniform_int_distribution<int> hundredths(-500000, 500000);
    std::uniform_real_distribution<float> spread(0.0f, 50.0f);
    std::vector<LogSample> samples(kLines);
    int32_t time = 1500000000;
    for (auto& s : samples) {
        s.time = time++;
        s.status = 192;
        const float v = static_cast<float>(hundredths(random)) / 100.0f;
        s.value = v;
        s.max = v + std::round(spread(random));
        s.min = v - std::round(spread(random));
        s.mean = v + spread(random) / 7.0f;
        if (time % 1000 == 0) s.value = std::bit_cast<float>(0xFFFFFFFFu);
    }
    return samples;
}

const std::vector<LogSample>& Samples() {
    static const std::vector<LogSample> samples = MakeSamples();
    return samples;
}

const char* TagOf(size_t i) {
    static const char* const tags[] = {"FLOW_01", "PRESSURE_A", "TEMP_BOILER_3", "LEVEL"};
    return tags[(i / 5000) % 4];  // files hold one tag; tables interleave a few
}

InfluxTarget DiscardingTarget() {
    InfluxTarget target;
    target.post = [](const std::string&, const std::string& body) {
        benchmark::DoNotOptimize(body.data());
        return HttpResult{0, 204, {}, {}};
    };
    return target;
}

void WriterLines(benchmark::State& state, int kind) {
    const auto& samples = Samples();
    for (auto _ : state) {
        RyInfluxDB writer("Ry_Bench", DiscardingTarget());
        for (size_t i = 0; i < samples.size(); ++i) {
            std::lock_guard lock(writer.m_batchLock[kind]);
            if (kind == kRaw)
                writer.AddRawSample(TagOf(i), &samples[i]);
            else
                writer.AddSummarySample(kind, TagOf(i), &samples[i]);
        }
        writer.FlushAll();
        benchmark::DoNotOptimize(writer.Counts().linesWritten);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(samples.size()));
}

// One snprintf per line into a line buffer, appended to a batch that is thrown away at
// 10000 lines: the straightforward way to produce the same text.
void SnprintfLines(benchmark::State& state, int kind) {
    const auto& samples = Samples();
    std::string batch;
    for (auto _ : state) {
        int count = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (count > 0) batch.push_back('\n');
            const int32_t timestamp = samples[i].time - 28800;
            if (kind == kRaw)
                testsupport::AppendSnprintfRawLine(batch, TagOf(i), samples[i], timestamp);
            else
                testsupport::AppendSnprintfSummaryLine(batch, kind, TagOf(i), samples[i], timestamp);
            if (++count == kBatchLines) {
                benchmark::DoNotOptimize(batch.data());
                batch.clear();
                count = 0;
            }
        }
        benchmark::DoNotOptimize(batch.data());
        batch.clear();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(samples.size()));
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) linesPerSecond[run.benchmark_name()] = rate->second.value;
        }
    }
    std::map<std::string, double> linesPerSecond;
};

}  // namespace

BENCHMARK_CAPTURE(WriterLines, raw, kRaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SnprintfLines, raw, kRaw)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(WriterLines, summary, kHour)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SnprintfLines, summary, kHour)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n%-8s %16s %16s %8s\n", "lines", "writer lines/s", "snprintf lines/s", "ratio");
    for (const char* kind : {"raw", "summary"}) {
        const double fast = reporter.linesPerSecond[std::string("WriterLines/") + kind];
        const double slow = reporter.linesPerSecond[std::string("SnprintfLines/") + kind];
        if (fast > 0 && slow > 0)
            std::printf("%-8s %16.0f %16.0f %7.1fx%s\n", kind, fast, slow, fast / slow,
                        fast / slow >= 8.0 ? "" : "  (goal: 8x)");
    }
    return 0;
}
