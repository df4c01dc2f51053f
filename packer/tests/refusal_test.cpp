// Inputs onefile-pack refuses: each names the offending file, exits with 1
// and leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

struct Refusal {
    std::string name;
    std::string problem; // a word the message must hold
};

// The name as messages show it: control characters escaped.
std::string shown(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// Packs `input` with entry app.dll (archive and build alike) and expects a
// refusal whose message names `named`, with no output or temporary file.
void expectRefused(const ScratchDirectory& scratch, const std::string& named,
                   const std::string& problem, const std::string& entry = "app.dll") {
    for (const char* command : {"archive", "build"}) {
        fs::path outputDirectory = scratch / "out";
        fs::create_directories(outputDirectory);
        CommandResult r = runPacker({command, (scratch / "in").string(), "--entry", entry,
                                     "--output", (outputDirectory / "app.exe").string()});
        EXPECT_EQ(r.exitCode, 1) << command << " " << named;
        EXPECT_NE(r.err.find(named), std::string::npos) << command << ": " << r.err;
        EXPECT_NE(r.err.find(problem), std::string::npos) << command << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_TRUE(directoryNames(outputDirectory).empty()) << command << " " << named;
    }
}

// Test listings show the name's bytes in hexadecimal, never the raw name.
void PrintTo(const Refusal& refusal, std::ostream* out) {
    const char digits[] = "0123456789ABCDEF";
    *out << "name ";
    for (unsigned char c : refusal.name) {
        *out << digits[c >> 4] << digits[c & 15];
    }
}

class RefusedName : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedName, IsNamedAndNothingIsWritten) {
    const Refusal& refusal = GetParam();
    for (bool inDirectory : {false, true}) {
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        fs::path bad = inDirectory ? scratch / "in" / refusal.name / "inner.txt"
                                   : scratch / "in" / "dir" / refusal.name;
        writeFile(bad, "x");
        expectRefused(scratch, shown(refusal.name), refusal.problem);
    }
}

std::string caseName(const testing::TestParamInfo<Refusal>& info) {
    return "case" + std::to_string(info.index);
}

// Characters that no Windows name holds: only a Unix folder has such names.
INSTANTIATE_TEST_SUITE_P(CharactersWindowsRefuses, RefusedName,
                         testing::Values(Refusal{"a<b", "'<'"}, Refusal{"a>b", "'>'"},
                                         Refusal{"a:b", "':'"}, Refusal{"a\"b", "'\"'"},
                                         Refusal{"a|b", "'|'"}, Refusal{"a?b", "'?'"},
                                         Refusal{"a*b", "'*'"}, Refusal{"a\\b", "'\\'"},
                                         Refusal{"tab\there", "control character"},
                                         Refusal{"bell\x01", "control character"},
                                         Refusal{"bad\xFFutf8", "not valid UTF-8"}),
                         caseName);

// Names a folder may hold that Windows drops a part of or takes for a device.
INSTANTIATE_TEST_SUITE_P(
    NamesWindowsDrops, RefusedName,
    testing::Values(Refusal{"trailing.", "ends in a dot"}, Refusal{"trailing ", "ends in a space"},
                    Refusal{"CON", "device name CON"}, Refusal{"nul", "device name NUL"},
                    Refusal{"Com1", "device name COM1"}, Refusal{"lpt9.log", "device name LPT9"},
                    Refusal{"aux.tar.gz", "device name AUX"},
                    Refusal{"PRN .txt", "device name PRN"}),
    caseName);

TEST(Refused, NamesThatAreFineAreTaken) {
    // Close to the refused ones, but Windows holds them.
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    for (const char* name : {"CONSOLE", "com10", "nul_", ".hidden", "a.b.c", " leading space",
                             "LPT", "x.con", "d\xC3\xA9j\xC3\xA0 vu"}) {
        writeFile(scratch / "in" / name, name);
    }
    CommandResult r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll",
                                 "--output", (scratch / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// Nested directories whose archive path is exactly `units` code units long.
fs::path longPath(const fs::path& root, size_t units) {
    fs::path path = root;
    size_t length = 0;
    while (units - length > 201) {
        path /= std::string(200, 'd');
        length += 201; // the name and its separator
    }
    return path / std::string(units - length, 'f');
}

TEST(Refused, ArchivePathsOver1023CodeUnits) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    writeFile(longPath(scratch / "in", 1023), "fits");
    CommandResult ok = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll",
                                  "--output", (scratch / "ok.bin").string()});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;

    writeFile(longPath(scratch / "in", 1024), "too long");
    expectRefused(scratch, std::string(1024 - 5 * 201, 'f'), "1024 UTF-16 code units");
}

