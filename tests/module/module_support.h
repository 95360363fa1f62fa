// The built module as a host sees it: its file next to the test program, loading and
// unloading, its entry point, the PE headers of its loaded image and its PIPL resource.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostapi/filter_record.h"

namespace tessellon::testing {

// Full path of Tessellon.8bf in the directory of the running test program.
std::string ModuleFilePath();

using EntryPoint = void(PSAPI_CALL*)(psapi::int16 selector, void* record, std::intptr_t* data,
                                     psapi::int16* result);

// LoadLibrary for the life of the object; FreeLibrary afterwards.
class LoadedModule {
public:
    explicit LoadedModule(const std::string& path = ModuleFilePath());
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE handle() const { return handle_; }
    DWORD load_error() const { return load_error_; }  // GetLastError when loading failed

private:
    HMODULE handle_;
    DWORD load_error_;
};

// The NT headers of a PE image of this build's width, mapped or as file bytes; null when
// the signatures are wrong.
const IMAGE_NT_HEADERS* NtHeadersOf(const void* image);

// The module's code property in the PIPL, as stored: "wx86" in a 32-bit module, "8664"
// in a 64-bit one, four-character codes little-endian.
#if defined(_WIN64)
inline constexpr char kCodePropertyKey[] = "4668";
#else
inline constexpr char kCodePropertyKey[] = "68xw";
#endif

// A mapped image's data at a relative virtual address.
template <typename T>
const T* ImageAt(HMODULE module, DWORD rva) {
    return reinterpret_cast<const T*>(reinterpret_cast<const std::uint8_t*>(module) + rva);
}

// The PIPL resource, id 16000, looked up by the given type name; empty when absent.
struct ResourceBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};
ResourceBytes PiplResource(HMODULE module, const char* type_name);

// The data of the first property with the given stored key code ("68xw" for wx86),
// walking the properties by their stored lengths.
std::optional<std::vector<std::uint8_t>> PiplProperty(ResourceBytes pipl, const char (&key)[5]);

}  // namespace tessellon::testing
