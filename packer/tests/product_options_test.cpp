// The product options of onefile-pack build: --company, --product,
// --version and --icon, what they take and what they refuse.
#include <gtest/gtest.h>

#include "formats/archive_layout.h"
#include "packer/image/build_constants.h"
#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

TEST(Version, TakesOneToFourNumbersAndPadsWithZeros) {
    const std::pair<const char*, VersionNumbers> cases[] = {
        {"1", {1, 0, 0, 0}},        {"1.2", {1, 2, 0, 0}},
        {"1.2.3", {1, 2, 3, 0}},    {"1.2.3.4", {1, 2, 3, 4}},
        {"0.0.0.0", {0, 0, 0, 0}},  {"65535.65535.65535.65535", {65535, 65535, 65535, 65535}},
        {"007.010", {7, 10, 0, 0}},
    };
    for (const auto& [text, numbers] : cases) {
        std::optional<VersionNumbers> parsed = parseVersion(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, numbers) << text;
    }
    EXPECT_EQ(versionText({1, 20, 300, 65535}), u"1.20.300.65535");
    EXPECT_EQ(versionText(*parseVersion("007.010")), u"7.10.0.0");
}

TEST(Version, RefusesAnythingElse) {
    for (const char* text : {"",         ".",         "1.",    ".1",      "1..2",
                             "1.2.3.4.", "1.2.3.4.5", "65536", "1.65536", "99999999999999999999",
                             "-1",       "+1",        "1.-2",  "1.2a",    "a",
                             " 1",       "1 ",        "1,2",   "0x10",    "1.2.3.4 ",
                             "\xd9\xa1"}) {
        EXPECT_FALSE(parseVersion(text)) << "'" << text << "'";
    }
}

TEST(ProductText, TakesAnyUnicodeAsUtf16) {
    std::string problem;
    std::optional<std::u16string> text =
        productText("Z\xc3\xa9"
                    "brik \xe5\x85\xac\xe5\x8f\xb8 \xf0\x9f\x98\x80",
                    &problem);
    ASSERT_TRUE(text) << problem;
    EXPECT_EQ(*text, u"Z\u00e9brik \u516c\u53f8 \U0001F600");
    EXPECT_EQ(text->size(), 12u); // the emoji is a surrogate pair
    EXPECT_EQ(productText("", &problem), u"");
    // The limit counts UTF-16 code units: 127 pairs and one more unit fit.
    std::string pairs;
    for (int i = 0; i < 127; ++i) {
        pairs += "\xf0\x9f\x98\x80";
    }
    EXPECT_TRUE(productText(pairs + "x", &problem));
    EXPECT_FALSE(productText(pairs + "xy", &problem));
    EXPECT_NE(problem.find("255"), std::string::npos) << problem;
    EXPECT_TRUE(productText(std::string(255, 'a'), &problem));
    EXPECT_FALSE(productText(std::string(256, 'a'), &problem));
}

TEST(ProductText, RefusesMalformedUtf8AndControlCharacters) {
    const std::pair<std::string, const char*> cases[] = {
        {"\xff", "UTF-8"},
        {"a\xc3", "UTF-8"},
        {"\xc0\xaf", "UTF-8"},     // overlong
        {"\xed\xa0\x80", "UTF-8"}, // a surrogate
        {std::string("a\0b", 3), "control"},
        {"a\tb", "control"},
        {"line\nbreak", "control"},
        {"a\x7f", "control"},
        {"a\xc2\x85", "control"}, // U+0085, next line
    };
    for (const auto& [text, problemWord] : cases) {
        std::string problem;
        EXPECT_FALSE(productText(text, &problem));
        EXPECT_NE(problem.find(problemWord), std::string::npos) << problem;
    }
}

using Tree = EntryTree;

// The three product texts in the slots the bootstrap reads them from.
void expectProductTexts(const fs::path& exe, const std::u16string& company,
                        const std::u16string& product, const std::u16string& version) {
    std::map<std::string, std::string> slots = constantSlots(exe);
    const std::pair<const char*, const std::u16string*> texts[] = {
        {ONEFILE_SYMBOL_COMPANY_NAME, &company},
        {ONEFILE_SYMBOL_PRODUCT_NAME, &product},
        {ONEFILE_SYMBOL_VERSION_STRING, &version}};
    for (const auto& [symbol, text] : texts) {
        const std::string& slot = slots[symbol];
        EXPECT_EQ(slot.size(), 2 * productTextCapacity) << symbol;
        EXPECT_EQ(slot, zeroFilled(wide(*text), slot.size())) << symbol;
    }
}

