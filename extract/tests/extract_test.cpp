// The record loop and directory creation, run in-process against a temporary
// target directory, with the directory-creation calls logged.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "archive/reader.h"
#include "formats/handshake.h"
#include "extract/directories.h"
#include "extract/record_loop.h"
#include "extract/target_directory.h"
#include "extract/testing.h"
#include "extract_fixture.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "tests/support/process.h"
#include "tests/support/security.h"

namespace {

class RecordLoop : public testing::Test {
  protected:
    void SetUp() override {
        base = makeTemporaryDirectory(L"onefile-extract");
        target = base + L"\\T";
    }
    void TearDown() override { removeTree(base); }

    void extract(const std::vector<TestRecord>& records, bool child = false) {
        startRun(target, child);
        openTestArchive(buildAttachedData(records));
        extractFileRecords(testReader);
    }

    std::wstring base;
    std::wstring target;
};

std::string bytes(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    }
    return s;
}

TEST_F(RecordLoop, WritesEachRecordInPiecesOf32768Bytes) {
    std::string exact = bytes(32768, 1), over = bytes(32769, 2), large = bytes(200000, 3);
    extract({{L"app.dll", "MZ"},
             {L"empty.txt", ""},
             {L"exact.bin", exact},
             {L"over.bin", over},
             {L"large.bin", large}});
    EXPECT_EQ(readFileBytes(target + L"\\app.dll"), "MZ");
    EXPECT_TRUE(pathExists(target + L"\\empty.txt"));
    EXPECT_EQ(readFileBytes(target + L"\\empty.txt"), "");
    EXPECT_EQ(readFileBytes(target + L"\\exact.bin"), exact);
    EXPECT_EQ(readFileBytes(target + L"\\over.bin"), over);
    EXPECT_EQ(readFileBytes(target + L"\\large.bin"), large);
    // The empty file takes no write; 32768 one piece; 32769 two.
    std::vector<DWORD> expected = {2, 32768, 32768, 1};
    for (size_t i = 0; i < 6; ++i) {
        expected.push_back(32768);
    }
    expected.push_back(200000 - 6 * 32768);
    EXPECT_EQ(writeSizes, expected);
}

TEST_F(RecordLoop, TheFirstRecordIsWrittenAndNamedAsTheEntryLibrary) {
    extract({{L"lib\\entry.dll", "MZ entry"}, {L"data.txt", "d"}});
    EXPECT_EQ(std::wstring(entryLibraryPath), target + L"\\lib\\entry.dll");
    EXPECT_EQ(readFileBytes(target + L"\\lib\\entry.dll"), "MZ entry");
    // The target directory came into being for the first record, with its parents known.
    EXPECT_TRUE(isDirectory(target));
}

TEST_F(RecordLoop, AChildNamesTheFirstRecordAndWritesNothing) {
    extract({{L"app.dll", "MZ"}, {L"data.txt", "d"}}, /*child=*/true);
    EXPECT_EQ(std::wstring(entryLibraryPath), target + L"\\app.dll");
    EXPECT_FALSE(pathExists(target));
    EXPECT_TRUE(directoryCalls.empty());
    // Only the name was decoded from the buffer: "app.dll" and its zero unit.
    EXPECT_EQ(testReader.output.pos, 16u);
}

TEST_F(RecordLoop, CreatesNestedDirectoriesTopDownAndRemembersThem) {
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    startRun(target);
    ASSERT_TRUE(ensureDirectory(target.c_str()));
    directoryCalls.clear();
    openTestArchive(buildAttachedData({{L"a\\b\\c\\f", "f"}, {L"a\\b\\c\\g", "g"}}));
    extractFileRecords(testReader);
    // Up until a parent exists, then each missing directory from the top.
    std::vector<std::wstring> expected = {target + L"\\a\\b\\c", target + L"\\a\\b",
                                          target + L"\\a", target + L"\\a\\b",
                                          target + L"\\a\\b\\c"};
    EXPECT_EQ(directoryCalls, expected);
    EXPECT_EQ(readFileBytes(target + L"\\a\\b\\c\\f"), "f");
    EXPECT_EQ(readFileBytes(target + L"\\a\\b\\c\\g"), "g");
}

