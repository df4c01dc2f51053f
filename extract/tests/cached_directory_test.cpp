// A cached build's directory, prepared in this process as the parent of a
// packed executable prepares it: what is trusted, what is unpacked again,
// and the races with other runs made to happen at a chosen moment.
#include <gtest/gtest.h>

#include <functional>

#include "base/build_constants.h"
#include "base/seams.h"
#include "base/state.h"
#include "cleanup/testing.h"
#include "extract/cache.h"
#include "extract/directories.h"
#include "extract/target_directory.h"
#include "extract/testing.h"
#include "extract/tests/cached_build.h"
#include "extract/tests/listing_fakes.h"
#include "tests/support/process.h"

namespace {

const char markerName[] = "onefile-cache-complete";

// What another run does once, just before this one's next look at the
// cache's name (after a hold that failed) or its next move into place.
std::function<void()> beforeNextLook;
std::function<void()> beforeNextMove;
std::wstring cachePath;

void runOnce(std::function<void()>& action, LPCWSTR path) {
    if (action && cachePath == path) {
        auto run = std::move(action);
        action = nullptr;
        run();
    }
}

DWORD WINAPI attributesAfterAction(LPCWSTR path) {
    runOnce(beforeNextLook, path);
    return GetFileAttributesW(path);
}

BOOL WINAPI moveAfterAction(LPCWSTR from, LPCWSTR to, DWORD flags) {
    runOnce(beforeNextMove, to);
    return MoveFileExW(from, to, flags);
}

// Files the preparation writes: none when it uses a copy as it is.
int writes;

BOOL WINAPI countingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
    ++writes;
    return WriteFile(file, data, size, written, overlapped);
}

class CachedDirectory : public testing::Test {
  protected:
    void SetUp() override {
        base = makeTemporaryDirectory(L"onefile-cached");
        // {TEMP}, which the build's spec begins with, is this test's own.
        originalTemp = temporaryDirectory();
        SetEnvironmentVariableW(L"TMP", base.c_str());
        SetEnvironmentVariableW(L"TEMP", base.c_str());
        setCachedBuild(records);
        seamGetFileAttributesW = attributesAfterAction;
        seamMoveFileExW = moveAfterAction;
        seamWriteFile = countingWriteFile;
        cachePath = cache();
    }

    void TearDown() override {
        beforeNextLook = nullptr;
        beforeNextMove = nullptr;
        seamGetFileAttributesW = GetFileAttributesW;
        seamMoveFileExW = MoveFileExW;
        seamWriteFile = WriteFile;
        seamSetFileInformationByHandle = SetFileInformationByHandle;
        seamSleep = Sleep;
        SetEnvironmentVariableW(L"TMP", originalTemp.c_str());
        SetEnvironmentVariableW(L"TEMP", originalTemp.c_str());
        removeTree(base);
    }

    std::wstring folder() const { return base + L"\\cache"; }
    std::wstring cache() const { return folder() + L"\\" + testCacheId; }

    // A parent's preparation of the cache from a fresh start, which then
    // gives up its hold; how many writes it made (none: it used a copy as it
    // was).
    int prepare() {
        knownDirectories.count = 0;
        parentInstance = nullptr;
        extractionStarted = false;
        removalState = removalNone;
        discardRunValues();
        EXPECT_TRUE(expandTargetDirectory(targetDirectorySpec()));
        writes = 0;
        prepareCache();
        EXPECT_EQ(std::wstring(targetDirectoryPath), cache());
        CloseHandle(InterlockedExchangePointer(&targetDirectoryHandle, nullptr));
        return writes;
    }

    // A complete copy made by another run, put aside at `aside` for now.
    std::wstring completeCopyAside() {
        prepare();
        std::wstring aside = base + L"\\another-runs-copy";
        EXPECT_TRUE(MoveFileW(cache().c_str(), aside.c_str()));
        return aside;
    }

    // Unpacked as the build's records say.
    void expectComplete() {
        for (const TestRecord& record : records) {
            EXPECT_EQ(readFileBytes(cache() + L"\\" + record.name), record.content)
                << toUtf8(record.name);
        }
        EXPECT_EQ(listDirectory(folder()), std::vector<std::wstring>{testCacheId});
    }

