// The sweep of the folder that holds cached builds' directories, where Wine
// does not show what Windows does.
#include <gtest/gtest.h>

#include "base/seams.h"
#include "extract/cache.h"
#include "extract/tests/listing_fakes.h"
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

TEST(CacheFolderSweep, APartialCopyGoesOnceNothingHoldsItWhateverItsRunsIdentifier) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    auto makeCopy = [&](const std::wstring& name, int files) {
        const std::wstring copy = folder + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
        for (int i = 0; i < files; ++i) {
            writeFileBytes(copy + L"\\file" + std::to_wstring(i) + L".txt", "unpacked");
        }
        return copy;
    };
    // A run on another machine that shares the folder, still unpacking: its
    // identifier means nothing here, its hold (which the share keeps) does.
    const std::wstring live =
        makeCopy(std::wstring(ownId) + L".partial-999999_000000_AAAAAAAAAAA", 30);
    // A run that ended, whose identifier this very process has now.
    const std::wstring ended = makeCopy(std::wstring(otherId) + L".partial-" +
                                            std::to_wstring(GetCurrentProcessId()) + L"_000000_abc",
                                        3);
    const std::wstring aside = makeCopy(std::wstring(otherId) + L".aside-1_000000_abc", 3);
    HANDLE hold = CreateFileW(live.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);

    // Also a build that keeps the other builds' directories sweeps them.
    sweepCacheFolder(folder.c_str(), ownId, false);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{live.substr(folder.size() + 1)});
    EXPECT_EQ(listDirectory(live).size(), 30u);
    EXPECT_EQ(readFileBytes(live + L"\\file29.txt"), "unpacked");

    CloseHandle(hold);
    sweepCacheFolder(folder.c_str(), ownId, false);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{});
    removeTree(folder);
}

TEST(CacheFolderSweep, AnEntryListedAsALinkIsNeitherMovedNorRemoved) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    const std::wstring partial = std::wstring(otherId) + L".partial-1_000000_abc";
    const std::wstring aside = std::wstring(otherId) + L".aside-1_000000_abc";
    const std::vector<std::wstring> names = {partial, aside, otherId};
    for (const std::wstring& name : names) {
        ASSERT_TRUE(CreateDirectoryW((folder + L"\\" + name).c_str(), nullptr));
        writeFileBytes(folder + L"\\" + name + L"\\onefile-cache-complete",
                       "onefile cache 0123456789abcdef 0 0\r\n");
    }
    {
        FakeListings fakes;
        listingFakes.linkPrefix = otherId;
        listingFakes.linkListings = 3;
        sweepCacheFolder(folder.c_str(), ownId, true);
        EXPECT_EQ(listingFakes.linkListings, 0);
    }
    for (const std::wstring& name : names) {
        EXPECT_TRUE(pathExists(folder + L"\\" + name + L"\\onefile-cache-complete"))
            << toUtf8(name) << ": what a link leads to was taken";
    }
    // Listed as what they are, each goes.
    sweepCacheFolder(folder.c_str(), ownId, true);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{});
    removeTree(folder);
}

} // namespace
