// The one seam between the module and the operating system: a table of function
// pointers filled by platform/win32 or platform/posix. Tests swap single entries (a
// message-box recorder, a scripted clock, an in-memory settings store) to observe
// the module without windows or people. No Windows headers: windows are opaque.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessellon {

using WindowHandle = void*;  // HWND on Windows
using ModuleHandle = void*;  // HINSTANCE on Windows

enum class MessageIcon : std::int32_t { none, information, exclamation, stop };

// Window messages the preview watchdog looks for without removing them.
constexpr std::uint32_t kMessageCommand = 0x0111;  // WM_COMMAND
constexpr std::uint32_t kMessageHScroll = 0x0114;  // WM_HSCROLL

// Settings store: a per-user tree of keys holding typed binary values, as the
// registry under HKEY_CURRENT_USER does.
enum class SettingsStatus : std::int32_t { ok, not_found, failed };
constexpr std::uint32_t kSettingsTypeBinary = 3;  // REG_BINARY

// One value of a batch written with settings_write_values.
struct SettingsValue {
    const char* name;
    std::uint32_t type;
    const void* data;
    std::uint32_t size;
};

// One value of a batch read with settings_read_values. The caller fills name, buffer
// and size (the buffer's capacity); the read fills size, type and status exactly as
// settings_read fills *size, *type and its result for that value alone.
struct SettingsReadValue {
    const char* name;
    void* buffer;
    std::uint32_t size;  // in: the buffer's capacity; out: the value's length
    std::uint32_t type;
    SettingsStatus status;
};

struct PlatformApi {
    // A modal message box with an OK button; owner may be null.
    void (*message_box)(WindowHandle owner, const char* text, const char* caption,
                        MessageIcon icon);
    // Ends the whole process through the runtime's normal exit path.
    void (*exit_process)(int status);
    // The window that is active for the calling thread, or null.
    WindowHandle (*active_window)();

    // Full path of the module file / of the host's executable; false when unknown.
    // The text is always terminated within `size` bytes.
    bool (*module_path)(ModuleHandle module, char* buffer, std::size_t size);
    bool (*host_path)(char* buffer, std::size_t size);

    // UTC time of day in milliseconds, and calendar time in seconds since 1970.
    std::int32_t (*ms_of_day)();
    std::int64_t (*calendar_seconds)();

    SettingsStatus (*settings_open_key)(const char* key_path);
    SettingsStatus (*settings_create_key)(const char* key_path, const char* class_name);
    // Reads at most *size bytes; on return *size is the value's length and *type its
    // type. A value longer than the buffer fails.
    SettingsStatus (*settings_read)(const char* key_path, const char* value_name, void* buffer,
                                    std::uint32_t* size, std::uint32_t* type);
    // Reads several values of one key; each gets the status settings_read would give it
    // (not_found, a value longer than its buffer fails, and so on). Returns ok when the
    // key was found and could be read, and otherwise the key's own status (not_found or
    // failed). On Linux all values come from one read of the key's file, so they are
    // those of one write. The registry has no snapshot of a key: there the values are
    // read one after another, and a write between two reads can leave them from
    // different saves. settings_error tells about the first value that was not read,
    // and is empty when all were.
    SettingsStatus (*settings_read_values)(const char* key_path, SettingsReadValue* values,
                                           std::size_t count);
    SettingsStatus (*settings_write)(const char* key_path, const char* value_name,
                                     std::uint32_t type, const void* data, std::uint32_t size);
    // Writes several values of one key. On Linux they land together: a reader sees all
    // of them or none, even when the writer dies halfway. The registry writes them one
    // after another, each value on its own all or nothing.
    SettingsStatus (*settings_write_values)(const char* key_path, const SettingsValue* values,
                                            std::size_t count);
    // What went wrong in the last settings call of this thread, naming the file or key
    // and the system's reason; empty when that call succeeded. Valid until the thread's
    // next settings call.
    const char* (*settings_error)();

    // True when a message in [first, last] waits in the window's queue; the message
    // stays in the queue. Always false where there is no queue to look at.
    bool (*peek_message)(WindowHandle window, std::uint32_t first, std::uint32_t last);

    // Zero-filled heap memory; null on failure.
    void* (*alloc_zeroed)(std::size_t bytes);
    void (*free_memory)(void* block);
};

// The table in force. Starts as the build's own implementation.
PlatformApi& Platform() noexcept;
// The build's own implementation, for restoring entries and for delegating to them.
const PlatformApi& NativePlatform() noexcept;

}  // namespace tessellon
