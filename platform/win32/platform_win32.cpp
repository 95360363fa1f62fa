// Win32 implementation of the platform seam for the module. Translate only: each entry
// is one or two system calls (a batch, one per value), and a failed settings call
// leaves its text for settings_error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace tessellon {
namespace {

UINT IconStyle(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::information: return MB_ICONINFORMATION;
        case MessageIcon::exclamation: return MB_ICONEXCLAMATION;
        case MessageIcon::stop: return MB_ICONSTOP;
        case MessageIcon::none: break;
    }
    return 0;
}

void ShowMessageBox(WindowHandle owner, const char* text, const char* caption, MessageIcon icon) {
    MessageBoxA(static_cast<HWND>(owner), text, caption, MB_OK | IconStyle(icon));
}

// The normal runtime exit path: atexit handlers, then ExitProcess.
void ExitWithStatus(int status) { std::exit(status); }

WindowHandle CurrentActiveWindow() { return GetActiveWindow(); }

bool FileNameOf(HMODULE module, char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return false;
    const DWORD n = GetModuleFileNameA(module, buffer, static_cast<DWORD>(size));
    // A path that does not fit is cut and, before Vista, left unterminated.
    buffer[size - 1] = '\0';
    if (n == 0) buffer[0] = '\0';
    return n != 0;
}

bool ModulePath(ModuleHandle module, char* buffer, std::size_t size) {
    return FileNameOf(static_cast<HMODULE>(module), buffer, size);
}

bool HostPath(char* buffer, std::size_t size) { return FileNameOf(nullptr, buffer, size); }

std::int32_t MsOfDayUtc() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return t.wHour * 3'600'000 + t.wMinute * 60'000 + t.wSecond * 1000 + t.wMilliseconds;
}

std::int64_t CalendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The text of the thread's last failure; see PlatformApi::settings_error. A plain array,
// so that nothing has to be destroyed when a thread ends or the module is unloaded.
thread_local char error_text[1024];

const char* LastError() { return error_text; }

// Records a failed registry call: what was done, where, and the system's text for the
// error ("cannot write value 'X' of 'HKEY_CURRENT_USER\...': Access denied.").
SettingsStatus FromError(LONG error, const char* action, const char* key_path, const char* value_name = nullptr) {
    if (error == ERROR_SUCCESS) {
        error_text[0] = '\0';
        return SettingsStatus::ok;
    }
    char reason[512];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, reason, sizeof reason, nullptr) == 0) {
        std::snprintf(reason, sizeof reason, "error %ld", static_cast<long>(error));
    }
    // The system's text ends with a line break.
    std::size_t end = std::strlen(reason);
    while (end > 0 && std::strchr("\r\n ", reason[end - 1]) != nullptr) reason[--end] = '\0';
    if (value_name != nullptr) {
        std::snprintf(error_text, sizeof error_text, "cannot %s value '%s' of 'HKEY_CURRENT_USER\\%s': %s", action,
                      value_name, key_path, reason);
    } else {
        std::snprintf(error_text, sizeof error_text, "cannot %s 'HKEY_CURRENT_USER\\%s': %s", action, key_path, reason);
    }
    if (error == ERROR_FILE_NOT_FOUND) return SettingsStatus::not_found;
    return SettingsStatus::failed;
}

SettingsStatus OpenKey(const char* key_path) {
    HKEY key;
    const LONG error = RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_ALL_ACCESS, &key);
    if (error == ERROR_SUCCESS) RegCloseKey(key);
    return FromError(error, "open", key_path);
}

SettingsStatus CreateKey(const char* key_path, const char* class_name) {
    HKEY key;
    DWORD disposition;
    const LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, const_cast<char*>(class_name),
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                       &disposition);
    if (error == ERROR_SUCCESS) RegCloseKey(key);
    return FromError(error, "create", key_path);
}

// The registry keeps no snapshot of a key for a reader: the values are read one after
// another, so a writer between two of them can leave them from different saves.
SettingsStatus ReadValues(const char* key_path, SettingsReadValue* values, std::size_t count) {
    HKEY key;
    const LONG error = RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) {
        const SettingsStatus status = FromError(error, "open", key_path);
        for (std::size_t i = 0; i < count; ++i) values[i].status = status;
        return status;
    }
    char first_error[sizeof error_text] = "";
    for (std::size_t i = 0; i < count; ++i) {
        SettingsReadValue& value = values[i];
        DWORD value_type = 0;
        DWORD value_size = value.size;
        const LONG read = RegQueryValueExA(key, value.name, nullptr, &value_type, static_cast<BYTE*>(value.buffer),
                                           &value_size);
        value.size = value_size;
        value.type = value_type;
        value.status = FromError(read, "read", key_path, value.name);
        if (value.status != SettingsStatus::ok && first_error[0] == '\0') {
            std::memcpy(first_error, error_text, sizeof first_error);
        }
    }
    RegCloseKey(key);
    std::memcpy(error_text, first_error, sizeof error_text);
    return SettingsStatus::ok;
}

SettingsStatus ReadValue(const char* key_path, const char* value_name, void* buffer,
                         std::uint32_t* size, std::uint32_t* type) {
    SettingsReadValue value{value_name, buffer, *size, *type, SettingsStatus::failed};
    ReadValues(key_path, &value, 1);
    *size = value.size;
    *type = value.type;
    return value.status;
}

// Each value is written on its own: the registry makes every single value all or
// nothing, but not a group of them, so a writer that dies halfway leaves the first
// values new and the rest old. (The Linux store writes a batch as one.)
SettingsStatus WriteValues(const char* key_path, const SettingsValue* values, std::size_t count) {
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) return FromError(error, "open", key_path);
    const char* failed_name = nullptr;
    for (std::size_t i = 0; i < count && error == ERROR_SUCCESS; ++i) {
        error = RegSetValueExA(key, values[i].name, 0, values[i].type, static_cast<const BYTE*>(values[i].data),
                               values[i].size);
        failed_name = values[i].name;
    }
    RegCloseKey(key);
    return FromError(error, "write", key_path, failed_name);
}

SettingsStatus WriteValue(const char* key_path, const char* value_name, std::uint32_t type,
                          const void* data, std::uint32_t size) {
    const SettingsValue value{value_name, type, data, size};
    return WriteValues(key_path, &value, 1);
}

// PM_NOREMOVE: the waiting input is handled once the caller is done.
bool PeekWaiting(WindowHandle window, std::uint32_t first, std::uint32_t last) {
    MSG message;
    return PeekMessageA(&message, static_cast<HWND>(window), first, last, PM_NOREMOVE) != 0;
}

void* HeapZeroed(std::size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
}

void HeapRelease(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace

const PlatformApi& NativePlatform() noexcept {
    static const PlatformApi table{
        ShowMessageBox, ExitWithStatus, CurrentActiveWindow, ModulePath, HostPath,
        MsOfDayUtc,     CalendarSeconds, OpenKey,           CreateKey,  ReadValue,
        ReadValues,     WriteValue,      WriteValues,       LastError,  PeekWaiting,
        HeapZeroed,     HeapRelease,
    };
    return table;
}

}  // namespace tessellon
