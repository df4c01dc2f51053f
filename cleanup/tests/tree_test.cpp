// The removal's walk of a directory tree: which entry it takes for the one
// it checked, and how deep it goes. What Wine cannot make (a folder swapped
// at the wrong moment, the name Wine gives a Unix link's handle) comes
// through the name query's test seam.
#include <gtest/gtest.h>
#include <windows.h>

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "base/seams.h"
#include "cleanup/tree.h"
#include "tests/support/process.h"

namespace {

// Told every name the walk's queries answer, after the system has answered.
std::function<void(FILE_NAME_INFO* answer, DWORD size)> afterNameQuery;

BOOL WINAPI watchedQuery(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID answer, DWORD size) {
    BOOL answered = GetFileInformationByHandleEx(handle, kind, answer, size);
    if (answered && kind == FileNameInfo && afterNameQuery) {
        afterNameQuery(static_cast<FILE_NAME_INFO*>(answer), size);
    }
    return answered;
}

bool answerNames(const FILE_NAME_INFO* answer, const std::wstring& name) {
    std::wstring given(answer->FileName, answer->FileNameLength / sizeof(wchar_t));
    return _wcsicmp(given.c_str(), name.c_str()) == 0;
}

// Makes `answer` name the entry's sibling with a "2" appended to its name,
// as Wine answers for a Unix link that leads to that sibling.
void answerWithSibling(FILE_NAME_INFO* answer, DWORD size) {
    size_t used = offsetof(FILE_NAME_INFO, FileName) + answer->FileNameLength;
    if (used + sizeof(wchar_t) <= size) {
        answer->FileName[answer->FileNameLength / sizeof(wchar_t)] = L'2';
        answer->FileNameLength += sizeof(wchar_t);
    }
}

// What the system calls `path`, as the removal is told its directory's name.
std::wstring systemName(const std::wstring& path) {
    wchar_t name[extendedPathCapacity];
    noteDirectoryName(path.c_str(), name, extendedPathCapacity);
    return name;
}

struct Removal {
    std::wstring path;
    std::wstring name;
    bool removed = false;
};

// The status of a thread whose removal returned. A walk that outgrows its
// stack ends the thread with another (under Wine) or the whole program.
constexpr DWORD returned = 1;

DWORD WINAPI removeInThread(void* context) {
    Removal* removal = static_cast<Removal*>(context);
    removal->removed = removeDirectoryTree(removal->path.c_str(), removal->name.c_str());
    return returned;
}

// removeDirectoryTree on a thread with 1 MiB of stack.
bool removeOnASmallStack(const std::wstring& path) {
    Removal removal = {path, systemName(path)};
    HANDLE thread = CreateThread(nullptr, 1 << 20, removeInThread, &removal,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    EXPECT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD status = 0;
    GetExitCodeThread(thread, &status);
    EXPECT_EQ(status, returned) << "the walk outgrew its stack";
    CloseHandle(thread);
    return removal.removed;
}

class RemovalWalk : public testing::Test {
  protected:
    void SetUp() override {
        base = makeTemporaryDirectory(L"onefile-tree");
        top = base + L"\\top";
        ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
        seamGetFileInformationByHandleEx = watchedQuery;
    }
    void TearDown() override {
        seamGetFileInformationByHandleEx = GetFileInformationByHandleEx;
        seamCreateFileW = CreateFileW;
        afterNameQuery = nullptr;
        removeTree(base);
    }

    // A chain of `depth` folders "d" below `top`, with a file in the one
    // `fileLevel` deep; made from the bottom up by moves over short paths,
    // as Wine would take minutes to make it by the folders' full paths.
    void makeChain(int depth, int fileLevel) {
        const std::wstring chain = base + L"\\chain";
        const std::wstring next = base + L"\\next";
        ASSERT_TRUE(CreateDirectoryW(chain.c_str(), nullptr));
        for (int level = depth; level > 1; --level) {
            if (level == fileLevel) {
                writeFileBytes(chain + L"\\file.txt", "deepest");
            }
            ASSERT_TRUE(CreateDirectoryW(next.c_str(), nullptr));
            ASSERT_TRUE(MoveFileExW(chain.c_str(), (next + L"\\d").c_str(), 0));
            ASSERT_TRUE(MoveFileExW(next.c_str(), chain.c_str(), 0));
        }
        ASSERT_TRUE(MoveFileExW(chain.c_str(), (top + L"\\d").c_str(), 0));
    }

    // The chain's folder `level` deep, as an extended-length path.
    std::wstring chainFolder(int level) const {
        std::wstring path = L"\\\\?\\" + top;
        for (int i = 0; i < level; ++i) {
            path += L"\\d";
        }
        return path;
    }

    // Takes what is left of a chain apart from the top down, by moves over
    // short paths again, for the fixture's removal.
    void unravelChain() {
        const std::wstring first = top + L"\\d";
        const std::wstring detached = base + L"\\detached";
        while (MoveFileExW(first.c_str(), detached.c_str(), 0)) {
            MoveFileExW((detached + L"\\d").c_str(), first.c_str(), 0);
            removeTree(detached);
        }
    }

    std::wstring base;
    std::wstring top;
};

TEST_F(RemovalWalk, AFolderCannotBeSwappedBetweenItsCheckAndItsListing) {
    const std::wstring folder = top + L"\\folder";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    writeFileBytes(folder + L"\\ours.txt", "ours");
    const std::wstring folderName = systemName(folder);
    // The moment the walk has checked the folder's name, someone moves the
    // folder away to put another in its place, as a link would be put there.
    bool tried = false;
    bool moved = false;
    afterNameQuery = [&](FILE_NAME_INFO* answer, DWORD) {
        if (!tried && answerNames(answer, folderName)) {
            tried = true;
            moved = MoveFileExW(folder.c_str(), (base + L"\\moved").c_str(), 0) != 0;
            if (moved && CreateDirectoryW(folder.c_str(), nullptr)) {
                writeFileBytes(folder + L"\\planted.txt", "not ours");
            }
        }
    };
    EXPECT_TRUE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    ASSERT_TRUE(tried);
    EXPECT_FALSE(moved) << "the folder was moved while the walk looked at it";
    EXPECT_TRUE(!moved || pathExists(folder + L"\\planted.txt"))
        << "and the walk went on in the folder put in its place";
    EXPECT_FALSE(pathExists(top));
}

TEST_F(RemovalWalk, ANameThatMerelyBeginsWithTheEntrysIsAnotherEntry) {
    // At the top: the directory's path leads to a sibling whose name begins
    // with the directory's own, as a link "top" to "top2" would.
    const std::wstring sibling = top + L"2";
    ASSERT_TRUE(CreateDirectoryW(sibling.c_str(), nullptr));
    writeFileBytes(sibling + L"\\kept.txt", "not ours");
    EXPECT_FALSE(removeDirectoryTree(sibling.c_str(), systemName(top).c_str()));
    EXPECT_EQ(readFileBytes(sibling + L"\\kept.txt"), "not ours");

    // Below it: "x" answers with the name of its sibling "x2", as Wine
    // answers for a Unix link x that leads to x2. The link is left, and
    // nothing is removed through it.
    const std::wstring linked = top + L"\\x";
    ASSERT_TRUE(CreateDirectoryW(linked.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\x2").c_str(), nullptr));
    writeFileBytes(linked + L"\\kept.txt", "behind the link");
    const std::wstring linkedName = systemName(linked);
    afterNameQuery = [&](FILE_NAME_INFO* answer, DWORD size) {
        if (answerNames(answer, linkedName)) {
            answerWithSibling(answer, size);
        }
    };
    EXPECT_FALSE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_EQ(readFileBytes(linked + L"\\kept.txt"), "behind the link");
    EXPECT_FALSE(pathExists(top + L"\\x2"));
}

TEST_F(RemovalWalk, ALinkToAFileIsReplacedOnlyByAPlaceholderMadeInItsOwnFolder) {
    // f.txt answers as a Unix link to f.txt2 would; the placeholder that is
    // to take its place answers as if its folder had been swapped for a link
    // meanwhile. The placeholder goes again, and f.txt stays as it is.
    const std::wstring sub = top + L"\\sub";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    writeFileBytes(sub + L"\\f.txt", "behind the link");
    const std::wstring linkedName = systemName(sub + L"\\f.txt");
    const std::wstring placeholderName = systemName(sub) + L"\\onefile-link-placeholder";
    bool placeholderAsked = false;
    afterNameQuery = [&](FILE_NAME_INFO* answer, DWORD size) {
        const bool placeholder = answerNames(answer, placeholderName);
        placeholderAsked |= placeholder;
        if (placeholder || answerNames(answer, linkedName)) {
            answerWithSibling(answer, size);
        }
    };
    EXPECT_FALSE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_TRUE(placeholderAsked);
    EXPECT_EQ(readFileBytes(sub + L"\\f.txt"), "behind the link");
    EXPECT_FALSE(pathExists(sub + L"\\onefile-link-placeholder"));
}

// Opens for deletion of a name ending in `scannedName`: the first goes
// through, and each later one is refused, as a scanner that opens a new file
// there without sharing keeps others out.
int scannedOpens;
std::wstring scannedName;

HANDLE WINAPI scannedAfterFirstOpen(LPCWSTR path, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                    HANDLE model) {
    std::wstring name = path;
    if ((access & DELETE) && name.size() >= scannedName.size() &&
        name.compare(name.size() - scannedName.size(), scannedName.size(), scannedName) == 0 &&
        ++scannedOpens > 1) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

TEST_F(RemovalWalk, WhatCannotBeLookedAtWhereALinkWasReplacedIsSaidToStay) {
    // f.txt answers as a Unix link would; once the placeholder has taken
    // its place, the name cannot be opened to tell what is there now.
    const std::wstring sub = top + L"\\sub";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    writeFileBytes(sub + L"\\f.txt", "behind the link");
    const std::wstring linkedName = systemName(sub + L"\\f.txt");
    afterNameQuery = [&](FILE_NAME_INFO* answer, DWORD size) {
        if (answerNames(answer, linkedName)) {
            answerWithSibling(answer, size);
        }
    };
    scannedOpens = 0;
    scannedName = L"\\sub\\f.txt";
    seamCreateFileW = scannedAfterFirstOpen;
    EXPECT_FALSE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_GE(scannedOpens, 2) << "the name was not looked at once the placeholder took it";
    EXPECT_TRUE(pathExists(sub + L"\\f.txt"));
}

TEST_F(RemovalWalk, AFolderSwappedForALinkOnceEmptiedIsLeft) {
    // The second answer for a folder, the one just before its deletion,
    // names another folder: the walk emptied it, then it was swapped.
    auto swapSecondAnswer = [](const std::wstring& name) {
        int answers = 0;
        afterNameQuery = [name, answers](FILE_NAME_INFO* answer, DWORD size) mutable {
            if (answerNames(answer, name) && ++answers == 2) {
                answerWithSibling(answer, size);
            }
        };
    };
    // The top itself.
    writeFileBytes(top + L"\\a.txt", "ours");
    swapSecondAnswer(systemName(top));
    EXPECT_FALSE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_TRUE(pathExists(top));
    EXPECT_FALSE(pathExists(top + L"\\a.txt"));

    // A folder below it.
    const std::wstring sub = top + L"\\sub";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    writeFileBytes(sub + L"\\a.txt", "ours");
    swapSecondAnswer(systemName(sub));
    EXPECT_FALSE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_TRUE(pathExists(sub));
    EXPECT_FALSE(pathExists(sub + L"\\a.txt"));
}

TEST_F(RemovalWalk, ATopThatCannotBeListedIsStillLookedAt) {
    // A file at the top's name that another process keeps open without
    // sharing: it cannot be listed nor deleted now, and the removal says so.
    const std::wstring file = base + L"\\kept.txt";
    writeFileBytes(file, "kept");
    HANDLE kept = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(kept, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(removeDirectoryTree(file.c_str(), systemName(file).c_str()));
    CloseHandle(kept);
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(removeDirectoryTree(file.c_str(), systemName(file).c_str()));
    EXPECT_FALSE(pathExists(file));
}

TEST_F(RemovalWalk, NamesThatBeginWithADotAreEntriesLikeAnyOther) {
    // Only "." and ".." stand for the folder and its parent in a listing.
    writeFileBytes(top + L"\\.a", "one dot");
    writeFileBytes(top + L"\\..b", "two dots");
    ASSERT_TRUE(CreateDirectoryW((top + L"\\.d").c_str(), nullptr));
    writeFileBytes(top + L"\\.d\\.x", "in a dotted folder");
    EXPECT_TRUE(removeDirectoryTree(top.c_str(), systemName(top).c_str()));
    EXPECT_FALSE(pathExists(top));
}

TEST_F(RemovalWalk, AsDeepAsAnArchiveGoesAndNoDeeperOnASmallStack) {
    // Folders side by side are no deeper than one: more of them than the
    // depth allows all go.
    for (int i = 0; i < 520; ++i) {
        ASSERT_TRUE(CreateDirectoryW((top + L"\\wide" + std::to_wstring(i)).c_str(), nullptr));
    }
    EXPECT_TRUE(removeOnASmallStack(top));
    EXPECT_FALSE(pathExists(top));
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));

    // A chain twice as deep as the deepest tree a record's path can make (511
    // folders and a file: 512 names), deeper than a walk all the way down
    // could go on that stack: what lies within the deepest record's reach
    // goes, the folder beyond stays with what it holds.
    writeFileBytes(top + L"\\shallow.txt", "shallow");
    ASSERT_NO_FATAL_FAILURE(makeChain(1024, 511));
    EXPECT_FALSE(removeOnASmallStack(top));
    EXPECT_FALSE(pathExists(top + L"\\shallow.txt"));
    EXPECT_FALSE(pathExists(chainFolder(511) + L"\\file.txt"));
    EXPECT_TRUE(pathExists(chainFolder(1024)));
    unravelChain();
}

} // namespace
