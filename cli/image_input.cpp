// The input the image readers take their bytes from (a block of memory, a regular file
// or a stream), the row buffer a decoded image grows in, and the checks of a declared
// size that every reader makes before it allocates pixels.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/image_io_internal.h"

namespace tessellon::cli::imageio {

DecodeResult Failure(std::string error) {
    DecodeResult result;
    result.error = std::move(error);
    return result;
}

std::string SizeText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Empty when width × height can pass through the host interface and the limits.
std::string DimensionProblem(std::uint64_t width, std::uint64_t height, const ReadLimits& limits) {
    if (width == 0 || height == 0) return "the image is empty (" + SizeText(width, height) + ")";
    if (width > kMaxDimension || height > kMaxDimension) {
        return "the image is " + SizeText(width, height) + " pixels; the host interface takes at most " +
               std::to_string(kMaxDimension) + " in either direction";
    }
    if (width * height > limits.max_pixels) {
        return "the image is " + SizeText(width, height) + " = " + std::to_string(width * height) +
               " pixels, more than the limit of " + std::to_string(limits.max_pixels) + " (see --max-pixels)";
    }
    // Both sides are within kMaxDimension here, so they fit an int.
    if (limits.on_size) return limits.on_size(static_cast<int>(width), static_cast<int>(height));
    return {};
}

bool WriteAll(ByteSink& out, const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kWritePiece) {
        if (!out.Write(data + at, std::min(kWritePiece, size - at))) return false;
    }
    return true;
}

// ---- Input ------------------------------------------------------------------------

std::size_t Input::Read(void* out, std::size_t count) {
    auto* target = static_cast<std::uint8_t*>(out);
    std::size_t done = 0;
    while (done < count && pending_used_ < pending_.size()) target[done++] = pending_[pending_used_++];
    if (done < count) {
        if (file_ != nullptr) {
            const std::size_t n = std::fread(target + done, 1, count - done, file_);
            if (n < count - done && std::ferror(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
            done += n;
        } else {
            const std::size_t n = std::min(count - done, memory_size_ - memory_position_);
            if (n > 0) std::memcpy(target + done, memory_ + memory_position_, n);
            memory_position_ += n;
            done += n;
        }
    }
    consumed_ += done;
    return done;
}

std::size_t Input::Peek(std::uint8_t* out, std::size_t count) {
    const std::size_t n = Read(out, count);
    pending_.assign(out, out + n);
    pending_used_ = 0;
    consumed_ -= n;
    return n;
}

std::optional<Input::Span> Input::Remaining() const {
    const std::size_t unread = pending_.size() - pending_used_;
    Span span;
    if (file_ == nullptr) {
        span.memory = memory_ + (memory_position_ - unread);
        span.size = memory_size_ - memory_position_ + unread;
        return span;
    }
    if (!size_) return std::nullopt;
    const off_t position = ftello(file_);
    if (position < 0 || static_cast<std::uint64_t>(position) < unread) return std::nullopt;
    span.fd = fileno(file_);
    span.offset = static_cast<std::uint64_t>(position) - unread;
    span.size = *size_ > span.offset ? *size_ - span.offset : 0;
    return span;
}

bool Input::BufferRest(std::uint64_t most) {
    if (file_ == nullptr || size_) return true;
    std::vector<std::uint8_t>& bytes = buffered_;
    bytes.assign(pending_.begin() + static_cast<std::ptrdiff_t>(pending_used_), pending_.end());
    pending_.clear();
    pending_used_ = 0;
    bool fits = true;
    for (std::size_t piece = std::size_t{1} << 16;; piece = std::min(piece * 2, std::size_t{16} << 20)) {
        if (bytes.size() > most) {
            fits = false;
            break;
        }
        const std::size_t have = bytes.size();
        bytes.resize(have + piece);
        const std::size_t got = std::fread(bytes.data() + have, 1, piece, file_);
        bytes.resize(have + got);
        if (got < piece) {
            if (std::ferror(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
            break;
        }
    }
    file_ = nullptr;
    memory_ = bytes.data();
    memory_size_ = bytes.size();
    memory_position_ = 0;
    size_ = consumed_ + bytes.size();
    return fits && error_.empty();
}

// ---- The row buffer ---------------------------------------------------------------

RowBuffer::RowBuffer(Image& image, int width, int height, int planes, std::optional<std::uint64_t> plausible_bytes,
                     const ReadLimits& limits)
    : image_(image),
      on_rows_(limits.on_rows),
      height_(height),
      row_bytes_(static_cast<std::size_t>(width) * static_cast<std::size_t>(planes)),
      total_(row_bytes_ * static_cast<std::size_t>(height)) {
    image_ = Image();
    image_.width = width;
    image_.height = height;
    image_.planes = planes;
    constexpr std::uint64_t kFirstReserve = std::uint64_t{16} << 20;
    image_.bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total_, std::max(kFirstReserve, plausible_bytes.value_or(0)))));
}

std::uint8_t* RowBuffer::NextRow() {
    const std::size_t used = image_.bytes.size();
    if (used + row_bytes_ > image_.bytes.capacity()) {
        image_.bytes.reserve(std::min(total_, std::max(used + row_bytes_, image_.bytes.capacity() * 2)));
    }
    image_.bytes.resize(used + row_bytes_);
    // The row before this one is in: a progress report for every 64 rows.
    const std::size_t rows = used / row_bytes_;
    if (on_rows_ && rows % kRowsPerReport == 0) on_rows_(static_cast<int>(rows), height_);
    return image_.bytes.data() + used;
}

std::optional<std::uint64_t> PlausibleBytes(const Input& input, std::uint64_t ratio) {
    if (!input.size()) return std::nullopt;
    return SaturatingProduct(*input.size(), ratio);
}

}  // namespace tessellon::cli::imageio