TEST_F(RecordLoop, SiblingFoldersWhoseNamesArePrefixesOfEachOtherAreEachCreated) {
    // In the packer's byte-wise order "ab-x" comes before "ab" and "cd" before
    // "cdx": a remembered folder must match only its whole name, either way round.
    extract({{L"app.dll", "MZ"},
             {L"ab-x\\f1.txt", "1"},
             {L"ab\\f2.txt", "2"},
             {L"cd\\g1.txt", "3"},
             {L"cdx\\g2.txt", "4"}});
    EXPECT_EQ(readFileBytes(target + L"\\ab-x\\f1.txt"), "1");
    EXPECT_EQ(readFileBytes(target + L"\\ab\\f2.txt"), "2");
    EXPECT_EQ(readFileBytes(target + L"\\cd\\g1.txt"), "3");
    EXPECT_EQ(readFileBytes(target + L"\\cdx\\g2.txt"), "4");
}

TEST_F(RecordLoop, ALaterRecordWithTheSamePathReplacesTheEarlierFile) {
    extract({{L"app.dll", "MZ"},
             {L"x\\same.txt", "the first, longer content"},
             {L"x\\same.txt", "second"}});
    EXPECT_EQ(readFileBytes(target + L"\\x\\same.txt"), "second");
}

TEST_F(RecordLoop, BytesAfterTheTerminatorAreNeverRead) {
    startRun(target);
    ArchiveOptions options;
    options.extraAfterTerminator = std::string(300000, 'z');
    openTestArchive(buildAttachedData({{L"app.dll", "MZ"}}, options));
    extractFileRecords(testReader);
    EXPECT_EQ(readFileBytes(target + L"\\app.dll"), "MZ");
    // One full fill was decoded; the loop stopped after the terminator's two bytes.
    EXPECT_EQ(testReader.output.size, readerOutputBufferSize);
    EXPECT_EQ(testReader.output.pos, 2u * 8 + 8 + 2 + 2);
}

TEST_F(RecordLoop, UnicodeNamesReachTheFileSystemUnchanged) {
    extract({{L"app.dll", "MZ"}, {L"\u00e9t\u00e9\\\u4e2d\u6587 file.txt", "u"}});
    EXPECT_EQ(readFileBytes(target + L"\\\u00e9t\u00e9\\\u4e2d\u6587 file.txt"), "u");
}

// The progress window's bar measures this count against the record stream's
// size: it must reach all of it but the terminator's two bytes.
TEST_F(RecordLoop, CountsEveryRecordsNameSizeAndContentAsUnpacked) {
    const std::vector<TestRecord> records = {
        {L"app.dll", "MZ"}, {L"empty.txt", ""}, {L"\u00e9t\u00e9\\large.bin", bytes(70000, 4)}};
    const uint64_t before = unpackedBytes;
    extract(records);
    EXPECT_EQ(unpackedBytes - before, recordStream(records).size() - 2);
}

class Directories : public testing::Test {
  protected:
    void SetUp() override {
        base = makeTemporaryDirectory(L"onefile-dirs");
        startRun(base);
    }
    void TearDown() override { removeTree(base); }
    std::wstring base;
};

std::wstring homeDirectory() {
    wchar_t home[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, home), S_OK);
    std::wstring text = home;
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

TEST_F(Directories, TheHomeDirectoryAndDrivesTakeNoSystemCall) {
    EXPECT_TRUE(ensureDirectory(homeDirectory().c_str()));
    EXPECT_TRUE(ensureDirectory(L"C:"));
    EXPECT_TRUE(ensureDirectory(L"Q:"));
    EXPECT_TRUE(directoryCalls.empty());
    // Seeded once, whatever the first path was; drives are not stored.
    EXPECT_EQ(knownDirectories.count, 1);
    EXPECT_EQ(std::wstring(knownDirectories.entries[0]), homeDirectory());
}

