// The sweep of the folder that holds cached builds' directories, where Wine
// does not show what Windows does.
#include <gtest/gtest.h>

#include "bootstrap/seams.h"
#include "extract/cache.h"
#include "tests/support/process.h"

namespace {

const wchar_t ownId[] = L"aaaaaaaaaaaaaaaa";
const wchar_t otherId[] = L"0123456789abcdef";

// What Windows answers a move of a directory while a file in it is open (a
// library that an instance loaded from it); Wine moves it.
BOOL WINAPI refuseRenames(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                          DWORD size) {
    if (kind == FileRenameInfo) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return SetFileInformationByHandle(handle, kind, information, size);
}

TEST(CacheFolderSweep, ADirectoryThatIsHeldOrCannotBeMovedStaysWholeForALaterRun) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    const std::wstring other = folder + L"\\" + otherId;
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((other + L"\\plugins").c_str(), nullptr));
    writeFileBytes(other + L"\\plugins\\greeter.dll", "greeter");
    writeFileBytes(other + L"\\onefile-cache-complete", "onefile cache 0123456789abcdef 1 7\r\n");
    auto expectWhole = [&](const char* when) {
        EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{otherId}) << when;
        EXPECT_EQ(readFileBytes(other + L"\\plugins\\greeter.dll"), "greeter") << when;
        EXPECT_TRUE(pathExists(other + L"\\onefile-cache-complete")) << when;
    };

    // A running instance holds its directory without delete sharing.
    HANDLE hold =
        CreateFileW(other.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);
    sweepCacheFolder(folder.c_str(), ownId, true);
    CloseHandle(hold);
    expectWhole("held");

    seamSetFileInformationByHandle = refuseRenames;
    sweepCacheFolder(folder.c_str(), ownId, true);
    seamSetFileInformationByHandle = SetFileInformationByHandle;
    expectWhole("not movable");

    // A first run's sweep leaves other builds alone; a later run's removes it.
    sweepCacheFolder(folder.c_str(), ownId, false);
    expectWhole("first run");
    sweepCacheFolder(folder.c_str(), ownId, true);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{});
    removeTree(folder);
}

} // namespace
