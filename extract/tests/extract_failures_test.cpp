// Outcomes of the record loop that end the process, watched from outside.
#include <gtest/gtest.h>

#include <algorithm>

#include "extract/target_directory.h"
#include "tests/support/process.h"

namespace {

// Every path below `directory`, relative to it, sorted.
std::vector<std::wstring> treeOf(const std::wstring& directory, const std::wstring& prefix = L"") {
    std::vector<std::wstring> found;
    forEachEntry(directory, [&](const WIN32_FIND_DATAW& entry) {
        std::wstring name = entry.cFileName;
        found.push_back(prefix + name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            std::vector<std::wstring> below =
                treeOf(directory + L"\\" + name, prefix + name + L"\\");
            found.insert(found.end(), below.begin(), below.end());
        }
    });
    std::sort(found.begin(), found.end());
    return found;
}

std::string noFreshDirectory(DWORD code) {
    return "Error, couldn't create a fresh target directory. ([Error " + std::to_string(code) +
           "] " + systemErrorText(code) + ")\r\n";
}

class RecordLoopFailures : public testing::Test {
  protected:
    void SetUp() override { base = makeTemporaryDirectory(L"onefile-extract-fail"); }
    void TearDown() override { removeTree(base); }

    ProcessResult probe(const std::wstring& scenario, const std::wstring& target) {
        return runProcess(siblingProgram(L"extract_probe.exe"), {scenario, target});
    }

    std::wstring base;
};

TEST_F(RecordLoopFailures, AnOpenFailureStopsAtThatRecordAndNamesItsFullPath) {
    std::wstring target = base + L"\\T";
    ProcessResult r = probe(L"open-failure", target);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Error, failed to open '" + toUtf8(target) + "\\blocker\\x.txt' for writing.\r\n");
    // What was written before goes with the directory, before the report.
    EXPECT_FALSE(pathExists(target));
}

TEST_F(RecordLoopFailures, AFailedWriteReportsTheSystemTextAndLeavesNothing) {
    ProcessResult r = probe(L"write-failure", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, "Error, couldn't unpack file to target path. ([Error 112] " +
                         systemErrorText(112) + ")\r\n");
    EXPECT_FALSE(pathExists(base + L"\\T"));
}

TEST_F(RecordLoopFailures, AChildThatCannotBeStartedLeavesNothing) {
    ProcessResult r = probe(L"launch-failure", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, couldn't launch child ([Error 2] " + systemErrorText(2) + ")\r\n");
    EXPECT_FALSE(pathExists(base + L"\\T"));
}

TEST_F(RecordLoopFailures, AFailingChildLeavesTheDirectoryToItsParent) {
    std::wstring target = base + L"\\T";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    writeFileBytes(target + L"\\other.txt", "o");
    ProcessResult r = probe(L"child-load-failure", target);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err.rfind("Error, load DLL. ([Error ", 0), 0u) << r.err;
    EXPECT_EQ(readFileBytes(target + L"\\other.txt"), "o");
}

TEST_F(RecordLoopFailures, NamesUpTo1023UnitsAreTakenAndLongerOnesRefused) {
    ProcessResult r = probe(L"name-1023", base + L"\\T");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    std::wstring name;
    for (int i = 0; i < 4; ++i) {
        name += std::wstring(200, L'n') + L"\\";
    }
    name += std::wstring(219, L'n');
    ASSERT_EQ(name.size(), 1023u);
    EXPECT_EQ(readFileBytes(base + L"\\T\\" + name), "long");
    EXPECT_EQ(readFileBytes(base + L"\\T\\later.txt"), "l");

    r = probe(L"name-1024", base + L"\\U");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_FALSE(pathExists(base + L"\\U"));
}

TEST_F(RecordLoopFailures, AFullPathBeyond4095UnitsEndsTheProcessAtOnce) {
    // "C:\" + padding + "\app.dll": exactly 4095 units fits, 4096 does not.
    std::wstring fits = L"C:\\" + std::wstring(4095 - 3 - 8, L'p');
    std::wstring over = fits + L"p";
    ProcessResult r = probe(L"path-too-long", over);
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.out + r.err, "");
    // The one that fits gets as far as the file system, which refuses it.
    r = probe(L"path-too-long", fits);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_NE(r.err.find("Error, failed to open 'C:\\ppp"), std::string::npos) << r.err;
}

