// The import, delay-load and export tables as the dependency check reads
// them (the bounded reader that the bootstrap shares): made-up images of
// both formats and damaged ones. Real MinGW-w64 libraries are read in the
// dependency check's own tests.
#include <gtest/gtest.h>

#include <functional>

#include "formats/image_tables.h"
#include "packer/pe/imports.h"
#include "formats/pe_format.h"
#include "packer/little_endian.h"
#include "packer/tests/linked_pe_builder.h"

namespace {

std::optional<ImageLinkage> linkageOf(const std::string& bytes, std::string* problem) {
    return readImageLinkage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            problem);
}

ImageLinkage soundLinkage(const std::string& bytes) {
    std::string problem;
    std::optional<ImageLinkage> linkage = linkageOf(bytes, &problem);
    EXPECT_TRUE(linkage) << problem;
    return linkage.value_or(ImageLinkage{});
}

std::vector<std::string> functionTexts(const LibraryImport& library) {
    std::vector<std::string> texts;
    for (const ImportedName& function : library.functions) {
        texts.push_back(importedNameText(function));
    }
    return texts;
}

// Every descriptor after the first given the first one's lookup and address
// tables, as no linker writes them.
std::string withFirstTableShared(const LinkedPe& pe, size_t descriptors) {
    std::string shared = pe.bytes;
    for (size_t i = 1; i < descriptors; ++i) {
        const size_t descriptor = pe.firstDescriptor + 20 * i;
        shared.replace(descriptor, 4, shared, pe.firstDescriptor, 4);
        shared.replace(descriptor + 16, 4, shared, pe.firstDescriptor + 16, 4);
    }
    return shared;
}

struct Format {
    bool pe32Plus;
    bool delayVirtualAddresses;
};

class TableFormats : public testing::TestWithParam<Format> {};

INSTANTIATE_TEST_SUITE_P(Formats, TableFormats,
                         testing::Values(Format{true, false}, Format{false, false},
                                         Format{false, true}),
                         [](const testing::TestParamInfo<Format>& info) {
                             return std::string(info.param.pe32Plus ? "Pe32Plus" : "Pe32") +
                                    (info.param.delayVirtualAddresses ? "OldDelayTable" : "");
                         });

TEST_P(TableFormats, ImportsComeByNameAndOrdinalDirectThenDelayLoaded) {
    LinkageSpec spec;
    spec.pe32Plus = GetParam().pe32Plus;
    spec.delayVirtualAddresses = GetParam().delayVirtualAddresses;
    spec.imports = {{"helper.dll", {"greet", "#7"}, true},
                    {"KERNEL32.dll", {"GetLastError", "Sleep"}, false},
                    {"plug.dll", {"#1"}, true}};
    spec.exports = {"run_code", "greet"};
    spec.ordinalBase = 3;
    ImageLinkage linkage = soundLinkage(buildLinkedPe(spec).bytes);

    ASSERT_EQ(linkage.imports.size(), 3u);
    EXPECT_EQ(linkage.imports[0].library, "KERNEL32.dll");
    EXPECT_FALSE(linkage.imports[0].delayLoaded);
    EXPECT_EQ(functionTexts(linkage.imports[0]),
              (std::vector<std::string>{"GetLastError", "Sleep"}));
    EXPECT_EQ(linkage.imports[1].library, "helper.dll");
    EXPECT_TRUE(linkage.imports[1].delayLoaded);
    EXPECT_EQ(functionTexts(linkage.imports[1]), (std::vector<std::string>{"greet", "ordinal 7"}));
    EXPECT_EQ(linkage.imports[2].library, "plug.dll");
    EXPECT_EQ(functionTexts(linkage.imports[2]), (std::vector<std::string>{"ordinal 1"}));

    EXPECT_TRUE(linkage.exports({std::nullopt, "greet"}));
    EXPECT_FALSE(linkage.exports({std::nullopt, "gree"}));
    EXPECT_TRUE(linkage.exports({3, ""}));
    EXPECT_TRUE(linkage.exports({4, ""}));
    EXPECT_FALSE(linkage.exports({2, ""}));
    EXPECT_FALSE(linkage.exports({5, ""}));
}

TEST(ImageImports, TablesRightAfterAnotherSectionAreReadFromTheirOwn) {
    // The export directory starts at the first address past the code section.
    LinkageSpec spec;
    spec.imports = {{"helper.dll", {"greet"}}};
    spec.exports = {"run_code"};
    spec.sectionBefore = true;
    ImageLinkage linkage = soundLinkage(buildLinkedPe(spec).bytes);
    ASSERT_EQ(linkage.imports.size(), 1u);
    EXPECT_EQ(functionTexts(linkage.imports[0]), (std::vector<std::string>{"greet"}));
    EXPECT_TRUE(linkage.exports({std::nullopt, "run_code"}));
}

