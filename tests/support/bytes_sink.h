// A sink for the image encoders that keeps every byte in memory, for the tests and the
// fuzz seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/output_file.h"

namespace tessellon::fixtures {

class BytesSink final : public cli::ByteSink {
public:
    bool Write(const void* data, std::size_t size) override {
        bytes.insert(bytes.end(), static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
        return true;
    }
    std::string Error() const override { return {}; }
    std::vector<std::uint8_t> bytes;
};

}  // namespace tessellon::fixtures
