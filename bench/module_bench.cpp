// Speed of a built Windows module as a host sees it: loads Tessellon.8bf with
// LoadLibrary, finds ENTRYPOINT, and times whole Start runs (Start, the strips through
// advanceState, Finish) through the lean host on the same image and settings as the
// native benchmark, beside a plain copy of the image through the same strips. The
// settings reach the module as a host's repeated filter hands them over: saved in the
// registry, then Start without Parameters. The filter's values that were saved before
// are put back at the end.
//
//   tessellon_module_bench.exe [MODULE] [--repetitions N] [--run defaults|wave20|worst_case]
//
// Prints, per run, the median of N timed runs (after one untimed run) with one thread
// (TESSELLON_THREADS=1) and with every core (unset): the whole Start in milliseconds,
// then the filtering pass alone (from the module's first progress report to its last,
// which leaves out one row of pixels) in milliseconds and megapixels per second, and the
// pass's ratio to the plain copy with every core (the copy timed right after a Start, see
// below). A Start's fixed costs come before the
// first report and after the last: the dialog that ends itself during its
// initialisation (window creation, which under wine takes from ten to a hundred
// milliseconds) and the settings saved to the registry at the end. So the pass's
// figures are the ones to hold against the native build's. Goals are read off, not
// asserted.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_runs.h"
#include "filter/definition.h"
#include "shell/host.h"
#include "ui/settings.h"

namespace tessellon::bench {
namespace {

struct SavedValue {
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
};

std::optional<SavedValue> ReadValue(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, Bound().settings_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    SavedValue value;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        value.bytes.resize(size);
        status = RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
}

void RestoreValue(const char* name, const std::optional<SavedValue>& value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, Bound().settings_key, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    if (value.has_value()) {
        RegSetValueExA(key, name, 0, value->type, value->bytes.data(), static_cast<DWORD>(value->bytes.size()));
    } else {
        RegDeleteValueA(key, name);
    }
    RegCloseKey(key);
}

// The module next to this program unless a path is given.
std::string DefaultModulePath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path, length);
    directory.resize(directory.find_last_of("\\/") + 1);
    return directory + "Tessellon.8bf";
}

double SecondsOf(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Timing {
    double median = 0;  // whole runs
    double best = 0;
    double pass = 0;  // the filtering pass alone, median
};

Timing Summarise(std::vector<double> whole, std::vector<double> pass) {
    std::sort(whole.begin(), whole.end());
    std::sort(pass.begin(), pass.end());
    return {whole[whole.size() / 2], whole.front(), pass[pass.size() / 2]};
}

// When the module first and last reported progress in the current run.
std::chrono::steady_clock::time_point first_progress, last_progress;
bool progressed = false;

// The clock is read only at the first report and once everything is done: under wine
// reading it costs about a microsecond, as much as a row of the plain copy.
void PSAPI_CALL OnProgress(::psapi::int32 done, ::psapi::int32 total) {
    if (!progressed) {
        progressed = true;
        first_progress = last_progress = std::chrono::steady_clock::now();
    } else if (done >= total) {
        last_progress = std::chrono::steady_clock::now();
    }
}

// Whole host runs (Start, strips, Finish) of the document, after one untimed run; a
// run without progress reports counts as all pass. `failed` is set when one does not
// end with 0.
Timing TimeRuns(LeanHost& host, int repetitions, bool& failed) {
    host.record().progressProc = &OnProgress;
    std::vector<double> whole, pass;
    for (int i = 0; i <= repetitions; ++i) {
        host.Reset();
        progressed = false;
        const auto start = std::chrono::steady_clock::now();
        if (host.RunAsHost() != 0) failed = true;
        const auto end = std::chrono::steady_clock::now();
        if (i == 0) continue;  // page faults and first-use set-up
        whole.push_back(std::chrono::duration<double>(end - start).count());
        pass.push_back(progressed ? std::chrono::duration<double>(last_progress - first_progress).count()
                                  : std::chrono::duration<double>(end - start).count());
    }
    return Summarise(whole, pass);
}

void Print(const char* name, const Timing& one, const Timing& all, double copy_seconds) {
    std::printf("%-12s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.2f\n", name, one.median * 1e3, one.pass * 1e3,
                kPixels / one.pass / 1e6, all.median * 1e3, all.pass * 1e3, kPixels / all.pass / 1e6,
                all.pass / copy_seconds);
}

// The threads the module may use: `threads`, or every core for 0. The module reads the
// process's environment.
void UseThreads(int threads) {
    SetEnvironmentVariableA("TESSELLON_THREADS", threads > 0 ? std::to_string(threads).c_str() : nullptr);
}

}  // namespace
}  // namespace tessellon::bench

