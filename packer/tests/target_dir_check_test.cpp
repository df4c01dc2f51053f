// The target directory's spec (--target-dir), the entry check and the path
// budget of onefile-pack build: what they refuse and what they let through.
#include <gtest/gtest.h>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/cli/target_dir_check.h"
#include "packer/tests/support.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

std::string refusalOf(const std::string& spec) {
    try {
        checkTargetDirectorySpec(*utf8ToUtf16(spec), TargetMode::perRun);
        return "";
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(TargetDirectorySpec, RefusesWhatWouldFailOnAUsersMachineNamingTheProblem) {
    const std::pair<std::string, std::string> cases[] = {
        {"{TEMP}\\a_{RANDM}", "'{RANDM}' is no reference; a spec may use {TEMP}, {PROGRAM},"},
        {"{}\\{RANDOM}", "'{}' is no reference"},
        {std::string("{TEMP}\\a_{RANDOM\0}", 18), "is no reference"},
        {"{TEMP}\\a_{RANDOM", "the '{' at character 10 has no '}'"},
        {"{TEMP}\\a}_{RANDOM}", "the '}' at character 9 closes no reference"},
        {"{TEMP}\\{a{RANDOM}}", "the reference that begins at character 8 holds another '{'"},
        {"{TEMP}\\a\tb_{RANDOM}", "a control character at character 9"},
        {"", "the spec is empty"},
        {"app\\{RANDOM}", "would not be an absolute path; begin it with a folder reference "
                          "({TEMP}, {HOME} or {CACHE_DIR}), a drive such as C:\\ or a network "
                          "share such as \\\\server\\share"},
        {"C:{RANDOM}", "would not be an absolute path"},
        {"\\{RANDOM}", "would not be an absolute path"},
        {"{PRODUCT}\\{RANDOM}", "as {PRODUCT} need not be absolute"},
        {"{PROGRAM_DIR}\\{RANDOM}", "as {PROGRAM_DIR} need not be absolute"},
        {"{TEMP}\\{PRODUCT}", "two runs could unpack into the same directory; a per-run "
                              "directory needs {RANDOM}, or {PID} together with {TIME_US} or "
                              "{TIME}"},
        {"{TEMP}\\{PID}", "two runs could unpack into the same directory"},
        {"{TEMP}\\{TIME}_{TIME_US}", "two runs could unpack into the same directory"},
        {"C:\\" + std::string(pathCapacity, 'x') + "{RANDOM}",
         "characters long; the bootstrap's buffer for the target directory holds 4095"},
    };
    for (const auto& [spec, problem] : cases) {
        std::string message = refusalOf(spec);
        EXPECT_NE(message.find(problem), std::string::npos) << spec << ": " << message;
        EXPECT_EQ(message.rfind("--target-dir '", 0), 0u) << message;
    }
}

TEST(TargetDirectorySpec, TakesSpecsThatKeepEachRunsDirectoryItsOwn) {
    for (const char* spec : {
             ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC,
             "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\run_{PID}_{TIME_US}",
             "{HOME}\\.{product}\\{pid}{time}", // names in any case
             "D:\\Apps\\{PRODUCT}_{RANDOM}",
             "d:/apps/{RANDOM}",
             "\\\\server\\share\\{RANDOM}",
         }) {
        EXPECT_EQ(refusalOf(spec), "") << spec;
    }
}

TEST(TargetDirectorySpec, ExpandsForATypicalUserWithTheLongestPerRunValues) {
    BuildConstants constants = defaultBuildConstants("Tool.exe");
    constants.companyName = u"Zebrik";
    auto typical = [&constants](const std::string& spec) {
        return utf16ToUtf8(
            typicalTargetDirectory(checkTargetDirectorySpec(*utf8ToUtf16(spec), TargetMode::perRun),
                                   constants, u"Tool.EXE"));
    };
    const std::string temp = typical("{TEMP}\\{RANDOM}");
    // C:\Users\, twenty characters, \AppData\Local\Temp: 48 characters.
    EXPECT_EQ(temp.size(), 48u + 1 + 11) << temp;
    EXPECT_EQ(temp.rfind("C:\\Users\\", 0), 0u);
    EXPECT_NE(temp.find("\\AppData\\Local\\Temp\\"), std::string::npos);
    // The process identifier as long as 32 bits print, six digits of
    // microseconds, the 64-bit clock, eleven random characters.
    EXPECT_EQ(typical("C:\\{PID}_{TIME_US}_{TIME}_{RANDOM}").size(),
              3 + 10 + 1 + 6 + 1 + 19 + 1 + 11);
    EXPECT_EQ(
        typical("C:\\{COMPANY}\\{PRODUCT}\\{VERSION}{FILE_VERSION}{PRODUCT_VERSION}_{RANDOM}"),
        "C:\\Zebrik\\Tool\\0.0.0.00.0.0.00.0.0.0_XXXXXXXXXXX");
    // The program as started from the user's folder, with and without .exe.
    const std::string program = typical("{HOME}\\{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}_{RANDOM}");
    const std::string home = typical("{HOME}\\{RANDOM}").substr(0, 29);
    EXPECT_EQ(program, home + "\\" + home + "\\Downloads\\Tool.EXE|" + home + "\\Downloads\\Tool|" +
                           home + "\\Downloads_XXXXXXXXXXX");
    EXPECT_EQ(typical("{CACHE_DIR}\\{RANDOM}"), home + "\\AppData\\Local\\XXXXXXXXXXX");
}

TEST(PathBudget, WarnsFrom260CharactersAndRefusesBeyondTheBootstrapsBuffers) {
    const std::u16string directory(100, u'd');
    auto budget = [&directory](size_t total) {
        return checkPathBudget(directory, std::u16string(total - directory.size() - 1, u'f'));
    };
    EXPECT_EQ(budget(259), "");
    std::string warning = budget(260);
    EXPECT_NE(warning.find("is 260 characters long; Windows without LongPathsEnabled cannot open "
                           "paths of 260 characters or more"),
              std::string::npos)
        << warning;
    EXPECT_NE(warning.find(std::string(100, 'd') + "\\fff"), std::string::npos) << warning;
    EXPECT_NE(budget(pathCapacity - 1), "");
    try {
        budget(pathCapacity);
        ADD_FAILURE() << "a path of 4096 characters was taken";
    } catch (const PackError& error) {
        EXPECT_NE(std::string(error.what())
                      .find("is 4096 characters long; the bootstrap holds "
                            "paths of up to 4095"),
                  std::string::npos)
            << error.what();
    }
}

TEST(TargetDirectoryOption, TheDefaultGivenOrNotBuildsTheSameBytesAndAnotherSpecIsBuiltIn) {
    EntryTree tree;
    fs::create_directories(tree.out / "a");
    fs::create_directories(tree.out / "b");
    fs::create_directories(tree.out / "c");
    ASSERT_TRUE(succeeded(tree.build({}, "build", "a/app.exe")));
    CommandResult r =
        tree.build({"--target-dir", ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC}, "build", "b/app.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(tree.out / "a/app.exe") == readFile(tree.out / "b/app.exe"));
    std::string slot = constantSlots(tree.out / "a/app.exe")[ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC];
    EXPECT_EQ(slot.size(), 2 * pathCapacity);
    EXPECT_EQ(slot, zeroFilled(wide(u"" ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC), slot.size()));

    // Another spec is in the slot the bootstrap reads, as UTF-16.
    const std::string spec = "{CACHE_DIR}\\Z\xC3\xA9"
                             "brik\\{PRODUCT}\\run_{PID}_{TIME_US}";
    r = tree.build({"--target-dir", spec, "--quiet"}, "build", "c/app.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no warning
    slot = constantSlots(tree.out / "c/app.exe")[ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC];
    EXPECT_EQ(slot, zeroFilled(wide(*utf8ToUtf16(spec)), slot.size()));
}

TEST(TargetDirectoryOption, ARefusedSpecWritesNothing) {
    EntryTree tree;
    CommandResult r = tree.build({"--target-dir", "{TEMP}\\{PID}"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--target-dir '{TEMP}\\{PID}': two runs could unpack"), std::string::npos)
        << r.err;
    if (!windowsPacker()) { // a Windows command line is UTF-16: never malformed UTF-8
        r = tree.build({"--target-dir", "C:\\\xff{RANDOM}"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("it is not UTF-8"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(directoryNames(tree.out).empty());
    // It belongs to build alone.
    r = runPacker({"archive", tree.input.string(), "--entry", "app.dll", "--output",
                   (tree.out / "data.bin").string(), "--target-dir", "C:\\{RANDOM}"});
    EXPECT_EQ(r.exitCode, 2);
}

// The folders the bootstrap will make of the spec and the build's texts,
// checked when packing: what would fail on every run is refused, naming the
// option at fault, and nothing is written.
TEST(TargetDirectoryFolders, TextsAndSpecsWindowsCouldNotMakeFoldersOfAreRefused) {
    EntryTree tree;
    const std::string cached = "'{CACHE_DIR}\\onefile\\{PRODUCT}' gives the folder name ";
    const std::string company = "{CACHE_DIR}\\{COMPANY}\\run_{PID}_{TIME_US}";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--cache", "--product", "nul"},
         "--product 'nul': {PRODUCT} in the target directory " + cached +
             "'nul'; that name is the reserved device name NUL"},
        {{"--cache", "--product", "Lpt1.txt"}, "is the reserved device name LPT1"},
        {{"--cache", "--product", "x<y"},
         cached + "'x<y'; that name contains the character '<', which Windows"},
        {{"--cache", "--product", "x/y"}, cached + "'x/y'; that name contains the character '/'"},
        {{"--cache", "--product", "a\\b"}, "that name contains the character '\\'"},
        {{"--cache", "--product", "dot."}, cached + "'dot.'; that name ends in a dot"},
        {{"--cache", "--product", ".."}, "'..'; that name ends in a dot"},
        {{"--cache", "--product", "space "}, "that name ends in a space"},
        {{"--target-dir", "{TEMP}\\{PRODUCT} {PRODUCT}_{RANDOM}", "--product",
          std::string(130, 'p')},
         "_{RANDOM}'; that name is 273 characters long; Windows holds names of up to 255"},
        {{"--target-dir", company, "--company", "ACME <Ltd>"},
         "--company 'ACME <Ltd>': {COMPANY} in the target directory '" + company +
             "' gives the folder name 'ACME <Ltd>'; that name contains the character '<'"},
        {{"--target-dir", company}, "--company (not given): {COMPANY} in the target directory"},
        // A text that looks like an absolute path is still one folder's name.
        {{"--target-dir", company, "--company", "C:\\ACME"},
         "--company 'C:\\ACME': {COMPANY} in the target directory '" + company +
             "' gives the folder name 'C:\\ACME'; that name contains the character ':'"},
        {{"--cache", "--product", "\\\\server\\share"},
         "--product '\\\\server\\share': {PRODUCT} in the target directory"},
        {{"--target-dir", "{TEMP}\\{product}.{RANDOM}", "--product", "Con"},
         "--product 'Con': {PRODUCT} in the target directory '{TEMP}\\{product}.{RANDOM}' "
         "gives the folder name 'Con.{RANDOM}'; that name is the reserved device name CON"},
        // The spec's own text.
        {{"--target-dir", "{TEMP}\\a|b_{RANDOM}", "--product", "x<y"},
         "--target-dir '{TEMP}\\a|b_{RANDOM}': the folder name 'a|b_{RANDOM}' contains the "
         "character '|'"},
        {{"--target-dir", "{TEMP}\\{PRODUCT}:\\{RANDOM}"},
         "--target-dir '{TEMP}\\{PRODUCT}:\\{RANDOM}': the folder name 'app:' contains"},
        {{"--target-dir", "D:\\apps.\\{RANDOM}"}, "the folder name 'apps.' ends in a dot"},
        {{"--target-dir", "{HOME}\\aux\\{RANDOM}"}, "the folder name 'aux' is the reserved"},
        {{"--target-dir", "\\\\server\\share\\com1\\{RANDOM}"}, "the folder name 'com1'"},
        {{"--target-dir", "{TEMP}\\x_{RANDOM}\\"}, "it ends in a separator"},
        {{"--target-dir", "{TEMP}\\{RANDOM}\\..\\x"}, "its '..' climbs out of the folder"},
        {{"--target-dir", "C:\\x\\{TEMP}\\{RANDOM}"},
         "{TEMP} expands to an absolute path (for a typical user 'C:\\Users\\"},
        {{"--target-dir", "{TEMP}\\{PROGRAM_BASE}_{RANDOM}"},
         "{PROGRAM_BASE} can expand to an absolute path (for a program started from Explorer"},
    };
    for (const auto& [options, message] : cases) {
        CommandResult r = tree.build(options);
        EXPECT_EQ(r.exitCode, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    // A default product name is named as such.
    CommandResult r = tree.build({"--cache"}, "build", "nul.exe");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the product name 'nul' (from --output; --product sets another): "
                         "{PRODUCT} in the target directory"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(TargetDirectoryFolders, NamesOfUpTo255CharactersAreTaken) {
    auto refusal = [](size_t length) -> std::string {
        const std::u16string spec = u"C:\\" + std::u16string(length, u'x') + u"\\{RANDOM}";
        try {
            checkTargetDirectoryFolders(checkTargetDirectorySpec(spec, TargetMode::perRun),
                                        defaultBuildConstants("app.exe"), u"app.exe",
                                        SpecTextOrigins{utf16ToUtf8(spec), "", "", ""});
            return "";
        } catch (const PackError& error) {
            return error.what();
        }
    };
    EXPECT_EQ(refusal(255), "");
    EXPECT_NE(refusal(256).find("is 256 characters long; Windows holds names of up to 255"),
              std::string::npos)
        << refusal(256);
}

TEST(TargetDirectoryFolders, NamesWithSpacesDotsInsideAndAnyLettersAreTaken) {
    EntryTree tree;
    const std::vector<std::string> cases[] = {
        {"--cache", "--product",
         "Z\xC3\xA9"
         "bra App 2.0",
         "--company", "ACME Ltd."},
        {"--target-dir", "{CACHE_DIR}\\{COMPANY}\\{PRODUCT} {VERSION}\\run_{PID}_{TIME_US}",
         "--company", "Soci\xC3\xA9t\xC3\xA9 .Co. \xE5\x85\xAC\xE5\x8F\xB8", "--product", "..x..y",
         "--version", "1.2"},
        // What the system resolves itself: doubled separators, "." and "..";
        // in cached mode the build's id follows a final separator.
        {"--target-dir", "{TEMP}\\\\x\\.\\..\\y_{RANDOM}\\."},
        {"--cache", "--target-dir", "{TEMP}\\apps\\"},
    };
    for (std::vector<std::string> options : cases) {
        options.push_back("--quiet"); // which still counts warnings
        CommandResult r = tree.build(options);
        EXPECT_EQ(r.exitCode, 0) << testing::PrintToString(options) << r.err;
        EXPECT_EQ(r.err, "");
        fs::remove(tree.out / "app.exe");
    }
}

TEST(PathBudgetOfABuild, WarnsNamingTheLongestPathAndRefusesPastTheBuffer) {
    EntryTree tree;
    // With the default spec the typical target directory is 86 characters.
    const std::string deep = std::string(120, 'd') + "/" + std::string(60, 'f');
    writeFile(tree.input / deep, "deep");
    CommandResult r = tree.build({});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("onefile-pack: warning: the longest path to unpack, 'C:\\Users\\"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(std::string(120, 'd') + "\\" + std::string(60, 'f') +
                         "' as the target directory expands for a typical user, is 268 "
                         "characters long"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::exists(tree.out / "app.exe"));
    fs::remove(tree.out / "app.exe");
    // Sixteen folders of 254 characters and their separators: 4080.
    std::string folders(254, 'x');
    for (int i = 1; i < 16; ++i) {
        folders += "\\" + std::string(254, 'x');
    }
    r = tree.build({"--target-dir", "C:\\" + folders + "\\{RANDOM}"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the bootstrap holds paths of up to 4095"), std::string::npos) << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(PathBudgetOfABuild, CountsTheFolderOfACachedBuildsFirstRun) {
    EntryTree tree;
    // A first run unpacks into "C:\apps\<id>.partial-<pid>_<microseconds>_<random>",
    // 62 characters at most.
    const std::string folder = "C:\\apps\\0000000000000000.partial-4294967295_999999_XXXXXXXXXXX";
    for (size_t total : {259, 260}) {
        const std::string name(total - folder.size() - 1, 'n');
        writeFile(tree.input / name, "long");
        CommandResult r = tree.build({"--cache", "--target-dir", "C:\\apps"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string warning = "the longest path to unpack, '" + folder + "\\" + name + "'";
        EXPECT_EQ(r.err.find(warning) != std::string::npos, total == 260) << total << r.err;
        fs::remove(tree.input / name);
        fs::remove(tree.out / "app.exe");
    }
}

TEST(EntryCheckOfABuild, RefusesWhatTheBootstrapCouldNotCallNamingTheFile) {
    EntryTree tree;
    writeFile(tree.input / "notes.txt", "not a library");
    writeFile(tree.input / "tool.exe", readFile(testImage("program.exe")));
    writeFile(tree.input / "other.dll", readFile(testImage("no_run_code.dll")));
    const std::pair<const char*, const char*> cases[] = {
        {"notes.txt", "is not a PE file: it does not begin with \"MZ\""},
        {"tool.exe", "is a program, not a DLL"},
        {"other.dll", "does not export run_code"},
    };
    for (const auto& [entry, problem] : cases) {
        CommandResult r = tree.build({}, "build", "app.exe", entry);
        EXPECT_EQ(r.exitCode, 1) << entry;
        EXPECT_NE(r.err.find(std::string("--entry '") + entry + "': '" + entry + "' " + problem),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(directoryNames(tree.out).empty()) << entry;
    }
    // On request the check is skipped, so that tests can see the bootstrap
    // report a broken entry; archive never checks, its data runs nowhere.
    CommandResult r = tree.build({"--no-entry-check"}, "build", "app.exe", "other.dll");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runPacker({"archive", tree.input.string(), "--entry", "notes.txt", "--output",
                   (tree.out / "data.bin").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

} // namespace