TEST_F(RecordLoopFailures, ARecordLongerThanTheStreamFailsToDecodeAndLeavesNothing) {
    ProcessResult r = probe(L"truncated", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_FALSE(pathExists(base + L"\\T"));
}

TEST_F(RecordLoopFailures, ASizeOf4GiBOrMoreIsReadWholeAndOutrunsTheStream) {
    // No test needs a 4 GiB file: the size field says 2^32 + 5, 5 bytes follow.
    std::wstring target = base + L"\\T";
    ProcessResult r = probe(L"size-over-4gib", target);
    EXPECT_EQ(r.exitCode, 2u) << r.out << r.err;
    EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_EQ(r.err, "");
    // The record after it is content of the large file, never a file of its own.
    EXPECT_FALSE(pathExists(target + L"\\later.txt"));
}

TEST_F(RecordLoopFailures, ARegistryCopyThatCannotBeAllocatedIsReported) {
    ProcessResult r = probe(L"allocation-failure", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, couldn't allocate memory.\r\n");
}

TEST_F(RecordLoopFailures, DamagedRecordStreamsEndCleanlyNeverByACrash) {
    // Every outcome is one the bootstrap chooses: done, a reported failure
    // (2) or an immediate termination (3); never a fault or a hang.
    for (int seed = 1; seed <= 40; ++seed) {
        std::wstring target = base + L"\\T" + std::to_wstring(seed);
        ProcessResult r = probe(L"damaged=" + std::to_wstring(seed), target);
        EXPECT_FALSE(r.timedOut) << seed;
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 2 || r.exitCode == 3)
            << "seed " << seed << ": status " << std::hex << r.exitCode << " " << r.out << r.err;
    }
}

TEST_F(RecordLoopFailures, NamesThatCouldLeadElsewhereAreRefusedBeforeAnythingOfThemIsWritten) {
    const std::wstring refused[] = {L"..\\escaped-onefile.txt",
                                    L"a\\..\\..\\escaped-onefile.txt",
                                    L"a/../../escaped-onefile.txt",
                                    L"..",
                                    L".\\dot.txt",
                                    L"a\\.\\b.txt",
                                    L"\\rooted-onefile.txt",
                                    L"/rooted-onefile.txt",
                                    L"a\\\\b.txt",
                                    L"a\\",
                                    L"C:\\drive-onefile.txt",
                                    L"C:drive-onefile.txt",
                                    L"x.txt:stream",
                                    L"\\\\?\\C:\\device-onefile.txt",
                                    L"NUL",
                                    L"con.txt",
                                    L"dots...",
                                    L"...\\x.txt",
                                    L"space \\x.txt",
                                    L"tab\there"};
    int i = 0;
    for (const std::wstring& name : refused) {
        std::wstring outer = base + L"\\" + std::to_wstring(i++);
        std::wstring target = outer + L"\\deep\\T";
        ProcessResult r = probe(L"record=" + name, target);
        EXPECT_EQ(r.exitCode, 2u) << toUtf8(name);
        EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n") << toUtf8(name);
        // The first record was written; nothing of the refused one or after it, anywhere.
        EXPECT_EQ(treeOf(outer),
                  (std::vector<std::wstring>{L"deep", L"deep\\T", L"deep\\T\\app.dll"}))
            << toUtf8(name);
    }
    // A child refuses such a name too when it comes first, instead of loading from it.
    for (const wchar_t* name :
         {L"..\\escaped-onefile.txt", L"a/../../escaped-onefile.txt", L"C:\\drive-onefile.txt"}) {
        ProcessResult child =
            runProcess(siblingProgram(L"extract_probe.exe"),
                       {L"record=" + std::wstring(name), L"--child", base + L"\\T"});
        EXPECT_EQ(child.exitCode, 2u) << toUtf8(name);
        EXPECT_EQ(child.out, "Error, couldn't decode attached data.\r\n") << toUtf8(name);
    }
    for (const wchar_t* outside :
         {L"C:\\drive-onefile.txt", L"C:\\rooted-onefile.txt", L"C:\\device-onefile.txt"}) {
        EXPECT_FALSE(pathExists(outside)) << toUtf8(outside);
    }
}

TEST_F(RecordLoopFailures, NamesWindowsHoldsAsTheyAreStillUnpack) {
    // Close to the refused ones, but each names a plain file in the target directory.
    for (const wchar_t* name : {L".hidden", L"a..b", L" leading", L"CONSOLE", L"com10.txt",
                                L"x.con", L"nul_", L"\u00e9t\u00e9\\b.txt"}) {
        std::wstring target = base + L"\\T";
        ProcessResult r = probe(L"record=" + std::wstring(name), target);
        EXPECT_EQ(r.exitCode, 0u) << toUtf8(name) << r.out << r.err;
        EXPECT_EQ(readFileBytes(target + L"\\" + name), "bad") << toUtf8(name);
        EXPECT_EQ(readFileBytes(target + L"\\later.txt"), "l");
        EXPECT_TRUE(removeTree(target));
    }
}

TEST_F(RecordLoopFailures, WhenEveryNameIsTakenTheParentGivesUpWritingNothing) {
    ProcessResult r = probe(L"take-every-name", base + L"\\run_{RANDOM}");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, noFreshDirectory(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(r.out, "private-creations " + std::to_string(targetDirectoryAttempts) + "\r\n");
    // One name an attempt, each someone else's directory, each left empty.
    std::vector<std::wstring> names = treeOf(base);
    EXPECT_EQ(names.size(), static_cast<size_t>(targetDirectoryAttempts));
    for (const std::wstring& name : names) {
        EXPECT_EQ(name.rfind(L"run_", 0), 0u) << toUtf8(name);
        EXPECT_EQ(name.find(L'\\'), std::wstring::npos) << toUtf8(name);
    }
}

TEST_F(RecordLoopFailures, AFreshDirectoryLookedAtAsItIsHeldIsStillTheRunsOwn) {
    ProcessResult r = probe(L"looked-at", base + L"\\run_{RANDOM}");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    // No empty directory of a name given up beside it.
    std::vector<std::wstring> names = treeOf(base);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], names[0] + L"\\app.dll");
    EXPECT_NE(r.out.find("created " + toUtf8(base + L"\\" + names[0]) + "\r\n"), std::string::npos)
        << r.out;
}

