// Runs the record loop on a scenario chosen by name, for the outcomes that end
// the process: extract_probe <scenario> <target directory>
#include <stdio.h>
#include <wchar.h>

#include "extract/extract.h"
#include "extract_fixture.h"

namespace {

BOOL WINAPI failingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

wchar_t* failingDuplicate(const wchar_t*) {
    return nullptr;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 100;
    }
    std::wstring scenario = argv[1];
    std::wstring target = argv[2];
    std::vector<TestRecord> records;
    startRun(target);
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
        extractFileRecords();
        return 0;
    } else if (scenario == L"allocation-failure") {
        seam_wcsdup = failingDuplicate;
        records = {{L"app.dll", "MZ"}};
    } else {
        return 100;
    }
    openTestArchive(buildAttachedData(records));
    extractFileRecords();
    printf("extracted\n");
    return 0;
}
