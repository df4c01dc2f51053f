// Streams, texts and exit statuses of the failure reports, watched from outside.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

ProcessResult probe(const std::vector<std::wstring>& arguments) {
    return runProcess(siblingProgram(L"errors_probe.exe"), arguments);
}

TEST(FatalError, WritesOneLineToStandardOutputAndExitsWithTwo) {
    ProcessResult r = probe({L"fatal-error"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(FatalErrorWithCode, PrintsTheSystemTextWithoutItsLineEndToStandardError) {
    std::string text = systemErrorText(2);
    ASSERT_FALSE(text.empty());
    ProcessResult r = probe({L"with-code", L"2"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, load DLL. ([Error 2] " + text + ")\r\n");
    // The message ends in ")" and exactly one line break.
    EXPECT_EQ(r.err.find("\r\n"), r.err.size() - 2);
}

TEST(FatalErrorWithCode, KeepsTheMessageExactlyAsGivenWithoutFullStop) {
    ProcessResult r = probe({L"launch-failure", L"5"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, "Error, couldn't launch child ([Error 5] " + systemErrorText(5) + ")\r\n");
}

TEST(FatalErrorWithCode, PrintsCodesFromTheHighBitOnAsNegativeNumbers) {
    ProcessResult r = probe({L"with-code", L"0x80070005"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_NE(r.err.find("[Error -2147024891]"), std::string::npos) << r.err;
    r = probe({L"with-code", L"0xFFFFFFFF"});
    EXPECT_NE(r.err.find("[Error -1]"), std::string::npos) << r.err;
}

TEST(FatalErrorWithCode, StillPrintsTheWholeLineWhenTheSystemHasNoText) {
    // A code no system message table holds.
    ASSERT_EQ(systemErrorText(0x2000BEEF), "");
    ProcessResult r = probe({L"with-code", L"0x2000BEEF"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err.rfind("Error, load DLL. ([Error 536919791] ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 3), ")\r\n");
    EXPECT_GT(r.err.size(), std::string("Error, load DLL. ([Error 536919791] )\r\n").size());
}

TEST(FatalSpecExpansionError, NamesTheSpecOnStandardErrorAndEndsWithThree) {
    ProcessResult r = probe({L"spec", L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
}

TEST(FatalOpenFailure, NamesThePathOnStandardErrorAndExitsWithTwo) {
    ProcessResult r = probe({L"open", L"C:\\t\\onefile_1\\app.dll"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, failed to open 'C:\\t\\onefile_1\\app.dll' for writing.\r\n");
}

TEST(FatalOpenFailure, PrintsThePathUpToItsFirstCharacterFromU0100On) {
    // U+00E9 is below U+0100 and becomes the single byte 0xE9; U+0101 ends the path.
    ProcessResult r = probe({L"open", L"C:\\caf\u00e9\\x\u0101yz\\f.dll"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, "Error, failed to open 'C:\\caf\xe9\\x' for writing.\r\n");
    r = probe({L"spec", L"\u4e2d{TEMP}"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec ''.\r\n");
}

TEST(TerminateImmediately, EndsWithThreeAndSaysNothing) {
    ProcessResult r = probe({L"terminate"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// Bounded operations at capacity - 1, capacity and capacity + 1 characters of
// text (the terminator needs the last cell).
struct BoundedCase {
    const wchar_t* operation;
    unsigned existing;
};

class Bounded : public testing::TestWithParam<BoundedCase> {};

TEST_P(Bounded, FitsUpToCapacityMinusOneAndEndsTheProcessBeyond) {
    const unsigned capacity = 16;
    const BoundedCase c = GetParam();
    for (unsigned total : {capacity - 1, capacity, capacity + 1}) {
        unsigned added = total - c.existing;
        ProcessResult r = probe({L"bounded", c.operation, std::to_wstring(capacity),
                                 std::to_wstring(c.existing), std::to_wstring(added)});
        if (total < capacity) {
            EXPECT_EQ(r.exitCode, 0u) << total;
            EXPECT_EQ(r.out, std::to_string(total) + "\r\n");
        } else {
            EXPECT_EQ(r.exitCode, 3u) << "total " << total << ": " << r.out;
            EXPECT_EQ(r.out, "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, Bounded,
                         testing::Values(BoundedCase{L"copy", 0}, BoundedCase{L"append", 0},
                                         BoundedCase{L"append", 9}, BoundedCase{L"character", 0},
                                         BoundedCase{L"character", 9}));

TEST(Bounded, PathSizedBuffersTakeExactly4095Characters) {
    ProcessResult r = probe({L"bounded", L"append", L"4096", L"4000", L"95"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, "4095\r\n");
    r = probe({L"bounded", L"append", L"4096", L"4000", L"96"});
    EXPECT_EQ(r.exitCode, 3u);
}

} // namespace