    std::wstring base;
    std::wstring originalTemp;
    const std::vector<TestRecord> records = {{L"app.dll", "MZ entry"},
                                             {L"plugins\\greeter.dll", "greeter"},
                                             {L"data\\a.txt", "aaa"},
                                             {L"data\\b.txt", "bbbbb"}};
};

TEST_F(CachedDirectory, ACompleteCopyIsHeldAsItIsAndAnyDamageIsUnpackedAgain) {
    ASSERT_GT(prepare(), 0);
    expectComplete();
    ASSERT_EQ(prepare(), 0) << "a complete copy is used as it is";
    const std::wstring marker = cache() + L"\\" + fromUtf8(markerName);
    const std::string markerText = readFileBytes(marker);
    // It names the product and the build as its first line did, which it completes.
    char firstLine[256];
    size_t length = formatMarker(firstLine, sizeof firstLine, testCacheId, onefileCompanyName,
                                 onefileProductName, nullptr);
    ASSERT_GT(length, 2u);
    ASSERT_EQ(markerText.rfind(std::string(firstLine, length - 2) + " files ", 0), 0u)
        << markerText;
    // Complete, it is the marker that tells these very files: their count,
    // their bytes and (which only the files give) their digest.
    ASSERT_GT(markerText.size(), 18u);
    MarkerCounts counts = {records.size(), 23,
                           std::stoull(markerText.substr(markerText.size() - 18, 16), nullptr, 16)};
    char complete[256];
    length = formatMarker(complete, sizeof complete, testCacheId, onefileCompanyName,
                          onefileProductName, &counts);
    EXPECT_EQ(markerText, std::string(complete, length));

    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    auto rename = [&](const wchar_t* from, const wchar_t* to) {
        return [=] { ASSERT_TRUE(MoveFileW((cache() + from).c_str(), (cache() + to).c_str())); };
    };
    const Damage damages[] = {
        // Count and sizes stay: only the names tell.
        {"a file renamed", rename(L"\\plugins\\greeter.dll", L"\\plugins\\greeter.dll.old")},
        {"a file moved to another folder", rename(L"\\data\\a.txt", L"\\plugins\\a.txt")},
        // Names, count, total and the sizes found all stay: only which file
        // has which size tells.
        {"two files that trade sizes",
         [&] {
             writeFileBytes(cache() + L"\\data\\a.txt", "aaaaa");
             writeFileBytes(cache() + L"\\data\\b.txt", "bbb");
         }},
        {"a marker one byte longer", [&] { writeFileBytes(marker, markerText + "0"); }},
        {"a marker one byte shorter",
         [&] { writeFileBytes(marker, markerText.substr(0, markerText.size() - 1)); }},
        {"a marker without its line end",
         [&] { writeFileBytes(marker, markerText.substr(0, markerText.size() - 2)); }},
        // What a build made before the marker held a digest wrote.
        {"a marker of the older form",
         [&] { writeFileBytes(marker, "onefile cache 0123456789abcdef 4 23\r\n"); }},
        {"a digit of the digest changed",
         [&] {
             std::string text = markerText;
             char& digit = text[text.size() - 3];
             digit = digit == '0' ? '1' : '0';
             writeFileBytes(marker, text);
         }},
    };
    for (const Damage& damage : damages) {
        damage.apply();
        EXPECT_GT(prepare(), 0) << damage.what << ": used as it was";
        expectComplete();
        EXPECT_EQ(readFileBytes(marker), markerText) << damage.what;
        EXPECT_EQ(prepare(), 0) << damage.what << ": the new copy is not trusted";
    }
}

TEST_F(CachedDirectory, ACopyThatHoldsALinkIsUnpackedAgain) {
    ASSERT_GT(prepare(), 0);
    FakeListings fakes;
    // No record makes a link: what it leads to may change at any time. One
    // in a file's place, and one added beside the files, which leaves the
    // count of files as it was.
    const std::wstring added = cache() + L"\\plugins\\added-link";
    for (bool addLink : {false, true}) {
        if (addLink) {
            writeFileBytes(added, "");
        }
        const wchar_t* link = addLink ? L"added-link" : L"greeter.dll";
        listingFakes.linkPrefix = link;
        listingFakes.linkListings = 1;
        EXPECT_GT(prepare(), 0) << toUtf8(link) << ": a copy with a link was used as it was";
        expectComplete();
        EXPECT_FALSE(pathExists(added));
        EXPECT_EQ(listingFakes.linkListings, 0);
        EXPECT_EQ(prepare(), 0) << toUtf8(link) << ": the new copy is not trusted";
    }
}

