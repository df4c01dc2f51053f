// The role decision seen from a child of this very program:
//   parent_check_probe spawn [--unreadable] [--prefix=TEXT] [--image=HOW]
//       publish as a parent does, start itself as "check", print what the
//       child printed
//   parent_check_probe check [--unreadable] [--own-image-unknown]   print
//       "child" or "parent"
// --unreadable: the other process's memory cannot be read for its image path.
// --own-image-unknown: the child cannot open its executable file to tell its
// identity.
// --prefix: written before the spawning process's identifier in the variable.
// --image: the published identity of the executable file changed: "altered"
// in its last digit (another file's), "upper" in upper case, "longer" by a
// digit more, "past-f" with a first letter beyond the hexadecimal digits; or
// "copied": the child started from a copy that took the executable's place
// once it was published, with its times (which leaves the executable at its
// path with ".aside" added).
#include <stdio.h>
#include <wchar.h>

#include <string>

#include <algorithm>

#include "formats/handshake.h"
#include "base/seams.h"
#include "bootstrap/parent_check.h"
#include "paths/binary_path.h"
#include "paths/environment.h"

namespace {

DWORD WINAPI unreadableModuleName(HANDLE, HMODULE, LPWSTR, DWORD) {
    SetLastError(ERROR_PARTIAL_COPY);
    return 0;
}

// The open that tells a file's identity, and no other, is refused.
HANDLE WINAPI noIdentityOpen(LPCWSTR path, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE model) {
    if (access == FILE_READ_ATTRIBUTES && flags == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// Wine's CreateProcessW turns the short path back into the long one, in a
// buffer of MAX_PATH on its stack; where the long one does not fit, it goes
// on with whatever that buffer held, unless that begins with a zero (then it
// takes the path as given). The stack below the caller, cleared, makes the
// start from a deep folder independent of what ran before it.
__attribute__((noinline)) void clearStackBelow() {
    volatile unsigned char area[65536];
    for (size_t i = 0; i < sizeof area; ++i) {
        area[i] = 0;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool unreadable = false;
    bool ownImageUnknown = false;
    std::wstring prefix;
    std::wstring image;
    for (int i = 2; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--unreadable") {
            unreadable = true;
        } else if (option == L"--own-image-unknown") {
            ownImageUnknown = true;
        } else if (option.rfind(L"--prefix=", 0) == 0) {
            prefix = option.substr(9);
        } else if (option.rfind(L"--image=", 0) == 0) {
            image = option.substr(8);
        }
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"check") {
        if (unreadable) {
            seamK32GetModuleFileNameExW = unreadableModuleName;
        }
        if (ownImageUnknown) {
            seamCreateFileW = noIdentityOpen;
        }
        printf("%s\n", checkParentInstance() != nullptr ? "child" : "parent");
        return 0;
    }
    if (argc >= 2 && std::wstring(argv[1]) == L"spawn") {
        // Room for the longest path: the probe also runs from very deep folders.
        static wchar_t self[32768];
        GetModuleFileNameW(nullptr, self, 32768);
        if (wcslen(self) >= MAX_PATH) {
            // Wine starts no program from a path this long: the child is
            // started through the short form of the folders, while the path
            // it reads as ours stays the long one.
            shortenDirectoryPart(self, 32768);
        }
        publishParentInstance();
        setEnvironmentValue(handshakeParentVariable,
                            (prefix + std::to_wstring(GetCurrentProcessId())).c_str());
        wchar_t* published = getEnvironmentValue(handshakeImageVariable);
        if (published == nullptr) {
            return 102;
        }
        std::wstring changed = published;
        if (image == L"altered") {
            changed.back() = changed.back() == L'0' ? L'1' : L'0';
        } else if (image == L"upper") {
            std::transform(changed.begin(), changed.end(), changed.begin(), towupper);
        } else if (image == L"longer") {
            changed += L"0";
        } else if (image == L"past-f") {
            changed.front() = L'g';
        }
        setEnvironmentValue(handshakeImageVariable, changed.c_str());
        // A self-updater moves the running executable aside and puts the new
        // build in its place; here a copy with the same last write time.
        const std::wstring aside = std::wstring(self) + L".aside";
        if (image == L"copied" &&
            (!MoveFileW(self, aside.c_str()) || !CopyFileW(aside.c_str(), self, TRUE))) {
            return 103;
        }
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" check";
        if (unreadable) {
            commandLine += L" --unreadable";
        }
        if (ownImageUnknown) {
            commandLine += L" --own-image-unknown";
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        clearStackBelow();
        if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &child)) {
            return 101;
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        return 0;
    }
    return 100;
}