TEST(ProductOptions, ReachTheBootstrapsConstantsAsUtf16) {
    Tree tree;
    CommandResult r = tree.build({"--company",
                                  "Z\xc3\xa9"
                                  "brik \xf0\x9f\x98\x80",
                                  "--product", "\xe8\xa3\xbd\xe5\x93\x81", "--version", "4.5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectProductTexts(tree.out / "app.exe", u"Z\u00e9brik \U0001F600", u"\u88fd\u54c1",
                       u"4.5.0.0");
    // The longest texts fill their slots but for the terminator.
    r = tree.build({"--company", std::string(productTextLimit, 'c'), "--product",
                    std::string(productTextLimit, 'p')},
                   "build", "long.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    expectProductTexts(tree.out / "long.exe", std::u16string(productTextLimit, u'c'),
                       std::u16string(productTextLimit, u'p'), u"0.0.0.0");
}

TEST(ProductOptions, AnOutputNameThatIsNoProductNameGivesOnefile) {
    Tree tree;
    for (const char* name : {"tab\there.exe", "bad\xff.exe"}) {
        fs::path output = tree.out / name;
        CommandResult r = runPacker({"build", tree.input.string(), "--entry", "app.dll", "--output",
                                     output.string(), "--level", "1"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        // No company, then the product and the version.
        expectProductTexts(output, u"", u"onefile", u"0.0.0.0");
        fs::remove(output);
    }
}

TEST(ProductOptions, RefusedValuesAreUsageErrorsAndWriteNothing) {
    Tree tree;
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--version", "1.2.3.4.5"}, "--version takes A.B.C.D"},
        {{"--version", "65536"}, "not '65536'"},
        {{"--version", ""}, "--version takes"},
        {{"--version"}, "--version needs a value"},
        {{"--product", ""}, "--product cannot be empty"},
        {{"--product", "a\tb"}, "--product 'a\\x09b' holds a control character"},
        {{"--company", std::string(300, 'c')}, "longer than 255"},
    };
    if (!windowsPacker()) { // a Windows command line is UTF-16: never malformed UTF-8
        cases.push_back({{"--company", "\xff"}, "--company"});
    }
    for (const auto& [options, message] : cases) {
        CommandResult r = tree.build(options);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_TRUE(directoryNames(tree.out).empty()) << message;
    }
    // They belong to build: archive has no resources.
    for (const char* option : {"--company", "--product", "--version", "--icon"}) {
        CommandResult r = tree.build({option, "x"}, "archive");
        EXPECT_EQ(r.exitCode, 2) << option;
        EXPECT_NE(r.err.find("has no option '" + std::string(option) + "'"), std::string::npos)
            << r.err;
    }
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(ProductOptions, IconProblemsNameTheFileAndWriteNothing) {
    Tree tree;
    writeFile(tree.scratch / "notes.txt", "not an image at all");
    fs::create_directories(tree.scratch / "folder.png");
    const std::pair<std::string, std::string> cases[] = {
        {"missing.png", "does not exist"},
        {"notes.txt", "cannot read the icon"},
        {"folder.png", "is not a regular file"},
    };
    for (const auto& [name, problem] : cases) {
        std::string path = (tree.scratch / name).string();
        CommandResult r = tree.build({"--icon", path});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_NE(r.err.find("'" + path + "'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
        EXPECT_TRUE(directoryNames(tree.out).empty()) << name;
    }
}

TEST(ProductOptions, TheResourcesAndTheDataAreWrittenIntoTheImage) {
    Tree tree;
    CommandResult r = tree.build({"--product", "Written"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    CommandResult headers =
        runCommand({"x86_64-w64-mingw32-objdump", "-h", (tree.out / "app.exe").string()});
    ASSERT_EQ(headers.exitCode, 0) << headers.err;
    EXPECT_NE(headers.out.find("file format pei-x86-64"), std::string::npos) << headers.out;
    EXPECT_NE(headers.out.find(".rsrc"), std::string::npos) << headers.out;
    // The image carries the attached data that archive writes.
    std::string exe = readFile(tree.out / "app.exe");
    ASSERT_TRUE(succeeded(tree.build({}, "archive", "data.bin")));
    EXPECT_NE(exe.find(readFile(tree.out / "data.bin")), std::string::npos);
}

} // namespace
