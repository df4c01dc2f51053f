// What the Windows side of the platform layer shares: UTF-8 and UTF-16
// without loss, the system's error texts, full paths of any length, and a
// handle that closes itself. Windows only.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "packer/platform/files.h"

// UTF-16 of UTF-8 text. Encoded surrogates (as utf8FromWide writes unpaired
// ones) come back as they were; bytes that are not UTF-8 become U+FFFD.
std::wstring wideFromUtf8(std::string_view text);

// UTF-8 of UTF-16 text; an unpaired surrogate is encoded as UTF-8 would
// encode its value, so that a name round-trips to the same file.
std::string utf8FromWide(std::wstring_view text);

// The length of `text` up to its last whole UTF-8 sequence: a character
// split between two writes waits for its rest.
size_t wholeUtf8Length(std::string_view text);

// The system's text for an error code, as one line without its final stop.
std::string windowsErrorText(DWORD code);
inline std::string lastErrorText() {
    return windowsErrorText(GetLastError());
}

// `path` as the system calls take it: full, with "\" between names, and in
// the "\\?\" form that lifts the 260-character limit (UNC paths as
// "\\?\UNC\server\share\..."). Names below it are appended with "\" as they
// are: that form keeps a trailing dot or space, which the system would
// otherwise drop.
std::wstring systemPath(const std::filesystem::path& path);
std::wstring childPath(const std::wstring& folder, std::wstring_view name);

// Where the system finds what `handle` is open on, links resolved, in the
// "\\?\" form; empty when it cannot tell.
std::wstring finalPathOf(HANDLE handle);

// What a folder's entry is, as the system's find data tells it: a link or a
// junction by its reparse tag, not what it leads to.
FileKind kindOfFound(const WIN32_FIND_DATAW& found);

// Whether two names or paths are equal as the file system compares them.
bool sameNameIgnoringCase(std::wstring_view a, std::wstring_view b);

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};
