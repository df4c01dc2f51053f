// Outcomes of the record loop that end the process, watched from outside.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

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
    // What was written before stays; nothing after the failing record is written.
    EXPECT_EQ(readFileBytes(target + L"\\app.dll"), "MZ");
    EXPECT_EQ(readFileBytes(target + L"\\blocker"), "b");
    EXPECT_FALSE(pathExists(target + L"\\later.txt"));
}

TEST_F(RecordLoopFailures, AFailedWriteReportsTheSystemText) {
    ProcessResult r = probe(L"write-failure", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, "Error, couldn't unpack file to target path. ([Error 112] " +
                         systemErrorText(112) + ")\r\n");
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

TEST_F(RecordLoopFailures, ARecordLongerThanTheStreamFailsToDecode) {
    ProcessResult r = probe(L"truncated", base + L"\\T");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
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

} // namespace
