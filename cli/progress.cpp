// The progress bar of the command-line host.
#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>

namespace tessellon::cli {
namespace {

constexpr int kBarWidth = 40;

int Percent(std::int64_t done, std::int64_t total) {
    if (total <= 0) return 0;
    return static_cast<int>(std::clamp<std::int64_t>(done, 0, total) * 100 / total);
}

}  // namespace

std::string ProgressLine(std::int64_t done, std::int64_t total, int width) {
    const int percent = Percent(done, total);
    const int filled = percent * width / 100;
    std::string line = "[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(width - filled), '.');
    line += "] ";
    const std::string number = std::to_string(percent);
    line.append(3 - number.size(), ' ');
    line += number + "%";
    return line;
}

void ProgressBar::Stage(const char* label, int from, int to) {
    label_ = label;
    from_ = std::clamp(from, 0, 100);
    to_ = std::clamp(to, from_, 100);
    shown_percent_ = -1;  // a new label is drawn even at the same percentage
    Update(0, 1);
}

void ProgressBar::Update(std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    const int percent = from_ + Percent(done, total) * (to_ - from_) / 100;
    if (percent == shown_percent_) return;
    shown_percent_ = percent;
    std::fprintf(out_, "\r%-9s %s", label_, ProgressLine(percent, 100, kBarWidth).c_str());
    std::fflush(out_);
}

void ProgressBar::Finish() {
    if (!enabled_ || shown_percent_ < 0) return;
    std::fputc('\n', out_);
    std::fflush(out_);
    shown_percent_ = -1;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace tessellon::cli
