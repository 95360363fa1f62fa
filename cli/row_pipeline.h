// Writing the output file while the filter is still making it. The filter runs on the
// program's thread and finishes the rows of its image from top to bottom; an encoder
// on a thread of its own takes each row as soon as it is final, so that on a machine
// with a second core most of the encoding is done by the time the filter ends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/image_io.h"

namespace tessellon::cli {

// The rows of the rectangle x, y, width × height of an image `image_width` pixels
// wide that is being made top to bottom. The maker tells which rows are final; the
// encoder's Row(y) waits for its row.
class RowPipeline : public RowSource {
public:
    RowPipeline(int image_width, int planes, int x, int y, int width, int height);

    // The image's first byte, once it exists. Nothing is handed out before.
    virtual void Attach(const std::uint8_t* image);
    // Rows 0 .. rows - 1 of the image are final; a smaller count than before is ignored.
    virtual void Publish(int rows);
    // Every row is final.
    void Finish();
    // The image will not be finished (unless Finish came first): waiting and later
    // rows get null. The pipeline
    // keeps the unfinished image until it is destroyed, since the encoder may still be
    // reading a row it took.
    void Abandon(Image unfinished);
    // The rows are not wanted any more, finished or not: waiting and later rows get
    // null, so that the encoder gives up.
    void Cancel();

private:
    const std::uint8_t* WaitForRow(int y) override;

    const int x_, y_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::uint8_t* image_ = nullptr;
    int final_rows_ = 0;
    bool closed_ = false;
    bool finished_ = false;
    Image unfinished_;
};

// EncodeImageTo on a thread of its own, into a sink the caller opened and commits.
// The interrupt and termination signals are blocked on that thread, so they reach the
// program's thread and its handlers. The destructor waits for the thread.
class BackgroundEncoder {
public:
    BackgroundEncoder(FileFormat format, RowSource& rows, ByteSink& out, const Metadata& metadata,
                      const WriteOptions& options);
    ~BackgroundEncoder();
    BackgroundEncoder(const BackgroundEncoder&) = delete;
    BackgroundEncoder& operator=(const BackgroundEncoder&) = delete;

    // Waits up to `milliseconds` for the encoder to end; true once it has.
    bool WaitFor(int milliseconds);
    // Waits for the encoder; its error (empty on success) and its notes.
    std::string Join(std::vector<std::string>& notes);

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::string error_;
    std::vector<std::string> notes_;
    std::thread thread_;
};

}  // namespace tessellon::cli