TEST(Refused, CodeUnitsNotBytesCountTowardsTheLimit) {
    // 600 two-byte UTF-8 characters are 600 code units: fine.
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    std::string name;
    for (int i = 0; i < 120; ++i) {
        name += "\xC3\xA9";
    }
    writeFile(scratch / "in" / name / name / name / name / name, "x");
    CommandResult r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll",
                                 "--output", (scratch / "ok.bin").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(Refused, SymbolicLinksToFilesAndDirectories) {
    for (bool toDirectory : {false, true}) {
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        writeFile(scratch / "elsewhere" / "file", "x");
        fs::path target = toDirectory ? scratch / "elsewhere" : scratch / "elsewhere" / "file";
        fs::create_symlink(target, scratch / "in" / "link");
        expectRefused(scratch, "link", "symbolic link");
    }
}

TEST(Refused, PipesSocketsAndOtherSpecialFiles) {
    {
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        ASSERT_EQ(mkfifo((scratch / "in" / "pipe").c_str(), 0600), 0);
        expectRefused(scratch, "pipe", "neither a regular file nor a directory");
    }
    {
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::string path = (scratch / "in" / "sock").string();
        ASSERT_LT(path.size(), sizeof address.sun_path);
        path.copy(address.sun_path, path.size());
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        expectRefused(scratch, "sock", "neither a regular file nor a directory");
        close(s);
    }
}

TEST(Refused, NamesEqualButForCase) {
    {
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        writeFile(scratch / "in" / "Readme.txt", "a");
        writeFile(scratch / "in" / "README.TXT", "b");
        expectRefused(scratch, "Readme.txt", "differ only in case");
    }
    {
        // A file and a directory of the same name but for case.
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        writeFile(scratch / "in" / "data", "a");
        writeFile(scratch / "in" / "DATA" / "x", "b");
        expectRefused(scratch, "DATA", "differ only in case");
    }
    {
        // Beyond ASCII: Windows folds "\u00e9" and "\u00c9" as well.
        ScratchDirectory scratch;
        writeFile(scratch / "in" / "app.dll", "entry");
        writeFile(scratch / "in" / "caf\xC3\xA9", "a");
        writeFile(scratch / "in" / "CAF\xC3\x89", "b");
        expectRefused(scratch, "caf\xC3\xA9", "differ only in case");
    }
}

TEST(Refused, AnEntryThatIsMissingOrNotARegularFileOrOutside) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    fs::create_directories(scratch / "in" / "folder");
    writeFile(scratch / "outside.dll", "x");
    expectRefused(scratch, "missing.dll", "does not exist", "missing.dll");
    expectRefused(scratch, "folder", "not a regular file", "folder");
    expectRefused(scratch, "../outside.dll", "inside INPUT_DIR", "../outside.dll");
    expectRefused(scratch, "/abs.dll", "relative to INPUT_DIR", "/abs.dll");
    if (windowsPacker()) {
        // Windows finds a file whatever the case of the name it is given.
        CommandResult r = runPacker({"archive", (scratch / "in").string(), "--entry", "APP.DLL",
                                     "--output", (scratch / "a.bin").string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    } else {
        expectRefused(scratch, "APP.DLL", "does not exist", "APP.DLL");
    }
}

TEST(Refused, AnInputThatIsNotADirectoryAndAnOutputInsideTheInput) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    CommandResult r = runPacker({"archive", (scratch / "missing").string(), "--entry", "app.dll",
                                 "--output", (scratch / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("missing' is not a directory"), std::string::npos) << r.err;
    r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll", "--output",
                   (scratch / "in" / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("inside INPUT_DIR"), std::string::npos) << r.err;
    EXPECT_EQ(directoryNames(scratch / "in"), std::vector<std::string>{"app.dll"});
    // A folder beside it whose name begins with the input's is not inside it.
    fs::create_directories(scratch / "in-out");
    r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll", "--output",
                   (scratch / "in-out" / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(Refused, EveryProblemOfTheInputInOneMessageEachPathBelowInputDir) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    for (const char* bad :
         {"sub/a<b.txt", "sub/CON.log", "sub/deeper/trailing.", "x:y/inner.txt", "x:y/also?bad",
          "Readme.txt", "README.TXT", "DATA/x", "Data/y", "Data/z"}) {
        writeFile(scratch / "in" / bad, "x");
    }
    fs::create_symlink(scratch / "in" / "app.dll", scratch / "in" / "sub" / "link");
    ASSERT_EQ(mkfifo((scratch / "in" / "sub" / "pipe").c_str(), 0600), 0);
    fs::create_directories(scratch / "out");
    const std::string in = (scratch / "in").string();
    CommandResult r = runPacker(
        {"archive", in, "--entry", "app.dll", "--output", (scratch / "out" / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(directoryNames(scratch / "out").empty());
    // The folder whose name is bad is named once, the bad name below it too;
    // so is a folder that clashes with another, whatever it holds.
    const std::vector<std::string> expected = {
        "onefile-pack: error: 9 problems in INPUT_DIR '" + in + "':",
        "  'Data' and 'DATA' differ only in case",
        "  'Readme.txt' and 'README.TXT' differ only in case",
        "  'sub/CON.log': the name 'CON.log' is the reserved device name CON",
        "  'sub/a<b.txt': the name 'a<b.txt' contains the character '<'",
        "  'sub/deeper/trailing.': the name 'trailing.' ends in a dot",
        "  'sub/link' is a symbolic link",
        "  'sub/pipe' is neither a regular file nor a directory",
        "  'x:y': the name 'x:y' contains the character ':'",
        "  'x:y/also?bad': the name 'also?bad' contains the character '?'",
    };
    std::istringstream lines(r.err);
    std::string line;
    for (const std::string& start : expected) {
        ASSERT_TRUE(std::getline(lines, line)) << r.err;
        EXPECT_EQ(line.rfind(start, 0), 0u) << "expected " << start << "\n" << r.err;
    }
    EXPECT_FALSE(std::getline(lines, line)) << r.err;
    EXPECT_EQ(r.err.find(in + "/"), std::string::npos) << "paths below INPUT_DIR are relative";
}

TEST(Refused, ALongListEndsWithHowManyMore) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    for (int i = 0; i < 45; ++i) {
        writeFile(scratch / "in" / ("bad" + std::to_string(i) + "."), "x");
    }
    CommandResult r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll",
                                 "--output", (scratch / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(":\n  'bad0.': the name"), std::string::npos) << r.err;
    const size_t listed = std::count(r.err.begin(), r.err.end(), '\n') - 2;
    EXPECT_GT(listed, 5u) << r.err;
    EXPECT_LT(listed, 45u) << r.err;
    EXPECT_NE(r.err.find("\n  and " + std::to_string(45 - listed) + " more\n"), std::string::npos)
        << r.err;
    // Exactly as many as a message lists: all of them, and no more to tell.
    for (size_t i = listed; i < 45; ++i) {
        fs::remove(scratch / "in" / ("bad" + std::to_string(i) + "."));
    }
    r = runPacker({"archive", (scratch / "in").string(), "--entry", "app.dll", "--output",
                   (scratch / "a.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(std::to_string(listed) + " problems"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("more"), std::string::npos) << r.err;
}

TEST(Refused, FilesAndFoldersThatCannotBeReadWithTheRest) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    writeFile(scratch / "in" / "secret.txt", "x");
    writeFile(scratch / "in" / "locked" / "inside.txt", "x");
    writeFile(scratch / "in" / "bad|name", "x");
    fs::create_directories(scratch / "out");
    chmod(scratch.path().c_str(), 0755);
    chmod((scratch / "in" / "secret.txt").c_str(), 0);
    chmod((scratch / "in" / "locked").c_str(), 0);
    // Root reads everything: the packer then runs as nobody.
    std::vector<std::string> command;
    if (geteuid() == 0) {
        command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    command.insert(command.end(),
                   {ONEFILE_PACK_PATH, "archive", (scratch / "in").string(), "--entry", "app.dll",
                    "--output", (scratch / "out" / "a.bin").string()});
    CommandResult r = runCommand(command);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("3 problems"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n  'bad|name': the name"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n  cannot read the folder 'locked': Permission denied"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n  cannot read 'secret.txt': Permission denied"), std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(scratch / "out").empty());
    chmod((scratch / "in" / "locked").c_str(), 0755);
}

TEST(Refused, ABadCommandLineWithStatusTwo) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "entry");
    std::string in = (scratch / "in").string(), out = (scratch / "a.bin").string();
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"pack"},
        {"archive", in, "--output", out},
        {"archive", in, "--entry", "app.dll"},
        {"archive", "--entry", "app.dll", "--output", out},
        {"archive", in, "--entry", "app.dll", "--output", out, "--level", "0"},
        {"archive", in, "--entry", "app.dll", "--output", out, "--level", "23"},
        {"archive", in, "--entry", "app.dll", "--output", out, "--threads", "0"},
        {"archive", in, "--entry", "app.dll", "--output", out, "--threads", "two"},
        {"archive", in, "--entry", "app.dll", "--output", out, "--verbose=yes"},
        {"archive", in, "--entry", "app.dll", "--output", out, "--console"},
        {"list"},
    };
    for (const auto& arguments : wrong) {
        CommandResult r = runPacker(arguments);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(arguments);
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(fs::exists(out));
    for (const char* help : {"--help", "help"}) {
        CommandResult r = runPacker({help});
        EXPECT_TRUE(succeeded(r));
        EXPECT_NE(r.out.find("build"), std::string::npos);
    }
    for (const char* command : {"build", "archive", "list"}) {
        for (const char* help : {"--help", "-h"}) {
            CommandResult r = runPacker({command, help});
            EXPECT_EQ(r.exitCode, 0) << command << " " << help;
            EXPECT_NE(r.out.find(std::string("onefile-pack ") + command), std::string::npos);
        }
    }
    CommandResult r = runPacker({"build", "--help"});
    EXPECT_NE(r.out.find("byte-wise order"), std::string::npos) << "the sort order is documented";
}

} // namespace
