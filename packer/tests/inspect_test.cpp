// The inspecting commands: info and list with their JSON read back by a JSON
// parser, extract round trips and its refusals, verify and what it catches.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive/tests/test_data.h"
#include "packer/tests/decoded_archive.h"
#include "packer/tests/support.h"
#include "packer/text.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A tree with an entry library, nested and empty files and names beyond
// ASCII, packed both ways.
struct Packed {
    ScratchDirectory scratch;
    fs::path input = scratch / "in";
    fs::path exe = scratch / "Tool.exe";
    fs::path data = scratch / "data.bin";
    Packed() {
        writeFile(input / "app.dll", readFile(testImage("entry.dll")));
        writeFile(input / "big" / "noise.bin", noiseBytes(300000, 4));
        writeFile(input / "big" / "text.txt", textBytes(200000));
        writeFile(input / "empty", "");
        writeFile(input / "sub" / "deeper" / "\xC3\xBCnicode \xF0\x9F\x98\x80.txt", "unicode\n");
        CommandResult r =
            runPacker({"build", input.string(), "--entry", "app.dll", "--output", exe.string(),
                       "--level", "3", "--company",
                       "Z\xC3\xA9"
                       "brik",
                       "--version", "2.5", "--target-dir", "{CACHE_DIR}\\{PRODUCT}\\{PID}_{TIME}"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        r = runPacker({"archive", input.string(), "--entry", "app.dll", "--output", data.string(),
                       "--level", "3"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
};

TEST(Info, DescribesAnExecutableInJsonThatMatchesWhatItHolds) {
    Packed packed;
    json info = infoOf(packed.exe);
    const std::string exe = readFile(packed.exe), data = readFile(packed.data);
    DecodedArchive archive = decodeAttachedData(data);
    EXPECT_EQ(info["file"], packed.exe.string());
    EXPECT_EQ(info["kind"], "executable");
    EXPECT_EQ(info["size"], exe.size());
    EXPECT_EQ(info["attachedData"]["offset"], exe.find(data));
    EXPECT_EQ(info["attachedData"]["size"], data.size());
    EXPECT_EQ(info["frame"]["size"], archive.frameSize);
    EXPECT_EQ(info["frame"]["checksum"], true);
    uint64_t stream = 0, total = 0;
    for (const DecodedRecord& record : archive.records) {
        stream += 2 * (record.path.size() + 1) + 8 + record.content.size();
        total += record.content.size();
    }
    stream += 2;
    EXPECT_EQ(info["frame"]["contentSize"], stream);
    EXPECT_EQ(info["records"]["count"], archive.records.size());
    EXPECT_EQ(info["records"]["totalSize"], total);
    EXPECT_EQ(info["records"]["streamSize"], stream);
    EXPECT_EQ(info["entry"], json({{"path", "app.dll"},
                                   {"size", archive.records[0].content.size()},
                                   {"sound", true},
                                   {"problem", nullptr}}));
    EXPECT_EQ(info["image"],
              json({{"format", "PE32+"}, {"machine", "x86-64"}, {"subsystem", "GUI"}}));
    EXPECT_EQ(info["product"], json({{"company", "Z\xC3\xA9"
                                                 "brik"},
                                     {"name", "Tool"},
                                     {"version", "2.5.0.0"}}));
    EXPECT_EQ(info["targetDirectory"], json({{"spec", "{CACHE_DIR}\\{PRODUCT}\\{PID}_{TIME}"},
                                             {"default", false},
                                             {"mode", "per-run"}}));
    EXPECT_EQ(info["signature"], json({{"present", false}, {"size", nullptr}}));
    // A window that holds the whole content, so a single segment here.
    EXPECT_TRUE(info["frame"]["windowLog"].is_null());
    EXPECT_EQ(info["frame"]["windowSize"], stream);
}

TEST(Info, DescribesAnAttachedDataFileAndADefaultBuildAndPrintsTheSameAsText) {
    Packed packed;
    json info = infoOf(packed.data);
    EXPECT_EQ(info["kind"], "attached data");
    EXPECT_EQ(info["attachedData"]["offset"], 0);
    for (const char* absent : {"image", "product", "targetDirectory", "signature", "options"}) {
        EXPECT_TRUE(info[absent].is_null()) << absent;
    }
    fs::path plain = packed.scratch / "Plain.exe";
    ASSERT_EQ(runPacker({"build", packed.input.string(), "--entry", "app.dll", "--output",
                         plain.string(), "--level", "1"})
                  .exitCode,
              0);
    info = infoOf(plain);
    EXPECT_EQ(info["targetDirectory"], json({{"spec", "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"},
                                             {"default", true},
                                             {"mode", "per-run"}}));
    EXPECT_EQ(info["product"]["company"], "");
    EXPECT_EQ(info["product"]["name"], "Plain");
    CommandResult text = runPacker({"info", plain.string()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* line :
         {"kind: executable\n", "image: PE32+ for x86-64, GUI subsystem\n", "entry: 'app.dll', ",
          "a PE32+ DLL for x86-64 that exports run_code\n", "product: 'Plain'\n",
          "version: 0.0.0.0\n",
          "target directory: {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (the default)\n",
          "mode: per-run\n", "signature: none\n", "records: 5, "}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    }
    // Only a cached build has a cache directory to tell of.
    EXPECT_EQ(text.out.find("cache directory"), std::string::npos) << text.out;
}

TEST(Info, SaysWhyADamagedImageHasNoImageOrSignatureLines) {
    Packed packed;
    std::string exe = readFile(packed.exe);
    exe.replace(0, 2, "XX");
    fs::path damaged = packed.scratch / "Damaged.exe";
    writeFile(damaged, exe);
    CommandResult text = runPacker({"info", damaged.string()});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("kind: executable\nsize: " + std::to_string(exe.size()) +
                            " bytes\nimage: unreadable, as the file is not a PE file: it does "
                            "not begin with \"MZ\"\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("signature:"), std::string::npos) << text.out;
    json info = infoOf(damaged);
    EXPECT_TRUE(info["image"].is_null());
    EXPECT_TRUE(info["signature"].is_null());
}

TEST(List, GivesTheRecordsAsJsonInArchiveOrder) {
    Packed packed;
    DecodedArchive archive = decodeAttachedData(readFile(packed.data));
    for (const fs::path& file : {packed.exe, packed.data}) {
        CommandResult r = runPacker({"list", file.string(), "--json"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        json listed = json::parse(r.out);
        EXPECT_EQ(listed["file"], file.string());
        ASSERT_EQ(listed["records"].size(), archive.records.size());
        for (size_t i = 0; i < archive.records.size(); ++i) {
            EXPECT_EQ(listed["records"][i]["path"], utf16ToUtf8(archive.records[i].path));
            EXPECT_EQ(listed["records"][i]["size"], archive.records[i].content.size());
        }
    }
}

TEST(List, FindsTheAttachedDataOfAFrameWithBlocksOfOneRepeatedByte) {
    // A long run of one byte is stored as blocks of that byte alone, whose
    // size in the frame is one byte whatever their length: the search for
    // the attached data in an executable walks over them.
    ScratchDirectory scratch;
    const fs::path input = scratch / "in", exe = scratch / "Zeros.exe";
    writeFile(input / "app.dll", readFile(testImage("entry.dll")));
    writeFile(input / "zeros.bin", std::string(1000000, '\0'));
    ASSERT_TRUE(succeeded(runPacker({"build", input.string(), "--entry", "app.dll", "--output",
                                     exe.string(), "--level", "3"})));
    CommandResult r = runPacker({"list", exe.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("zeros.bin"), std::string::npos) << r.out;
}

// Every regular file below `root`, relative path to content.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[entry.path().lexically_relative(root).string()] = readFile(entry.path());
        }
    }
    return files;
}

TEST(Extract, WritesThePackedTreeBackByteForByteFromEitherKindOfFile) {
    Packed packed;
    for (const fs::path& file : {packed.exe, packed.data}) {
        fs::path out = packed.scratch / ("out-" + file.stem().string()) / "new" / "dir";
        CommandResult r = runPacker({"extract", file.string(), out.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(treeOf(out) == treeOf(packed.input)) << file;
    }
    // A link above DIR is the user's way there, and is taken: only links
    // below DIR are refused.
    fs::create_directories(packed.scratch / "real");
    fs::create_directory_symlink(packed.scratch / "real", packed.scratch / "via");
    CommandResult r =
        runPacker({"extract", packed.exe.string(), (packed.scratch / "via" / "out").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(treeOf(packed.scratch / "real" / "out") == treeOf(packed.input));
}

TEST(Extract, RefusesADirectoryThatIsNotEmptyUnlessForced) {
    Packed packed;
    fs::path out = packed.scratch / "out";
    writeFile(out / "keep.txt", "mine");
    writeFile(out / "empty", "replaced by the record");
    CommandResult r = runPacker({"extract", packed.exe.string(), out.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'" + out.string() + "' is not empty; give --force"), std::string::npos)
        << r.err;
    EXPECT_EQ(directoryNames(out), (std::vector<std::string>{"empty", "keep.txt"}));
    r = runPacker({"extract", packed.exe.string(), out.string(), "--force"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(out / "keep.txt"), "mine");
    EXPECT_EQ(readFile(out / "empty"), "");
    EXPECT_EQ(readFile(out / "big" / "noise.bin"), readFile(packed.input / "big" / "noise.bin"));
    // A file where the directory should be.
    writeFile(packed.scratch / "file", "x");
    r = runPacker({"extract", packed.exe.string(), (packed.scratch / "file").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is not a directory"), std::string::npos) << r.err;
}

std::string stream(const std::vector<std::pair<std::u16string, std::string>>& records) {
    std::string out;
    for (const auto& [path, content] : records) {
        out += recordBytes(path, content);
    }
    return out + std::string(2, '\0');
}

// An entry library's bytes, for archives made by hand.
const std::string& entryBytes() {
    static const std::string bytes = readFile(testImage("entry.dll"));
    return bytes;
}

TEST(Extract, RefusesNamesThePackerWouldRefuseAndWritesNothing) {
    const std::pair<std::u16string, std::string> hostile[] = {
        {u"..\\evil", "ends in a dot"},
        {u"a/../../evil", "contains the character '/'"},
        {u"C:\\evil", "contains the character ':'"},
        {u"\\evil", "is empty"},
        {u"a\\\\b", "is empty"},
        {u"dir\\CON", "reserved device name CON"},
        {u"trailing.", "ends in a dot"},
        {u"tab\there", "control character"},
        {std::u16string(u"bad") + char16_t(0xD800), "not valid UTF-16"},
    };
    for (const auto& [name, problem] : hostile) {
        ScratchDirectory scratch;
        writeFile(scratch / "bad.bin",
                  encodeAttachedData(
                      stream({{u"app.dll", entryBytes()}, {u"fine.txt", "fine"}, {name, "evil"}})));
        fs::path out = scratch / "out";
        CommandResult r = runPacker({"extract", (scratch / "bad.bin").string(), out.string()});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("record 3, "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out)) << r.err;
        EXPECT_EQ(directoryNames(scratch.path()), std::vector<std::string>{"bad.bin"});
    }
    const std::vector<std::pair<std::u16string, std::string>> conflicts[] = {
        {{u"app.dll", entryBytes()}, {u"Read.me", "a"}, {u"READ.ME", "b"}},
        {{u"app.dll", entryBytes()}, {u"data", "a file"}, {u"data\\inner", "under it"}},
        {{u"app.dll", entryBytes()}, {u"data\\inner", "below"}, {u"DATA", "a file"}},
    };
    for (const auto& records : conflicts) {
        ScratchDirectory scratch;
        writeFile(scratch / "bad.bin", encodeAttachedData(stream(records)));
        CommandResult r =
            runPacker({"extract", (scratch / "bad.bin").string(), (scratch / "out").string()});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(r.err.find("differ only in case") != std::string::npos ||
                    r.err.find("both a file and a directory") != std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(scratch / "out"));
    }
    // The same path twice is one file, replaced, as when the executable unpacks.
    ScratchDirectory scratch;
    writeFile(scratch / "twice.bin",
              encodeAttachedData(
                  stream({{u"app.dll", entryBytes()}, {u"a", "first"}, {u"a", "second"}})));
    CommandResult r =
        runPacker({"extract", (scratch / "twice.bin").string(), (scratch / "out").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(scratch / "out" / "a"), "second");
}

TEST(Extract, ADamagedArchiveWritesNothingAndAFailedWriteRemovesWhatItCreated) {
    Packed packed;
    std::string damaged = readFile(packed.exe);
    const size_t middle = damaged.find(readFile(packed.data)) + 3 + 1000;
    damaged[middle] = static_cast<char>(damaged[middle] ^ 0x40);
    writeFile(packed.scratch / "damaged.exe", damaged);
    fs::path out = packed.scratch / "out";
    CommandResult r =
        runPacker({"extract", (packed.scratch / "damaged.exe").string(), out.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("damaged.exe'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));

    // "sub" is in the way as a file: the records before it were written and
    // are removed again; what was there before stays.
    writeFile(out / "sub", "in the way");
    r = runPacker({"extract", packed.exe.string(), out.string(), "--force"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot create '" + joinedForPacker(out, "sub")), std::string::npos)
        << r.err;
    EXPECT_EQ(directoryNames(out), std::vector<std::string>{"sub"});
    EXPECT_EQ(readFile(out / "sub"), "in the way");

    // Nested folders made before a later record fails go too, deepest first.
    fs::path nested = packed.scratch / "nested";
    writeFile(nested / "app.dll", readFile(testImage("entry.dll")));
    writeFile(nested / "a" / "b" / "c" / "file.txt", "deep");
    writeFile(nested / "z", "after the folders");
    r = runPacker({"archive", nested.string(), "--entry", "app.dll", "--output",
                   (packed.scratch / "nested.bin").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    fs::path blocked = packed.scratch / "blocked";
    fs::create_directories(blocked / "z" / "in the way");
    r = runPacker(
        {"extract", (packed.scratch / "nested.bin").string(), blocked.string(), "--force"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot create '" + joinedForPacker(blocked, "z")), std::string::npos)
        << r.err;
    EXPECT_EQ(directoryNames(blocked), std::vector<std::string>{"z"});

    // Symbolic links already in DIR are not followed, to a directory or a file.
    fs::path outside = packed.scratch / "outside";
    fs::create_directories(outside);
    writeFile(outside / "target", "untouched");
    fs::path linked = packed.scratch / "linked";
    fs::create_directories(linked);
    fs::create_directory_symlink(outside, linked / "big");
    fs::create_symlink(outside / "target", linked / "empty");
    for (const char* record : {"big", "empty"}) {
        r = runPacker({"extract", packed.exe.string(), linked.string(), "--force"});
        EXPECT_EQ(r.exitCode, 1) << record;
        EXPECT_NE(r.err.find("cannot create '" + joinedForPacker(linked, record)),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(directoryNames(outside), std::vector<std::string>{"target"});
        EXPECT_EQ(readFile(outside / "target"), "untouched");
        fs::remove(linked / record);
    }
}

TEST(Verify, SaysSoWhenSoundAndCatchesAFlippedByteACutAndAMissingExport) {
    Packed packed;
    CommandResult r = runPacker({"verify", packed.exe.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("is sound: 5 records"), std::string::npos) << r.out;
    EXPECT_TRUE(succeeded(runPacker({"verify", packed.data.string()})));

    const std::string exe = readFile(packed.exe);
    const size_t frame = exe.find(readFile(packed.data)) + 3;
    const size_t frameSize = decodeAttachedData(readFile(packed.data)).frameSize;
    int caught = 0;
    for (size_t at : {frame + 20, frame + frameSize / 2, frame + frameSize - 3}) {
        std::string flipped = exe;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
        writeFile(packed.scratch / "flipped.exe", flipped);
        r = runPacker({"verify", (packed.scratch / "flipped.exe").string()});
        EXPECT_EQ(r.exitCode, 1) << "flipped at " << at - frame;
        caught += r.exitCode == 1;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("onefile-pack: error: '"), std::string::npos) << r.err;
    }
    EXPECT_EQ(caught, 3);
    writeFile(packed.scratch / "cut.exe", exe.substr(0, frame + frameSize / 2));
    r = runPacker({"verify", (packed.scratch / "cut.exe").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("holds no attached data"), std::string::npos) << r.err;

    // Built past the entry check, the missing export is still caught.
    writeFile(packed.input / "app.dll", readFile(testImage("no_run_code.dll")));
    fs::path unchecked = packed.scratch / "unchecked.exe";
    ASSERT_EQ(runPacker({"build", packed.input.string(), "--entry", "app.dll", "--output",
                         unchecked.string(), "--level", "1", "--no-entry-check"})
                  .exitCode,
              0);
    r = runPacker({"verify", unchecked.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the entry library 'app.dll' does not export run_code"), std::string::npos)
        << r.err;
    json info = infoOf(unchecked);
    EXPECT_EQ(info["entry"]["sound"], false);
    EXPECT_EQ(info["entry"]["problem"], "does not export run_code");
}

TEST(Verify, CatchesWhatTheBootstrapWouldStumbleOnOrNeverRead) {
    const std::string unterminated = stream({{u"app.dll", entryBytes()}});
    const std::pair<std::string, std::string> cases[] = {
        {encodeAttachedData(stream({{u"app.dll", entryBytes()}}), false), "no content checksum"},
        {encodeAttachedData(unterminated.substr(0, unterminated.size() - 2)),
         "ends without its terminator"},
        {encodeAttachedData(std::string(2, '\0')), "holds no records"},
        {encodeAttachedData(stream({{u"app.dll", entryBytes()}}) + "extra"),
         "5 decoded bytes follow the record stream's terminator"},
        {encodeAttachedData(stream({{u"app.dll", "text"}})),
         "the entry library 'app.dll' is not a PE file"},
        {encodeAttachedData(stream({{u"app.dll", entryBytes()}, {u"a\\NUL.txt", ""}})),
         "record 2, 'a\\NUL.txt': the name 'NUL.txt' is the reserved device name NUL"},
    };
    for (const auto& [bytes, problem] : cases) {
        ScratchDirectory scratch;
        writeFile(scratch / "data.bin", bytes);
        CommandResult r = runPacker({"verify", (scratch / "data.bin").string()});
        EXPECT_EQ(r.exitCode, 1) << problem;
        EXPECT_NE(r.err.find(problem), std::string::npos) << r.err;
    }
}

// The header of a record of `size` bytes, without its content.
std::string recordHead(const std::u16string& path, uint64_t size) {
    std::string head = recordBytes(path, "");
    for (int i = 0; i < 8; ++i) {
        head[head.size() - 8 + i] = static_cast<char>(size >> (8 * i));
    }
    return head;
}

TEST(Verify, ImagesLargerThanMemoryHoldsAreCheckedAndExtractedWithoutBeingHeldWhole) {
    // The entry library, and a plug-in that imports helper.dll, each with
    // 40 MiB of data after its image, as installers and signed files carry:
    // a few kilobytes of archive that decode to 80 MiB.
    const uint64_t trailing = uint64_t{40} << 20;
    const std::string plugin = readFile(fs::path(ONEFILE_TEST_LIBRARIES) / "uses_helper.dll");
    ScratchDirectory scratch;
    const fs::path data = scratch / "large.bin";
    writeFile(data, encodeAttachedData(
                        recordHead(u"app.dll", entryBytes().size() + trailing) + entryBytes() +
                            std::string(trailing, '\0') +
                            recordHead(u"uses_helper.dll", plugin.size() + trailing) + plugin +
                            std::string(trailing, '\0') + stream({{u"small.txt", "small"}}),
                        true, false));
    // Holding a record whole takes 40 MiB, and the checks held it twice.
    const long heldKb = 24 * 1024;

    CommandResult r = runPacker({"info", data.string(), "--json", "--allow-missing", "helper.dll"});
    ASSERT_TRUE(succeeded(r));
    const json info = json::parse(r.out);
    EXPECT_EQ(info["records"]["count"], 3);
    EXPECT_EQ(info["entry"]["sound"], true) << info["entry"];
    // What the plug-in imports was read from its image too.
    EXPECT_EQ(info["dependencies"]["allowedMissing"], json::array({"helper.dll"}))
        << info["dependencies"];
    const std::vector<std::pair<std::string, CommandResult>> runs = {
        {"info", r},
        {"verify", runPacker({"verify", data.string(), "--allow-missing", "helper.dll"})},
        {"extract", runPacker({"extract", data.string(), (scratch / "out").string()})}};
    EXPECT_NE(runs[1].second.out.find("is sound: 3 records"), std::string::npos)
        << runs[1].second.err;
    EXPECT_TRUE(succeeded(runs[2].second));
    const std::string extracted = readFile(scratch / "out" / "app.dll");
    EXPECT_EQ(extracted.size(), entryBytes().size() + trailing);
    EXPECT_EQ(extracted.substr(0, entryBytes().size()), entryBytes());
    EXPECT_EQ(readFile(scratch / "out" / "small.txt"), "small");
    if (!windowsPacker()) { // Wine's memory is not the packer's
        for (const auto& [command, run] : runs) {
            EXPECT_LT(run.peakMemoryKb, heldKb) << command;
        }
    }
}

TEST(WindowLog, SetsTheFramesWindowWithinTenTo27) {
    Packed packed;
    fs::path small = packed.scratch / "small.bin";
    CommandResult r = runPacker({"archive", packed.input.string(), "--entry", "app.dll", "--output",
                                 small.string(), "--level", "3", "--window-log", "12"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json info = infoOf(small);
    EXPECT_EQ(info["frame"]["windowLog"], 12);
    EXPECT_EQ(info["frame"]["windowSize"], 4096);
    EXPECT_TRUE(succeeded(runPacker({"verify", small.string()})));
    // The default covers the content, so a small window packs larger.
    EXPECT_GT(fs::file_size(small), fs::file_size(packed.data));
    for (const char* refused : {"9", "28", "x"}) {
        r = runPacker({"archive", packed.input.string(), "--entry", "app.dll", "--output",
                       (packed.scratch / "refused.bin").string(), "--window-log", refused});
        EXPECT_EQ(r.exitCode, 2) << refused;
        EXPECT_NE(r.err.find("--window-log takes a whole number from 10 to 27"), std::string::npos)
            << r.err;
    }
    EXPECT_FALSE(fs::exists(packed.scratch / "refused.bin"));
}

} // namespace
