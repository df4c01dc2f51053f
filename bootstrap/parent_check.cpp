#include "bootstrap/parent_check.h"

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <psapi.h>

#include "formats/handshake.h"
#include "base/seams.h"
#include "cleanup/tree.h"
#include "paths/binary_path.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

namespace {

// The other process's path: as long as ours can be.
constexpr size_t parentImagePathCapacity = binaryPathCapacity;

// The image variable's text: "vvvvvvvv-iiiiiiiiiiiiiiii-tttttttttttttttt".
constexpr size_t imageIdentityLength = 8 + 1 + 16 + 1 + 16;
constexpr size_t imageIdentityDashes[] = {8, 25};

// What this process's executable file is, in the image variable's form;
// false when the system cannot tell. The file index tells the file at the
// path from one moved there since (a self-updater moves its running
// executable aside and writes the new build in its place), and the last
// write time a new file that got the index of one gone meanwhile (FAT
// numbers files by their place in the folder).
bool formatImageIdentity(wchar_t* text) {
    wchar_t path[extendedPathCapacity];
    if (extendedForm(getBinaryPath(BinaryPathForm::reported), path) == 0) {
        return false;
    }
    HANDLE file = SYSTEM_CALL(CreateFileW)(path, FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (known) {
        _snwprintf(text, imageIdentityLength + 1, L"%08lx-%08lx%08lx-%08lx%08lx",
                   information.dwVolumeSerialNumber, information.nFileIndexHigh,
                   information.nFileIndexLow, information.ftLastWriteTime.dwHighDateTime,
                   information.ftLastWriteTime.dwLowDateTime);
        text[imageIdentityLength] = 0;
    }
    return known;
}

// Whether `value` has the form formatImageIdentity writes, and nothing else.
bool isImageIdentityValue(const wchar_t* value) {
    for (size_t i = 0; i < imageIdentityLength; ++i) {
        wchar_t c = value[i];
        bool dash = i == imageIdentityDashes[0] || i == imageIdentityDashes[1];
        if (dash ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return value[imageIdentityLength] == 0;
}

// Whether this process runs the executable file that the parent published as
// its own. A parent that could not tell published nothing, and a child may
// not be able to tell either: then the path alone decides, as it always has.
bool runsParentsImage() {
    wchar_t* published = getEnvironmentValue(handshakeImageVariable);
    if (published == nullptr) {
        return true;
    }
    wchar_t own[imageIdentityLength + 1];
    bool same = isImageIdentityValue(published) &&
                (!formatImageIdentity(own) || wcscmp(published, own) == 0);
    free(published);
    return same;
}

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
    // The parent's path may name another file by now: a start of the new
    // build there is a fresh start, which unpacks its own files.
    return same && runsParentsImage() ? value : nullptr;
}

void publishParentInstance() {
    wchar_t identifier[processIdentifierCapacity];
    formatProcessIdentifier(identifier);
    setEnvironmentValue(handshakeParentVariable, identifier);
    wchar_t image[imageIdentityLength + 1];
    setEnvironmentValue(handshakeImageVariable, formatImageIdentity(image) ? image : nullptr);
}
