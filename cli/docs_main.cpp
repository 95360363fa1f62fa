// tessellon_docs: writes the manual page (`man FILE`) or the bash completion
// (`completion FILE`) of the command-line host, made from the same text as
// `tessellon --help`. The build runs it to make the files that `cmake --install`
// installs.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/options.h"
#include "resources/version.h"
#include "shell/host.h"

int main(int argc, char** argv) {
    // The options are named after the controls of the module's definition block.
    tessellon::LoadModule(nullptr, nullptr);
    std::string text;
    if (argc == 3 && std::strcmp(argv[1], "man") == 0) {
        text = tessellon::cli::ManPage(TESSELLON_VERSION);
    } else if (argc == 3 && std::strcmp(argv[1], "completion") == 0) {
        text = tessellon::cli::BashCompletion();
    } else {
        std::fputs("usage: tessellon_docs man|completion FILE\n", stderr);
        return 2;
    }
    std::FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[2]);
        std::remove(argv[2]);
        return 1;
    }
    return 0;
}
