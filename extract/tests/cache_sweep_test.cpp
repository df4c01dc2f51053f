// The sweep of the folder that holds cached builds' directories, where Wine
// does not show what Windows does.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/seams.h"
#include "extract/cache.h"
#include "extract/testing.h"
#include "extract/tests/listing_fakes.h"
#include "tests/support/process.h"

namespace {

const wchar_t ownId[] = L"aaaaaaaaaaaaaaaa";
const wchar_t otherId[] = L"0123456789abcdef";
// The product whose runs sweep.
const wchar_t company[] = L"Acme";
const wchar_t product[] = L"Editor";

void sweep(const std::wstring& folder, bool otherBuilds) {
    sweepCacheFolder(folder.c_str(), ownId, company, product, otherBuilds);
}

// The marker a run of the build `id` of `maker`'s `made` writes: complete,
// or its first line only (a run that unpacks, or ended halfway).
std::string markerOf(const std::wstring& id, bool complete, const wchar_t* maker = company,
                     const wchar_t* made = product) {
    char text[256];
    MarkerCounts counts = {1, 7, 0x0123456789abcdefull};
    size_t length =
        formatMarker(text, sizeof text, id.c_str(), maker, made, complete ? &counts : nullptr);
    EXPECT_NE(length, 0u);
    return std::string(text, length);
}

// `marker` as a write cut off before its line's end leaves it.
std::string cutOff(const std::string& marker) {
    return marker.substr(0, marker.size() - 2);
}

// A directory `name` in `folder` holding a file, and the marker `marker`
// unless it is empty.
std::wstring makeCopy(const std::wstring& folder, const std::wstring& name,
                      const std::string& marker) {
    const std::wstring copy = folder + L"\\" + name;
    EXPECT_TRUE(CreateDirectoryW(copy.c_str(), nullptr)) << toUtf8(name);
    EXPECT_TRUE(CreateDirectoryW((copy + L"\\sub").c_str(), nullptr)) << toUtf8(name);
    writeFileBytes(copy + L"\\sub\\file.txt", "unpacked");
    if (!marker.empty()) {
        writeFileBytes(copy + L"\\onefile-cache-complete", marker);
    }
    return copy;
}

// A process whose user the system cannot tell: nothing is its user's own.
bool WINAPI unknownUser(TOKEN_INFORMATION_CLASS, void*, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

TEST(CacheFolderSweep, ADirectoryThatIsHeldOrCannotBeMovedStaysWholeForALaterRun) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    const std::wstring other = folder + L"\\" + otherId;
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((other + L"\\plugins").c_str(), nullptr));
    writeFileBytes(other + L"\\plugins\\greeter.dll", "greeter");
    writeFileBytes(other + L"\\onefile-cache-complete", markerOf(otherId, true));
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
    sweep(folder, true);
    CloseHandle(hold);
    expectWhole("held");

    seamSetFileInformationByHandle = refuseRenames;
    sweep(folder, true);
    seamSetFileInformationByHandle = SetFileInformationByHandle;
    expectWhole("not movable");

    // A first run's sweep leaves other builds alone; a later run's removes it.
    sweep(folder, false);
    expectWhole("first run");
    sweep(folder, true);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{});
    removeTree(folder);
}

TEST(CacheFolderSweep, APartialCopyGoesOnceNothingHoldsItWhateverItsRunsIdentifier) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    auto makeCopy = [&](const std::wstring& name, int files) {
        const std::wstring copy = folder + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
        // What a run writes first.
        writeFileBytes(copy + L"\\onefile-cache-complete", markerOf(name.substr(0, 16), false));
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
    sweep(folder, false);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{live.substr(folder.size() + 1)});
    EXPECT_EQ(listDirectory(live).size(), 31u);
    EXPECT_EQ(readFileBytes(live + L"\\file29.txt"), "unpacked");

    CloseHandle(hold);
    sweep(folder, false);
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
                       markerOf(otherId, true));
    }
    {
        FakeListings fakes;
        listingFakes.linkPrefix = otherId;
        listingFakes.linkListings = 3;
        sweep(folder, true);
        EXPECT_EQ(listingFakes.linkListings, 0);
    }
    for (const std::wstring& name : names) {
        EXPECT_TRUE(pathExists(folder + L"\\" + name + L"\\onefile-cache-complete"))
            << toUtf8(name) << ": what a link leads to was taken";
    }
    // Listed as what they are, each goes.
    sweep(folder, true);
    EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{});
    removeTree(folder);
}

