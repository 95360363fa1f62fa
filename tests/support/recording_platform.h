// A recording platform for tests: swaps entries of the platform table for the life of
// the object and restores them afterwards. Message boxes are recorded instead of shown,
// the host path, the clock and the message queues can be scripted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tessellon::testing {

struct RecordedMessageBox {
    WindowHandle owner;
    std::string text;
    std::string caption;
    MessageIcon icon;
};

class RecordingPlatform {
public:
    RecordingPlatform();
    ~RecordingPlatform();
    RecordingPlatform(const RecordingPlatform&) = delete;
    RecordingPlatform& operator=(const RecordingPlatform&) = delete;

    std::vector<RecordedMessageBox> message_boxes;
    std::vector<int> exit_requests;  // exit_process does not end the test process
    std::string host_path = "C:\\Program Files\\Host\\host.exe";
    bool host_path_known = true;
    std::int32_t ms_of_day = 0;
    std::int64_t calendar_seconds = 0;

    // Messages waiting in window queues; peek_message looks at them without removing.
    // The counters tell how often the clock and the queues were consulted.
    struct QueuedMessage {
        WindowHandle window;
        std::uint32_t message;
    };
    std::vector<QueuedMessage> queued_messages;
    int ms_of_day_reads = 0;
    int peek_calls = 0;

    static RecordingPlatform* current;

private:
    PlatformApi saved_;
};

// In a child process of a death test: message boxes print caption and text to stderr,
// so that the parent can match them, and nothing waits for a click.
void PrintMessageBoxesToStderr();

}  // namespace tessellon::testing
