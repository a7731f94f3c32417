// Cost of one report through the driver against the platform alone, measured in the same run on
// one machine (see world.h). The driver's log lines go to the host's sink, which keeps them all:
// it is emptied outside the timed region now and then.
#include "world.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

bench::World* TheWorld = nullptr;

// Empties the host's log sink every so many reports, untimed.
void TrimLog(benchmark::State& state, uint64_t done) {
    if (done % 256 == 0) {
        state.PauseTiming();
        host::ClearLog();
        state.ResumeTiming();
    }
}

void InputPath(benchmark::State& state, bench::Path& path) {
    uint64_t sent = 0;
    for (auto _ : state) {
        if (!bench::InputReport(path, bench::SampleInput(static_cast<unsigned>(sent)))) {
            state.SkipWithError("an input report was lost");
            break;
        }
        TrimLog(state, ++sent);
    }
    state.SetItemsProcessed(static_cast<int64_t>(sent));
}

void OutputPath(benchmark::State& state, bench::Path& path) {
    const bench::Bytes report = bench::SampleOutput();
    uint64_t written = 0;
    for (auto _ : state) {
        if (!bench::OutputReport(path, report)) {
            state.SkipWithError("an output report failed");
            break;
        }
        TrimLog(state, ++written);
    }
    state.SetItemsProcessed(static_cast<int64_t>(written));
}

// Measures both paths with the same number of reports in one benchmark so that the ratio comes
// from one run: the counters are the seconds per report of each and driver / baseline.
void Ratio(benchmark::State& state, bool (*report)(bench::Path&, const bench::Bytes&), bool input) {
    using Clock = std::chrono::steady_clock;
    Clock::duration driver{};
    Clock::duration baseline{};
    uint64_t reports = 0;
    const bench::Bytes output = bench::SampleOutput();
    for (auto _ : state) {
        const bench::Bytes& bytes =
            input ? bench::SampleInput(static_cast<unsigned>(reports)) : output;
        auto start = Clock::now();
        bool sent = report(TheWorld->Driver(), bytes);
        auto middle = Clock::now();
        sent = sent && report(TheWorld->Baseline(), bytes);
        auto end = Clock::now();
        if (!sent) {
            state.SkipWithError("a report did not arrive");
            break;
        }
        driver += middle - start;
        baseline += end - middle;
        TrimLog(state, ++reports);
    }
    if (reports == 0 || baseline.count() == 0) {
        return;
    }
    double n = static_cast<double>(reports);
    state.counters["driver_ns"] = std::chrono::duration<double, std::nano>(driver).count() / n;
    state.counters["baseline_ns"] = std::chrono::duration<double, std::nano>(baseline).count() / n;
    state.counters["ratio"] = std::chrono::duration<double>(driver).count() /
                              std::chrono::duration<double>(baseline).count();
}

void BM_InputDriver(benchmark::State& state) {
    InputPath(state, TheWorld->Driver());
}
void BM_InputBaseline(benchmark::State& state) {
    InputPath(state, TheWorld->Baseline());
}
void BM_InputRatio(benchmark::State& state) {
    Ratio(state, bench::InputReport, true);
}
void BM_OutputDriver(benchmark::State& state) {
    OutputPath(state, TheWorld->Driver());
}
void BM_OutputBaseline(benchmark::State& state) {
    OutputPath(state, TheWorld->Baseline());
}
void BM_OutputRatio(benchmark::State& state) {
    Ratio(state, bench::OutputReport, false);
}

// Throughput: the controller sends a burst of reports as fast as the reads come back, both
// children's HID stacks consuming them; counts reports per second and checks that the ones each
// stack received keep the controller's order.
void BM_ThroughputBothChildren(benchmark::State& state) {
    bench::Path& path = TheWorld->Driver();
    const unsigned burst = static_cast<unsigned>(state.range(0));
    uint64_t reports = 0;
    uint64_t reordered = 0;
    for (auto _ : state) {
        for (unsigned i = 0; i < burst; ++i) {
            path.usb->SendInputReport(bench::SampleInput(i));
        }
        unsigned got = 0;
        int last[2] = {-1, -1};
        while (got < burst) {
            int which = 0;
            for (const auto& hid : {path.gamepad, path.vendor}) {
                while (hid->QueuedInputReports() != 0) {
                    std::optional<bench::Bytes> report = hid->ReadInput(0);
                    if (report && (*report)[1] <= last[which] && last[which] >= 0) {
                        ++reordered;
                    }
                    if (report) {
                        last[which] = (*report)[1];
                        ++got;
                    }
                }
                ++which;
            }
            std::this_thread::yield();
        }
        reports += got;
        if (!bench::ReadsPending(path)) {
            state.SkipWithError("reads did not come back");
            break;
        }
        state.PauseTiming();
        host::ClearLog();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(reports));
    state.counters["reordered"] = static_cast<double>(reordered);
}

BENCHMARK(BM_InputDriver)->UseRealTime();
BENCHMARK(BM_InputBaseline)->UseRealTime();
BENCHMARK(BM_InputRatio)->UseRealTime();
BENCHMARK(BM_OutputDriver)->UseRealTime();
BENCHMARK(BM_OutputBaseline)->UseRealTime();
BENCHMARK(BM_OutputRatio)->UseRealTime();
BENCHMARK(BM_ThroughputBothChildren)->Arg(64)->Arg(250)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    bench::World world;
    TheWorld = &world;
    if (!world.Assemble()) {
        world.Dismantle();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return world.Dismantle() ? 0 : 1;
}
