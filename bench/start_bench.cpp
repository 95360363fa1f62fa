// Whole Start runs through ENTRYPOINT on a 4000 x 3000 RGB image with the lean host,
// for three settings: the defaults, a wave seam with 20 % overlap, and the worst case
// (75 % overlap both ways, Fit, fractal seam, Thru BG). Each reports megapixels per
// second, its time relative to a plain copy of the same image through the same strips
// and the same host in this process (copy_ratio: 1 means as fast as the copy), the
// abort checks the run made, and the peak resident memory of the run. The *_reference
// variants bind the reference transcription to the pixel entry, so that every pixel
// takes the per-pixel phase calls: the figures before the specialised pass, measured
// in the same binary (slow: the worst case takes some twenty seconds). worst_case_sse41
// and worst_case_portable run the worst case with the pass's SSE4.1 or baseline vector
// kernels instead of the best ones the processor has. The three settings run with one
// thread (threads:1) and with every core (threads:0, TESSELLON_THREADS unset); the
// others with every core.
//
// Speed goals, with every core of a two-core machine: worst case >= 40 Mpx/s, wave >=
// 120. They are goals to read off, not assertions. No Windows headers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_runs.h"
#include "filter/definition.h"
#include "filter/pixel_fast.h"
#include "filter/pixel_lanes.h"
#include "runtime/builtins.h"
#include "runtime/context.h"
#include "shell/host.h"
#include "ui/settings.h"

#include <unistd.h>

namespace tessellon::bench {
namespace {

// Peak resident memory in KiB since the last ResetPeakMemory, from /proc/self/status.
double PeakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6);
    }
    return 0;
}

// Lets the peak start again from the current resident size (Linux 4.0 and later).
void ResetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

// Seconds for one plain copy through the host: the best of a few, measured once per
// process and shared by every benchmark's ratio.
double PlainCopySeconds() {
    static const double seconds = [] {
        LeanHost host(Document());
        double best = 1e30;
        for (int i = 0; i < 5; ++i) {
            host.Reset();
            const auto start = std::chrono::steady_clock::now();
            PlainCopyThroughHost(host);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        return best;
    }();
    return seconds;
}

void Report(benchmark::State& state, double seconds_per_run, double abort_checks) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPixels));
    state.counters["Mpx/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kPixels / 1e6, benchmark::Counter::kIsRate);
    state.counters["copy_ratio"] = seconds_per_run / PlainCopySeconds();
    state.counters["peak_MiB"] = PeakMemoryKiB() / 1024.0;
    state.counters["abort_checks"] = abort_checks;
}

void BM_PlainCopy(benchmark::State& state) {
    PlainCopySeconds();  // before this benchmark's host: one host at a time
    LeanHost host(Document());
    ResetPeakMemory();
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        host.Reset();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        PlainCopyThroughHost(host);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    Report(state, total / static_cast<double>(state.iterations()), 0);
}

enum class Path { specialised, sse41_kernels, portable_kernels, reference };

// TESSELLON_THREADS for the module: `threads` of them, or unset (every core) for 0.
void UseThreads(std::int64_t threads) {
    if (threads > 0) {
        setenv("TESSELLON_THREADS", std::to_string(threads).c_str(), 1);
    } else {
        unsetenv("TESSELLON_THREADS");
    }
}

void BM_Start(benchmark::State& state, Settings settings, Path path) {
    UseThreads(state.range(0));
    Store(settings);
    PlainCopySeconds();  // before this benchmark's host: one host at a time
    LeanHost host(Document());
    const int word = EntryWordOf(kPhasePixel);
    const NativeEntry bound = Bound().entry_routine[word];
    if (path == Path::reference) Bound().entry_routine[word] = &filter_pixel_reference;
    if (path == Path::portable_kernels) tiling_lanes::UseKernels(tiling_lanes::KernelChoice::portable);
    if (path == Path::sse41_kernels) tiling_lanes::UseKernels(tiling_lanes::KernelChoice::sse41);
    ResetPeakMemory();
    double total = 0;
    std::uint64_t checks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        host.Reset();
        // Far from the host's turn, so that every run makes the same calls.
        AbortState().calls = 0;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (host.RunAsHost() != 0) state.SkipWithError("Start failed");
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        checks = static_cast<std::uint64_t>(AbortState().calls) +
                 static_cast<std::uint64_t>(host.abort_calls - kHeight) * 100001u;
    }
    Bound().entry_routine[word] = bound;
    tiling_lanes::UseKernels(tiling_lanes::KernelChoice::best);
    UseThreads(0);
    Report(state, total / static_cast<double>(state.iterations()), static_cast<double>(checks));
}

// What a Start costs whatever the image (the settings store, the set-up, the tables):
// the defaults on 64 x 64 pixels.
void BM_Start64x64(benchmark::State& state) {
    Store(Defaults());
    PlainCopySeconds();  // before this benchmark's host: one host at a time
    LeanHost host(BenchImage(64, 64, 3));
    for (auto _ : state) {
        state.PauseTiming();
        host.Reset();
        state.ResumeTiming();
        if (host.RunAsHost() != 0) state.SkipWithError("Start failed");
    }
}

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Start64x64)->Unit(benchmark::kMicrosecond)->UseRealTime();
#define TESSELLON_START_BENCHMARK(name, settings, path, ...)                                 \
    BENCHMARK_CAPTURE(BM_Start, name, settings, path)->ArgName("threads")->__VA_ARGS__        \
        ->Unit(benchmark::kMillisecond)                                                     \
        ->UseRealTime()
TESSELLON_START_BENCHMARK(defaults, Defaults(), Path::specialised, Arg(1)->Arg(0));
TESSELLON_START_BENCHMARK(wave20, Wave20(), Path::specialised, Arg(1)->Arg(0));
TESSELLON_START_BENCHMARK(worst_case, WorstCase(), Path::specialised, Arg(1)->Arg(0));
TESSELLON_START_BENCHMARK(worst_case_sse41, WorstCase(), Path::sse41_kernels, Arg(0));
TESSELLON_START_BENCHMARK(worst_case_portable, WorstCase(), Path::portable_kernels, Arg(0));
TESSELLON_START_BENCHMARK(defaults_reference, Defaults(), Path::reference, Arg(0));
TESSELLON_START_BENCHMARK(wave20_reference, Wave20(), Path::reference, Arg(0));
TESSELLON_START_BENCHMARK(worst_case_reference, WorstCase(), Path::reference, Arg(0));

}  // namespace
}  // namespace tessellon::bench

int main(int argc, char** argv) {
    // The settings store lives under the XDG configuration directory: the benchmark
    // gets a fresh one of its own and removes it at the end, never the user's.
    char config[] = "/tmp/tessellon-bench-XXXXXX";
    if (mkdtemp(config) == nullptr) return 2;
    setenv("XDG_CONFIG_HOME", config, 1);
    const std::string config_directory = config;

    tessellon::LoadModule(nullptr, nullptr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ignored;
    std::filesystem::remove_all(config_directory, ignored);
    return 0;
}
