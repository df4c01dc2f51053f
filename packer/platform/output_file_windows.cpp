// Windows: a new file beside the output, moved into place with
// MoveFileExW, and a console control handler that removes it on Ctrl-C,
// Ctrl-Break, the console's close, log-off and shutdown.
#include "packer/platform/output_file.h"

#include <fcntl.h>
#include <io.h>

#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/platform/windows_support.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// The temporary files that an interrupt removes. The handler runs on a
// thread of its own while the main thread writes; the lock keeps them from
// meeting halfway through a creation, a close or the move into place. The
// handler never releases it: the process ends while it holds it.
SRWLOCK cleanupLock = SRWLOCK_INIT;
struct CleanupEntry {
    bool used = false;
    HANDLE handle = INVALID_HANDLE_VALUE; // while open; by path once closed
    std::wstring path;
};
constexpr int cleanupSlots = 8;
CleanupEntry cleanupTable[cleanupSlots];

class CleanupLocked {
  public:
    CleanupLocked() { AcquireSRWLockExclusive(&cleanupLock); }
    ~CleanupLocked() { ReleaseSRWLockExclusive(&cleanupLock); }
    CleanupLocked(const CleanupLocked&) = delete;
    CleanupLocked& operator=(const CleanupLocked&) = delete;
};

void removeRegistered(const CleanupEntry& entry) {
    if (entry.handle != INVALID_HANDLE_VALUE) {
        // Gone as the process's handles close, whatever it is called by then.
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (SetFileInformationByHandle(entry.handle, FileDispositionInfo, &disposition,
                                       sizeof disposition)) {
            return;
        }
    }
    DeleteFileW(entry.path.c_str());
}

// Call with the lock held.
int registerCleanup(HANDLE handle, const std::wstring& path) {
    for (int i = 0; i < cleanupSlots; ++i) {
        if (!cleanupTable[i].used) {
            cleanupTable[i] = {true, handle, path};
            return i;
        }
    }
    return -1;
}

void unregisterCleanup(int slot) {
    if (slot >= 0) {
        cleanupTable[slot] = CleanupEntry();
    }
}

// Six letters or digits that differ from run to run and call to call.
std::wstring uniqueSuffix() {
    static uint64_t state = [] {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        return static_cast<uint64_t>(counter.QuadPart) ^ uint64_t { GetCurrentProcessId() } << 32 ^
               0x9E3779B97F4A7C15u;
    }();
    const wchar_t alphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::wstring suffix;
    for (int i = 0; i < 6; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        suffix += alphabet[state % (sizeof alphabet / sizeof alphabet[0] - 1)];
    }
    return suffix;
}

} // namespace

BOOL WINAPI removeOnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    AcquireSRWLockExclusive(&cleanupLock);
    for (const CleanupEntry& entry : cleanupTable) {
        if (entry.used) {
            removeRegistered(entry);
        }
    }
    // Ended as the system's own handler would end it, but at once: the
    // compression threads may hold locks that an orderly exit would wait for.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

void installInterruptCleanup() {
    SetConsoleCtrlHandler(removeOnConsoleEvent, TRUE);
}

TemporaryFile::TemporaryFile(const fs::path& destination) : destination_(destination) {
    fs::path directory = destination.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    const std::wstring folder = systemPath(directory);
    const std::wstring prefix = L"." + destination.filename().native() + L".tmp-";
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    std::wstring name, path;
    for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        name = prefix + uniqueSuffix();
        path = childPath(folder, name);
        CleanupLocked locked;
        handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            slot_ = registerCleanup(handle, path);
        } else if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        throw PackError("cannot create a file in " + quoteForMessage(pathToUtf8(directory)) +
                        " for " + quoteForMessage(pathToUtf8(destination)) + ": " +
                        windowsErrorText(error));
    }
    path_ = directory / name;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    stream_ = descriptor < 0 ? nullptr : _fdopen(descriptor, "w+b");
    if (!stream_) {
        CleanupLocked locked;
        if (descriptor >= 0) {
            _close(descriptor);
        } else {
            CloseHandle(handle);
        }
        DeleteFileW(path.c_str());
        unregisterCleanup(slot_);
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(destination)) + ": " +
                        systemErrorText(errno));
    }
}

TemporaryFile::~TemporaryFile() {
    CleanupLocked locked;
    if (stream_) {
        std::fclose(stream_);
    }
    if (!committed_) {
        DeleteFileW(systemPath(path_).c_str());
    }
    unregisterCleanup(slot_);
}

void TemporaryFile::close() {
    if (!stream_) {
        return;
    }
    bool failed = std::fflush(stream_) != 0 || std::ferror(stream_);
    int error = errno;
    {
        CleanupLocked locked;
        if (std::fclose(stream_) != 0 && !failed) {
            failed = true;
            error = errno;
        }
        stream_ = nullptr;
        if (slot_ >= 0) {
            cleanupTable[slot_].handle = INVALID_HANDLE_VALUE;
        }
    }
    if (failed) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(destination_)) + ": " +
                        systemErrorText(error));
    }
}

void TemporaryFile::commit(bool) {
    close();
    CleanupLocked locked;
    if (!MoveFileExW(systemPath(path_).c_str(), systemPath(destination_).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        throw PackError("cannot create " + quoteForMessage(pathToUtf8(destination_)) + ": " +
                        lastErrorText());
    }
    committed_ = true;
    unregisterCleanup(slot_);
    slot_ = -1;
}
