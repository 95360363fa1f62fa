#include "module/module_support.h"

#include <cstring>

namespace tessellon::testing {

std::string ModuleFilePath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path, length);
    directory.resize(directory.find_last_of("\\/") + 1);
    return directory + "Tessellon.8bf";
}

LoadedModule::LoadedModule(const std::string& path)
    : handle_(LoadLibraryA(path.c_str())), load_error_(handle_ == nullptr ? GetLastError() : 0) {}

LoadedModule::~LoadedModule() {
    if (handle_ != nullptr) FreeLibrary(handle_);
}

const IMAGE_NT_HEADERS* NtHeadersOf(const void* image) {
    const auto* base = static_cast<const std::uint8_t*>(image);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

ResourceBytes PiplResource(HMODULE module, const char* type_name) {
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(16000), type_name);
    if (resource == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return {};
    return {static_cast<const std::uint8_t*>(LockResource(loaded)), SizeofResource(module, resource)};
}

std::optional<std::vector<std::uint8_t>> PiplProperty(ResourceBytes pipl, const char (&key)[5]) {
    constexpr std::size_t kHeaderSize = 10;
    constexpr std::size_t kPropertyHeaderSize = 16;
    if (pipl.size < kHeaderSize) return std::nullopt;
    std::uint32_t count;
    std::memcpy(&count, pipl.data + 6, sizeof count);
    std::size_t at = kHeaderSize;
    for (std::uint32_t i = 0; i < count && at + kPropertyHeaderSize <= pipl.size; ++i) {
        std::uint32_t length;
        std::memcpy(&length, pipl.data + at + 12, sizeof length);
        const std::uint8_t* data = pipl.data + at + kPropertyHeaderSize;
        if (length > pipl.size - (at + kPropertyHeaderSize)) return std::nullopt;
        if (std::memcmp(pipl.data + at + 4, key, 4) == 0) return std::vector<std::uint8_t>(data, data + length);
        at += kPropertyHeaderSize + length;
    }
    return std::nullopt;
}

}  // namespace tessellon::testing