TEST(ImageImports, DamagedTablesGiveTheReasonAndNoReadOutside) {
    LinkageSpec spec;
    spec.imports = {{"helper.dll", {"greet"}}, {"other.dll", {"run"}}};
    const LinkedPe sound = buildLinkedPe(spec);
    struct Damage {
        const char* what;
        std::function<void(std::string&)> apply;
        const char* problem;
    };
    auto set = [](std::string& bytes, size_t at, uint64_t value) {
        storeLittleEndian(reinterpret_cast<unsigned char*>(&bytes[at]), value, 4);
    };
    const std::vector<Damage> damages = {
        {"the table beyond the file",
         [&](std::string& b) { set(b, sound.importDirectoryEntry, 0x7FFF0000); },
         "its import table lies outside the file"},
        {"a library's name beyond the file",
         [&](std::string& b) { set(b, sound.firstDescriptor + 12, 0x7FFF0000); },
         "its import table lies outside the file"},
        {"a function table beyond the file",
         [&](std::string& b) { set(b, sound.firstDescriptor, 0x7FFF0000); },
         "the functions it imports from helper.dll lies outside"},
        {"a function's name beyond the file",
         [&](std::string& b) { set(b, sound.firstThunk, 0x7FFF0000); },
         "the functions it imports from helper.dll lies outside"},
        {"the file cut inside the table",
         [&](std::string& b) { b.resize(sound.firstDescriptor + 30); },
         "its import table lies outside the file"},
    };
    for (const Damage& damage : damages) {
        std::string bytes = sound.bytes;
        damage.apply(bytes);
        std::string problem;
        EXPECT_FALSE(linkageOf(bytes, &problem)) << damage.what;
        EXPECT_NE(problem.find(damage.problem), std::string::npos)
            << damage.what << ": " << problem;
    }
    // A table whose end marker is gone ends with the section, as damage.
    std::string unterminated = sound.bytes;
    unterminated.replace(sound.firstDescriptor + 40, 20, std::string(20, '\x7F'));
    std::string problem;
    EXPECT_FALSE(linkageOf(unterminated, &problem));
    EXPECT_FALSE(problem.empty());
}

TEST(ImageImports, EntriesSharedAmongATablesItemsAreRefusedAsMoreThanTheFileHolds) {
    // A hundred libraries, the first of two hundred functions, each with an
    // entry and a name of its own: read whole, though its one table serves
    // for lookup and addresses alike, as densely as tables are laid out.
    LinkageSpec spec;
    std::vector<std::string> functions;
    for (int i = 0; i < 200; ++i) {
        functions.push_back(std::string(1000, 'f') + std::to_string(i));
    }
    for (int i = 0; i < 100; ++i) {
        spec.imports.push_back(
            {"lib" + std::to_string(i) + ".dll", i == 0 ? functions : std::vector<std::string>{}});
    }
    const LinkedPe sound = buildLinkedPe(spec);
    std::string problem;
    std::optional<ImageLinkage> linkage = linkageOf(sound.bytes, &problem);
    ASSERT_TRUE(linkage) << problem;
    ASSERT_EQ(linkage->imports.size(), 100u);
    EXPECT_EQ(functionTexts(linkage->imports[0]).size(), 200u);

    // Every descriptor given the first one's table: 20,000 names of 1000
    // characters out of a file of a few hundred kilobytes; padded to hold
    // as many bytes, still more than any real image names.
    std::string shared = withFirstTableShared(sound, 100);
    EXPECT_FALSE(linkageOf(shared, &problem));
    EXPECT_EQ(problem, "is a damaged PE file: its import tables name more than a file of " +
                           std::to_string(shared.size()) +
                           " bytes holds (entries shared among them)");
    shared.resize(24 << 20);
    EXPECT_FALSE(linkageOf(shared, &problem));
    EXPECT_EQ(problem,
              "is a damaged PE file: its import tables name more than any real image does");

    // A hundred libraries, the first of a name of 4000 characters: every
    // descriptor given that name reads 400 kilobytes of names out of a file
    // of a few.
    LinkageSpec named;
    named.imports.push_back({std::string(3996, 'l') + ".dll", {}});
    for (int i = 1; i < 100; ++i) {
        named.imports.push_back({"lib" + std::to_string(i) + ".dll", {}});
    }
    const LinkedPe libraries = buildLinkedPe(named);
    ASSERT_TRUE(linkageOf(libraries.bytes, &problem)) << problem;
    std::string sharedName = libraries.bytes;
    for (size_t i = 1; i < 100; ++i) {
        sharedName.replace(libraries.firstDescriptor + 20 * i + 12, 4, sharedName,
                           libraries.firstDescriptor + 12, 4);
    }
    EXPECT_FALSE(linkageOf(sharedName, &problem));
    EXPECT_EQ(problem, "is a damaged PE file: its import tables name more than a file of " +
                           std::to_string(sharedName.size()) +
                           " bytes holds (entries shared among them)");
    // Each descriptor takes its 20 bytes and the name with its end: a file
    // of just as many bytes holds them, one byte fewer does not.
    const size_t named100 = 100 * (20 + 4000 + 1);
    sharedName.resize(named100);
    EXPECT_TRUE(linkageOf(sharedName, &problem)) << problem;
    sharedName.resize(named100 - 1);
    EXPECT_FALSE(linkageOf(sharedName, &problem));
    EXPECT_EQ(problem, "is a damaged PE file: its import tables name more than a file of " +
                           std::to_string(named100 - 1) +
                           " bytes holds (entries shared among them)");

    // A thousand exported names, read whole; all of them pointed at the
    // first, a long name or one too long to be a name, which is looked
    // through to the limit each time.
    for (size_t first : {size_t{4000}, imageNameLimit + 1000}) {
        LinkageSpec exporter;
        exporter.exports = {std::string(first, 'x')};
        for (int i = 1; i < 1000; ++i) {
            exporter.exports.push_back("e" + std::to_string(i));
        }
        const LinkedPe built = buildLinkedPe(exporter);
        std::string bytes = built.bytes;
        linkage = linkageOf(bytes, &problem);
        ASSERT_TRUE(linkage) << problem;
        EXPECT_EQ(linkage->exportedNames.size(), first < imageNameLimit ? 1000u : 999u);
        for (size_t i = 1; i < 1000; ++i) {
            bytes.replace(built.exportedNames + 4 * i, 4, bytes, built.exportedNames, 4);
        }
        EXPECT_FALSE(linkageOf(bytes, &problem));
        EXPECT_NE(problem.find("its export table names more than a file of"), std::string::npos)
            << problem;
    }
}