TEST_F(CachedDirectory, AFileOfTheMarkersNameBelowTheTopIsOneOfTheBuilds) {
    // Only the top's is the marker; the packer lets an application have its own below.
    setCachedBuild({{L"app.dll", "MZ entry"}, {L"data\\onefile-cache-complete", "its own"}});
    ASSERT_GT(prepare(), 0);
    EXPECT_EQ(readFileBytes(cache() + L"\\data\\onefile-cache-complete"), "its own");
    EXPECT_EQ(prepare(), 0) << "a complete copy was unpacked again";
}

TEST_F(CachedDirectory, ACopyMovedIntoPlaceJustAfterAFailedHoldIsHeldNotSetAside) {
    const std::wstring copy = completeCopyAside();
    // Another run moves its copy into place between this run's failed hold
    // and its next look at the name: where there was nothing, or where there
    // was a damaged copy, which that run set aside first.
    for (bool damaged : {false, true}) {
        const std::wstring setAsideByIt = base + L"\\set-aside-by-another-run";
        if (damaged) {
            ASSERT_TRUE(MoveFileW(cache().c_str(), copy.c_str()));
            prepare();
            ASSERT_TRUE(DeleteFileW((cache() + L"\\data\\a.txt").c_str()));
        }
        beforeNextLook = [&] {
            if (damaged) {
                ASSERT_TRUE(MoveFileW(cache().c_str(), setAsideByIt.c_str()));
            }
            ASSERT_TRUE(MoveFileW(copy.c_str(), cache().c_str()));
        };
        EXPECT_EQ(prepare(), 0) << damaged << ": the copy was not held as it was";
        EXPECT_EQ(beforeNextLook, nullptr);
        expectComplete();
    }
}

void WINAPI noPause(DWORD) {}

TEST_F(CachedDirectory, ADamagedCopyInUseIsRunAroundFromAPrivateCopyBesideIt) {
    ASSERT_GT(prepare(), 0);
    const std::wstring damaged = cache() + L"\\data\\a.txt";
    ASSERT_TRUE(DeleteFileW(damaged.c_str()));
    seamSetFileInformationByHandle = refuseRenames;
    seamSleep = noPause;
    for (DWORD refusal : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
        renameRefusal = refusal;
        knownDirectories.count = 0;
        parentInstance = nullptr;
        extractionStarted = false;
        discardRunValues();
        ASSERT_TRUE(expandTargetDirectory(targetDirectorySpec()));
        EXPECT_EQ(prepareCache(), CacheRun::privateCopy) << refusal;
        const std::wstring copy = targetDirectoryPath;
        CloseHandle(InterlockedExchangePointer(&targetDirectoryHandle, nullptr));
        extractionStarted = false;
        EXPECT_EQ(copy.rfind(cache() + L".partial-", 0), 0u) << refusal << ": " << toUtf8(copy);
        for (const TestRecord& record : records) {
            EXPECT_EQ(readFileBytes(copy + L"\\" + record.name), record.content) << refusal;
        }
        EXPECT_EQ(readFileBytes(cache() + L"\\data\\b.txt"), "bbbbb")
            << refusal << ": the copy in use was not left as it was";
        removeTree(copy);
    }
    seamSetFileInformationByHandle = SetFileInformationByHandle;
    seamSleep = Sleep;
    EXPECT_GT(prepare(), 0) << "not repaired once nothing uses it";
    expectComplete();
}

// A scanner that reads the marker without sharing it, done by the run's
// first pause.
HANDLE scanner;

void WINAPI scannerDoneAtPause(DWORD) {
    if (scanner != nullptr) {
        CloseHandle(scanner);
        scanner = nullptr;
    }
}

