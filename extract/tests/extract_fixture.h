// Shared set-up for record-loop tests: an in-memory archive behind the reader,
// a fresh target directory, and a log of the directory-creation calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/reader.h"
#include "base/seams.h"
#include "base/state.h"
#include "extract/directories.h"
#include "extract/testing.h"
#include "tests/support/archive_builder.h"

// Every CreateDirectoryW the bootstrap makes, in order; the call goes through.
inline std::vector<std::wstring> directoryCalls;
// The security descriptor handed to each of those calls, self-relative; empty for none.
inline std::vector<std::string> directoryDescriptors;
// How many of the next creations with a descriptor find their name taken:
// someone else makes the directory just before the bootstrap's call.
inline int namesToTake;
// The directories made that way, in order.
inline std::vector<std::wstring> takenNames;
// Bytes of every WriteFile the bootstrap makes, in order.
inline std::vector<DWORD> writeSizes;

inline BOOL WINAPI recordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    directoryCalls.push_back(path);
    std::string descriptor;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
        DWORD size = GetSecurityDescriptorLength(attributes->lpSecurityDescriptor);
        std::string relative(size, '\0');
        if (!MakeSelfRelativeSD(attributes->lpSecurityDescriptor, relative.data(), &size)) {
            // Already self-relative: copied as it is.
            relative.assign(static_cast<const char*>(attributes->lpSecurityDescriptor), size);
        }
        descriptor = relative;
        if (namesToTake > 0) {
            --namesToTake;
            CreateDirectoryW(path, nullptr);
            takenNames.push_back(path);
        }
    }
    directoryDescriptors.push_back(descriptor);
    return CreateDirectoryW(path, attributes);
}

inline BOOL WINAPI recordingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                      LPOVERLAPPED overlapped) {
    writeSizes.push_back(size);
    return WriteFile(file, data, size, written, overlapped);
}

// The reader that the record loop is handed in these tests.
inline ArchiveReader testReader;

// Points the reader at `data` (kept alive here) and opens it.
inline void openTestArchive(const std::string& data) {
    static std::string keep;
    keep = data;
    initArchiveReader(testReader, reinterpret_cast<const unsigned char*>(keep.data()), keep.size());
    openArchiveReader(testReader);
}

// Fresh run state with `target` as the target directory (not created here).
inline void startRun(const std::wstring& target, bool child = false) {
    wcscpy(targetDirectoryPath, target.c_str());
    entryLibraryPath[0] = 0;
    knownDirectories.count = 0;
    parentInstance = child ? const_cast<wchar_t*>(L"1") : nullptr;
    directoryCalls.clear();
    directoryDescriptors.clear();
    namesToTake = 0;
    takenNames.clear();
    writeSizes.clear();
    seamCreateDirectoryW = recordingCreateDirectory;
    seamWriteFile = recordingWriteFile;
}
