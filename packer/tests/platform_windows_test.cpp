// The Windows side of the packer's platform layer, where its results are not
// seen from outside: names that are not valid UTF-16 and the path forms that
// Wine has no folders for (UNC shares). The rest of it is tested through
// onefile-pack.exe (WindowsPacker.*, WindowsPackerExe.*).
#include <gtest/gtest.h>

#include "packer/platform/windows_support.h"
#include "packer/windows_names.h"

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

} // namespace
