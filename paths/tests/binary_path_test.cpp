// The own executable path: one resolved text however the program was reached,
// the normalisation of other paths, and the limits that end the process.
#include <gtest/gtest.h>

#include <algorithm>

#include "paths/tests/paths_fixture.h"

using namespace paths_test;

namespace {

const std::wstring longDirectoryName = L"Long Directory Name With Spaces";
const std::wstring copyName = L"Paths Probe Copy.exe";

std::wstring upperCase(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), ::towupper);
    return text;
}

std::wstring lastComponent(const std::wstring& path) {
    return path.substr(path.find_last_of(L'\\') + 1);
}

// A copy of the probe in a directory with a long name with spaces.
class OwnPath : public testing::Test {
  protected:
    void SetUp() override {
        root = makeTemporaryDirectory(L"onefile-paths-test");
        directory = root + L"\\" + longDirectoryName;
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        program = directory + L"\\" + copyName;
        ASSERT_TRUE(CopyFileW(siblingProgram(L"paths_probe.exe").c_str(), program.c_str(), TRUE));
        shortDirectory = shortForm(directory);
        // Wine makes short names for long ones; the tests need them to differ.
        ASSERT_NE(shortDirectory, directory);
        ASSERT_LT(shortDirectory.size(), directory.size());
        resolved = toUtf8(shortDirectory + L"\\" + copyName);
    }
    void TearDown() override { removeTree(root); }

    ProcessResult start(const std::wstring& path, const std::vector<std::wstring>& arguments) {
        return runProcess(path, arguments, cleanOptions());
    }

    std::wstring root, directory, program, shortDirectory;
    std::string resolved;
};

TEST_F(OwnPath, ResolvedFormIsTheSameHoweverTheProgramWasReached) {
    const std::wstring shortProgram = shortForm(program);
    ASSERT_NE(lastComponent(shortProgram), copyName);
    const std::vector<std::wstring> ways = {
        program,
        shortProgram,
        L"\\\\?\\" + program,
        L"\\\\?\\" + shortProgram,
        upperCase(program),
        directory + L"\\.\\..\\" + longDirectoryName + L"\\" + copyName,
    };
    for (const std::wstring& way : ways) {
        ProcessResult r = start(way, {L"binary-path"});
        ASSERT_EQ(r.exitCode, 0u) << toUtf8(way) << r.out;
        EXPECT_EQ(field(r.out, "resolved"), resolved) << toUtf8(way);
        EXPECT_EQ(field(r.out, "buffers"), "process-wide");
    }
    // The reported form is the module name, long directory and all.
    ProcessResult r = start(program, {L"binary-path"});
    EXPECT_EQ(field(r.out, "reported"), toUtf8(program));
}

TEST_F(OwnPath, NormalisingAnyFormOfAPathGivesTheResolvedForm) {
    const std::wstring shortProgram = shortForm(program);
    for (const std::wstring& form :
         {program, shortProgram, L"\\\\?\\" + program, L"\\\\?\\" + shortProgram,
          upperCase(program), shortDirectory + L"\\" + copyName}) {
        ProcessResult r = runProbe({L"normalize", L"4097", form});
        ASSERT_EQ(r.exitCode, 0u) << toUtf8(form) << r.out;
        EXPECT_EQ(field(r.out, "result"), resolved) << toUtf8(form);
    }
    // The smaller capacity of the other process's image path works alike.
    ProcessResult r = runProbe({L"normalize", L"2048", upperCase(program)});
    EXPECT_EQ(field(r.out, "result"), resolved);
}

TEST_F(OwnPath, AFileThatCannotBeOpenedOnlyGetsItsDirectoryShortened) {
    const std::wstring missing = L"Missing File Name.exe";
    ProcessResult r = runProbe({L"normalize", L"4097", directory + L"\\" + missing});
    EXPECT_EQ(field(r.out, "result"), toUtf8(shortDirectory + L"\\" + missing));
    // No final path, so no prefix removal either.
    r = runProbe({L"normalize", L"4097", L"\\\\?\\" + directory + L"\\" + missing});
    EXPECT_EQ(field(r.out, "result"), toUtf8(shortForm(L"\\\\?\\" + directory) + L"\\" + missing));
    ASSERT_EQ(field(r.out, "result").rfind("\\\\?\\", 0), 0u);
    // A directory that does not exist has no short form: nothing changes.
    for (const std::wstring& path :
         {root + L"\\No Such Directory\\x.exe", std::wstring(L"Relative Name.exe"),
          std::wstring(L"\\Rooted Name.exe"), std::wstring(L"")}) {
        r = runProbe({L"normalize", L"4097", path});
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_EQ(field(r.out, "result"), toUtf8(path));
    }
}

