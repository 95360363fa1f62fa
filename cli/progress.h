// A progress bar on a terminal over a whole run: reading the image, filtering it (fed
// by the module's progress reports) and writing the files, each stage a share of the bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tessellon::cli {

// "[#########...........]  45%" for `done` of `total`, `width` cells wide. A total of
// zero or less shows 0 %, and done is held within 0..total.
std::string ProgressLine(std::int64_t done, std::int64_t total, int width);

class ProgressBar {
public:
    // A disabled bar draws nothing (output that is not a terminal).
    ProgressBar(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}
    ~ProgressBar() { Finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // The stage now running, named on the line, and its share of the bar: from..to of
    // 100. Updates after it move the bar within that share.
    void Stage(const char* label, int from, int to);
    // Redraws the line when the whole percentage changed.
    void Update(std::int64_t done, std::int64_t total);
    // Ends the line, if one was drawn.
    void Finish();

private:
    std::FILE* out_;
    bool enabled_;
    const char* label_ = "filtering";
    int from_ = 0, to_ = 100;
    int shown_percent_ = -1;
};

// True when standard error is a terminal.
bool StderrIsTerminal();

}  // namespace tessellon::cli