TEST_F(Directories, TheFirstCallSeedsTheHomeDirectoryWhateverItsPath) {
    std::wstring d = base + L"\\first";
    EXPECT_TRUE(ensureDirectory(d.c_str()));
    ASSERT_EQ(knownDirectories.count, 2);
    EXPECT_EQ(std::wstring(knownDirectories.entries[0]), homeDirectory());
    EXPECT_EQ(std::wstring(knownDirectories.entries[1]), d);
    EXPECT_TRUE(ensureDirectory(d.c_str()));
    EXPECT_EQ(directoryCalls.size(), 1u);
}

TEST_F(Directories, AnExistingFileCountsAsExistingAndLetterCaseIsNotFolded) {
    std::wstring file = base + L"\\plain";
    writeFileBytes(file, "x");
    EXPECT_TRUE(ensureDirectory(file.c_str()));
    std::wstring d = base + L"\\Case";
    EXPECT_TRUE(ensureDirectory(d.c_str()));
    std::wstring upper = base + L"\\CASE";
    EXPECT_TRUE(ensureDirectory(upper.c_str()));
    EXPECT_EQ(directoryCalls, (std::vector<std::wstring>{file, d, upper}));
    EXPECT_EQ(knownDirectories.count, 4);
}

TEST_F(Directories, AFailedCreationReturnsFalseAndIsNotRemembered) {
    std::wstring orphan = base + L"\\missing\\child";
    EXPECT_FALSE(ensureDirectory(orphan.c_str()));
    EXPECT_FALSE(ensureDirectory(orphan.c_str()));
    EXPECT_EQ(directoryCalls.size(), 2u);
    EXPECT_EQ(knownDirectories.count, 1);
}

TEST_F(Directories, AFullRegistryStillCreatesButNoLongerRemembers) {
    ASSERT_TRUE(ensureDirectory(base.c_str()));
    for (int i = 0; knownDirectories.count < knownDirectoriesCapacity; ++i) {
        std::wstring d = base + L"\\d" + std::to_wstring(i);
        ASSERT_TRUE(ensureDirectory(d.c_str()));
    }
    std::wstring late = base + L"\\late";
    directoryCalls.clear();
    EXPECT_TRUE(ensureDirectory(late.c_str()));
    EXPECT_TRUE(isDirectory(late));
    EXPECT_TRUE(ensureDirectory(late.c_str()));
    EXPECT_EQ(knownDirectories.count, knownDirectoriesCapacity);
    EXPECT_EQ(directoryCalls, (std::vector<std::wstring>{late, late}));
}

TEST_F(Directories, TheTreeWalkNeverCreatesThePathItselfNorLooksAtTheFirstUnit) {
    std::wstring deep = base + L"\\x\\y\\z";
    createDirectoryTree(deep.c_str());
    EXPECT_TRUE(isDirectory(base + L"\\x\\y"));
    EXPECT_FALSE(pathExists(deep));
    directoryCalls.clear();
    createDirectoryTree(L"\\only");
    createDirectoryTree(L"nobackslash");
    EXPECT_TRUE(directoryCalls.empty());
}

// The target directory that a parent makes for itself.

class TargetDirectory : public testing::Test {
  protected:
    void SetUp() override {
        base = makeTemporaryDirectory(L"onefile-target");
        discardRunValues();
        startRun(L"");
        targetDirectoryHandle = nullptr;
    }
    void TearDown() override {
        release();
        discardRunValues();
        removeTree(base);
    }

    // What the driver does first in a parent, then the creation.
    std::wstring create(const std::wstring& spec) {
        EXPECT_TRUE(expandTargetDirectory(spec.c_str()));
        createTargetDirectory(spec.c_str());
        return targetDirectoryPath;
    }

    void release() {
        if (targetDirectoryHandle != nullptr) {
            CloseHandle(targetDirectoryHandle);
            targetDirectoryHandle = nullptr;
        }
    }

