// A scripting terminology resource read the way Windows hosts read it: every field right
// after the one before, no padding, words and codes little-endian, Pascal strings. No
// Windows headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessellon::testing {

struct AeteParameter {
    std::string name;
    std::uint32_t key = 0;
    std::uint32_t type = 0;
    std::string description;
    std::uint16_t flags = 0;
};

struct AeteEnumerator {
    std::string name;
    std::uint32_t id = 0;
    std::string description;
};

struct AeteEnumeration {
    std::uint32_t id = 0;
    std::vector<AeteEnumerator> values;
};

struct Aete {
    std::uint8_t major = 0, minor = 0;
    std::uint16_t suite_count = 0;
    std::string suite_name;
    std::uint32_t suite_id = 0;
    std::uint16_t suite_level = 0, suite_version = 0, event_count = 0;
    std::string event_name, event_description;
    std::uint32_t event_class = 0, event_id = 0;
    std::uint32_t reply_type = 0;
    std::string reply_description;
    std::uint16_t reply_flags = 0;
    std::uint32_t direct_type = 0;
    std::string direct_description;
    std::uint16_t direct_flags = 0;
    std::vector<AeteParameter> parameters;
    std::uint16_t class_count = 0, comparison_count = 0;
    std::vector<AeteEnumeration> enumerations;
    std::size_t consumed = 0;  // bytes read; equals the resource's size when nothing trails
};

// One suite with one event (what hosts accept for a filter), classes and comparison
// operators absent; nothing when the bytes end early or say otherwise.
std::optional<Aete> ParseAete(const std::vector<std::uint8_t>& bytes, std::string& error);

}  // namespace tessellon::testing
