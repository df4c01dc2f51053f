// The child's command line: quoting that CommandLineToArgvW undoes exactly,
// the exact forms the quoting produces, and its capacity.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include "launch/command_line.h"
#include "tests/support/process.h"

namespace {

std::wstring quotedByBootstrap(const std::wstring& argument) {
    childCommandLine[0] = 0;
    childCommandLineLength = 0;
    appendQuotedArgument(argument.c_str());
    return childCommandLine;
}

std::vector<std::wstring> split(const std::wstring& commandLine) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(arguments, arguments + count);
    LocalFree(arguments);
    return result;
}

TEST(AppendQuotedArgument, WritesTheExpectedForms) {
    EXPECT_EQ(quotedByBootstrap(L"a b"), L"\"a b\"");
    EXPECT_EQ(quotedByBootstrap(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(quotedByBootstrap(L"C:\\dir with space\\"), L"\"C:\\dir with space\\\\\"");
    EXPECT_EQ(quotedByBootstrap(L"C:\\plain\\path\\"), L"C:\\plain\\path\\");
    EXPECT_EQ(quotedByBootstrap(L"tab\there"), L"\"tab\there\"");
    EXPECT_EQ(quotedByBootstrap(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");
    EXPECT_EQ(quotedByBootstrap(L"x\\\\y z"), L"\"x\\\\y z\"");
    // An empty argument is kept as "", so that the child still sees it.
    EXPECT_EQ(quotedByBootstrap(L""), L"\"\"");
}

TEST(AppendQuotedArgument, SplittingGivesBackEveryArgumentUnchanged) {
    const std::vector<std::wstring> arguments = {L"plain",
                                                 L"two words",
                                                 L"tab\tinside",
                                                 L"line\nbreak",
                                                 L"vertical\vtab",
                                                 L"quote\"inside",
                                                 L"\"",
                                                 L"\"\"",
                                                 L"\\",
                                                 L"\\\\",
                                                 L"trailing\\",
                                                 L"trailing space\\",
                                                 L"trailing two\\\\",
                                                 L"back\\\"quote",
                                                 L"\\\\\\\"",
                                                 L"",
                                                 L" ",
                                                 L"C:\\Program Files\\app\\",
                                                 L"\u00e9t\u00e9 \u4e2d\u6587",
                                                 L"\U0001F600 emoji",
                                                 L"a\\b\\c",
                                                 L"end with quote\""};
    childCommandLine[0] = 0;
    childCommandLineLength = 0;
    appendQuotedArgument(L"program.exe");
    for (const std::wstring& argument : arguments) {
        size_t length = childCommandLineLength;
        childCommandLine[length] = L' ';
        childCommandLine[length + 1] = 0;
        childCommandLineLength = length + 1;
        appendQuotedArgument(argument.c_str());
    }
    std::vector<std::wstring> parsed = split(childCommandLine);
    ASSERT_EQ(parsed.size(), arguments.size() + 1);
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(parsed[i + 1], arguments[i]) << "argument " << i;
    }
}

// The rebuilt line replaces element 0 by the module file name; started with
// a one-letter element 0, it grows by the length of that name.
class RebuiltCommandLine : public testing::Test {
  protected:
    ProcessResult buildWithPayload(size_t payload) {
        std::wstring probe = siblingProgram(L"launch_probe.exe");
        std::wstring line = L"p build " + std::wstring(payload, L'a');
        return runCommandLine(probe, line);
    }
    size_t moduleLength() { return quoteArgument(siblingProgram(L"launch_probe.exe")).size(); }
};

TEST_F(RebuiltCommandLine, ReplacesElementZeroWithTheModuleFileName) {
    ProcessResult r = buildWithPayload(3);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, std::to_string(moduleLength() + 10) + "\r\n");
}

TEST_F(RebuiltCommandLine, Takes32767CharactersAndEndsTheProcessBeyond) {
    size_t fitting = 32767 - moduleLength() - 7; // " build " is 7 characters
    ProcessResult r = buildWithPayload(fitting);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, "32767\r\n");
    r = buildWithPayload(fitting + 1);
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(EntryLibrary, AMissingLibraryReportsTheSystemText) {
    std::wstring directory = makeTemporaryDirectory(L"onefile-entry");
    ProcessResult r = runProcess(siblingProgram(L"launch_probe.exe"),
                                 {L"run-entry", directory + L"\\missing.dll"});
    removeTree(directory);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, load DLL. ([Error 126] " + systemErrorText(126) + ")\r\n");
}

TEST(EntryLibrary, ALibraryWithoutRunCodeIsRefused) {
    // Any system library will do: none exports run_code.
    ProcessResult r = runProcess(siblingProgram(L"launch_probe.exe"),
                                 {L"run-entry", L"C:\\windows\\system32\\version.dll"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(EntryLibrary, AFileThatIsNoLibraryFailsToLoad) {
    std::wstring directory = makeTemporaryDirectory(L"onefile-entry");
    std::wstring bogus = directory + L"\\bogus.dll";
    writeFileBytes(bogus, "this is not a library");
    ProcessResult r = runProcess(siblingProgram(L"launch_probe.exe"), {L"run-entry", bogus});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.err.rfind("Error, load DLL. ([Error ", 0), 0u) << r.err;
    removeTree(directory);
}

} // namespace