TEST(ImageImports, SharedEntriesAreCountedAtTheWidthOfTheImagesFormat) {
    // A hundred descriptors given one table of a thousand ordinals: a
    // hundred thousand entries, 800 kilobytes of them in a 64-bit image and
    // 400 in a 32-bit one, in a file padded to 600.
    for (bool pe32Plus : {true, false}) {
        SCOPED_TRACE(pe32Plus ? "64-bit" : "32-bit");
        LinkageSpec spec;
        spec.pe32Plus = pe32Plus;
        std::vector<std::string> ordinals;
        for (int i = 1; i <= 1000; ++i) {
            ordinals.push_back("#" + std::to_string(i));
        }
        for (int i = 0; i < 100; ++i) {
            spec.imports.push_back({"lib" + std::to_string(i) + ".dll",
                                    i == 0 ? ordinals : std::vector<std::string>{}});
        }
        std::string shared = withFirstTableShared(buildLinkedPe(spec), 100);
        shared.resize(600 << 10);
        std::string problem;
        std::optional<ImageLinkage> linkage = linkageOf(shared, &problem);
        if (pe32Plus) {
            EXPECT_FALSE(linkage);
            EXPECT_EQ(problem, "is a damaged PE file: its import tables name more than a file of " +
                                   std::to_string(600 << 10) +
                                   " bytes holds (entries shared among them)");
        } else {
            ASSERT_TRUE(linkage) << problem;
            ASSERT_EQ(linkage->imports.size(), 100u);
            EXPECT_EQ(linkage->imports[99].functions.size(), 1000u);
        }
    }
}

TEST(ImageImports, DataThatIsNoImageIsNotReadAsOne) {
    std::string problem = "left over";
    EXPECT_FALSE(linkageOf("MZ, and then a text file", &problem));
    EXPECT_EQ(problem, "");
}

TEST(EntryDiagnosis, OnlyALibraryWhoseRunCodeIsDecoratedIsToldToExportItPlainly) {
    // A library of the given exports, or a program when `dll` is false.
    auto diagnosis = [](const std::vector<std::string>& exports, bool dll) {
        LinkageSpec spec;
        spec.exports = exports;
        std::string bytes = buildLinkedPe(spec).bytes;
        unsigned char* image = reinterpret_cast<unsigned char*>(bytes.data());
        const size_t characteristics = loadLittleEndian(image + 0x3C, 4) + 22;
        const uint64_t flags = loadLittleEndian(image + characteristics, 2);
        storeLittleEndian(image + characteristics,
                          dll ? flags : flags & ~uint64_t{pe::characteristicDll}, 2);
        return entryLibraryDiagnosis(image, bytes.size());
    };
    // Decorated by g++ and by MSVC: the first of them in order is named.
    const std::vector<std::string> decorated = {"_Z8run_codeiPPwPKw",
                                                "?run_code@@YAHHPEAPEA_WPEB_W@Z", "start"};
    const std::string told = diagnosis(decorated, true);
    EXPECT_EQ(told.rfind("does not export run_code, only the C++-decorated name "
                         "'?run_code@@YAHHPEAPEA_WPEB_W@Z': define it with ONEFILE_ENTRY",
                         0),
              0u)
        << told;
    // A program cannot be the entry however it exports run_code: exporting
    // it otherwise would not help.
    EXPECT_EQ(diagnosis(decorated, false), "is a program, not a DLL");
    EXPECT_EQ(diagnosis({"start"}, true), "does not export run_code");
    EXPECT_EQ(diagnosis({"_Z8run_codeiPPwPKw", "run_code"}, true), "");
}

} // namespace
