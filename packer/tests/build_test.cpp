// What onefile-pack build makes: a Windows GUI executable with the image
// settings the bootstrap needs, importing system DLLs only, carrying the
// same attached data that "archive" writes.
#include <gtest/gtest.h>

#include <sstream>

#include "formats/archive_layout.h"
#include "packer/tests/decoded_archive.h"
#include "archive/tests/test_data.h"
#include "packer/error.h"
#include "packer/pe/subsystem.h"
#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

struct Built {
    ScratchDirectory scratch;
    fs::path input = scratch / "in";
    Built() {
        writeFile(input / "app.dll", readFile(testImage("entry.dll")));
        writeFile(input / "data" / "big.bin", noiseBytes(200000, 8));
        writeFile(input / "data" / "empty", "");
    }
    CommandResult build(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = {"build",   input.string(), "--entry",
                                              "app.dll", "--output",     (scratch / name).string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPacker(arguments);
    }
};

// The private-header lines of objdump -p, name to value.
std::map<std::string, std::string> imageSettings(const std::string& dump) {
    std::map<std::string, std::string> settings;
    std::istringstream lines(dump);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name, value;
        if (words >> name >> value) {
            settings.emplace(name, value);
        }
    }
    return settings;
}

std::vector<std::string> importedDlls(const std::string& dump) {
    std::vector<std::string> dlls;
    std::istringstream lines(dump);
    std::string line;
    const std::string marker = "DLL Name: ";
    while (std::getline(lines, line)) {
        size_t at = line.find(marker);
        if (at != std::string::npos) {
            dlls.push_back(line.substr(at + marker.size()));
        }
    }
    std::sort(dlls.begin(), dlls.end());
    return dlls;
}