TEST_F(RecordLoopFailures, AFixedNameThatExistsIsNeverTakenOver) {
    // A spec without per-run values gives the same name every time.
    std::wstring directory = base + L"\\fixed-directory";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    writeFileBytes(directory + L"\\app.dll", "planted");
    std::wstring file = base + L"\\fixed-file";
    writeFileBytes(file, "someone else's");
    for (const std::wstring& taken : {directory, file}) {
        ProcessResult r = probe(L"create-target", taken);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_EQ(r.err, noFreshDirectory(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(r.out, "private-creations " + std::to_string(targetDirectoryAttempts) + "\r\n");
    }
    EXPECT_EQ(treeOf(base), (std::vector<std::wstring>{
                                L"fixed-directory", L"fixed-directory\\app.dll", L"fixed-file"}));
    EXPECT_EQ(readFileBytes(directory + L"\\app.dll"), "planted");
    EXPECT_EQ(readFileBytes(file), "someone else's");
}

TEST_F(RecordLoopFailures, AnyOtherFailureToCreateItEndsTheRunAtOnce) {
    wchar_t drive = 0;
    for (wchar_t letter = L'Y'; letter >= L'M' && drive == 0; --letter) {
        if (GetDriveTypeW((std::wstring(1, letter) + L":\\").c_str()) == DRIVE_NO_ROOT_DIR) {
            drive = letter;
        }
    }
    ASSERT_NE(drive, 0);
    ProcessResult r = probe(L"create-target", std::wstring(1, drive) + L":\\run_{RANDOM}");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "private-creations 1\r\n");
    size_t open = r.err.find("([Error ");
    ASSERT_NE(open, std::string::npos) << r.err;
    DWORD code = std::stoul(r.err.substr(open + 8));
    EXPECT_NE(code, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(r.err, noFreshDirectory(code));
}

} // namespace