TEST_F(CachedDirectory, ACompleteCopyWhoseMarkerIsReadByAnotherForAMomentIsWaitedFor) {
    ASSERT_GT(prepare(), 0);
    scanner = CreateFileW((cache() + L"\\" + fromUtf8(markerName)).c_str(), GENERIC_READ, 0,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
    seamSleep = scannerDoneAtPause;
    EXPECT_EQ(prepare(), 0) << "run around from a private copy instead";
    EXPECT_EQ(scanner, nullptr);
    scannerDoneAtPause(0);
    expectComplete();
}

TEST_F(CachedDirectory, ARunThatLosesTheRaceToMoveItsCopyIntoPlaceRemovesItsOwn) {
    const std::wstring copy = completeCopyAside();
    // Another run's copy arrives just before this run moves its own.
    beforeNextMove = [&] { ASSERT_TRUE(MoveFileW(copy.c_str(), cache().c_str())); };
    prepare();
    EXPECT_EQ(beforeNextMove, nullptr);
    expectComplete(); // no partial sibling is left beside it
}

TEST_F(CachedDirectory, ALosingCopyWhoseFileIsInUseKeepsItsProofForALaterSweep) {
    const std::wstring copy = completeCopyAside();
    HANDLE scanned = INVALID_HANDLE_VALUE;
    beforeNextMove = [&] {
        ASSERT_TRUE(MoveFileW(copy.c_str(), cache().c_str()));
        // A scanner reads a file the run has just written, as this run's
        // copy goes: that file stays for now.
        for (const std::wstring& name : listDirectory(folder())) {
            if (name.find(L".partial-") != std::wstring::npos) {
                scanned =
                    CreateFileW((folder() + L"\\" + name + L"\\data\\a.txt").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            }
        }
        ASSERT_NE(scanned, INVALID_HANDLE_VALUE);
    };
    prepare();
    CloseHandle(scanned);
    EXPECT_EQ(listDirectory(folder()).size(), 2u);
    // What is left still shows that the product's runs made it.
    sweepCacheFolder(folder().c_str(), testCacheId, onefileCompanyName, onefileProductName, true);
    expectComplete();
}

ProcessResult cacheProbe(const std::wstring& scenario, const std::wstring& temp) {
    return runProcess(siblingProgram(L"cache_probe.exe"), {scenario, temp});
}

TEST(CachedRunFailures, AFailedMarkerWriteLeavesNoPartialCopy) {
    const std::wstring temp = makeTemporaryDirectory(L"onefile-cache-probe");
    ProcessResult r = cacheProbe(L"marker-write-failure", temp);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, "Error, couldn't unpack file to target path. ([Error 112] " +
                         systemErrorText(112) + ")\r\n");
    // On Windows the marker's open handle would keep the copy: it is closed first.
    EXPECT_EQ(r.out.rfind("marker closed\r\nremoval lists a folder\r\n", 0), 0u) << r.out;
    EXPECT_EQ(listDirectory(temp + L"\\cache"), std::vector<std::wstring>{});
    removeTree(temp);
}

TEST(CachedRunFailures, ACopyDamagedAsItIsMovedIntoPlaceIsNotUnpackedAgainAndAgain) {
    // Another copy would fare no better: the run ends after the first.
    const std::wstring temp = makeTemporaryDirectory(L"onefile-cache-probe");
    ProcessResult r = cacheProbe(L"damaged-on-arrival", temp);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_NE(r.err.find("[Error " + std::to_string(ERROR_FILE_CORRUPT) + "]"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "a copy moved into place\r\n");
    removeTree(temp);
}

TEST(CachedRunFailures, WhatNoRunOfTheProductMadeAtTheCachesNameIsLeftAlone) {
    const std::wstring temp = makeTemporaryDirectory(L"onefile-cache-probe");
    const std::wstring folder = temp + L"\\cache";
    const std::wstring cache = folder + L"\\" + testCacheId;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    char otherProducts[256];
    size_t length = formatMarker(otherProducts, sizeof otherProducts, testCacheId,
                                 onefileCompanyName, L"Other Product", nullptr);
    struct Found {
        const char* what;
        bool directory;
        std::string marker; // in the directory; none when empty
    };
    const Found found[] = {
        {"a file", false, ""},
        {"the user's own folder", true, ""},
        {"another product's copy", true, std::string(otherProducts, length)},
    };
    for (const Found& f : found) {
        const std::wstring mine = f.directory ? cache + L"\\notes.txt" : cache;
        if (f.directory) {
            ASSERT_TRUE(CreateDirectoryW(cache.c_str(), nullptr));
        }
        writeFileBytes(mine, "mine");
        if (!f.marker.empty()) {
            writeFileBytes(cache + L"\\" + fromUtf8(markerName), f.marker);
        }
        // The run goes on from a copy of its own beside it, and leaves it be.
        ProcessResult r = cacheProbe(L"prepare", temp);
        EXPECT_EQ(r.exitCode, 0u) << f.what << ": " << r.err;
        EXPECT_EQ(r.out, "prepared a private copy\r\n") << f.what;
        std::vector<std::wstring> names = listDirectory(folder);
        ASSERT_EQ(names.size(), 2u) << f.what;
        EXPECT_EQ(names[0], testCacheId) << f.what;
        EXPECT_EQ(names[1].rfind(std::wstring(testCacheId) + L".partial-", 0), 0u) << f.what;
        EXPECT_EQ(readFileBytes(mine), "mine") << f.what;
        removeTree(folder + L"\\" + names[1]);
        removeTree(cache);
        DeleteFileW(cache.c_str());
    }
    // Once the name is free, the run unpacks.
    ProcessResult r = cacheProbe(L"prepare", temp);
    EXPECT_EQ(r.out, "prepared\r\n") << r.err;
    removeTree(temp);
}

TEST(CachedRunFailures, TheEntryNameOfACachedBuildKeepsTheRulesOfRecordNames) {
    const std::wstring temp = makeTemporaryDirectory(L"onefile-cache-probe");
    for (const wchar_t* name : {L"..\\app.dll", L"data\\..\\..\\app.dll", L"C:\\app.dll",
                                L"\\app.dll", L"app.dll:stream", L"NUL.dll", L"app.dll."}) {
        ProcessResult r = cacheProbe(std::wstring(L"entry=") + name, temp);
        EXPECT_EQ(r.exitCode, 2u) << toUtf8(name) << ": " << r.out;
        EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n") << toUtf8(name);
    }
    ProcessResult r = cacheProbe(L"entry=bin\\app.dll", temp);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_EQ(r.out,
              "named " + toUtf8(temp) + "\\cache\\" + toUtf8(testCacheId) + "\\bin\\app.dll\r\n");
    removeTree(temp);
}

// The driver's whole run in the probe, whose own run_code stands in for the
// application: the first run, which unpacks, and a later one.
TEST(CachedRun, NothingOfTheUnpackingStaysAndTheRemovalNeitherDelaysTheStartNorIsCutOffAtTheEnd) {
    const std::wstring temp = makeTemporaryDirectory(L"onefile-cache-probe");
    const std::wstring folder = temp + L"\\cache";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    // What an ended run of another build left, which stops the removal
    // beside the application until the application has returned.
    const std::wstring leftover = folder + L"\\fedcba9876543210.partial-99_000000_left";
    // Which its marker's first line shows to be the product's.
    char marker[256];
    const size_t markerLength = formatMarker(marker, sizeof marker, L"fedcba9876543210",
                                             onefileCompanyName, onefileProductName, nullptr);
    ProcessOptions options;
    options.timeoutMilliseconds = 60000;
    for (const char* run : {"first run", "later run"}) {
        ASSERT_TRUE(CreateDirectoryW(leftover.c_str(), nullptr)) << run;
        writeFileBytes(leftover + L"\\" + fromUtf8(markerName), std::string(marker, markerLength));
        ProcessResult r = runProcess(siblingProgram(L"cache_probe.exe"), {L"run", temp}, options);
        EXPECT_FALSE(r.timedOut) << run;
        EXPECT_EQ(r.exitCode, 7u) << run << ": " << r.out << r.err;
        EXPECT_EQ(r.out, "console handler gone\r\nshutdown level as at the start\r\ncache "
                         "held\r\nremoval beside the application\r\nremoval went on once the "
                         "application returned\r\n")
            << run;
        EXPECT_FALSE(pathExists(leftover)) << run;
        EXPECT_EQ(readFileBytes(folder + L"\\" + testCacheId + L"\\data\\a.txt"), "aaaa") << run;
    }
    removeTree(temp);
}

} // namespace
