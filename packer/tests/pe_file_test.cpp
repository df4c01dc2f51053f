// The PE reader and the entry check: real MinGW-w64 images, images made in
// memory, and damaged ones, which must give a reason, never a false "sound".
#include <gtest/gtest.h>

#include "formats/image_tables.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_file.h"
#include "packer/little_endian.h"
#include "packer/tests/pe_builder.h"
#include "packer/tests/support.h"

namespace {

std::string problemOf(const std::string& bytes) {
    return entryLibraryProblem(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void patch(std::string& bytes, size_t at, uint64_t value, size_t count) {
    storeLittleEndian(reinterpret_cast<unsigned char*>(&bytes[at]), value, count);
}

TEST(EntryCheck, TakesARealEntryLibraryAndNamesWhatIsWrongWithOtherImages) {
    EXPECT_EQ(problemOf(readFile(testImage("entry.dll"))), "");
    EXPECT_EQ(problemOf(readFile(testImage("no_run_code.dll"))), "does not export run_code");
    EXPECT_EQ(problemOf(readFile(testImage("program.exe"))), "is a program, not a DLL");
    EXPECT_EQ(problemOf("just text\n"), "is not a PE file: it does not begin with \"MZ\"");
    EXPECT_EQ(problemOf(""), "is not a PE file: it does not begin with \"MZ\"");
}

TEST(EntryCheck, NamesTheFormatMachineAndKindOfImagesMadeInMemory) {
    EXPECT_EQ(problemOf(buildPe().bytes), "");
    PeSpec x86;
    x86.machine = coff::machineI386;
    x86.pe32Plus = false;
    EXPECT_EQ(problemOf(buildPe(x86).bytes),
              "is a 32-bit (PE32) image for x86; the entry must be a 64-bit (PE32+) DLL for "
              "x86-64");
    PeSpec arm;
    arm.machine = coff::machineArm64;
    EXPECT_EQ(problemOf(buildPe(arm).bytes), "is built for ARM64, not for x86-64");
    PeSpec program;
    program.characteristics = 0x0022;
    EXPECT_EQ(problemOf(buildPe(program).bytes), "is a program, not a DLL");
    PeSpec others;
    others.exports = {"run", "run_code_", "Run_Code", "run_cod"};
    EXPECT_EQ(problemOf(buildPe(others).bytes), "does not export run_code");
    PeSpec many;
    many.exports = {"alpha", "beta", "run_code", "zeta"};
    EXPECT_EQ(problemOf(buildPe(many).bytes), "");
    PeSpec none;
    none.exports = {};
    EXPECT_EQ(problemOf(buildPe(none).bytes), "does not export run_code");
}

TEST(EntryCheck, AnImageCutShortAnywhereBeforeItsLastNameIsNeverSound) {
    for (const BuiltPe& pe : {buildPe(), buildPe([] {
                                  PeSpec spec;
                                  spec.exports = {"aaa", "run_code"};
                                  return spec;
                              }())}) {
        for (size_t length = 0; length < pe.bytes.size(); ++length) {
            // The whole image stays in memory: a read past the cut would find
            // sound bytes there and go unnoticed otherwise.
            std::string problem = entryLibraryProblem(
                reinterpret_cast<const unsigned char*>(pe.bytes.data()), length);
            if (length < pe.namesEnd) {
                EXPECT_NE(problem, "") << "cut at " << length;
            } else {
                EXPECT_EQ(problem, "") << "cut at " << length;
            }
            // Cut after "PE\0\0" but inside the file header that follows it.
            if (length >= pe.peOffset + 4 && length < pe.optionalOffset) {
                EXPECT_EQ(problem.rfind("is not a PE file: no PE signature", 0), 0u)
                    << "cut at " << length << ": " << problem;
            }
        }
    }
}

TEST(EntryCheck, DamagedHeadersAndTablesGiveTheirReason) {
    const BuiltPe sound = buildPe();
    struct Damage {
        size_t at;
        uint64_t value;
        size_t count;
        const char* problem;
    };
    const Damage damages[] = {
        {0x3C, 0xFFFFFFF0, 4, "is not a PE file: no PE signature where its DOS header points"},
        {sound.peOffset, 'X', 1, "is not a PE file: no PE signature"},
        {sound.peOffset + 4 + 2, 0xFFFF, 2, "is a damaged PE file: its section table is cut short"},
        {sound.peOffset + 4 + 16, 0, 2, "is a damaged PE file: its optional header is cut short"},
        {sound.peOffset + 4 + 16, 100, 2, "is a damaged PE file: its optional header is cut short"},
        {sound.optionalOffset, 0x999, 2, "magic 0x999 is neither PE32 nor PE32+"},
        {sound.directoriesOffset, 0x9000, 4, "its export directory lies outside the file"},
        {sound.exportDirectory + 24, 0x40000000, 4,
         "its table of exported names lies outside the file"},
        {sound.exportDirectory + 32, 0x7FFFFFF0, 4,
         "its table of exported names lies outside the file"},
        // A name that points nowhere is no run_code.
        {sound.exportDirectory + 40, 0x12345678, 4, "does not export run_code"},
        // Too few directories for the export directory to be one.
        {sound.directoriesOffset - 4, 0, 4, "does not export run_code"},
    };
    for (const Damage& damage : damages) {
        std::string bytes = sound.bytes;
        patch(bytes, damage.at, damage.value, damage.count);
        std::string problem = problemOf(bytes);
        EXPECT_NE(problem.find(damage.problem), std::string::npos)
            << "at " << damage.at << ": " << problem;
    }
}

TEST(EntryCheck, ANameIsReadOnlyWhereTheSectionsFileBytesAndItsMemoryOverlap) {
    // The loader maps a section's raw data up to its virtual size: past the
    // raw data it gives zeros, past the virtual size nothing of the section.
    // Either way the name's bytes are not the file's bytes at that place.
    const BuiltPe sound = buildPe();
    const size_t sectionHeader = sound.directoriesOffset + 8 * 16;
    const size_t rawSize = sound.bytes.size() - sound.exportDirectory;
    const size_t nameAt = sound.namesEnd - sizeof "run_code";
    const size_t nameField = sound.exportDirectory + 40; // the names table's one entry

    // Beyond the raw data, within the virtual size; the file goes on with
    // "run_code" there (as it would with the next section's data).
    std::string pastRawData = sound.bytes + std::string("run_code\0", 9);
    patch(pastRawData, sectionHeader + 8, rawSize + 16, 4);
    patch(pastRawData, nameField, 0x1000 + rawSize, 4);
    EXPECT_EQ(problemOf(pastRawData), "does not export run_code");

    // Within the raw data, beyond the virtual size.
    std::string pastVirtualSize = sound.bytes;
    patch(pastVirtualSize, sectionHeader + 8, nameAt - sound.exportDirectory, 4);
    EXPECT_EQ(problemOf(pastVirtualSize), "does not export run_code");

    // Both sizes taking the name in: found.
    patch(pastVirtualSize, sectionHeader + 8, rawSize, 4);
    EXPECT_EQ(problemOf(pastVirtualSize), "");
}

TEST(CertificateTable, IsFoundWhereTheDirectoryPointsAndOnlyInsideTheFile) {
    PeSpec signedSpec;
    signedSpec.certificate = std::string(8, '\x01') + "signature bytes";
    BuiltPe pe = buildPe(signedSpec);
    std::string problem;
    auto read = [&problem](const std::string& bytes) {
        return readPeImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                           &problem);
    };
    std::optional<PeImage> image = read(pe.bytes);
    ASSERT_TRUE(image) << problem;
    std::optional<CertificateTable> table = certificateTable(*image, pe.bytes.size());
    ASSERT_TRUE(table);
    EXPECT_EQ(table->size, signedSpec.certificate.size());
    EXPECT_EQ(pe.bytes.substr(table->offset, table->size), signedSpec.certificate);
    // Cut short: no table.
    EXPECT_FALSE(certificateTable(*image, pe.bytes.size() - 1));
    // Unsigned: none.
    std::string plain = buildPe().bytes;
    image = read(plain);
    ASSERT_TRUE(image);
    EXPECT_FALSE(certificateTable(*image, plain.size()));
}

// Both readers of a DLL with thousands of sections, in order and not: the
// entry check's (PeImage) and the dependency check's (ImageTables).
TEST(SectionLookup, ManySectionsInOrderAreSearchedByHalvingAndOutOfOrderRefused) {
    PeSpec spec;
    spec.exports.clear();
    for (int i = 0; i < 2000; ++i) {
        spec.exports.push_back("f" + std::to_string(i));
    }
    spec.exports.push_back("run_code");
    spec.extraSections = 4000;
    const BuiltPe pe = buildPe(spec);
    // Names outside every section: each look-up would pass every section.
    std::string outside = pe.bytes;
    for (size_t i = 0; i < spec.exports.size(); ++i) {
        patch(outside, pe.exportedNames + 4 * i, 0x7FFF0000, 4);
    }
    // 4001 sections take 13 halvings; each look-up may examine a few more.
    const uint64_t perLookUp = 16;
    const uint64_t lookUps = spec.exports.size() + 3; // and the directory and its tables
    const auto bytes = [](const std::string& b) {
        return reinterpret_cast<const unsigned char*>(b.data());
    };

    // Sections of whole pages touch, the second beginning just where the
    // file's bytes of the first end: that is still their order. One byte
    // earlier they overlap.
    std::string touching(2 * 40, '\0');
    for (size_t i = 0; i < 2; ++i) {
        patch(touching, 40 * i + 8, 0x1000, 4);            // virtual size
        patch(touching, 40 * i + 12, 0x1000 * (i + 1), 4); // address
        patch(touching, 40 * i + 16, 0x1000, 4);           // raw size
    }
    EXPECT_TRUE(sectionsInAddressOrder(bytes(touching), 2));
    patch(touching, 40 + 12, 0x1FFF, 4);
    EXPECT_FALSE(sectionsInAddressOrder(bytes(touching), 2));

    for (const bool sound : {true, false}) {
        const std::string* image = sound ? &pe.bytes : &outside;
        std::string problem;
        std::optional<PeImage> headers = readPeImage(bytes(*image), image->size(), &problem);
        ASSERT_TRUE(headers) << problem;
        std::optional<bool> exported =
            exportsFunction(*headers, bytes(*image), image->size(), "run_code", &problem);
        EXPECT_EQ(exported, sound) << problem;
        EXPECT_LE(headers->sectionsExamined, lookUps * perLookUp);

        ImageTables tables;
        ASSERT_TRUE(openImageTables(&tables, bytes(*image), image->size()));
        ExportTable exports;
        ASSERT_TRUE(openExportTable(tables, &exports));
        size_t found = 0;
        for (uint32_t i = 0; i < exports.nameCount; ++i) {
            const char* name = nullptr;
            size_t length = 0;
            found += exportedName(tables, exports, i, &name, &length);
        }
        EXPECT_EQ(found, sound ? spec.exports.size() : 0u);
        EXPECT_LE(tables.sectionsExamined, lookUps * perLookUp);
    }

    // Out of order, which Windows refuses: up to 96 sections are still read,
    // one by one, more are refused by both readers.
    spec.extraSectionsReversed = true;
    spec.extraSections = 95;
    const std::string atLimit = buildPe(spec).bytes;
    EXPECT_EQ(problemOf(atLimit), "");
    std::string problem;
    EXPECT_TRUE(readImageLinkage(bytes(atLimit), atLimit.size(), &problem)) << problem;
    spec.extraSections = 96;
    const std::string reversed = buildPe(spec).bytes;
    const std::string refusal =
        "is a damaged PE file: its 97 sections are not in the order of their addresses";
    EXPECT_EQ(problemOf(reversed).rfind(refusal, 0), 0u) << problemOf(reversed);
    EXPECT_FALSE(readImageLinkage(bytes(reversed), reversed.size(), &problem));
    EXPECT_EQ(problem.rfind(refusal, 0), 0u) << problem;
}

} // namespace
