// Orientation and colour information of the image files: the EXIF orientation tag
// and the turning of an image upright, the ICC profile a reader found (kept when it
// can describe the image, else dropped with a note), and the notes for colour
// information an output format has no place for.
#include <cctype>
#include <cstring>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

// The Orientation (tag 0x0112) in the first directory of an EXIF block (a TIFF header
// and its directories, after "Exif\0\0" in JPEG files); 0 when there is none or the
// block is damaged. Only as much of the block is read as leads to that one tag.
int ExifOrientation(const std::uint8_t* data, std::size_t size) {
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    if (size < 8) return 0;
    bool little = false;
    if (data[0] == 'I' && data[1] == 'I') {
        little = true;
    } else if (data[0] != 'M' || data[1] != 'M') {
        return 0;
    }
    const auto u16 = [&](std::uint64_t at) -> unsigned {
        return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
    };
    const auto u32 = [&](std::uint64_t at) -> std::uint32_t {
        return little ? LittleEndian32(data + at) : BigEndian32(data + at);
    };
    if (u16(2) != 42) return 0;
    const std::uint64_t directory = u32(4);
    if (directory + 2 > size) return 0;
    const unsigned entries = u16(directory);
    for (unsigned i = 0; i < entries; ++i) {
        const std::uint64_t entry = directory + 2 + std::uint64_t{12} * i;
        if (entry + 12 > size) return 0;
        if (u16(entry) != 0x0112) continue;
        // A SHORT, held in the entry itself.
        if (u16(entry + 2) != 3 || u32(entry + 4) == 0) return 0;
        const unsigned value = u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
    }
    return 0;
}

namespace {

// The picture as viewers show it, from one stored with orientation 2..8 (TIFF's and
// EXIF's numbering): mirrored, turned or both; 5..8 swap the width and the height.
Image Upright(const Image& stored, int orientation) {
    const std::int64_t w = stored.width;
    const std::int64_t h = stored.height;
    // Where each shown pixel comes from: the stored pixel index start + x * across + y * down.
    std::int64_t start = 0, across = 1, down = w;
    switch (orientation) {
        case 2: start = w - 1; across = -1; down = w; break;
        case 3: start = h * w - 1; across = -1; down = -w; break;
        case 4: start = (h - 1) * w; across = 1; down = -w; break;
        case 5: start = 0; across = w; down = 1; break;
        case 6: start = (h - 1) * w; across = -w; down = 1; break;
        case 7: start = h * w - 1; across = -w; down = -1; break;
        case 8: start = w - 1; across = w; down = -1; break;
        default: return stored;
    }
    const bool swapped = orientation >= 5;
    Image shown(swapped ? stored.height : stored.width, swapped ? stored.width : stored.height, stored.planes);
    const std::size_t planes = static_cast<std::size_t>(stored.planes);
    std::uint8_t* target = shown.bytes.data();
    for (std::int64_t y = 0; y < shown.height; ++y) {
        std::int64_t source = start + y * down;
        for (std::int64_t x = 0; x < shown.width; ++x, source += across, target += planes) {
            std::memcpy(target, stored.bytes.data() + static_cast<std::size_t>(source) * planes, planes);
        }
    }
    return shown;
}

// Why an ICC profile cannot go with an RGB image; empty when it can.
std::string IccProblem(const std::vector<std::uint8_t>& icc) {
    if (icc.size() > kMaxIccBytes) return "it is larger than 16 MiB";
    if (icc.size() < 132 || BigEndian32(icc.data()) != icc.size() || std::memcmp(icc.data() + 36, "acsp", 4) != 0) {
        return "it is damaged";
    }
    if (std::memcmp(icc.data() + 16, "RGB ", 4) != 0) {
        std::string space;
        for (std::size_t i = 16; i < 20; ++i) space += std::isgraph(icc[i]) != 0 ? static_cast<char>(icc[i]) : ' ';
        space.erase(space.find_last_not_of(' ') + 1);
        return "it describes '" + space + "' data, and the image is RGB";
    }
    return {};
}

}  // namespace

// Takes a profile a reader found, unless it is too large to be a real one.
void TakeIcc(DecodeResult& result, const std::uint8_t* data, std::size_t size) {
    if (size > kMaxIccBytes) {
        result.notes.push_back("the ICC profile was dropped: it is larger than 16 MiB");
    } else if (size > 0) {
        result.metadata.icc.assign(data, data + size);
    }
}

// What every reader does last: a profile that cannot describe the image is dropped,
// and the image is turned upright. `source` names where the orientation came from.
void Finish(DecodeResult& result, int orientation, const char* source) {
    if (!result.metadata.icc.empty()) {
        if (std::string problem = IccProblem(result.metadata.icc); !problem.empty()) {
            result.metadata.icc = {};
            result.notes.push_back("the ICC profile was dropped: " + problem);
        }
    }
    if (orientation >= 2 && orientation <= 8) {
        result.image = Upright(result.image, orientation);
        result.notes.push_back(std::string("turned upright from ") + source + " orientation " +
                               std::to_string(orientation));
    }
    result.ok = true;
}

// Notes for the metadata `format` has no place for.
void NoteDroppedMetadata(FileFormat format, const Metadata& metadata, std::vector<std::string>& notes) {
    const std::string cannot = std::string(": ") + FormatName(format) + " files cannot hold ";
    if (!metadata.icc.empty() && (format == FileFormat::ppm || format == FileFormat::pam)) {
        notes.push_back("the ICC profile was dropped" + cannot + "one");
    }
    if (format == FileFormat::png) return;
    if (metadata.srgb_intent) {
        // The gamma and chromaticities that go with sRGB say nothing more; a profile
        // written in its place says the same.
        if (metadata.icc.empty()) {
            notes.push_back("the PNG sRGB chunk was dropped" + cannot + "it; they are taken as sRGB anyway");
        }
    } else if (metadata.png_gamma && metadata.png_chromaticities) {
        notes.push_back("the PNG gamma and chromaticities were dropped" + cannot + "them");
    } else if (metadata.png_gamma) {
        notes.push_back("the PNG gamma was dropped" + cannot + "it");
    } else if (metadata.png_chromaticities) {
        notes.push_back("the PNG chromaticities were dropped" + cannot + "them");
    }
}

}  // namespace tessellon::cli::imageio