TEST(Build, MakesAGuiExecutableWithTheBootstrapsImageSettingsAndSystemImportsOnly) {
    Built built;
    CommandResult r = built.build("app.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // One line says what was written, unless --quiet.
    const fs::path exe = built.scratch / "app.exe";
    EXPECT_EQ(r.err, "onefile-pack: wrote '" + exe.string() + "' (" +
                         std::to_string(fs::file_size(exe)) +
                         " bytes): 3 files, the entry 'app.dll'\n");
    EXPECT_EQ(built.build("quiet.exe", {"--quiet"}).err, "");
    CommandResult dump =
        runCommand({"x86_64-w64-mingw32-objdump", "-p", (built.scratch / "app.exe").string()});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    EXPECT_NE(dump.out.find("file format pei-x86-64"), std::string::npos);
    std::map<std::string, std::string> settings = imageSettings(dump.out);
    EXPECT_EQ(settings["Subsystem"], "00000002");
    EXPECT_EQ(settings["MajorSubsystemVersion"], "5");
    EXPECT_EQ(settings["MinorSubsystemVersion"], "2");
    EXPECT_EQ(settings["SizeOfStackReserve"], "0000000000968000");
    EXPECT_EQ(settings["SizeOfStackCommit"], "0000000000001000");
    EXPECT_EQ(settings["SizeOfHeapReserve"], "0000000000100000");
    EXPECT_EQ(settings["SizeOfHeapCommit"], "0000000000001000");
    EXPECT_EQ(settings["DllCharacteristics"], "00000160");
    // KERNEL32 and msvcrt are imported; SHELL32 is loaded by the parent when
    // it needs it, so that the child starts without it.
    EXPECT_EQ(importedDlls(dump.out), (std::vector<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
    // Stripped: no symbol table left.
    EXPECT_NE(dump.out.find("\tsymbols stripped\n"), std::string::npos);
}

TEST(Build, CarriesExactlyTheAttachedDataOfArchiveInReadOnlyData) {
    Built built;
    ASSERT_TRUE(succeeded(built.build("app.exe")));
    CommandResult archived = runPacker({"archive", built.input.string(), "--entry", "app.dll",
                                        "--output", (built.scratch / "data.bin").string()});
    ASSERT_EQ(archived.exitCode, 0) << archived.err;
    std::string exe = readFile(built.scratch / "app.exe");
    std::string data = readFile(built.scratch / "data.bin");
    size_t at = exe.find(data);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(exe.find(data, at + 1), std::string::npos);
    EXPECT_EQ(decodeAttachedData(data).records.size(), 3u);

    // The data lies inside the .rdata section.
    CommandResult headers =
        runCommand({"x86_64-w64-mingw32-objdump", "-h", (built.scratch / "app.exe").string()});
    std::istringstream lines(headers.out);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string index, name, size, vma, lma, offset;
        if (words >> index >> name >> size >> vma >> lma >> offset && name == ".rdata") {
            size_t start = std::stoul(offset, nullptr, 16), length = std::stoul(size, nullptr, 16);
            inside = at >= start && at + data.size() <= start + length;
        }
    }
    EXPECT_TRUE(inside) << headers.out;

    // list finds it in the executable too.
    CommandResult listed = runPacker({"list", (built.scratch / "app.exe").string()});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, std::to_string(fs::file_size(built.input / "app.dll")) +
                              " app.dll\n200000 data\\big.bin\n0 data\\empty\n");
}

TEST(Build, TwoBuildsOfTheSameTreeAreByteIdentical) {
    Built built;
    // The same output name, as the product name comes from it.
    fs::create_directories(built.scratch / "one");
    fs::create_directories(built.scratch / "two");
    ASSERT_TRUE(succeeded(built.build("one/app.exe")));
    ASSERT_TRUE(succeeded(built.build("two/app.exe", {"--threads", "1"})));
    EXPECT_TRUE(readFile(built.scratch / "one" / "app.exe") ==
                readFile(built.scratch / "two" / "app.exe"));
}

TEST(Build, ProductNameDefaultsToTheOutputNameAndVersionTo0000) {
    Built built;
    ASSERT_TRUE(succeeded(built.build("My Tool.EXE")));
    std::map<std::string, std::string> slots = constantSlots(built.scratch / "My Tool.EXE");
    const std::string& product = slots[ONEFILE_SYMBOL_PRODUCT_NAME];
    EXPECT_EQ(product, zeroFilled(wide(u"My Tool"), product.size()));
    const std::string& version = slots[ONEFILE_SYMBOL_VERSION_STRING];
    EXPECT_EQ(version, zeroFilled(wide(u"0.0.0.0"), version.size()));
}

// What the subsystem reader tells of a file's bytes, or the refusal it throws.
std::string subsystemOf(const std::string& bytes) {
    try {
        return subsystemName(imageSubsystem(reinterpret_cast<const unsigned char*>(bytes.data()),
                                            bytes.size(), "file.exe"));
    } catch (const PackError& error) {
        return error.what();
    }
}

TEST(Build, ConsoleMakesAConsoleProgramAndTheReaderTellsBothKinds) {
    Built built;
    ASSERT_TRUE(succeeded(built.build("gui.exe")));
    CommandResult r = built.build("console.exe", {"--console"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(subsystemOf(readFile(built.scratch / "gui.exe")), "GUI");
    EXPECT_EQ(subsystemOf(readFile(built.scratch / "console.exe")), "console");
    // The same field as objdump reads.
    CommandResult dump =
        runCommand({"x86_64-w64-mingw32-objdump", "-p", (built.scratch / "console.exe").string()});
    EXPECT_EQ(imageSettings(dump.out)["Subsystem"], "00000003");
}

TEST(Build, TheSubsystemReaderRefusesWhatIsNoImageAndNamesOtherValues) {
    Built built;
    ASSERT_TRUE(succeeded(built.build("app.exe")));
    const std::string image = readFile(built.scratch / "app.exe");
    const size_t signature =
        static_cast<unsigned char>(image[0x3C]) | static_cast<unsigned char>(image[0x3D]) << 8;
    const size_t optional = signature + 24;
    auto withPeOffset = [&](uint32_t offset) {
        std::string bytes = image;
        for (int i = 0; i < 4; ++i) {
            bytes[0x3C + i] = static_cast<char>(offset >> (8 * i));
        }
        return bytes;
    };
    // The PE reader's own reasons, after the file's name.
    auto expectRefused = [](const std::string& bytes, const char* reason) {
        std::string message = subsystemOf(bytes);
        EXPECT_EQ(message.rfind("'file.exe' is not a Windows executable: ", 0), 0u) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    };
    expectRefused("", "\"MZ\"");
    expectRefused("ZM" + image.substr(2), "\"MZ\"");
    expectRefused(withPeOffset(static_cast<uint32_t>(image.size())), "no PE signature");
    expectRefused(withPeOffset(0xFFFFFFF0u), "no PE signature");
    // Cut just before the last byte of the subsystem field.
    expectRefused(image.substr(0, optional + 69), "optional header");
    // A value it has no name for is shown as a number.
    std::string other = image;
    other[optional + 68] = 9;
    EXPECT_EQ(subsystemOf(other), "other (9)");
}

TEST(Build, AFailedWriteLeavesNoFileBehind) {
    Built built;
    fs::path out = built.scratch / "out";
    fs::create_directories(out);
    // Files may grow to 100 KiB, less than the executable: a write fails
    // (with "File too large" once the signal is ignored) partway through.
    std::vector<std::string> command = {"sh", "-c", "ulimit -f 200; trap '' XFSZ; exec \"$@\"",
                                        "sh"};
    for (const std::string& part : packerCommand()) {
        command.push_back(part);
    }
    command.insert(command.end(), {"build", built.input.string(), "--entry", "app.dll", "--output",
                                   (out / "app.exe").string(), "--level", "1"});
    CommandResult r = runCommand(command);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(out.string()), std::string::npos) << r.err;
    EXPECT_TRUE(directoryNames(out).empty());
}

TEST(Build, TheLinkersOptionsAreGone) {
    Built built;
    const std::vector<std::vector<std::string>> removed = {
        {"--linker", "g++"}, {"--library-dir", "."}, {"--keep-objects", "."}};
    for (const std::vector<std::string>& option : removed) {
        CommandResult r = built.build("app.exe", option);
        EXPECT_EQ(r.exitCode, 2) << option[0];
        EXPECT_NE(r.err.find("has no option '" + option[0] + "'"), std::string::npos) << r.err;
    }
    CommandResult help = runPacker({"build", "--help"});
    for (const char* word : {"--linker", "--library-dir", "--keep-objects", "MinGW", "ONEFILE_"}) {
        EXPECT_EQ(help.out.find(word), std::string::npos) << word;
    }
}

TEST(Build, EntryMistakesAreRefusedWithWhatLeadsToTheFix) {
    Built built;
    // run_code defined in C++ without C linkage.
    writeFile(built.input / "app.dll", readFile(testImage("mangled_run_code.dll")));
    CommandResult r = built.build("app.exe");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(
        r.err.find("'app.dll' does not export run_code, only the C++-decorated name "
                   "'_Z8run_codeiPPwPKw': define it with ONEFILE_ENTRY from <onefile/entry.h>"),
        std::string::npos)
        << r.err;
    // An entry that is not there: where it was looked for, and what is there.
    writeFile(built.input / "core.dll", "");
    writeFile(built.input / "data" / "deep.dll", "");
    r = runPacker({"build", built.input.string(), "--entry", "main.dll", "--output",
                   (built.scratch / "main.exe").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--entry 'main.dll': 'main.dll' does not exist (the path is relative to "
                         "INPUT_DIR '" +
                         built.input.string() + "', whose top holds 'app.dll' and 'core.dll')"),
              std::string::npos)
        << r.err;
    // Eight are named, the rest counted.
    for (char c = 'a'; c <= 'f'; ++c) {
        writeFile(built.input / (std::string(1, c) + ".DLL"), "");
    }
    r = runPacker({"build", built.input.string(), "--entry", "main.dll", "--output",
                   (built.scratch / "main.exe").string()});
    EXPECT_NE(r.err.find("whose top holds 'a.DLL', 'app.dll', 'b.DLL', 'c.DLL', 'core.dll', "
                         "'d.DLL', 'e.DLL' and 'f.DLL')"),
              std::string::npos)
        << r.err;
    writeFile(built.input / "g.dll", "");
    r = runPacker({"build", built.input.string(), "--entry", "main.dll", "--output",
                   (built.scratch / "main.exe").string()});
    EXPECT_NE(r.err.find("'d.DLL', 'e.DLL', 'f.DLL' and 1 more DLL)"), std::string::npos) << r.err;

    // Packed past the check, info and verify give the same way out.
    writeFile(built.input / "app.dll", readFile(testImage("mangled_run_code.dll")));
    ASSERT_TRUE(succeeded(built.build("mangled.exe", {"--no-entry-check"})));
    const std::string hint = "only the C++-decorated name '_Z8run_codeiPPwPKw'";
    r = runPacker({"verify", (built.scratch / "mangled.exe").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
    r = runPacker({"info", (built.scratch / "mangled.exe").string()});
    EXPECT_NE(r.out.find(hint), std::string::npos) << r.out;
}

} // namespace
