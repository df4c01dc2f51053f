// Runs the record loop on a scenario chosen by name, for the outcomes that end
// the process: extract_probe <scenario> <target directory>
//   extract_probe create-target|take-every-name <spec>   a parent's creation of
//     its target directory (every name taken by someone else just before the
//     bootstrap's call), then one record into it
//   extract_probe looked-at <spec>   the same, while another process looks at
//     the fresh directory as the run first holds it
//   extract_probe record=<name> [--child] <target directory>   an archive of
//     app.dll, the named record and later.txt
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "cleanup/cleanup.h"
#include "extract/record_loop.h"
#include "extract/target_directory.h"
#include "extract_fixture.h"
#include "launch/child.h"
#include "launch/entry_library.h"
#include "tests/support/process.h"

namespace {

BOOL WINAPI failingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

wchar_t* failingDuplicate(const wchar_t*) {
    return nullptr;
}

BOOL WINAPI failingCreateProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                 BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                 LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// Another process looks at the fresh target directory, without delete
// sharing, just as the run first holds it, and is done by its next hold.
HANDLE look = INVALID_HANDLE_VALUE;
int holds = 0;
HANDLE WINAPI lookedAtOnce(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE model) {
    if ((access & FILE_LIST_DIRECTORY) && wcscmp(path, targetDirectoryPath) == 0) {
        if (holds++ == 0) {
            look =
                CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        } else if (look != INVALID_HANDLE_VALUE) {
            CloseHandle(look);
            look = INVALID_HANDLE_VALUE;
        }
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// The record loop as the driver runs it, from the start of the extraction on.
void extract() {
    startExtraction();
    extractFileRecords(testReader);
}

// Also when the run ends in a failure.
void reportPrivateCreations() {
    int count = 0;
    for (const std::string& descriptor : directoryDescriptors) {
        count += descriptor.empty() ? 0 : 1;
    }
    printf("private-creations %d\n", count);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool child = argc == 4 && std::wstring(argv[2]) == L"--child";
    if (argc != 3 && !child) {
        return 100;
    }
    std::wstring scenario = argv[1];
    std::wstring target = argv[argc - 1];
    std::vector<TestRecord> records;
    startRun(target, child);
    if (scenario == L"create-target" || scenario == L"take-every-name" ||
        scenario == L"looked-at") {
        atexit(reportPrivateCreations);
        namesToTake = scenario == L"take-every-name" ? 1000 : 0;
        if (scenario == L"looked-at") {
            seamCreateFileW = lookedAtOnce;
        }
        discardRunValues();
        if (!expandTargetDirectory(target.c_str())) {
            return 101;
        }
        createTargetDirectory(target.c_str());
        openTestArchive(buildAttachedData({{L"app.dll", "MZ"}}));
        extractFileRecords(testReader);
        printf("created %s\n", toUtf8(targetDirectoryPath).c_str());
        return 0;
    }
    if (scenario.rfind(L"record=", 0) == 0) {
        records = {{L"app.dll", "MZ"}, {scenario.substr(7), "bad"}, {L"later.txt", "l"}};
        if (child) {
            // The child names its entry library from the first record.
            records.erase(records.begin());
        }
        openTestArchive(buildAttachedData(records));
        extractFileRecords(testReader);
        printf("extracted %s\n", toUtf8(entryLibraryPath).c_str());
        return 0;
    }
    if (scenario == L"open-failure") {
        // "blocker" is a file, so nothing can be created below it.
        records = {
            {L"app.dll", "MZ"}, {L"blocker", "b"}, {L"blocker\\x.txt", "x"}, {L"later.txt", "l"}};
    } else if (scenario == L"write-failure") {
        seamWriteFile = failingWriteFile;
        records = {{L"app.dll", "MZ"}};
    } else if (scenario == L"name-1023" || scenario == L"name-1024") {
        // Components of at most 219 units: file systems limit a single name.
        std::wstring name;
        for (int i = 0; i < 4; ++i) {
            name += std::wstring(200, L'n') + L"\\";
        }
        name += std::wstring(scenario == L"name-1023" ? 219 : 220, L'n');
        records = {{name, "long"}, {L"later.txt", "l"}};
    } else if (scenario == L"path-too-long") {
        // The target directory plus "\" plus the name needs 4096 units and a terminator.
        records = {{L"app.dll", "MZ"}};
    } else if (scenario == L"truncated") {
        // A record that declares more bytes than the stream holds.
        std::string stream = recordStream({{L"app.dll", "MZ"}}, false);
        stream[16] = 100;
        openTestArchive(wrapFrame(compressFrame(stream, ArchiveOptions{})));
        extract();
        return 0;
    } else if (scenario == L"size-over-4gib") {
        // A size field of 2^32 + 5 followed by 5 bytes of content and one more
        // record: cut to 32 bits, the size would read as 5 and the stream would
        // go on as if the file were whole.
        std::string big = recordStream({{L"big.bin", "12345"}}, false);
        big[big.size() - 5 - recordSizeFieldSize + 4] = 1; // the size field's fifth byte: 2^32
        std::string stream =
            recordStream({{L"app.dll", "MZ"}}, false) + big + recordStream({{L"later.txt", "l"}});
        openTestArchive(wrapFrame(compressFrame(stream, ArchiveOptions{})));
        extractFileRecords(testReader);
        printf("extracted\n");
        return 0;
    } else if (scenario.rfind(L"damaged=", 0) == 0) {
        // A valid record stream with seeded damage: bytes changed, cut or repeated.
        uint32_t state = static_cast<uint32_t>(wcstoul(scenario.c_str() + 8, nullptr, 10)) | 1;
        auto next = [&state] {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return state;
        };
        std::string stream = recordStream({{L"app.dll", "MZ entry"},
                                           {L"a\\b\\c.txt", std::string(40000, 'c')},
                                           {L"empty", ""},
                                           {L"d\\e.bin", std::string(300, 'e')}});
        int changes = 1 + next() % 4;
        for (int i = 0; i < changes; ++i) {
            size_t at = next() % stream.size();
            switch (next() % 3) {
            case 0:
                stream[at] = static_cast<char>(next());
                break;
            case 1:
                stream.resize(at);
                break;
            default:
                stream.insert(at, stream.substr(at, 1 + next() % 64));
                break;
            }
        }
        openTestArchive(wrapFrame(compressFrame(stream, ArchiveOptions{})));
        extract();
        printf("extracted\n");
        return 0;
    } else if (scenario == L"allocation-failure") {
        seam_wcsdup = failingDuplicate;
        records = {{L"app.dll", "MZ"}};
    } else if (scenario == L"launch-failure") {
        // Everything unpacked, then the child cannot be started.
        openTestArchive(buildAttachedData({{L"app.dll", "MZ"}, {L"sub\\data.txt", "d"}}));
        extract();
        closeArchiveReader(testReader);
        seamCreateProcessW = failingCreateProcess;
        argumentCount = argc;
        argumentVector = argv;
        return launchChildInstance();
    } else if (scenario == L"child-load-failure") {
        // A child whose entry library is not where its parent should have put it.
        startRun(target, true);
        openTestArchive(buildAttachedData({{L"app.dll", "MZ"}}));
        extract();
        return runEntryLibrary(0, nullptr, entryLibraryPath);
    } else {
        return 100;
    }
    openTestArchive(buildAttachedData(records));
    extract();
    printf("extracted\n");
    return 0;
}
