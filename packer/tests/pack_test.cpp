// What onefile-pack archive writes: layout, record order and content,
// frame settings, determinism.
#include <gtest/gtest.h>

#include <algorithm>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <sstream>

#include "packer/tests/decoded_archive.h"
#include "archive/tests/test_data.h"
#include "packer/tests/support.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

// A tree with records over 128 KiB, empty records, nested directories and
// names beyond ASCII (one outside the Basic Multilingual Plane).
struct SampleTree {
    ScratchDirectory scratch;
    fs::path input = scratch / "input";
    SampleTree() {
        writeFile(input / "lib" / "app.dll", noiseBytes(5000, 1));
        writeFile(input / "random.bin", noiseBytes(300000, 2));
        writeFile(input / "zeros.bin", std::string(400000, '\0'));
        writeFile(input / "empty", "");
        writeFile(input / "sub" / "empty too", "");
        writeFile(input / "sub" / "deeper" / "data.txt", "some data\n");
        writeFile(input / "Sub-file", "upper case sorts first\n");
        writeFile(input / "sub_file", "underscore sorts after the backslash\n");
        writeFile(input / "sub" / "\xC3\xBCnicode \xF0\x9F\x98\x80.txt", "unicode\n");
        std::string text;
        for (int i = 0; text.size() < 200000; ++i) {
            text += "line " + std::to_string(i % 977) + " of a compressible text\n";
        }
        writeFile(input / "text.txt", text);
        fs::create_directories(input / "empty directory");
    }
    fs::path pack(const std::string& name, const std::vector<std::string>& extra = {}) {
        fs::path output = scratch / name;
        std::vector<std::string> arguments = {"archive",     input.string(), "--entry",
                                              "lib/app.dll", "--output",     output.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        CommandResult result = runPacker(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "");
        // No progress without a terminal: the line of what was written alone.
        EXPECT_EQ(result.err.rfind("onefile-pack: wrote '" + output.string() + "'", 0), 0u)
            << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        return output;
    }
};

std::u16string u16(const char16_t* text) {
    return text;
}

TEST(Archive, RecordsTheEntryFirstThenEveryFileInByteOrderWithItsContent) {
    SampleTree tree;
    DecodedArchive archive = decodeAttachedData(readFile(tree.pack("out.bin")));
    std::vector<std::pair<std::u16string, fs::path>> expected = {
        {u"lib\\app.dll", "lib/app.dll"},
        {u"Sub-file", "Sub-file"},
        {u"empty", "empty"},
        {u"random.bin", "random.bin"},
        {u"sub\\deeper\\data.txt", "sub/deeper/data.txt"},
        {u"sub\\empty too", "sub/empty too"},
        {u"sub\\\u00FCnicode \U0001F600.txt", "sub/\xC3\xBCnicode \xF0\x9F\x98\x80.txt"},
        {u"sub_file", "sub_file"},
        {u"text.txt", "text.txt"},
        {u"zeros.bin", "zeros.bin"},
    };
    ASSERT_EQ(archive.records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(archive.records[i].path, expected[i].first) << "record " << i;
        EXPECT_EQ(archive.records[i].content, readFile(tree.input / expected[i].second))
            << "record " << i;
    }
    EXPECT_TRUE(archive.terminated);
    EXPECT_EQ(archive.bytesAfterTerminator, 0u);
    // The surrogate pair is stored as two code units.
    EXPECT_EQ(archive.records[6].path.size(), u16(u"sub\\\u00FCnicode xx.txt").size());
}

TEST(Archive, IsMagicOneFrameAndATrailerHoldingFivePlusTheFrameSize) {
    SampleTree tree;
    std::string bytes = readFile(tree.pack("out.bin"));
    DecodedArchive archive = decodeAttachedData(bytes);
    EXPECT_EQ(archive.magic, "QJY");
    EXPECT_EQ(archive.trailerPad, std::string(2, '\0'));
    EXPECT_EQ(archive.trailerLength, 5 + archive.frameSize);
    EXPECT_EQ(bytes.size(), 13 + archive.frameSize);
}

TEST(Archive, FrameHasChecksumContentSizeNoDictionaryAndAWindowNoLargerThanItsContent) {
    SampleTree tree;
    std::string bytes = readFile(tree.pack("out.bin"));
    DecodedArchive archive = decodeAttachedData(bytes);
    const unsigned char descriptor = static_cast<unsigned char>(archive.frameHeader[4]);
    EXPECT_TRUE(descriptor & 0x04) << "content checksum flag";
    EXPECT_EQ(descriptor & 0x03, 0) << "dictionary id field";
    EXPECT_NE(descriptor >> 6, 0) << "content size field";
    unsigned long long contentSize = ZSTD_getFrameContentSize(bytes.data() + 3, archive.frameSize);
    ASSERT_NE(contentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    // A window no larger than the content: either the single-segment form,
    // where the window is the content size, or a window descriptor whose
    // window is below twice the content.
    if (!(descriptor & 0x20)) {
        unsigned char window = static_cast<unsigned char>(archive.frameHeader[5]);
        unsigned log = 10 + (window >> 3);
        EXPECT_LE(log, 27u);
        EXPECT_LT(1ull << log, 2 * contentSize);
    }
}

TEST(Archive, SmallPayloadsGetASmallWindow) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "a.dll", "tiny");
    fs::path output = scratch / "a.bin";
    CommandResult r = runPacker(
        {"archive", (scratch / "in").string(), "--entry", "a.dll", "--output", output.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string bytes = readFile(output);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    // A decoder that allows only a 1 KiB window still decodes it.
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 10);
    std::string out(1 << 16, 0);
    ZSTD_inBuffer in = {bytes.data() + 3, bytes.size() - 13, 0};
    ZSTD_outBuffer o = {out.data(), out.size(), 0};
    size_t result = ZSTD_decompressStream(context, &o, &in);
    ZSTD_freeDCtx(context);
    EXPECT_FALSE(ZSTD_isError(result)) << ZSTD_getErrorName(result);
    EXPECT_EQ(result, 0u);
}

TEST(Archive, TwoPacksOfTheSameTreeAreByteIdenticalWhateverTheThreads) {
    SampleTree tree;
    std::string first = readFile(tree.pack("first.bin"));
    std::string second = readFile(tree.pack("second.bin"));
    std::string oneThread = readFile(tree.pack("one.bin", {"--threads", "1"}));
    std::string threeThreads = readFile(tree.pack("three.bin", {"--threads=3"}));
    EXPECT_TRUE(first == second);
    EXPECT_TRUE(first == oneThread);
    EXPECT_TRUE(first == threeThreads);
    // A different level gives a different frame of the same records.
    std::string fast = readFile(tree.pack("fast.bin", {"--level", "1"}));
    EXPECT_TRUE(first != fast);
    EXPECT_EQ(decodeAttachedData(fast).records.size(), decodeAttachedData(first).records.size());
}

TEST(Archive, WorksFromAnyWorkingDirectoryAndLeavesNoTemporaryFiles) {
    SampleTree tree;
    fs::path output = tree.pack("out.bin");
    EXPECT_EQ(directoryNames(tree.scratch.path()), (std::vector<std::string>{"input", "out.bin"}));
    // Relative paths resolve against the working directory; the packer's
    // own location does not matter.
    std::vector<std::string> command = {
        "sh", "-c",
        "cd '" + tree.scratch.path().string() +
            "' && exec \"$@\" archive input --entry ./lib//app.dll --output rel.bin",
        "sh"};
    for (const std::string& part : packerCommand()) {
        command.push_back(part);
    }
    CommandResult r = runCommand(command);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(readFile(tree.scratch / "rel.bin") == readFile(output));
}

TEST(Archive, ProgressWithoutATerminalIsALineForEachTenthReached) {
    // Letters of a small alphabet on one worker at a quick level: the
    // compressor reports its work many times, several times within a tenth.
    ScratchDirectory scratch;
    std::string letters = noiseBytes(12 << 20, 5);
    for (char& c : letters) {
        c = static_cast<char>('a' + (c & 15));
    }
    writeFile(scratch / "in" / "app.dll", letters);
    CommandResult r =
        runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll", "--output",
                   (scratch / "out.bin").string(), "--level", "3", "--threads", "1", "--progress"});
    ASSERT_TRUE(succeeded(r));
    std::istringstream lines(r.err);
    std::vector<int> tenths;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("onefile-pack: wrote ", 0) == 0) {
            continue; // the line of a pack that succeeded, after the progress
        }
        int percent = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "onefile-pack: compressing %d%%", &percent), 1) << line;
        tenths.push_back(percent / 10);
    }
    ASSERT_FALSE(tenths.empty());
    for (size_t i = 1; i < tenths.size(); ++i) {
        EXPECT_LT(tenths[i - 1], tenths[i]) << r.err;
    }
    EXPECT_EQ(tenths.back(), 10) << r.err;
}

