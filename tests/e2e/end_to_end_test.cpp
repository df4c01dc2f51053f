// The packed example application run as a user would run it: parent and
// child, arguments, streams, exit status, the handshake, and what is left
// behind afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "formats/handshake.h"
#include "tests/e2e/hello_output.h"
#include "tests/e2e/own_temporary_directory.h"
#include "tests/support/process.h"
#include "tests/support/security.h"

namespace {

// The example application packed both ways: every case that does not depend
// on the kind of program runs over both builds.
struct Build {
    const wchar_t* hello;      // the example
    const wchar_t* bigPayload; // the example with a large file after it
    bool console;
    const char* name;
};
const Build builds[] = {
    {L"hello.exe", L"big_payload.exe", false, "Gui"},
    {L"hello_console.exe", L"big_payload_console.exe", true, "Console"},
};
std::string buildName(const testing::TestParamInfo<Build>& info) {
    return info.param.name;
}

class ExampleBuild : public WithOwnTemporaryDirectory<testing::TestWithParam<Build>> {
  protected:
    std::wstring hello() const { return siblingProgram(GetParam().hello); }
};

std::string directoryPart(const std::string& path) {
    return path.substr(0, path.find_last_of('\\'));
}

class Run : public ExampleBuild {};
INSTANTIATE_TEST_SUITE_P(Builds, Run, testing::ValuesIn(builds), buildName);

TEST_P(Run, TheExitStatusPassesThroughWholeAndNothingIsLeft) {
    for (DWORD status : {0ul, 7ul, 255ul, 256ul, 300ul, 0x12345678ul, 0xC0000005ul, 0xFFFFFFFFul}) {
        ProcessResult r = runProcess(hello(), {L":quiet", L":exit=" + std::to_wstring(status)});
        EXPECT_EQ(r.exitCode, status);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(targetDirectoriesOf(r.processId).empty()) << status;
    }
}

TEST_P(Run, ParentAndChildAgreeOnTheTargetDirectory) {
    ProcessResult r = runProcess(hello(), {L"one", L":plugin"});
    ASSERT_EQ(r.exitCode, 0u) << r.out << r.err;
    HelloOutput o(r.out);
    // The child got the parent's identifier, time and random text, and found
    // the entry library where the parent's expansion put it.
    EXPECT_EQ(o.get(handshakeParentVariable), std::to_string(r.processId));
    std::string time = o.get(handshakeTimeUsVariable);
    std::string random = o.get(handshakeRandomVariable);
    EXPECT_EQ(time.size(), 6u);
    EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(random.size(), 11u);
    EXPECT_EQ(random.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    std::string target = toUtf8(temporaryDirectory()) + "\\onefile_" + std::to_string(r.processId) +
                         "_" + time + "_" + random;
    EXPECT_EQ(o.get("library"), target + "\\hello.dll");
    EXPECT_TRUE(r.out.find(std::string(handshakeStartVariable) + " unset") != std::string::npos);
    // Its own files: a library it imports and a plug-in from a subfolder.
    EXPECT_EQ(o.get("support"), "support.dll was found next to the entry library");
    EXPECT_EQ(o.get("plugin"), "greetings from plugins\\greeter.dll");
    EXPECT_EQ(o.get(handshakeDirectoryVariable), toUtf8(testProgramDirectory()));
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

TEST_P(Run, TheTargetDirectoryLetsNobodyElseInAndStaysPutWhileTheRunLasts) {
    RunningProcess run(hello(), commandLineFor(hello(), {L":sleep=1500"}));
    ASSERT_TRUE(run.waitForOutput(handshakeParentVariable, 60000));
    std::wstring target = fromUtf8(directoryPart(HelloOutput(run.outputSoFar()).get("library")));
    // Wine reads back an entry for SYSTEM besides the user's (see the record loop's tests).
    std::vector<std::string> sids = storedAllowedSids(target);
    EXPECT_FALSE(sids.empty());
    for (const std::string& sid : sids) {
        EXPECT_TRUE(sid == processUserSid() || sid == "S-1-5-18") << sid;
    }
    // Nobody can move it away and put something else under its name.
    std::wstring moved = target + L"-moved";
    EXPECT_FALSE(MoveFileW(target.c_str(), moved.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ProcessResult r = run.wait(60000);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_FALSE(pathExists(target));
    EXPECT_FALSE(pathExists(moved));
}

TEST_P(Run, ElementZeroIsTheModuleFileNameAndWhatWasTypedIsKept) {
    ProcessResult r = runCommandLine(hello(), L"typed\\name a");
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    HelloOutput o(r.out);
    EXPECT_EQ(o.arguments(), (std::vector<std::string>{toUtf8(hello()), "a"}));
    EXPECT_EQ(o.get(handshakeOriginalArgv0Variable), "typed\\name");
}

TEST_P(Run, ArgumentsSurviveTheRoundTrip) {
    const std::vector<std::wstring> arguments = {L"two words",
                                                 L"tab\there",
                                                 L"line\nbreak",
                                                 L"quote\"inside",
                                                 L"\"",
                                                 L"back\\slash",
                                                 L"trailing\\",
                                                 L"trailing space\\",
                                                 L"\\\\server\\share dir\\",
                                                 L"",
                                                 L"\\\"",
                                                 L"  ",
                                                 L"\u00e9t\u00e9",
                                                 L"\u4e2d\u6587 \u0441\u043b\u043e\u0432\u043e",
                                                 L"\U0001F600",
                                                 L"",
                                                 L"last"};
    ProcessResult r = runProcess(hello(), arguments);
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    std::vector<std::string> expected = {toUtf8(hello())};
    for (const std::wstring& argument : arguments) {
        expected.push_back(toUtf8(argument));
    }
    EXPECT_EQ(HelloOutput(r.out).arguments(), expected);
}

TEST_P(Run, WildcardsInArgumentsAreExpandedByTheRuntime) {
    std::wstring directory = makeTemporaryDirectory(L"onefile-wildcards");
    writeFileBytes(directory + L"\\one.txt", "1");
    writeFileBytes(directory + L"\\two.txt", "2");
    writeFileBytes(directory + L"\\other.dat", "3");
    ProcessOptions options;
    options.workingDirectory = directory;
    ProcessResult r = runCommandLine(hello(), L"hello *.txt", options);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    std::vector<std::string> arguments = HelloOutput(r.out).arguments();
    ASSERT_EQ(arguments.size(), 3u) << r.out;
    std::sort(arguments.begin() + 1, arguments.end());
    EXPECT_EQ(arguments[1], "one.txt");
    EXPECT_EQ(arguments[2], "two.txt");
    removeTree(directory);
}

TEST_P(Run, StandardStreamsReachTheApplication) {
    ProcessOptions options;
    options.input = "first line\nsecond line\n\xc3\xa9\n";
    ProcessResult r =
        runProcess(hello(), {L":quiet", L":stdin", L":stderr=to standard error"}, options);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(HelloOutput(r.out).get("stdin"), options.input);
    EXPECT_EQ(r.err, "to standard error\r\n");
}

class Handshake : public ExampleBuild {};
INSTANTIATE_TEST_SUITE_P(Builds, Handshake, testing::ValuesIn(builds), buildName);

TEST_P(Handshake, StaleValuesAreIgnoredByAParent) {
    ProcessOptions options;
    options.environment[fromUtf8(handshakeTimeUsVariable)] = L"123456";
    options.environment[fromUtf8(handshakeRandomVariable)] = L"staleRandom";
    options.environment[fromUtf8(handshakeStartVariable)] = L"42";
    ProcessResult r = runProcess(hello(), {}, options);
    ASSERT_EQ(r.exitCode, 0u);
    HelloOutput o(r.out);
    EXPECT_NE(o.get(handshakeRandomVariable), "staleRandom");
    EXPECT_EQ(o.get("library").find("staleRandom"), std::string::npos);
    EXPECT_TRUE(r.out.find(std::string(handshakeStartVariable) + " unset") != std::string::npos);
}

TEST_P(Handshake, AParentVariableThatNamesNoParentOfThisProgramGivesTheParentRole) {
    // This test's own process runs another executable; the rest are no live process ids.
    for (std::wstring value :
         {std::to_wstring(GetCurrentProcessId()), std::wstring(L"12abc"),
          std::wstring(L"99999999999"), std::wstring(L"-1"), std::wstring(L" ")}) {
        ProcessOptions options;
        options.environment[fromUtf8(handshakeParentVariable)] = value;
        ProcessResult r = runProcess(hello(), {L"x"}, options);
        EXPECT_EQ(r.exitCode, 0u) << toUtf8(value) << r.err;
        HelloOutput o(r.out);
        EXPECT_EQ(o.get(handshakeParentVariable), std::to_string(r.processId)) << toUtf8(value);
        EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
    }
}

TEST_P(Handshake, AProgramStartedFromInsideTheApplicationTakesTheChildRole) {
    ProcessResult r = runProcess(hello(), {L":spawn=:exit=5"});
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    HelloOutput o(r.out);
    std::vector<std::string> libraries = o.all("library");
    ASSERT_EQ(libraries.size(), 2u) << r.out;
    EXPECT_EQ(libraries[0], libraries[1]);
    EXPECT_NE(r.out.find("spawned status=5"), std::string::npos);
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

TEST_P(Handshake, AChildRunsFromItsParentsDirectoryAndWritesNothing) {
    // A live parent instance of this executable, and a directory made by hand
    // under the name the child will compute from the handshake variables.
    RunningProcess parent(hello(), commandLineFor(hello(), {L":quiet", L":sleep=4000"}));
    std::wstring target = temporaryDirectory() + L"\\onefile_" +
                          std::to_wstring(parent.processId()) + L"_000001_handMadeDir";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    for (const wchar_t* name : {L"hello.dll", L"support.dll"}) {
        ASSERT_TRUE(CopyFileW(siblingProgram(name).c_str(), (target + L"\\" + name).c_str(), TRUE));
    }
    ProcessOptions options;
    options.environment[fromUtf8(handshakeParentVariable)] = std::to_wstring(parent.processId());
    options.environment[fromUtf8(handshakeTimeUsVariable)] = L"000001";
    options.environment[fromUtf8(handshakeRandomVariable)] = L"handMadeDir";
    ProcessResult child = runProcess(hello(), {L":plugin"}, options);
    HelloOutput o(child.out);
    EXPECT_EQ(o.get("library"), toUtf8(target) + "\\hello.dll");
    // The plug-in was never unpacked: the child wrote nothing.
    EXPECT_NE(child.out.find("plugin failed to load"), std::string::npos) << child.out;
    EXPECT_EQ(child.exitCode, 1u);
    EXPECT_EQ(listDirectory(target), (std::vector<std::wstring>{L"hello.dll", L"support.dll"}));
    // With no such directory the entry library cannot be loaded.
    options.environment[fromUtf8(handshakeRandomVariable)] = L"noSuchDirec";
    ProcessResult missing = runProcess(hello(), {}, options);
    EXPECT_EQ(missing.exitCode, 2u);
    EXPECT_EQ(missing.out, "");
    size_t open = missing.err.find("([Error ");
    ASSERT_NE(open, std::string::npos) << missing.err;
    DWORD code = std::stoul(missing.err.substr(open + 8));
    EXPECT_EQ(missing.err, "Error, load DLL. ([Error " + std::to_string(code) + "] " +
                               systemErrorText(code) + ")\r\n");
    EXPECT_EQ(parent.wait(30000).exitCode, 0u);
    removeTree(target);
}

TEST_P(Handshake, ForgedRunValuesNeverLeadAChildToALibraryElsewhere) {
    // A live parent instance, and for each forgery a copy of the application
    // where the forged values would lead a child that took them as they are.
    RunningProcess parent(hello(), commandLineFor(hello(), {L":quiet", L":sleep=10000"}));
    const std::wstring pid = std::to_wstring(parent.processId());
    struct Forgery {
        std::wstring timeUs, random, leadsTo;
    };
    const Forgery forgeries[] = {
        // A backslash and "..".
        {L"000001", L"x\\..\\planted" + pid, L"planted" + pid},
        {L"0\\..\\p" + pid, L"plantedDir0", L"p" + pid + L"_plantedDir0"},
        // Wrong length; a non-digit.
        {L"000001", L"handMadeDir0", L"onefile_" + pid + L"_000001_handMadeDir0"},
        {L"00000a", L"handMadeDir", L"onefile_" + pid + L"_00000a_handMadeDir"},
    };
    for (const Forgery& forgery : forgeries) {
        std::wstring planted = temporaryDirectory() + L"\\" + forgery.leadsTo;
        ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr)) << toUtf8(planted);
        for (const wchar_t* name : {L"hello.dll", L"support.dll"}) {
            ASSERT_TRUE(
                CopyFileW(siblingProgram(name).c_str(), (planted + L"\\" + name).c_str(), TRUE));
        }
        ProcessOptions options;
        options.environment[fromUtf8(handshakeParentVariable)] = pid;
        options.environment[fromUtf8(handshakeTimeUsVariable)] = forgery.timeUs;
        options.environment[fromUtf8(handshakeRandomVariable)] = forgery.random;
        ProcessResult child = runProcess(hello(), {}, options);
        EXPECT_EQ(child.exitCode, 3u) << toUtf8(forgery.leadsTo) << child.out;
        EXPECT_EQ(child.out, "") << toUtf8(forgery.leadsTo);
        EXPECT_EQ(child.err, "Error, couldn't runtime expand spec "
                             "'{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
        EXPECT_TRUE(removeTree(planted));
    }
    ProcessResult r = parent.wait(60000);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

class SelfUpdate : public OwnTemporaryDirectory {};

TEST_F(SelfUpdate, ANewBuildWrittenWhereTheRunningOneWasStartsAfreshInEitherMode) {
    // The application moves its running executable aside, writes the new
    // build (which has one more file) at the same path and starts it, with
    // the environment that the application has.
    struct Mode {
        const char* name;
        const wchar_t* running;
        const wchar_t* update;
    };
    for (const Mode& mode :
         {Mode{"per-run", L"self_updater.exe", L"self_updater_v2.exe"},
          Mode{"cached", L"self_updater_cached.exe", L"self_updater_cached_v2.exe"}}) {
        const std::wstring folder = ownTemp + L"\\" + fromUtf8(mode.name);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const std::wstring program = folder + L"\\app.exe";
        ASSERT_TRUE(CopyFileW(siblingProgram(mode.running).c_str(), program.c_str(), TRUE));
        ProcessResult r = runProcess(program, {L"update", siblingProgram(mode.update)});
        EXPECT_EQ(r.exitCode, 0u) << mode.name << ": " << r.out << r.err;
        EXPECT_NE(r.out.find("relaunched status=0"), std::string::npos)
            << mode.name << ": " << r.out << r.err;
        // The new build runs its own files, not the running one's.
        EXPECT_NE(r.out.find("version.txt present"), std::string::npos)
            << mode.name << ": " << r.out << r.err;
    }
}

class EntryLibrary : public OwnTemporaryDirectory {};

TEST_F(EntryLibrary, OneWithoutRunCodeOrADamagedOneIsReportedWithStatusTwo) {
    ProcessResult r = runProcess(siblingProgram(L"no_run_code.exe"), {});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());

    r = runProcess(siblingProgram(L"damaged_entry.exe"), {});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Error, load DLL. ([Error ", 0), 0u) << r.err;
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

TEST_F(EntryLibrary, ACxxEntryRunsWithItsRuntimeBesideItAndNamesItWhenItIsMissing) {
    ProcessResult r = runProcess(siblingProgram(L"cxx_runtime_beside.exe"), {L"abcd"});
    EXPECT_EQ(r.exitCode, 4u) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());

    // Packed with --allow-missing for all three, on a machine without them.
    r = runProcess(siblingProgram(L"cxx_runtime_missing.exe"), {L"abcd"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error, load DLL. ([Error 126] " + systemErrorText(126) +
                         ") cxx_entry.dll imports libwinpthread-1.dll, which cannot be found.\r\n");
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

TEST_F(EntryLibrary, OneInASubfolderFindsTheLibrariesAtThePackageRoot) {
    // bin\app.dll imports support.dll and later loads greeter.dll by name;
    // both lie at the root, outside the entry library's own folder (the
    // texts are those of the example's libraries).
    ProcessResult r = runProcess(siblingProgram(L"nested_entry.exe"), {});
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, "support: support.dll was found next to the entry library\r\n"
                     "greeter: greetings from plugins\\greeter.dll\r\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(EntryLibrary, ALibraryLoadedByNameComesFromThePackageNeverFromBesideTheExecutable) {
    // The executable as a user keeps it, in a Downloads folder where anyone
    // may have left a library of the same name.
    std::wstring downloads = ownTemp + L"\\Downloads";
    ASSERT_TRUE(CreateDirectoryW(downloads.c_str(), nullptr));
    std::wstring program = downloads + L"\\loads_extra_by_name.exe";
    ASSERT_TRUE(
        CopyFileW(siblingProgram(L"loads_extra_by_name.exe").c_str(), program.c_str(), TRUE));
    std::wstring planted = downloads + L"\\extra.dll";
    ASSERT_TRUE(CopyFileW(siblingProgram(L"planted\\extra.dll").c_str(), planted.c_str(), TRUE));
    for (bool withPlanted : {true, false}) {
        if (!withPlanted) {
            ASSERT_TRUE(DeleteFileW(planted.c_str()));
        }
        ProcessResult r = runProcess(program, {});
        EXPECT_EQ(r.exitCode, 0u) << withPlanted;
        EXPECT_EQ(r.out, "extra: packed with the application\r\n") << withPlanted;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
    }
}

TEST_F(EntryLibrary, AnArchiveWithoutRecordsEndsTheChildWithAMessage) {
    ProcessResult r = runProcess(siblingProgram(L"empty_archive.exe"), {});
    EXPECT_FALSE(r.timedOut);
    // The child says so once and does not go on to start a child of its own.
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out, "Error, attached data holds no entry library.\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(targetDirectoriesOf(r.processId).empty());
}

class Cleanup : public ExampleBuild {};
INSTANTIATE_TEST_SUITE_P(Builds, Cleanup, testing::ValuesIn(builds), buildName);

TEST_P(Cleanup, FiftyRunsAtOnceEachUseTheirOwnDirectoryAndLeaveNone) {
    std::vector<std::unique_ptr<RunningProcess>> runs;
    for (int i = 0; i < 50; ++i) {
        runs.push_back(std::make_unique<RunningProcess>(
            hello(), commandLineFor(hello(), {L":exit=" + std::to_wstring(i)})));
    }
    std::vector<std::string> libraries;
    for (int i = 0; i < 50; ++i) {
        ProcessResult r = runs[i]->wait(240000);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, static_cast<DWORD>(i)) << r.err;
        libraries.push_back(HelloOutput(r.out).get("library"));
        EXPECT_TRUE(targetDirectoriesOf(r.processId).empty()) << i;
    }
    std::sort(libraries.begin(), libraries.end());
    EXPECT_EQ(std::unique(libraries.begin(), libraries.end()), libraries.end());
}

TEST_P(Cleanup, ADirectoryHeldOpenByAnotherProcessStaysSilently) {
    RunningProcess run(hello(), commandLineFor(hello(), {L":sleep=1500"}));
    ASSERT_TRUE(run.waitForOutput(handshakeParentVariable, 60000));
    std::wstring target = fromUtf8(directoryPart(HelloOutput(run.outputSoFar()).get("library")));
    std::wstring heldPath = target + L"\\held.txt";
    HANDLE held = CreateFileW(heldPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ULONGLONG start = GetTickCount64();
    ProcessResult r = run.wait(60000);
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(pathExists(heldPath));
    // The sleep, then 20 pauses of 100 ms between the delete attempts.
    EXPECT_GE(elapsed, 1500u + 2000u - 100u);
    CloseHandle(held);
    EXPECT_TRUE(removeTree(target));
}

// The system's command prompt running a console build, as a user types it.
std::wstring commandPrompt() {
    wchar_t system[MAX_PATH + 1];
    UINT length = GetSystemDirectoryW(system, MAX_PATH + 1);
    return std::wstring(system, length) + L"\\cmd.exe";
}

class CommandPrompt : public OwnTemporaryDirectory {};

std::wstring helloConsole() {
    return siblingProgram(L"hello_console.exe");
}

TEST_F(CommandPrompt, RunsAConsoleBuildWithItsStreamsAndGetsItsWholeStatus) {
    for (DWORD status : {0ul, 7ul, 300ul, 0x12345678ul, 0xC0000005ul}) {
        ProcessOptions options;
        options.input = "typed at the prompt\n";
        std::wstring command =
            commandLineFor(helloConsole(), {L":stdin", L":stderr=to standard error",
                                            L":exit=" + std::to_wstring(status)});
        ProcessResult r = runCommandLine(commandPrompt(), L"cmd /c " + command, options);
        EXPECT_EQ(r.exitCode, status);
        HelloOutput o(r.out);
        EXPECT_EQ(o.get("stdin"), options.input) << r.out;
        EXPECT_EQ(r.err, "to standard error\r\n");
        std::string parent = o.get(handshakeParentVariable);
        ASSERT_EQ(parent.find_first_not_of("0123456789"), std::string::npos) << r.out;
        EXPECT_TRUE(targetDirectoriesOf(std::stoul(parent)).empty()) << status;
    }
}

TEST_F(CommandPrompt, ErrorlevelHoldsTheStatusOfAConsoleBuild) {
    for (DWORD status : {7ul, 0x12345678ul, 0xC0000005ul}) {
        std::wstring command =
            commandLineFor(helloConsole(), {L":quiet", L":exit=" + std::to_wstring(status)});
        ProcessResult r = runCommandLine(commandPrompt(), L"cmd /v:on /c \"" + command +
                                                              L" & echo errorlevel=!ERRORLEVEL!\"");
        // The prompt shows it as a signed 32-bit number.
        EXPECT_EQ(r.out, "errorlevel=" + std::to_string(static_cast<int>(status)) + "\r\n");
    }
}

TEST_F(CommandPrompt, AnInteractivePromptWaitsForAConsoleBuildButNotForAGuiBuild) {
    // Commands typed at a prompt (read from a file: Wine's prompt does not
    // read them from a pipe). The prompt goes on to the next command once a
    // console program has ended, but at once for a GUI program, whose status
    // it never learns.
    std::wstring directory = makeTemporaryDirectory(L"onefile-prompt");
    std::wstring commands = directory + L"\\commands.txt";
    for (bool console : {true, false}) {
        std::wstring program = console ? helloConsole() : siblingProgram(L"hello.exe");
        writeFileBytes(commands, toUtf8(commandLineFor(program, {L":quiet", L":exit=7"})) +
                                     "\r\necho errorlevel=%ERRORLEVEL%\r\nexit\r\n");
        ProcessResult r =
            runCommandLine(commandPrompt(), L"cmd /c \"cmd < " + quoteArgument(commands) + L"\"");
        EXPECT_EQ(r.out.find("errorlevel=7") != std::string::npos, console) << r.out;
        EXPECT_NE(r.out.find("errorlevel="), std::string::npos) << r.out;
    }
    removeTree(directory);
}

// Ctrl-C through a console of the harness's own, shared with the program.
// (Wine delivers no Ctrl-Break from GenerateConsoleCtrlEvent, so the
// handler's tests show that one.)
struct ConsoleRun {
    std::string parentStatus, appStatus, leftover, output;
    unsigned long afterEventMilliseconds = 0;
};

ConsoleRun runWithCtrlC(const std::wstring& trigger, const std::wstring& program,
                        const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> all = {trigger, program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProcessResult r = runProcess(siblingProgram(L"console_harness.exe"), all);
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    ConsoleRun run;
    size_t output = r.out.find("output:\n");
    run.output = output == std::string::npos ? "" : r.out.substr(output + 8);
    std::istringstream lines(r.out.substr(0, output));
    std::string line;
    while (std::getline(lines, line)) {
        auto value = [&](const char* key) { return line.substr(strlen(key)); };
        if (line.rfind("parent-status=", 0) == 0)
            run.parentStatus = value("parent-status=");
        if (line.rfind("app-status=", 0) == 0)
            run.appStatus = value("app-status=");
        if (line.rfind("leftover=", 0) == 0)
            run.leftover = value("leftover=");
        if (line.rfind("after-event-ms=", 0) == 0)
            run.afterEventMilliseconds = std::stoul(value("after-event-ms="));
    }
    return run;
}

class Console : public ExampleBuild {
  protected:
    // A console program's parent outlives the interrupt and exits with the
    // child's status; a GUI program's parent ends by the system's handling.
    void expectParentPassesOnTheChildsStatus(const ConsoleRun& run) {
        if (GetParam().console) {
            EXPECT_EQ(run.parentStatus, run.appStatus) << run.output;
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Builds, Console, testing::ValuesIn(builds), buildName);

TEST_P(Console, ACtrlCWhileTheChildRunsRemovesTheDirectoryAfterTheChildEnds) {
    ConsoleRun run =
        runWithCtrlC(L"output:pid=", hello(), {L":on-ctrl-c-exit=42", L":pid", L":sleep=30000"});
    EXPECT_EQ(run.appStatus, "0x2a") << run.output;
    expectParentPassesOnTheChildsStatus(run);
    EXPECT_EQ(run.leftover, "0");
    EXPECT_LT(run.afterEventMilliseconds, 5000u);
    EXPECT_NE(run.output.find("interrupted"), std::string::npos);
}

TEST_P(Console, AChildStillRunningAfterFiveSecondsIsTerminatedWithZero) {
    ConsoleRun run =
        runWithCtrlC(L"output:pid=", hello(), {L":ignore-ctrl-c", L":pid", L":sleep=30000"});
    EXPECT_EQ(run.appStatus, "0x0") << run.output;
    expectParentPassesOnTheChildsStatus(run);
    EXPECT_EQ(run.leftover, "0");
    EXPECT_GE(run.afterEventMilliseconds, 5000u);
    EXPECT_LT(run.afterEventMilliseconds, 30000u);
    EXPECT_EQ(run.output.find("slept"), std::string::npos);
}

TEST_P(Console, ACtrlCDuringTheExtractionLeavesNothing) {
    ConsoleRun run = runWithCtrlC(L"directory", siblingProgram(GetParam().bigPayload), {});
    EXPECT_EQ(run.leftover, "0");
    // The event came while the parent was unpacking: the application never ran.
    EXPECT_EQ(run.output.find("hello from the packaged application"), std::string::npos)
        << run.output;
}

} // namespace
