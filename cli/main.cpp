// The command-line host of the native build. It loads the module the way the operating
// system would and talks to it only through ENTRYPOINT, as an image editor does.
#include <cstdio>
#include <cstring>

#include "resources/version.h"
#include "shell/host.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: tessellon --about | --version | --help\n"
                 "  --about    show the filter's About box (its text goes to stderr)\n"
                 "  --version  print the version\n");
}

}  // namespace

int main(int argc, char** argv) {
    tessellon::LoadModule(nullptr, nullptr);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", TESSELLON_NAME, TESSELLON_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--about") == 0) {
        psapi::AboutRecord about{};
        std::intptr_t data = 0;
        psapi::int16 result = 1;
        ENTRYPOINT(psapi::filterSelectorAbout, &about, &data, &result);
        return result == psapi::noErr ? 0 : 1;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    PrintUsage(stderr);
    return 2;
}
