// onefile-pack build --cache: the spec a cached build may have, the name its
// mark takes, the id that names its directory, and what info says of it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/cli/target_dir_check.h"
#include "packer/tests/support.h"
#include "packer/text.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string cachedRefusalOf(const std::string& spec) {
    try {
        checkTargetDirectorySpec(*utf8ToUtf16(spec), TargetMode::cached);
        return "";
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(CachedSpec, EveryRunMustFindTheSameDirectory) {
    for (const char* reference : {"{PID}", "{TIME}", "{TIME_US}", "{RANDOM}", "{random}"}) {
        std::string message = cachedRefusalOf(std::string("{CACHE_DIR}\\app_") + reference);
        EXPECT_NE(message.find("in cached mode every run must find the same directory, but "),
                  std::string::npos)
            << reference << ": " << message;
        EXPECT_NE(message.find("changes from run to run; leave out {PID}, {RANDOM}, {TIME_US} "
                               "and {TIME}"),
                  std::string::npos)
            << message;
    }
    // What a per-run spec must have, a cached one must not; the rest holds alike.
    EXPECT_NE(cachedRefusalOf("app\\{PRODUCT}").find("would not be an absolute path"),
              std::string::npos);
    for (const char* spec : {ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC, "{TEMP}\\cache",
                             "D:\\Apps\\{COMPANY}\\{PRODUCT}\\{VERSION}"}) {
        EXPECT_EQ(cachedRefusalOf(spec), "") << spec;
    }
}

// The folder checks of a cached build's spec.
std::string cachedFolderRefusalOf(const std::string& spec) {
    BuildConstants constants = defaultBuildConstants("app.exe");
    constants.targetMode = TargetMode::cached;
    try {
        checkTargetDirectoryFolders(
            checkTargetDirectorySpec(*utf8ToUtf16(spec), TargetMode::cached), constants, u"app.exe",
            SpecTextOrigins{spec, "", "", ""});
        return "";
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(CachedSpec, MustNameAFolderOfTheProductsOwnBelowItsBeginning) {
    // Where the user's own folders and other programs' lie, which the
    // product's runs would share with their copies.
    for (const char* spec :
         {"{HOME}", "{temp}\\", "{CACHE_DIR}\\.", "{HOME}\\apps\\..", "{CACHE_DIR}\\..\\x", "C:\\",
          "D:\\\\", "\\\\server\\share", "\\\\server\\share\\"}) {
        const std::string message = cachedFolderRefusalOf(spec);
        EXPECT_NE(message.find("in cached mode it names the folder where the product's runs keep "
                               "their copies and remove those of its other builds, so it must be "
                               "a folder of the product's own below the drive, share or folder "
                               "that it begins with"),
                  std::string::npos)
            << spec << ": " << message;
    }
    EXPECT_NE(cachedFolderRefusalOf("{HOME}\\").find("such as '{HOME}\\{PRODUCT}'"),
              std::string::npos);
    for (const char* spec :
         {ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC, "{HOME}\\.{PRODUCT}",
          "{CACHE_DIR}\\..\\LocalLow\\{PRODUCT}", "C:\\Apps\\", "\\\\server\\share\\{PRODUCT}"}) {
        EXPECT_EQ(cachedFolderRefusalOf(spec), "") << spec;
    }
    // As the packer's build names it.
    EntryTree tree;
    CommandResult r = tree.build({"--cache", "--target-dir", "{HOME}"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--target-dir '{HOME}': in cached mode"), std::string::npos) << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(CacheOption, NamesTheDirectoryByTheAttachedDataAndInfoSaysSo) {
    EntryTree tree;
    writeFile(tree.input / "data" / "one.txt", "one");
    CommandResult r = tree.build({"--cache"}, "build", "a.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json info = infoOf(tree.out / "a.exe");
    const json& target = info["targetDirectory"];
    EXPECT_EQ(target["mode"], "cached");
    EXPECT_EQ(target["spec"], ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC);
    EXPECT_EQ(target["default"], true);
    const std::string id = target["cache"]["id"];
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_EQ(target["cache"]["directory"],
              std::string(ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC) + "\\" + id);
    // The bootstrap reads the build's spec and the four facts of its cache.
    std::map<std::string, std::string> slots = constantSlots(tree.out / "a.exe");
    auto number = [](uint64_t value) {
        std::string bytes(8, '\0');
        storeLittleEndian(reinterpret_cast<unsigned char*>(bytes.data()), value, 8);
        return bytes;
    };
    const std::pair<const char*, std::string> values[] = {
        {ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC, wide(u"" ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC)},
        {ONEFILE_SYMBOL_CACHE_ID, wide(*utf8ToUtf16(id))},
        {ONEFILE_SYMBOL_CACHE_ENTRY_NAME, wide(u"app.dll")},
        {ONEFILE_SYMBOL_CACHE_RECORD_COUNT, number(2)},
        {ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, number(fs::file_size(tree.input / "app.dll") + 3)}};
    for (const auto& [symbol, value] : values) {
        EXPECT_EQ(slots[symbol], zeroFilled(value, slots[symbol].size())) << symbol;
    }

    // The same tree of the same product gives the same id, under another
    // file name and spec too; another product, another company's product of
    // the name and another file's content give others.
    r = tree.build({"--cache", "--target-dir", "{TEMP}\\cache", "--product", "a"}, "build",
                   "b.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(infoOf(tree.out / "b.exe")["targetDirectory"]["cache"]["id"], id);
    std::set<std::string> ids = {id};
    for (const std::vector<std::string>& product :
         {std::vector<std::string>{"--product", "Other"},
          std::vector<std::string>{"--product", "a", "--company", "Other"}}) {
        std::vector<std::string> options = {"--cache"};
        options.insert(options.end(), product.begin(), product.end());
        ASSERT_TRUE(succeeded(tree.build(options, "build", "other.exe")));
        ids.insert(infoOf(tree.out / "other.exe")["targetDirectory"]["cache"]["id"]);
        fs::remove(tree.out / "other.exe");
    }
    EXPECT_EQ(ids.size(), 3u);
    writeFile(tree.input / "data" / "one.txt", "One");
    ASSERT_TRUE(succeeded(tree.build({"--cache"}, "build", "c.exe")));
    EXPECT_NE(infoOf(tree.out / "c.exe")["targetDirectory"]["cache"]["id"], id);

    // A per-run build carries no cache: an empty id, no facts.
    ASSERT_TRUE(succeeded(tree.build({}, "build", "d.exe")));
    json perRun = infoOf(tree.out / "d.exe")["targetDirectory"];
    EXPECT_EQ(perRun["mode"], "per-run");
    EXPECT_FALSE(perRun.contains("cache"));
    slots = constantSlots(tree.out / "d.exe");
    for (const char* symbol :
         {ONEFILE_SYMBOL_CACHE_ID, ONEFILE_SYMBOL_CACHE_ENTRY_NAME,
          ONEFILE_SYMBOL_CACHE_RECORD_COUNT, ONEFILE_SYMBOL_CACHE_CONTENT_SIZE}) {
        EXPECT_EQ(slots[symbol], std::string(slots[symbol].size(), '\0')) << symbol;
    }
}

TEST(CacheOption, RefusesAFileThatWouldTakeTheMarksNameAndAPerRunSpec) {
    EntryTree tree;
    writeFile(tree.input / "Onefile-Cache-Complete", "mine");
    CommandResult r = tree.build({"--cache"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("in cached mode the name 'onefile-cache-complete' at the top is the "
                         "bootstrap's own"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
    // Below the top, or in a per-run build, the name is an ordinary one.
    EXPECT_TRUE(succeeded(tree.build({})));
    fs::remove(tree.out / "app.exe");
    fs::create_directories(tree.input / "sub");
    fs::rename(tree.input / "Onefile-Cache-Complete",
               tree.input / "sub" / "onefile-cache-complete");
    EXPECT_TRUE(succeeded(tree.build({"--cache"})));
    fs::remove(tree.out / "app.exe");

    r = tree.build({"--cache", "--target-dir", ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("in cached mode every run must find the same directory"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(CacheOption, KeepOtherVersionsIsAnOptionOfCachedBuildsThatInfoNames) {
    EntryTree tree;
    CommandResult r = tree.build({"--keep-other-versions"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--keep-other-versions is an option of cached mode: add --cache or drop "
                         "--keep-other-versions"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());

    ASSERT_TRUE(succeeded(
        tree.build({"--cache", "--keep-other-versions", "--product", "App"}, "build", "keep.exe")));
    ASSERT_TRUE(succeeded(tree.build({"--cache", "--product", "App"}, "build", "plain.exe")));
    EXPECT_EQ(infoOf(tree.out / "keep.exe")["options"], json::array({"keep-other-versions"}));
    EXPECT_EQ(infoOf(tree.out / "plain.exe")["options"], json::array());
    // The option changes nothing of what is unpacked: both builds share a directory.
    EXPECT_EQ(infoOf(tree.out / "keep.exe")["targetDirectory"],
              infoOf(tree.out / "plain.exe")["targetDirectory"]);
    CommandResult text = runPacker({"info", (tree.out / "keep.exe").string()});
    EXPECT_NE(text.out.find("\noptions: keep-other-versions\n"), std::string::npos) << text.out;
    text = runPacker({"info", (tree.out / "plain.exe").string()});
    EXPECT_NE(text.out.find("\noptions: none\n"), std::string::npos) << text.out;
}

} // namespace
