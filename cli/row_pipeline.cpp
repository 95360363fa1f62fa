// The row hand-over between the filter's thread and the encoder's, and the encoder's
// thread.
#include "cli/row_pipeline.h"

#include <signal.h>

#include <chrono>
#include <utility>

namespace tessellon::cli {

RowPipeline::RowPipeline(int image_width, int planes, int x, int y, int width, int height)
    : RowSource(width, height, planes, static_cast<std::size_t>(image_width) * static_cast<std::size_t>(planes)),
      x_(x),
      y_(y) {}

void RowPipeline::Attach(const std::uint8_t* image) {
    const std::lock_guard<std::mutex> lock(mutex_);
    image_ = image;
    changed_.notify_all();
}

void RowPipeline::Publish(int rows) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (rows <= final_rows_) return;
    // The encoder only cares once the row it waits for is in.
    final_rows_ = rows;
    changed_.notify_all();
}

void RowPipeline::Finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    finished_ = image_ != nullptr;
    changed_.notify_all();
}

void RowPipeline::Abandon(Image unfinished) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    finished_ = false;
    unfinished_ = std::move(unfinished);
    changed_.notify_all();
}

void RowPipeline::Cancel() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    finished_ = false;
    changed_.notify_all();
}

const std::uint8_t* RowPipeline::WaitForRow(int y) {
    const int needed = y_ + y + 1;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || (image_ != nullptr && final_rows_ >= needed); });
    // The lock orders the maker's writes to the row before this read of it.
    if (image_ == nullptr || (final_rows_ < needed && !finished_) || (closed_ && !finished_)) return nullptr;
    return image_ + static_cast<std::size_t>(y_ + y) * stride() + static_cast<std::size_t>(x_) * planes();
}

BackgroundEncoder::BackgroundEncoder(FileFormat format, RowSource& rows, ByteSink& out, const Metadata& metadata,
                                     const WriteOptions& options) {
    // The new thread starts with the signal mask of the one that creates it.
    const InterruptsHeld held;
    thread_ = std::thread([this, format, &rows, &out, &metadata, options] {
        std::vector<std::string> notes;
        std::string error = EncodeImageTo(format, rows, out, metadata, options, &notes);
        const std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::move(error);
        notes_ = std::move(notes);
        done_ = true;
        ended_.notify_all();
    });
}

BackgroundEncoder::~BackgroundEncoder() {
    if (thread_.joinable()) thread_.join();
}

bool BackgroundEncoder::WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

std::string BackgroundEncoder::Join(std::vector<std::string>& notes) {
    if (thread_.joinable()) thread_.join();
    notes.insert(notes.end(), notes_.begin(), notes_.end());
    return error_;
}

}  // namespace tessellon::cli