int main(int argc, char** argv) {
    using namespace tessellon::bench;
    std::string module_path = DefaultModulePath();
    int repetitions = 5;
    std::string only;  // one run by name, else every run
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repetitions") == 0 && i + 1 < argc) {
            repetitions = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            module_path = argv[i];
        }
    }

    const HMODULE module = LoadLibraryA(module_path.c_str());
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s (error %lu)\n", module_path.c_str(), GetLastError());
        return 1;
    }
    using AnyFunction = void (*)();
    const auto entry = reinterpret_cast<EntryPoint>(reinterpret_cast<AnyFunction>(GetProcAddress(module, "ENTRYPOINT")));
    if (entry == nullptr) {
        std::fprintf(stderr, "%s exports no ENTRYPOINT\n", module_path.c_str());
        return 1;
    }

    // This program's own copy of the core writes the settings where the module reads them.
    tessellon::LoadModule(nullptr, nullptr);
    const auto saved_sliders = ReadValue(tessellon::kSliderSettingsName);
    const auto saved_colours = ReadValue(tessellon::kCustomColorsName);

    std::printf("%s (%d-bit process), %d x %d RGB, %d timed runs each\n", module_path.c_str(),
                static_cast<int>(sizeof(void*) * 8), kWidth, kHeight, repetitions);
    std::printf("%-12s %26s %26s\n", "medians", "1 thread", "all cores");
    std::printf("%-12s %8s %8s %8s %8s %8s %8s %8s\n", "run", "Start ms", "pass ms", "Mpx/s", "Start ms", "pass ms",
                "Mpx/s", "÷ copy");

    // The plain copy alone, and right after a Start of the module, as the filtering pass
    // runs: under wine the dialog's aftermath (the X server and wine's own processes at
    // work) slows memory-bound work that follows it, by up to a half. The ratios are to
    // the latter.
    Store(Defaults());
    const auto time_copies = [&](bool after_start) {
        LeanHost host(Document(), {}, entry);
        std::vector<double> seconds;
        for (int i = 0; i <= repetitions; ++i) {
            if (after_start) host.RunAsHost();
            host.Reset();
            const auto start = std::chrono::steady_clock::now();
            PlainCopyThroughHost(host);
            if (i > 0) seconds.push_back(SecondsOf(start));
        }
        return Summarise(seconds, seconds);
    };
    const Timing alone = time_copies(false);
    Print("plain_copy", alone, alone, alone.pass);
    const Timing copy = time_copies(true);
    Print("copy_after", copy, copy, copy.pass);

    struct Run {
        const char* name;
        Settings settings;
    };
    const Run runs[] = {{"defaults", Defaults()}, {"wave20", Wave20()}, {"worst_case", WorstCase()}};
    bool failed = false;
    for (const Run& run : runs) {
        if (!only.empty() && only != run.name) continue;
        Store(run.settings);
        LeanHost host(Document(), {}, entry);
        UseThreads(1);
        const Timing one = TimeRuns(host, repetitions, failed);
        UseThreads(0);
        Print(run.name, one, TimeRuns(host, repetitions, failed), copy.pass);
    }

    // What a Start costs whatever the image: the dialog that ends itself during its
    // initialisation, the settings store, the set-up. Shown in milliseconds only.
    {
        Store(Defaults());
        LeanHost host(BenchImage(64, 64, 3), {}, entry);
        const Timing t = TimeRuns(host, repetitions, failed);
        std::printf("%-12s %8.1f (best %.1f)\n", "start_64x64", t.median * 1e3, t.best * 1e3);
    }

    RestoreValue(tessellon::kSliderSettingsName, saved_sliders);
    RestoreValue(tessellon::kCustomColorsName, saved_colours);
    FreeLibrary(module);
    if (failed) std::fprintf(stderr, "a Start run failed\n");
    return failed ? 1 : 0;
}