TEST_F(OwnPath, OwnFileThatCannotBeOpenedAndTheCacheThatOutlivesIt) {
    // Started under an upper-case name, so that a fresh resolution that cannot
    // open the file differs visibly from one through the final path.
    const std::wstring startedAs = upperCase(program);
    ProcessResult r = start(startedAs, {L"binary-path", L"--rename-self", L"Renamed Away.exe"});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "resolved"), resolved);
    // Asked again after the file has gone: the same buffer, the same text.
    EXPECT_EQ(field(r.out, "resolved-again"), resolved);
    EXPECT_EQ(field(r.out, "same-buffer"), "yes");
    EXPECT_EQ(field(r.out, "reported-again"), field(r.out, "reported"));
    // Resolving the reported name afresh now cannot open it: directory shortened only.
    const std::wstring reported = fromUtf8(field(r.out, "reported"));
    const std::wstring reportedDirectory = reported.substr(0, reported.find_last_of(L'\\'));
    EXPECT_EQ(field(r.out, "fresh"),
              toUtf8(shortForm(reportedDirectory) + L"\\" + lastComponent(reported)));
    EXPECT_NE(field(r.out, "fresh"), resolved);
}

TEST(OwnPathCache, AFilledBufferIsReturnedWithoutAskingTheSystem) {
    ProcessResult r = runProbe({L"binary-path", L"--plant-resolved", L"X:\\planted\\app.exe",
                                L"--plant-reported", L"Y:\\planted too\\app.exe"});
    ASSERT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "resolved"), "X:\\planted\\app.exe");
    EXPECT_EQ(field(r.out, "reported"), "Y:\\planted too\\app.exe");
    // Each form is filled on its own.
    r = runProbe({L"binary-path", L"--plant-resolved", L"X:\\planted\\app.exe"});
    EXPECT_EQ(field(r.out, "reported"), toUtf8(siblingProgram(L"paths_probe.exe")));
}

// Final paths that Wine never gives, played through the test copy's query;
// the file opening and the short-path query stay real.
TEST_F(OwnPath, UncFinalPathBecomesTwoBackslashesAndTheServer) {
    const std::wstring unc = L"\\\\server\\share\\" + longDirectoryName;
    ProcessResult r =
        runSeamProbe({L"normalize", L"--final-path",
                      L"\\\\?\\UNC\\server\\share\\" + longDirectoryName + L"\\app.exe",
                      L"--short-path", unc + L"=\\\\server\\share\\LONGDI~1", L"4097", program});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "result"), "\\\\server\\share\\LONGDI~1\\app.exe");
    EXPECT_EQ(field(r.out, "final-path-capacity"), "4097");
    // Where the share's directory has no short form, it stays as it is.
    r = runSeamProbe({L"normalize", L"--final-path",
                      L"\\\\?\\UNC\\server\\share\\" + longDirectoryName + L"\\app.exe", L"4097",
                      program});
    EXPECT_EQ(field(r.out, "result"), toUtf8(unc + L"\\app.exe"));
}

TEST_F(OwnPath, FinalPathWithoutDriveColonKeepsItsPrefix) {
    for (const std::wstring& final :
         {std::wstring(L"\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\dir\\app.exe"),
          std::wstring(L"\\\\?\\GLOBALROOT\\Device\\X\\app.exe"),
          std::wstring(L"\\\\?\\C\\:\\app.exe")}) {
        ProcessResult r = runSeamProbe({L"normalize", L"--final-path", final, L"4097", program});
        ASSERT_EQ(r.exitCode, 0u) << r.out;
        EXPECT_EQ(field(r.out, "result"), toUtf8(final));
    }
    // With the colon in sixth place the prefix goes.
    ProcessResult r =
        runSeamProbe({L"normalize", L"--final-path", L"\\\\?\\" + program, L"4097", program});
    EXPECT_EQ(field(r.out, "result"), resolved);
}

