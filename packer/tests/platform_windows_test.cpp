// The Windows side of the packer's platform layer, where its results are not
// seen from outside or Wine cannot show them: names that are not valid
// UTF-16, the path forms that Wine has no folders for (UNC shares), reparse
// points, the console events that Wine never sends, and an output that is in
// use. The rest of it is tested through onefile-pack.exe (WindowsPacker.*,
// WindowsPackerExe.*).
#include <gtest/gtest.h>

#include "packer/platform/windows_support.h"
#include "packer/windows_names.h"
#include "tests/support/process.h"

namespace {

std::wstring currentDirectory() {
    std::wstring directory(MAX_PATH, L'\0');
    directory.resize(GetCurrentDirectoryW(MAX_PATH, directory.data()));
    return directory;
}

TEST(WideText, NamesRoundTripAndOnesThatAreNotUnicodeAreRefusedAsSuch) {
    const std::pair<std::wstring, bool> names[] = {
        {L"plain.txt", true},
        {L"d\u00e9j\u00e0 vu", true},
        {L"\U0001F600 smile", true},
        {L"\U00010000 and \U0010FFFF, the first and last beyond 16 bits", true},
        {std::wstring(L"lone ") + wchar_t(0xD800) + L" high", false},
        {std::wstring(L"lone ") + wchar_t(0xDC00) + L" low", false},
        {std::wstring(L"reversed ") + wchar_t(0xDE00) + wchar_t(0xD83D), false}};
    for (const auto& [name, valid] : names) {
        const std::string utf8 = utf8FromWide(name);
        EXPECT_EQ(wideFromUtf8(utf8), name) << utf8;
        EXPECT_EQ(nameProblem(utf8),
                  valid ? "" : "holds an unpaired UTF-16 surrogate, which is not valid Unicode")
            << utf8;
    }
    EXPECT_EQ(utf8FromWide(L"\U0001F600"), "\xF0\x9F\x98\x80");
    // Bytes that are no UTF-8 (a stray continuation, an overlong form, a cut
    // sequence, beyond U+10FFFF) become U+FFFD, each byte once.
    EXPECT_EQ(wideFromUtf8("a\x80"
                           "b"),
              L"a\uFFFDb");
    EXPECT_EQ(wideFromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");
    EXPECT_EQ(wideFromUtf8("x\xE2\x82"), L"x\uFFFD\uFFFD");
    EXPECT_EQ(wideFromUtf8("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(wideFromUtf8("\xF5\x80"), L"\uFFFD\uFFFD");
}

TEST(WideText, AConsoleWriteEndsBeforeACharacterItHasNotWhole) {
    const std::string smile = "\xF0\x9F\x98\x80";
    for (size_t cut = 0; cut < smile.size(); ++cut) {
        EXPECT_EQ(wholeUtf8Length("ab" + smile.substr(0, cut)), 2u) << cut;
    }
    EXPECT_EQ(wholeUtf8Length("ab" + smile), 6u);
    EXPECT_EQ(wholeUtf8Length("d\xC3\xA9j\xC3"), 4u);
    EXPECT_EQ(wholeUtf8Length("\xE2\x82\xAC\xE2\x82"), 3u);
    // Bytes that no sequence would complete go as they are (the console
    // shows U+FFFD) rather than wait for ever.
    EXPECT_EQ(wholeUtf8Length("a\x80\x80\x80\x80"), 5u);
    EXPECT_EQ(wholeUtf8Length("a\x80"), 2u);
}

TEST(SystemPath, EveryFormBecomesTheFullVerbatimOne) {
    const std::wstring here = currentDirectory();
    EXPECT_EQ(systemPath(L"in/sub\\file.txt"), L"\\\\?\\" + here + L"\\in\\sub\\file.txt");
    EXPECT_EQ(systemPath(L"C:/a/./b/../c"), L"\\\\?\\C:\\a\\c");
    EXPECT_EQ(systemPath(L"\\\\server\\share\\dist\\app.dll"),
              L"\\\\?\\UNC\\server\\share\\dist\\app.dll");
    EXPECT_EQ(systemPath(L"//server/share/dist"), L"\\\\?\\UNC\\server\\share\\dist");
    // Taken as they are: the verbatim form, where "." is a name, and devices.
    EXPECT_EQ(systemPath(L"\\\\?\\C:\\a\\.\\b"), L"\\\\?\\C:\\a\\.\\b");
    EXPECT_EQ(systemPath(L"\\\\.\\NUL"), L"\\\\.\\NUL");
    // A name below keeps what the system would otherwise drop.
    EXPECT_EQ(childPath(systemPath(L"C:\\"), L"trailing. "), L"\\\\?\\C:\\trailing. ");
    EXPECT_EQ(childPath(systemPath(L"C:\\x"), L"y"), L"\\\\?\\C:\\x\\y");
    // Past the classic limit, as the system's calls then take it.
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\" + std::wstring(300, L'e');
    EXPECT_EQ(systemPath(deep), L"\\\\?\\" + deep);
}

WIN32_FIND_DATAW foundEntry(DWORD attributes, DWORD tag = 0) {
    WIN32_FIND_DATAW found = {};
    found.dwFileAttributes = attributes;
    found.dwReserved0 = tag;
    return found;
}

// Wine shows no reparse points: a listing's entries are judged here as
// Windows lists them.
TEST(FolderEntryKind, LinksAndJunctionsAreToldByTheirTagAndNeverFollowed) {
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(kindOfFound(foundEntry(folder | link, IO_REPARSE_TAG_MOUNT_POINT)),
              FileKind::junction);
    EXPECT_EQ(kindOfFound(foundEntry(folder | link, IO_REPARSE_TAG_SYMLINK)),
              FileKind::symbolicLink);
    EXPECT_EQ(kindOfFound(foundEntry(link, IO_REPARSE_TAG_SYMLINK)), FileKind::symbolicLink);
    // WSL's links (IO_REPARSE_TAG_LX_SYMLINK), which Windows itself cannot follow.
    EXPECT_EQ(kindOfFound(foundEntry(link, 0xA000001D)), FileKind::symbolicLink);
    EXPECT_EQ(kindOfFound(foundEntry(link, IO_REPARSE_TAG_AF_UNIX)), FileKind::other);
    // Deduplicated or cloud files and folders hold what they seem to.
    EXPECT_EQ(kindOfFound(foundEntry(link, IO_REPARSE_TAG_DEDUP)), FileKind::file);
    EXPECT_EQ(kindOfFound(foundEntry(folder | link, IO_REPARSE_TAG_CLOUD)), FileKind::directory);
    EXPECT_EQ(kindOfFound(foundEntry(FILE_ATTRIBUTE_ARCHIVE)), FileKind::file);
    EXPECT_EQ(kindOfFound(foundEntry(folder)), FileKind::directory);
    EXPECT_EQ(kindOfFound(foundEntry(FILE_ATTRIBUTE_DEVICE)), FileKind::other);
}

// Wine sends a console program Ctrl-C alone (WindowsPackerExe.Interrupt):
// the handler is given the other events as Windows would give them.
TEST(InterruptCleanup, EveryEventThatEndsTheRunRemovesTheFileBeingWrittenAndNoOther) {
    const std::pair<DWORD, const char*> events[] = {{CTRL_C_EVENT, "Ctrl-C"},
                                                    {CTRL_BREAK_EVENT, "Ctrl-Break"},
                                                    {CTRL_CLOSE_EVENT, "console close"},
                                                    {CTRL_LOGOFF_EVENT, "log-off"},
                                                    {CTRL_SHUTDOWN_EVENT, "shutdown"},
                                                    {3, "an event the system does not define"}};
    for (const auto& [event, name] : events) {
        const std::wstring folder = makeTemporaryDirectory(L"onefile-console-event");
        const ProcessResult result = runProcess(siblingProgram(L"console_event_probe.exe"),
                                                {std::to_wstring(event), folder});
        const bool ends = event != 3;
        EXPECT_EQ(result.exitCode, ends ? STATUS_CONTROL_C_EXIT : 0u) << name << result.err;
        EXPECT_EQ(result.out, ends ? "" : "declined") << name;
        // What was committed before stays; the file being written is gone
        // whether the handler removed it or, declining, left it to the run.
        EXPECT_EQ(listDirectory(folder), std::vector<std::wstring>{L"kept.bin"}) << name;
        EXPECT_EQ(readFileBytes(folder + L"\\kept.bin"), "kept") << name;
        removeTree(folder);
    }
}

// The output appears whole or not at all: when it cannot be moved into
// place, what was there stays, and nothing else.
TEST(OutputFile, AMoveIntoPlaceThatFailsLeavesTheOldFileAndNoTemporaryOne) {
    const std::wstring folder = makeTemporaryDirectory(L"onefile-output");
    CreateDirectoryW((folder + L"\\in").c_str(), nullptr);
    writeFileBytes(folder + L"\\in\\app.dll", "entry");
    const std::wstring output = folder + L"\\App.bin";
    writeFileBytes(output, "before");
    // Open, as a program that runs it or reads it holds it: not to be replaced.
    HANDLE held = CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const ProcessResult result =
        runProcess(siblingProgram(L"onefile-pack.exe"),
                   {L"archive", folder + L"\\in", L"--entry", L"app.dll", L"--output", output});
    CloseHandle(held);
    EXPECT_EQ(result.exitCode, 1u) << result.err;
    EXPECT_NE(result.err.find("cannot create '"), std::string::npos) << result.err;
    EXPECT_EQ(listDirectory(folder), (std::vector<std::wstring>{L"App.bin", L"in"}));
    EXPECT_EQ(readFileBytes(output), "before");
    removeTree(folder);
}

} // namespace