    // Protected ("P": nothing inherited from above), one entry: full access
    // for the process's user, inherited by files (OI) and folders (CI) below.
    const std::string privateDacl = "D:P(A;OICI;FA;;;" + processUserSid() + ")";
    std::wstring base;
};

TEST_F(TargetDirectory, IsCreatedWithADescriptorThatOnlyItsUserIsIn) {
    std::wstring target = create(base + L"\\run_{RANDOM}");
    ASSERT_TRUE(isDirectory(target));
    ASSERT_EQ(directoryCalls.back(), target);
    std::string& handed = directoryDescriptors.back();
    ASSERT_FALSE(handed.empty());
    EXPECT_EQ(daclText(handed.data()), privateDacl);
    // Read back, the directory lets nobody else in. Wine keeps no descriptor
    // given at creation, only the Unix mode it maps it to, and reads that back
    // with an entry for SYSTEM added; anyone else would show.
    for (const std::string& sid : storedAllowedSids(target)) {
        EXPECT_TRUE(sid == processUserSid() || sid == "S-1-5-18") << sid;
    }
}

TEST_F(TargetDirectory, FoldersAboveItAreOrdinaryAndItIsKnownAfterwards) {
    std::wstring target = create(base + L"\\a\\b\\run_{RANDOM}");
    // Walked up from the directory's parent, then made top-down; the
    // directory itself is the only private one.
    EXPECT_EQ(directoryCalls, (std::vector<std::wstring>{base + L"\\a\\b", base + L"\\a",
                                                         base + L"\\a\\b", target}));
    ASSERT_EQ(directoryDescriptors.size(), 4u);
    EXPECT_EQ(directoryDescriptors[0] + directoryDescriptors[1] + directoryDescriptors[2], "");
    EXPECT_EQ(daclText(directoryDescriptors[3].data()), privateDacl);
    // The record loop takes it as existing.
    directoryCalls.clear();
    openTestArchive(buildAttachedData({{L"app.dll", "MZ"}, {L"sub\\x.txt", "x"}}));
    extractFileRecords(testReader);
    EXPECT_EQ(directoryCalls, (std::vector<std::wstring>{target + L"\\sub"}));
}

TEST_F(TargetDirectory, ATakenNameIsNeverWrittenIntoAndTheChildFindsTheFreshOne) {
    const std::wstring spec = base + L"\\run_{RANDOM}";
    namesToTake = targetDirectoryAttempts - 1;
    std::wstring target = create(spec);
    ASSERT_EQ(takenNames.size(), static_cast<size_t>(targetDirectoryAttempts - 1));
    openTestArchive(buildAttachedData({{L"app.dll", "MZ"}}));
    extractFileRecords(testReader);
    // Each attempt drew another name; the taken ones stay empty.
    std::vector<std::wstring> names = takenNames;
    names.push_back(target);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    for (const std::wstring& taken : takenNames) {
        // Only an empty directory can be removed as such.
        EXPECT_TRUE(RemoveDirectoryW(taken.c_str())) << toUtf8(taken);
    }
    EXPECT_EQ(readFileBytes(target + L"\\app.dll"), "MZ");
    EXPECT_EQ(std::wstring(entryLibraryPath), target + L"\\app.dll");
    // The environment the child inherits names the fresh directory.
    wchar_t child[pathCapacity];
    ASSERT_TRUE(expandPathSpec(child, spec.c_str(), pathCapacity));
    EXPECT_EQ(std::wstring(child), target);
}

TEST_F(TargetDirectory, IsHeldSoThatNobodyCanMoveItAwayUntilTheCleanupLetsGo) {
    std::wstring target = create(base + L"\\run_{RANDOM}");
    ASSERT_NE(targetDirectoryHandle, nullptr);
    std::wstring moved = base + L"\\moved";
    EXPECT_FALSE(MoveFileW(target.c_str(), moved.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Files below it come and go as usual.
    writeFileBytes(target + L"\\f", "f");
    EXPECT_TRUE(DeleteFileW((target + L"\\f").c_str()));
    release();
    EXPECT_TRUE(MoveFileW(target.c_str(), moved.c_str()));
}

} // namespace
