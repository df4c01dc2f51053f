#include "bootstrap/parent_check.h"

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <psapi.h>

#include "base/handshake.h"
#include "base/seams.h"
#include "paths/binary_path.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

namespace {

// The other process's path: as long as ours can be.
constexpr size_t parentImagePathCapacity = binaryPathCapacity;

} // namespace

wchar_t* checkParentInstance() {
    wchar_t* value = getEnvironmentValue(handshakeParentVariable);
    // Of the parent's own form only: a child takes its directory from this
    // value in every mode, and "+456" or " 456" would name live instance 456
    // to the conversion below while no parent wrote it.
    if (value == nullptr || !isParentIdentifierValue(value)) {
        return nullptr;
    }

    errno = 0;
    wchar_t* end = nullptr;
    long identifier = wcstol(value, &end, 10);
    if (errno == ERANGE || end == value || *end != 0) {
        return nullptr;
    }

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                 static_cast<DWORD>(identifier));
    // As long as our own path can be: a shorter buffer would cut a long path,
    // the comparison would fail in every child, and each would unpack and
    // start yet another child.
    wchar_t parentImagePath[parentImagePathCapacity];
    DWORD length = 0;
    if (process != nullptr) {
        length = SYSTEM_CALL(K32GetModuleFileNameExW)(process, nullptr, parentImagePath,
                                                      parentImagePathCapacity);
        if (length == 0) {
            CloseHandle(process);
        }
    }
    if (length == 0) {
        // Reading the name out of the other process's memory can fail where
        // the system still tells it (a debugger attached, tighter rights). A
        // parent that goes unrecognised makes each child a parent in turn,
        // without end, so ask the system too before giving up.
        process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(identifier));
        if (process == nullptr) {
            return nullptr;
        }
        DWORD size = parentImagePathCapacity;
        if (!QueryFullProcessImageNameW(process, 0, parentImagePath, &size)) {
            CloseHandle(process);
            return nullptr;
        }
    }
    // Both sides go through the same normalisation, so that the same file
    // reached through a short name, a long name or a "\\?\" form compares equal.
    normalizeExecutablePath(parentImagePath, parentImagePathCapacity);
    bool same = wcscmp(parentImagePath, getBinaryPath(BinaryPathForm::resolved)) == 0;
    CloseHandle(process);
    return same ? value : nullptr;
}
