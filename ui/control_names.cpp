// Names of the filter's controls from their captions.
#include "ui/control_names.h"

#include <cctype>
#include <cstring>

namespace tessellon {
namespace {

bool IsUpper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool IsLower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string CaptionText(const char* caption, std::size_t size) {
    std::string text(caption, ::strnlen(caption, size));
    while (!text.empty() && (text.back() == ':' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string ControlNameFromCaption(const char* caption, std::size_t size) {
    const std::string text = CaptionText(caption, size);
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            if (!name.empty() && name.back() != '-') name += '-';
            continue;
        }
        if (IsUpper(c) && i > 0 && !name.empty() && name.back() != '-') {
            const char previous = text[i - 1];
            const bool next_lower = i + 1 < text.size() && IsLower(text[i + 1]);
            if (IsLower(previous) || IsDigit(previous) || (IsUpper(previous) && next_lower)) name += '-';
        }
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (!name.empty() && name.back() == '-') name.pop_back();
    return name;
}

}  // namespace tessellon
