#include "support/recording_platform.h"

#include <cstdio>

namespace tessellon::testing {

RecordingPlatform* RecordingPlatform::current = nullptr;

RecordingPlatform::RecordingPlatform() : saved_(Platform()) {
    current = this;
    PlatformApi& api = Platform();
    api.message_box = [](WindowHandle owner, const char* text, const char* caption, MessageIcon icon) {
        current->message_boxes.push_back({owner, text, caption, icon});
    };
    api.exit_process = [](int status) { current->exit_requests.push_back(status); };
    api.host_path = [](char* buffer, std::size_t size) {
        if (!current->host_path_known) return false;
        std::snprintf(buffer, size, "%s", current->host_path.c_str());
        return true;
    };
    api.ms_of_day = [] {
        ++current->ms_of_day_reads;
        return current->ms_of_day;
    };
    api.peek_message = [](WindowHandle window, std::uint32_t first, std::uint32_t last) {
        ++current->peek_calls;
        for (const QueuedMessage& queued : current->queued_messages) {
            if (queued.window == window && queued.message >= first && queued.message <= last) return true;
        }
        return false;
    };
    api.calendar_seconds = [] { return current->calendar_seconds; };
}

RecordingPlatform::~RecordingPlatform() {
    Platform() = saved_;
    current = nullptr;
}

void PrintMessageBoxesToStderr() {
    Platform().message_box = [](WindowHandle, const char* text, const char* caption, MessageIcon) {
        std::fprintf(stderr, "%s\n%s\n", caption, text);
        std::fflush(stderr);
    };
}

}  // namespace tessellon::testing
