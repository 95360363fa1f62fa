// Reads a terminology resource field after field, as hosts do. No Windows headers.
#include "support/aete.h"

namespace tessellon::testing {
namespace {

class Cursor {
public:
    explicit Cursor(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool failed() const { return failed_; }
    std::size_t at() const { return at_; }

    std::uint8_t Byte() {
        if (at_ >= bytes_.size()) {
            failed_ = true;
            return 0;
        }
        return bytes_[at_++];
    }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
    std::uint32_t Code() { return Word() | static_cast<std::uint32_t>(Word()) << 16; }
    std::string Pascal() {
        const std::uint8_t length = Byte();
        std::string text;
        for (std::uint8_t i = 0; i < length; ++i) text.push_back(static_cast<char>(Byte()));
        return text;
    }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

}  // namespace

std::optional<Aete> ParseAete(const std::vector<std::uint8_t>& bytes, std::string& error) {
    Cursor in(bytes);
    Aete aete;
    in.Word();  // reserved
    const std::uint16_t version = in.Word();
    aete.major = static_cast<std::uint8_t>(version & 0xFF);
    aete.minor = static_cast<std::uint8_t>(version >> 8);
    in.Word();  // language
    in.Word();  // script
    aete.suite_count = in.Word();
    if (aete.suite_count != 1) {
        error = "suite count " + std::to_string(aete.suite_count);
        return std::nullopt;
    }
    aete.suite_name = in.Pascal();
    in.Pascal();  // suite description
    aete.suite_id = in.Code();
    aete.suite_level = in.Word();
    aete.suite_version = in.Word();
    aete.event_count = in.Word();
    if (aete.event_count != 1) {
        error = "event count " + std::to_string(aete.event_count);
        return std::nullopt;
    }
    aete.event_name = in.Pascal();
    aete.event_description = in.Pascal();
    aete.event_class = in.Code();
    aete.event_id = in.Code();
    aete.reply_type = in.Code();
    aete.reply_description = in.Pascal();
    aete.reply_flags = in.Word();
    aete.direct_type = in.Code();
    aete.direct_description = in.Pascal();
    aete.direct_flags = in.Word();
    const std::uint16_t parameter_count = in.Word();
    for (std::uint16_t i = 0; i < parameter_count && !in.failed(); ++i) {
        AeteParameter parameter;
        parameter.name = in.Pascal();
        parameter.key = in.Code();
        parameter.type = in.Code();
        parameter.description = in.Pascal();
        parameter.flags = in.Word();
        aete.parameters.push_back(parameter);
    }
    aete.class_count = in.Word();
    aete.comparison_count = in.Word();
    if (aete.class_count != 0 || aete.comparison_count != 0) {
        error = "classes or comparison operators, which this reader does not walk";
        return std::nullopt;
    }
    const std::uint16_t enumeration_count = in.Word();
    for (std::uint16_t i = 0; i < enumeration_count && !in.failed(); ++i) {
        AeteEnumeration enumeration;
        enumeration.id = in.Code();
        const std::uint16_t value_count = in.Word();
        for (std::uint16_t v = 0; v < value_count && !in.failed(); ++v) {
            AeteEnumerator value;
            value.name = in.Pascal();
            value.id = in.Code();
            value.description = in.Pascal();
            enumeration.values.push_back(value);
        }
        aete.enumerations.push_back(enumeration);
    }
    if (in.failed()) {
        error = "the resource ends inside a field";
        return std::nullopt;
    }
    aete.consumed = in.at();
    return aete;
}

}  // namespace tessellon::testing
