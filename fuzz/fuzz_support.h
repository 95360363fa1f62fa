// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into choices, a
// private settings store for the process, a quiet message box, and the checks every
// whole run must pass. No Windows headers; the fuzz targets exist in the native build
// only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "hostapi/filter_record.h"
#include "memhost/memhost.h"

namespace tessellon::fuzz {

// Hands out the input's bytes front to back. Past the end every read gives zeros, so
// that a short input still decodes to a complete set of choices (the zero choice being
// the common case everywhere), and a seed can be written by hand byte by byte.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint16_t U16() {
        const std::uint16_t lo = Byte();
        return static_cast<std::uint16_t>(lo | Byte() << 8);
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | static_cast<std::uint32_t>(U16()) << 16;
    }
    std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }

    std::size_t Remaining() const { return size_ - position_; }
    const std::uint8_t* Rest() const { return data_ + position_; }
    // Up to `count` bytes, fewer at the end of the input.
    std::string Take(std::size_t count) {
        const std::size_t n = count < Remaining() ? count : Remaining();
        std::string bytes(reinterpret_cast<const char*>(data_ + position_), n);
        position_ += n;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// Prints what went wrong and stops the process so that the fuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what);

// Points XDG_CONFIG_HOME at a fresh directory of its own (on /dev/shm where there is
// one, since the store flushes every write), removed when the process exits normally,
// so that fuzzing never reads or writes the user's settings. Ends the process when no
// directory can be made. Call before the module is loaded.
void UsePrivateSettingsStore();

// Message boxes (the module's "too big for one pass" warning, say) would fill the
// fuzzer's log; they are dropped.
void SilenceMessageBoxes();

// The directory that the POSIX store gives the filter's settings key.
std::string SettingsKeyDirectory();

// Runs the checks that hold after any run, whatever its result: the host's guard
// bytes and row padding are intact, and every pixel outside the filter rectangle or
// under an unselected mask byte (0) is the source's. Fails with a description
// otherwise.
void CheckRunLeftHostIntact(const memhost::MemHost& host, const psapi::Rect& filter_rect,
                            const std::optional<memhost::Image>& mask);

}  // namespace tessellon::fuzz
