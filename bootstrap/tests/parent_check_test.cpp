// The role decision: a child of this very program is recognised, also when
// the parent's memory cannot be read; anything else is a parent.
#include <gtest/gtest.h>

#include "formats/handshake.h"
#include "tests/support/process.h"

namespace {

std::wstring probe() {
    return siblingProgram(L"parent_check_probe.exe");
}

TEST(ParentCheck, AChildOfThisProgramIsRecognised) {
    ProcessResult r = runProcess(probe(), {L"spawn"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, "child\r\n");
}

TEST(ParentCheck, AParentWhoseMemoryCannotBeReadIsStillRecognised) {
    // Taken for a parent, the child would start a child of its own, and so on.
    ProcessResult r = runProcess(probe(), {L"spawn", L"--unreadable"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, "child\r\n");
}

TEST(ParentCheck, ALiveParentsIdentifierInAnotherFormGivesTheParentRole) {
    // A sign or a space in front reads as the same number to the conversion,
    // but no parent writes it: the run must not take a directory it did not
    // make for its own, in cached mode no more than in any other.
    for (const wchar_t* prefix : {L"+", L" ", L"\t"}) {
        ProcessResult r = runProcess(probe(), {L"spawn", std::wstring(L"--prefix=") + prefix});
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_EQ(r.out, "parent\r\n") << toUtf8(prefix);
    }
}

TEST(ParentCheck, AnotherFileAtTheParentsPathOrAForgedIdentityGivesTheParentRole) {
    // "altered": the parent's path names another file by now, as when a
    // self-updater has written the new build there; "copied": one whose last
    // write time is the parent's, which only the file's index tells apart;
    // the rest are not of the form a parent writes.
    const std::wstring folder = makeTemporaryDirectory(L"onefile-parent-check");
    const std::wstring copy = folder + L"\\parent_check_probe.exe";
    ASSERT_TRUE(CopyFileW(probe().c_str(), copy.c_str(), TRUE));
    for (const wchar_t* image : {L"altered", L"copied", L"upper", L"longer"}) {
        const bool copied = std::wstring(image) == L"copied";
        ProcessResult r =
            runProcess(copied ? copy : probe(), {L"spawn", std::wstring(L"--image=") + image});
        EXPECT_EQ(r.exitCode, 0u) << toUtf8(image);
        EXPECT_EQ(r.out, "parent\r\n") << toUtf8(image);
    }
    // A child that cannot tell its own identity goes by the path, but not
    // with a value that is not of the parent's form.
    ProcessResult r = runProcess(probe(), {L"spawn", L"--own-image-unknown"});
    EXPECT_EQ(r.out, "child\r\n");
    for (const wchar_t* image : {L"longer", L"past-f"}) {
        r = runProcess(probe(),
                       {L"spawn", L"--own-image-unknown", std::wstring(L"--image=") + image});
        EXPECT_EQ(r.out, "parent\r\n") << toUtf8(image);
    }
    removeTree(folder);
}

TEST(ParentCheck, AnyOtherValueGivesTheParentRole) {
    for (std::wstring value :
         {std::to_wstring(GetCurrentProcessId()), std::wstring(L"12abc"), std::wstring(L""),
          std::wstring(L"4294967296"), std::wstring(L"-1")}) {
        ProcessOptions options;
        options.environment[fromUtf8(handshakeParentVariable)] = value;
        ProcessResult r = runProcess(probe(), {L"check"}, options);
        EXPECT_EQ(r.out, "parent\r\n") << toUtf8(value);
        r = runProcess(probe(), {L"check", L"--unreadable"}, options);
        EXPECT_EQ(r.out, "parent\r\n") << toUtf8(value);
    }
}

} // namespace
