// The image files' public face (cli/image_io.h): the format a file's first bytes
// show, handed to that format's reader (codec_*.cpp); the output format an extension
// names and the checks of what it can hold; encoding to a sink, to memory or to a file
// written whole or not at all; and the two image helpers, alpha added and tiling.
#include "cli/image_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/image_io_internal.h"
#include "cli/output_file.h"

namespace tessellon::cli {

using namespace imageio;

namespace {

DecodeResult Decode(Input& input, const ReadLimits& limits) {
    std::uint8_t head[12] = {};
    const std::size_t n = input.Peek(head, sizeof head);
    const auto starts = [&](const char* prefix, std::size_t length) {
        return n >= length && std::memcmp(head, prefix, length) == 0;
    };
    if (n == 0) return Failure(input.error().empty() ? "the file is empty" : input.error());
    const auto as = [](FileFormat format, DecodeResult result) {
        result.format = format;
        return result;
    };
    if (starts("\x89PNG\r\n\x1a\n", 8)) return as(FileFormat::png, DecodePng(input, limits));
    if (starts("\xFF\xD8\xFF", 3)) return as(FileFormat::jpeg, DecodeJpeg(input, limits));
    if (starts("RIFF", 4) && n >= 12 && std::memcmp(head + 8, "WEBP", 4) == 0) {
        return as(FileFormat::webp, DecodeWebp(input, limits));
    }
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        return as(FileFormat::tiff, DecodeTiff(input, limits));
    }
    if (starts("P6", 2)) return as(FileFormat::ppm, DecodePpm(input, limits));
    if (starts("P7", 2)) return as(FileFormat::pam, DecodePam(input, limits));
    if (n >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '5') {
        return Failure("unsupported format: of the netpbm formats only binary PPM (P6) and PAM (P7) are read");
    }
    return Failure("unsupported format: not PNG, JPEG, WebP, TIFF, PPM (P6) or PAM (P7)");
}

class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool Write(const void* data, std::size_t size) override {
        const auto* begin = static_cast<const std::uint8_t*>(data);
        try {
            bytes_.insert(bytes_.end(), begin, begin + size);
        } catch (const std::bad_alloc&) {
            error_ = "out of memory";
            return false;
        }
        return true;
    }
    std::string Error() const override { return error_; }

private:
    std::vector<std::uint8_t>& bytes_;
    std::string error_;
};

// The formats that hold grey pixels.
bool HoldsGrey(FileFormat format) {
    return format == FileFormat::png || format == FileFormat::jpeg || format == FileFormat::tiff ||
           format == FileFormat::pam;
}

// Whether every pixel of the rows, all of them final, has equal red, green and blue.
bool AllGrey(RowSource& rows) {
    const std::size_t planes = static_cast<std::size_t>(rows.planes());
    const std::size_t row_bytes = static_cast<std::size_t>(rows.width()) * planes;
    for (int y = 0; y < rows.height(); ++y) {
        const std::uint8_t* row = rows.Row(y);
        for (std::size_t i = 0; i < row_bytes; i += planes) {
            if (row[i] != row[i + 1] || row[i] != row[i + 2]) return false;
        }
    }
    return true;
}

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string LowerExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return Lowered(path.substr(dot + 1));
}

}  // namespace

namespace imageio {

void PackGrey(const std::uint8_t* row, int width, int planes, std::uint8_t* out) {
    if (planes == 4) {
        for (int x = 0; x < width; ++x, row += 4, out += 2) {
            out[0] = row[0];
            out[1] = row[3];
        }
    } else {
        for (int x = 0; x < width; ++x, row += 3) *out++ = row[0];
    }
}

}  // namespace imageio

const char* const kRowsAbandoned = "the image was abandoned before it was finished";

ImageRows::ImageRows(const Image& image, int x, int y, int width, int height)
    : RowSource(width, height, image.planes, static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.planes)),
      first_(image.bytes.data() + static_cast<std::size_t>(y) * stride() + static_cast<std::size_t>(x) * image.planes) {}

