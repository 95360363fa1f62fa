// The settings store's read path on whatever a damaged, hand-edited or half-written
// configuration directory can hold, then a whole run that loads from it. The input
// decides, for each of the files of the filter's key (the per-value files
// "SliderSettings" and "CustomColors" and the per-key file ".values"), whether it is
// absent, a regular file with bytes from the input, a directory or a FIFO; and whether
// the key itself is a directory, a regular file or missing. A FIFO must read as a
// damaged value without blocking the run.
//
// Input, front to back (missing bytes read as 0):
//   kinds: 2 bits per file (absent, file, directory, FIFO) in the order above, then
//          2 bits for the key (directory, missing, regular file, directory)
//   planes flag
//   per regular file: a 16-bit length, then that many bytes
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "filter/definition.h"
#include "fuzz/fuzz_support.h"
#include "memhost/memhost.h"
#include "runtime/context.h"
#include "shell/host.h"
#include "ui/dialog_model.h"
#include "ui/settings.h"

namespace {

using namespace tessellon;

enum class Kind { absent, file, directory, fifo };

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fuzz::Fail("cannot write " + path);
}

void Make(Kind kind, const std::string& path, fuzz::ByteReader& in) {
    switch (kind) {
        case Kind::absent: return;
        case Kind::file: WriteFile(path, in.Take(in.U16())); return;
        case Kind::directory:
            if (mkdir(path.c_str(), 0700) != 0) fuzz::Fail("cannot make the directory " + path);
            return;
        case Kind::fifo:
            // Opened for reading, a FIFO without a writer would block the run for good.
            if (mkfifo(path.c_str(), 0600) != 0) fuzz::Fail("cannot make the FIFO " + path);
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::UsePrivateSettingsStore();
    fuzz::SilenceMessageBoxes();
    LoadModule(nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t kinds = in.Byte();
    const std::uint8_t flags = in.Byte();

    const std::string key = fuzz::SettingsKeyDirectory();
    std::error_code error;
    std::filesystem::remove_all(key, error);
    if (error) fuzz::Fail("cannot clear " + key + ": " + error.message());
    const int key_kind = (kinds >> 6) & 3;
    if (key_kind == 2) {
        std::filesystem::create_directories(std::filesystem::path(key).parent_path());
        WriteFile(key, in.Take(in.U16()));
    } else if (key_kind != 1) {
        std::filesystem::create_directories(key, error);
        if (error) fuzz::Fail("cannot make " + key + ": " + error.message());
        const char* names[] = {kSliderSettingsName, kCustomColorsName, ".values"};
        for (int i = 0; i < 3; ++i) Make(static_cast<Kind>((kinds >> (2 * i)) & 3), key + "/" + names[i], in);
    }

    // The module as a fresh process has it: the key not yet found, the values of the
    // last run gone.
    Settings().ready = 0;
    for (int i = 0; i < kControlCount; ++i) Live().controls[i] = static_cast<std::int32_t>(0x7EADBEE0u + i);
    for (std::uint32_t& colour : definition_block.colours) colour = 0xDEADBEEFu;

    const int planes = (flags & 1) != 0 ? 4 : 3;
    memhost::MemHost host(memhost::PatternImage(9, 7, planes));
    const psapi::int16 result = host.RunAsHost();
    fuzz::CheckRunLeftHostIntact(host, psapi::Rect{0, 0, 7, 9}, std::nullopt);
    if (result != psapi::noErr) fuzz::Fail("the run failed with " + std::to_string(result));
    for (int i = 0; i < kSliderCount; ++i) {
        const ControlRecord& record = definition_block.controls[i];
        if (Live().controls[i] < record.min || Live().controls[i] > record.max) {
            fuzz::Fail("slider " + std::to_string(i) + " ran at " + std::to_string(Live().controls[i]) +
                       " outside its range");
        }
    }
    return 0;
}