TEST(List, PrintsSizeAndPathOfEveryRecordInArchiveOrder) {
    SampleTree tree;
    fs::path output = tree.pack("out.bin");
    CommandResult r = runPacker({"list", output.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "5000 lib\\app.dll\n"
                     "23 Sub-file\n"
                     "0 empty\n"
                     "300000 random.bin\n"
                     "10 sub\\deeper\\data.txt\n"
                     "0 sub\\empty too\n"
                     "8 sub\\\xC3\xBCnicode \xF0\x9F\x98\x80.txt\n"
                     "37 sub_file\n" +
                         std::to_string(fs::file_size(tree.input / "text.txt")) +
                         " text.txt\n"
                         "400000 zeros.bin\n");
}

TEST(List, RefusesFilesWithoutValidAttachedData) {
    SampleTree tree;
    std::string bytes = readFile(tree.pack("out.bin"));
    std::string cut = bytes.substr(0, bytes.size() - 1);
    writeFile(tree.scratch / "cut.bin", cut);
    std::string wrongLength = bytes;
    wrongLength[wrongLength.size() - 8] ^= 1;
    writeFile(tree.scratch / "length.bin", wrongLength);
    writeFile(tree.scratch / "none.bin", "no archive here");
    for (const char* name : {"cut.bin", "length.bin", "none.bin"}) {
        CommandResult r = runPacker({"list", (tree.scratch / name).string()});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
    }
}

} // namespace

