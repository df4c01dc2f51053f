// What the child says when its entry library does not load for want of a
// library or a function: the system's text, then the name of what is
// missing and of the library that imports it.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

// A folder standing for the target directory, holding built libraries
// (paths below the test programs' folder) under the names given.
class Package : public testing::Test {
  protected:
    std::wstring directory = makeTemporaryDirectory(L"onefile-imports");
    ~Package() override { removeTree(directory); }
    void add(const std::wstring& built, const std::wstring& name) {
        ASSERT_TRUE(CopyFileW((testProgramDirectory() + L"\\" + built).c_str(),
                              (directory + L"\\" + name).c_str(), FALSE));
    }
    ProcessResult run(const wchar_t* command, const std::vector<std::wstring>& more = {}) {
        std::vector<std::wstring> arguments = {command, directory + L"\\uses_helper.dll"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return runProcess(siblingProgram(L"launch_probe.exe"), arguments);
    }
};

std::string loadFailure(DWORD code, const std::string& detail) {
    return "Error, load DLL. ([Error " + std::to_string(code) + "] " + systemErrorText(code) +
           ") " + detail + "\r\n";
}

TEST_F(Package, ALibraryTheEntryImportsIsNamedWithTheEntry) {
    add(L"uses_helper.dll", L"uses_helper.dll");
    ProcessResult r = run(L"run-entry");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err,
              loadFailure(126, "uses_helper.dll imports helper.dll, which cannot be found."));
}

TEST_F(Package, ALibraryThatALibraryOfThePackageImportsIsNamedWithThatLibrary) {
    add(L"uses_helper.dll", L"uses_helper.dll");
    add(L"relayed\\helper.dll", L"helper.dll");
    ProcessResult r = run(L"run-entry");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, loadFailure(126, "helper.dll imports relay.dll, which cannot be found."));
}

TEST_F(Package, AFunctionALibraryDoesNotExportIsNamedWhenTheLoadFailsForIt) {
    // Wine loads such a library, so the probe fails the load as Windows does.
    add(L"uses_helper.dll", L"uses_helper.dll");
    add(L"lite\\helper.dll", L"helper.dll");
    ProcessResult r = run(L"run-entry-refused");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, loadFailure(127, "uses_helper.dll imports greet_loudly from helper.dll, "
                                      "which does not export it."));
    // With every function there, the walk has nothing to name.
    add(L"helper.dll", L"helper.dll");
    r = run(L"run-entry-refused");
    EXPECT_EQ(r.err, "Error, load DLL. ([Error 127] " + systemErrorText(127) + ")\r\n");
}

TEST_F(Package, AnOrdinalALibraryDoesNotExportIsNamedWhenTheLoadFailsForIt) {
    // This helper.dll exports ordinal 1 alone: ordinal 2 lies past its table.
    add(L"uses_helper_by_ordinal.dll", L"uses_helper.dll");
    add(L"lite\\helper.dll", L"helper.dll");
    ProcessResult r = run(L"run-entry-refused", {std::to_wstring(ERROR_INVALID_ORDINAL)});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err, loadFailure(ERROR_INVALID_ORDINAL,
                                 "uses_helper.dll imports ordinal 2 from helper.dll, which does "
                                 "not export it."));
}

} // namespace
