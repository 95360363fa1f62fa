// The fuzz targets' shared pieces: the private settings store, the quiet message box
// and the checks after a run.
#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "filter/definition.h"
#include "platform/platform.h"

namespace tessellon::fuzz {
namespace {

std::string& PrivateStore() {
    static std::string directory;
    return directory;
}

void RemovePrivateStore() {
    if (PrivateStore().empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(PrivateStore(), ignored);
}

void NoMessageBox(WindowHandle, const char*, const char*, MessageIcon) {}

bool Inside(const psapi::Rect& r, int x, int y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

}  // namespace

void Fail(const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

void UsePrivateSettingsStore() {
    for (const char* base : {"/dev/shm", "/tmp"}) {
        if (access(base, W_OK) != 0) continue;
        std::string pattern = std::string(base) + "/tessellon-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) continue;
        PrivateStore() = pattern;
        setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
        std::atexit(RemovePrivateStore);
        return;
    }
    std::fprintf(stderr, "cannot make a private settings directory\n");
    std::exit(2);
}

void SilenceMessageBoxes() { Platform().message_box = NoMessageBox; }

std::string SettingsKeyDirectory() {
    std::string path = Bound().settings_key;
    constexpr char kSoftware[] = "Software\\";
    if (path.rfind(kSoftware, 0) == 0) path.erase(0, sizeof kSoftware - 1);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    const char* root = std::getenv("XDG_CONFIG_HOME");
    return std::string(root != nullptr ? root : "") + "/" + path;
}

void CheckRunLeftHostIntact(const memhost::MemHost& host, const psapi::Rect& filter_rect,
                            const std::optional<memhost::Image>& mask) {
    const std::vector<std::string> problems = host.CheckGuards();
    if (!problems.empty()) Fail("host buffer check: " + problems.front());
    const memhost::Image& source = host.Source();
    const memhost::Image& document = host.Document();
    if (document.width != source.width || document.height != source.height || document.planes != source.planes) {
        Fail("the document changed its size");
    }
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < source.width; ++x) {
            const bool selected = Inside(filter_rect, x, y) && (!mask || mask->At(x, y, 0) != 0);
            if (selected) continue;
            for (int p = 0; p < source.planes; ++p) {
                if (document.At(x, y, p) != source.At(x, y, p)) {
                    Fail("pixel " + std::to_string(x) + "," + std::to_string(y) + " plane " + std::to_string(p) +
                         " changed outside the selection");
                }
            }
        }
    }
}

}  // namespace tessellon::fuzz
