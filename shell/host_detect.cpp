// Recognition of the host application from its executable's file name. Only
// Photo-Paint changes behaviour (its sampling rate). No Windows headers.
#include <cstring>

#include "hostapi/host_state.h"
#include "shell/host.h"

namespace tessellon {
namespace {

constexpr std::size_t kHostPathSize = 256;  // at most 255 characters and the terminator

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares the name up to `length` with a lower-case word, ignoring ASCII case.
bool NameEquals(const char* name, std::size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (LowerAscii(name[i]) != word[i]) return false;
    }
    return true;
}

}  // namespace

HostKind MatchHostKind(const char* executable_path) noexcept {
    if (executable_path == nullptr) return kHostUnknown;
    // The file name follows the last separator; '/' only ever separates, on any system.
    const char* name = executable_path;
    for (const char* p = executable_path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    // The name is cut at its first dot, so "photoshop.exe" is not "photoshp".
    const char* dot = std::strchr(name, '.');
    const std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    static constexpr struct {
        const char* name;
        HostKind kind;
    } kHosts[] = {{"photoshp", kHostPhotoshop}, {"photopnt", kHostPhotoPaint}, {"psp", kHostPaintShop}};
    for (const auto& host : kHosts) {
        if (NameEquals(name, length, host.name)) return host.kind;
    }
    return kHostUnknown;
}

void DetectHost() noexcept {
    char path[kHostPathSize] = {};
    if (!Platform().host_path(path, sizeof path)) return;
    const HostKind kind = MatchHostKind(path);
    if (kind != kHostUnknown) Host().kind = kind;
}

}  // namespace tessellon