const char* FormatName(FileFormat format) {
    switch (format) {
        case FileFormat::png: return "PNG";
        case FileFormat::jpeg: return "JPEG";
        case FileFormat::webp: return "WebP";
        case FileFormat::tiff: return "TIFF";
        case FileFormat::ppm: return "PPM";
        case FileFormat::pam: return "PAM";
    }
    return "?";
}

std::optional<FileFormat> FormatNamed(const std::string& name) {
    const std::string lowered = Lowered(name);
    if (lowered == "png") return FileFormat::png;
    if (lowered == "jpeg" || lowered == "jpg") return FileFormat::jpeg;
    if (lowered == "webp") return FileFormat::webp;
    if (lowered == "tiff" || lowered == "tif") return FileFormat::tiff;
    if (lowered == "ppm") return FileFormat::ppm;
    if (lowered == "pam") return FileFormat::pam;
    return std::nullopt;
}

std::uint64_t DefaultMaxPixels() {
    const std::uint64_t interface_limit = std::uint64_t{kMaxDimension} * kMaxDimension;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return interface_limit;
    const std::uint64_t memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    return std::max<std::uint64_t>(1, std::min(interface_limit, memory / 2 / kBytesPerPixelOfARun));
}

DecodeResult DecodeImage(const std::vector<std::uint8_t>& bytes, const ReadLimits& limits) {
    Input input(bytes);
    return Decode(input, limits);
}

DecodeResult ReadImageStream(std::FILE* file, const std::string& name, const ReadLimits& limits) {
    struct stat info {};
    std::optional<std::uint64_t> size;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) size = static_cast<std::uint64_t>(info.st_size);
    Input input(file, size);
    DecodeResult result = Decode(input, limits);
    if (!result.ok) {
        // A read error says more than the decoder's view of the missing bytes.
        result.error = "'" + name + "': " + (input.error().empty() ? result.error : "cannot read: " + input.error());
    }
    return result;
}

DecodeResult ReadImageFile(const std::string& path, const ReadLimits& limits) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Failure("cannot read '" + path + "': " + std::strerror(errno));
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return Failure("cannot read '" + path + "': it is a folder");
    }
    DecodeResult result = ReadImageStream(file, path, limits);
    std::fclose(file);
    return result;
}

std::optional<FileFormat> OutputFormatFor(const std::string& path) {
    const std::string extension = LowerExtension(path);
    if (extension == "png") return FileFormat::png;
    if (extension == "jpg" || extension == "jpeg") return FileFormat::jpeg;
    if (extension == "webp") return FileFormat::webp;
    if (extension == "tif" || extension == "tiff") return FileFormat::tiff;
    if (extension == "ppm") return FileFormat::ppm;
    if (extension == "pam") return FileFormat::pam;
    return std::nullopt;
}

