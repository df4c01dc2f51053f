// The record-name rules that both the packer and the bootstrap apply, on
// their own: what Windows would create elsewhere or under another name is
// refused, everything it holds as it is passes.
#include <gtest/gtest.h>

#include <string>

#include "formats/record_name.h"

namespace {

// For failure messages: the code units below 0x80 as they are.
std::string shown(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

NameProblem problemOf(const std::u16string& name) {
    return judgeRecordName(name.data(), name.size()).problem;
}

TEST(RecordName, EachKindOfRefusedNameIsNamed) {
    const std::pair<std::u16string, NameProblem> cases[] = {
        {u"", NameProblem::empty},
        {u"a\u0001b", NameProblem::controlCharacter},
        {u"tab\there", NameProblem::controlCharacter},
        {u"a:b", NameProblem::reservedCharacter},
        {u"C:", NameProblem::reservedCharacter},
        {u"a/b", NameProblem::reservedCharacter},
        {u"a\\b", NameProblem::reservedCharacter},
        {u"a*", NameProblem::reservedCharacter},
        {u".", NameProblem::trailingDot},
        {u"..", NameProblem::trailingDot},
        {u"...", NameProblem::trailingDot},
        {u" .", NameProblem::trailingDot},
        {u"name.", NameProblem::trailingDot},
        {u". ", NameProblem::trailingSpace},
        {u"name ", NameProblem::trailingSpace},
        {u"CON", NameProblem::deviceName},
        {u"nul.txt", NameProblem::deviceName},
        {u"Aux.tar.gz", NameProblem::deviceName},
        {u"PRN .txt", NameProblem::deviceName},
        {u"com\u00B9", NameProblem::deviceName},
        {u"conout$", NameProblem::deviceName},
    };
    for (const auto& [name, problem] : cases) {
        EXPECT_EQ(problemOf(name), problem) << shown(name);
    }
    // What a message needs to name the problem.
    EXPECT_EQ(judgeRecordName(u"a|b", 3).character, u'|');
    EXPECT_EQ(std::u16string(judgeRecordName(u"lpt\u00B3.x", 6).device), u"LPT\u00B3");
}

TEST(RecordName, NamesCloseToRefusedOnesPass) {
    for (const std::u16string name :
         {u"CONSOLE", u"com10", u"COM0", u"nul_", u"x.con", u"LPT", u".hidden", u"a..b",
          u" leading", u"a.b.c", u"\u00e9t\u00e9", u"\u4e2d\u6587 file.txt", u"CON\u00B9"}) {
        EXPECT_EQ(problemOf(name), NameProblem::none) << shown(name);
    }
}

TEST(RecordName, APathIsSafeOnlyWhenEveryNameIsAndBothSlashesSeparate) {
    for (const char16_t* path : {u"app.dll", u"lib\\entry.dll", u"a\\b\\c.txt", u".x\\y"}) {
        EXPECT_TRUE(isSafeRecordPath(path));
    }
    for (const char16_t* path :
         {u"..\\x", u"a\\..\\..\\x", u"a/../../x", u"a\\./b", u"\\rooted", u"/rooted", u"a\\\\b",
          u"a//b", u"a\\", u"a/", u"C:\\x", u"C:x", u"\\\\?\\C:\\x", u"\\\\server\\share\\x",
          u"x\\NUL", u"x\\file.txt:stream", u"x\\dots..\\y", u"x\\y\\"}) {
        EXPECT_FALSE(isSafeRecordPath(path)) << shown(path);
    }
    // Wide characters of the bootstrap's width work alike.
    EXPECT_FALSE(isSafeRecordPath(L"a\\..\\x"));
    EXPECT_TRUE(isSafeRecordPath(L"a\\b"));
}

} // namespace