TEST(CacheFolderSweep, OnlyWhatTheProductsOwnRunsMadeGoes) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    const std::string older = "onefile cache 4444444444444444 1 7 0123456789abcdef\r\n";
    const std::pair<std::wstring, std::string> stay[] = {
        // The user's own folders, named as a run names its copies.
        {L"0123456789abcdef.partial-mynotes", ""},
        {L"fedcba9876543210.aside-photos", ""},
        {L"fedcba9876543210", ""},
        // Another product's copies that share the folder, and another
        // company's product of the same name.
        {L"1111111111111111", markerOf(L"1111111111111111", true, company, L"Viewer")},
        {L"1111111111111111.partial-1_000000_abc",
         markerOf(L"1111111111111111", false, company, L"Viewer")},
        {L"1111111111111111.aside-1_000000_abc",
         markerOf(L"1111111111111111", true, company, L"Viewer")},
        {L"2222222222222222", markerOf(L"2222222222222222", true, L"Other", product)},
        // A product whose company's and product's names, run together, read as ours.
        {L"3333333333333333", markerOf(L"3333333333333333", true, L"AcmeEdi", L"tor")},
        // The build's own copy, which its runs use.
        {ownId, markerOf(ownId, true)},
        // Another build's copy whose marker was cut off before its end: not
        // known to be complete.
        {L"5555555555555555", cutOff(markerOf(L"5555555555555555", true))},
        // Copies whose marker does not name their product: whose they are
        // is not known.
        {L"4444444444444444", older},
        {L"4444444444444444.aside-1_000000_abc", older},
        // An older marker whose build runs on past the build's own id.
        {std::wstring(ownId) + L".aside-2_000000_abc", "onefile cache aaaaaaaaaaaaaaaab 1 7\r\n"},
    };
    const std::pair<std::wstring, std::string> go[] = {
        {L"8888888888888888", markerOf(L"8888888888888888", true)},
        {L"8888888888888888.partial-1_000000_abc", markerOf(L"8888888888888888", false)},
        {L"8888888888888888.aside-1_000000_abc", markerOf(L"8888888888888888", true)},
        // The build's own copy as an older build of the same id marked it.
        {std::wstring(ownId) + L".aside-1_000000_abc", "onefile cache aaaaaaaaaaaaaaaa 1 7\r\n"},
    };
    std::vector<std::wstring> stayed;
    for (const auto& [name, marker] : stay) {
        makeCopy(folder, name, marker);
        stayed.push_back(name);
    }
    for (const auto& [name, marker] : go) {
        makeCopy(folder, name, marker);
    }
    // A run of another user (one the copies' owner is not) leaves them all:
    // the user's own copies are never another's to remove.
    seamprocessTokenSid = unknownUser;
    sweep(folder, true);
    seamprocessTokenSid = processTokenSid;
    EXPECT_EQ(listDirectory(folder).size(), std::size(stay) + std::size(go));
    sweep(folder, true);
    std::sort(stayed.begin(), stayed.end());
    EXPECT_EQ(listDirectory(folder), stayed);
    for (const auto& [name, marker] : stay) {
        EXPECT_EQ(readFileBytes(folder + L"\\" + name + L"\\sub\\file.txt"), "unpacked")
            << toUtf8(name);
    }
    removeTree(folder);
}

TEST(CacheFolderSweep, ACopyWhoseRemovalIsCutShortKeepsItsMarkerForALaterRun) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-sweep");
    // What keeps the removal from its end: a file in use, which neither
    // Windows nor Wine deletes, or another run's look at the copy itself.
    for (const wchar_t* kept : {L"\\sub\\file.txt", L""}) {
        for (const wchar_t* kind : {L".aside-1_000000_abc", L""}) {
            const std::wstring copy =
                makeCopy(folder, std::wstring(otherId) + kind, markerOf(otherId, true));
            HANDLE look = CreateFileW((copy + kept).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            ASSERT_NE(look, INVALID_HANDLE_VALUE);
            sweep(folder, true);
            CloseHandle(look);
            const std::vector<std::wstring> left = listDirectory(folder);
            ASSERT_EQ(left.size(), 1u) << toUtf8(kind);
            EXPECT_TRUE(pathExists(folder + L"\\" + left.front() + L"\\onefile-cache-complete"))
                << toUtf8(kept) << toUtf8(kind) << ": its proof went first";
            sweep(folder, true);
            EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{})
                << toUtf8(kept) << toUtf8(kind);
        }
    }
    removeTree(folder);
}

} // namespace