std::string CheckWritable(FileFormat format, int planes, int width, int height) {
    if (planes != 3 && planes != 4) return "only RGB and RGBA images are written";
    if (planes == 4 && (format == FileFormat::ppm || format == FileFormat::jpeg)) {
        return std::string(format == FileFormat::ppm ? "a PPM" : "a JPEG") +
               " file holds no alpha plane; write .png, .webp, .tiff or .pam";
    }
    if (format == FileFormat::webp && (width > kMaxWebpDimension || height > kMaxWebpDimension)) {
        return "a WebP file holds at most " + std::to_string(kMaxWebpDimension) + " pixels either way; the image is " +
               SizeText(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
    }
    return {};
}

std::string CheckWriteOptions(const WriteOptions& options) {
    if (options.quality && (*options.quality < 1 || *options.quality > 100)) {
        return "the quality " + std::to_string(*options.quality) + " is outside 1..100";
    }
    if (options.compression && (*options.compression < 0 || *options.compression > 9)) {
        return "the compression level " + std::to_string(*options.compression) + " is outside 0..9";
    }
    return {};
}

std::string EncodeImageTo(FileFormat format, RowSource& rows, ByteSink& out, const Metadata& metadata,
                          const WriteOptions& options, std::vector<std::string>* notes) {
    if (std::string problem = CheckWritable(format, rows.planes(), rows.width(), rows.height()); !problem.empty()) {
        return problem;
    }
    if (rows.width() < 1 || rows.height() < 1) return "the image is empty";
    if (std::string problem = CheckWriteOptions(options); !problem.empty()) return problem;
    std::vector<std::string> dropped;
    NoteDroppedMetadata(format, metadata, dropped);
    bool grey = false;
    // A profile for RGB data cannot go with grey pixels; a PAM file drops it anyway.
    if (options.grey && HoldsGrey(format) && (metadata.icc.empty() || format == FileFormat::pam)) {
        // Whether every pixel is grey is known once the last row is in.
        if (rows.Row(rows.height() - 1) == nullptr) return kRowsAbandoned;
        grey = AllGrey(rows);
    }
    std::string error;
    switch (format) {
        case FileFormat::png: error = EncodePng(rows, out, metadata, options, grey, dropped); break;
        case FileFormat::jpeg: error = EncodeJpeg(rows, out, metadata, options, grey, dropped); break;
        case FileFormat::webp: error = EncodeWebp(rows, out, metadata, options); break;
        case FileFormat::tiff: error = EncodeTiff(rows, out, metadata, options, grey); break;
        case FileFormat::ppm:
        case FileFormat::pam: error = EncodeNetpbm(format, rows, out, grey); break;
    }
    if (error.empty() && notes != nullptr) notes->insert(notes->end(), dropped.begin(), dropped.end());
    return error;
}

std::string EncodeImageTo(FileFormat format, const Image& image, ByteSink& out, const Metadata& metadata,
                          const WriteOptions& options, std::vector<std::string>* notes) {
    ImageRows rows(image);
    return EncodeImageTo(format, rows, out, metadata, options, notes);
}

std::string EncodeImage(FileFormat format, const Image& image, std::vector<std::uint8_t>& out) {
    out.clear();
    VectorSink sink(out);
    return EncodeImageTo(format, image, sink);
}

std::string WriteImageFile(const std::string& path, const Image& image) {
    const std::optional<FileFormat> format = OutputFormatFor(path);
    if (!format) return "'" + path + "': unsupported output format; use .png, .jpg, .webp, .tif, .ppm or .pam";
    if (std::string problem = CheckWritable(*format, image.planes, image.width, image.height); !problem.empty()) {
        return "'" + path + "': " + problem;
    }
    OutputTarget target;
    if (std::string problem = ResolveOutput(path, target); !problem.empty()) return problem;
    return WriteImageFile(target, *format, image);
}

std::string WriteImageFile(const OutputTarget& target, FileFormat format, const Image& image, const Metadata& metadata,
                           const WriteOptions& options, std::vector<std::string>* notes) {
    OutputFile file;
    if (!file.Open(target)) return file.Error();
    if (std::string problem = EncodeImageTo(format, image, file, metadata, options, notes); !problem.empty()) {
        return problem.rfind("cannot", 0) == 0 ? problem : "'" + target.name + "': " + problem;
    }
    if (!file.Commit()) return file.Error();
    return {};
}

Image WithOpaqueAlpha(const Image& image) {
    if (image.planes != 3) return image;
    Image result(image.width, image.height, 4, 255);
    const std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    for (std::size_t i = 0; i < pixels; ++i) std::memcpy(&result.bytes[i * 4], &image.bytes[i * 3], 3);
    return result;
}

Image Tiled(const Image& image, int columns, int rows) {
    Image result(image.width * columns, image.height * rows, image.planes);
    const std::size_t row_bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.planes);
    for (int y = 0; y < result.height; ++y) {
        const std::uint8_t* source = image.bytes.data() + static_cast<std::size_t>(y % image.height) * row_bytes;
        std::uint8_t* target = result.bytes.data() + static_cast<std::size_t>(y) * row_bytes * columns;
        for (int c = 0; c < columns; ++c) std::memcpy(target + c * row_bytes, source, row_bytes);
    }
    return result;
}

}  // namespace tessellon::cli