TEST_F(OwnPath, FailedOrMissingFinalPathQueryKeepsThePath) {
    const std::wstring shortProgram = shortForm(program);
    // A failed query leaves the path as it was (not the query's leftovers).
    ProcessResult r = runSeamProbe({L"normalize", L"--final-path-fails", L"4097", shortProgram});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "result"), toUtf8(shortProgram));
    // Without the query (older systems) the prefix is still removed.
    r = runSeamProbe({L"normalize", L"--final-path-missing", L"4097", L"\\\\?\\" + shortProgram});
    EXPECT_EQ(field(r.out, "result"), toUtf8(shortProgram));
    EXPECT_EQ(r.out.find("final-path-capacity"), std::string::npos);
    // With it, the file name comes back long.
    r = runSeamProbe({L"normalize", L"4097", L"\\\\?\\" + shortProgram});
    EXPECT_EQ(field(r.out, "result"), resolved);
}

TEST_F(OwnPath, FinalPathMustFitTheCapacity) {
    const std::wstring shortProgram = shortForm(program);
    const size_t finalLength = 4 + program.size(); // "\\?\" and the long path
    ASSERT_LT(shortProgram.size() + 1, finalLength);
    ProcessResult r = runProbe({L"normalize", std::to_wstring(finalLength + 1), shortProgram});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "result"), resolved);
    r = runProbe({L"normalize", std::to_wstring(finalLength), shortProgram});
    EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    EXPECT_EQ(r.out, "");
}

TEST(NormalizeExecutablePath, PathWithoutTerminatorWithinItsCapacityEndsTheProcess) {
    for (const wchar_t* command : {L"normalize", L"shorten"}) {
        ProcessResult r = runProbe({command, L"--unterminated", L"64", L"C:\\windows\\"});
        EXPECT_EQ(r.exitCode, endedAtOnce) << toUtf8(command) << r.out;
        EXPECT_EQ(r.out, "");
    }
}

// Wine's short names for names like "a b" are longer than the names.
class ShortFormLimits : public testing::Test {
  protected:
    void SetUp() override {
        root = makeTemporaryDirectory(L"onefile-paths-test");
        directory = root;
        for (int i = 0; i < 10; ++i) {
            directory += L"\\a b";
            ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        }
        shortDirectory = shortForm(directory);
        path = directory + L"\\f";
        ASSERT_GT(shortDirectory.size(), path.size() + 1) << toUtf8(shortDirectory);
    }
    void TearDown() override { removeTree(root); }
    std::wstring root, directory, shortDirectory, path;
};

TEST_F(ShortFormLimits, ShortFormAndRestoredNameMustFit) {
    const size_t exact = shortDirectory.size() + 3; // "\f" and the terminator
    for (const wchar_t* command : {L"shorten", L"normalize"}) {
        ProcessResult r = runProbe({command, std::to_wstring(exact), path});
        EXPECT_EQ(r.exitCode, 0u) << r.out;
        EXPECT_EQ(field(r.out, "result"), toUtf8(shortDirectory + L"\\f"));
        // The file name no longer fits after the short directory.
        r = runProbe({command, std::to_wstring(exact - 1), path});
        EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
        EXPECT_EQ(r.out, "");
        // The short directory itself no longer fits.
        r = runProbe({command, std::to_wstring(shortDirectory.size()), path});
        EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    }
}

TEST_F(ShortFormLimits, ShortFormThatChangesBetweenTheTwoQuestions) {
    // Grown: the buffer sized by the first answer no longer holds it.
    ProcessResult r = runSeamProbe({L"shorten", L"--short-path-grows", L"4097", path});
    EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    EXPECT_EQ(r.out, "");
    // Gone: nothing is copied, the path is put back as it was.
    r = runSeamProbe({L"shorten", L"--short-path-fails-second", L"4097", path});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "result"), toUtf8(path));
}

TEST_F(ShortFormLimits, PathsWithoutDirectoryPart) {
    // Converted whole, relative to the working directory.
    ProcessOptions options = cleanOptions();
    options.workingDirectory = root;
    ProcessResult r =
        runProcess(siblingProgram(L"paths_probe.exe"), {L"shorten", L"4097", L"a b"}, options);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "result"), toUtf8(lastComponent(shortForm(root + L"\\a b"))));
    // An empty directory part has no short form.
    r = runProbe({L"shorten", L"4097", L"\\a b"});
    EXPECT_EQ(field(r.out, "result"), "\\a b");
}

} // namespace