namespace {

// Starts `onefile-pack archive` on `input` at level 19 on one thread, writing `output`.
pid_t startPack(const fs::path& input, const fs::path& output, const std::string& command) {
    std::vector<std::string> arguments = {ONEFILE_PACK_PATH, command,     input.string(),
                                          "--entry",         "app.dll",   "--output",
                                          output.string(),   "--threads", "1",
                                          "--level",         "19",        "--quiet"};
    if (command == "build") {
        arguments.push_back("--no-entry-check");
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start the packer");
    }
    return child;
}

// Watches, as closely as it can, until `condition` holds (true) or the packer
// has ended (false); the packer is left for the caller to reap.
template <typename Condition> bool watchWhileRunning(pid_t child, Condition condition) {
    for (;;) {
        if (condition()) {
            return true;
        }
        siginfo_t info = {};
        if (waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child) {
            return false;
        }
        sched_yield();
    }
}

uintmax_t bytesBelow(const fs::path& directory) {
    uintmax_t total = 0;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        uintmax_t size = entry.file_size(error); // the file may go meanwhile
        total += error ? 0 : size;
    }
    return total;
}

TEST(Archive, AnInterruptedPackLeavesNothingBehind) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", noiseBytes(16 << 20, 5)); // seconds of work at level 19
    fs::path out = scratch / "out";
    fs::create_directories(out);
    // build writes the attached data straight into the executable.
    for (const char* command : {"archive", "build"}) {
        pid_t child = startPack(scratch / "in", out / "app.out", command);
        // Once output has reached the disk: the temporary file is registered
        // for removal before its first byte is written, and seconds of work
        // remain.
        bool writing = watchWhileRunning(child, [&] { return bytesBelow(out) > 0; });
        kill(child, SIGINT);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(writing) << command;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << command << " " << status;
        EXPECT_TRUE(directoryNames(out).empty()) << command;
    }
}

TEST(Archive, AnInterruptTheMomentATemporaryPathIsCreatedLeavesNothingEither) {
    // The preloaded library interrupts the packer right after each creation,
    // before the new path is registered for removal.
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "MZ");
    fs::create_directories(scratch / "out");
    fs::create_directories(scratch / "tmp");
    const std::string preload = std::string("LD_PRELOAD=") + INTERRUPT_ON_CREATE_PATH;
    CommandResult archive =
        runCommand({"env", preload, ONEFILE_PACK_PATH, "archive", (scratch / "in").string(),
                    "--entry", "app.dll", "--output", (scratch / "out" / "app.bin").string()});
    EXPECT_EQ(archive.exitCode, 128 + SIGINT) << archive.err;
    EXPECT_EQ(directoryNames(scratch / "out"), std::vector<std::string>{});
    // Nor does build, whose first and only temporary path is its output.
    CommandResult build =
        runCommand({"env", preload, "TMPDIR=" + (scratch / "tmp").string(), ONEFILE_PACK_PATH,
                    "build", (scratch / "in").string(), "--entry", "app.dll", "--output",
                    (scratch / "out" / "app.exe").string(), "--no-entry-check"});
    EXPECT_EQ(build.exitCode, 128 + SIGINT) << build.err;
    EXPECT_EQ(directoryNames(scratch / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(directoryNames(scratch / "out"), std::vector<std::string>{});
}

} // namespace
