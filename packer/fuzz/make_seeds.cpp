// Makes the fuzz targets' seeds, which the repository keeps (packer/fuzz/
// seeds/ and fuzz/seeds/, a folder a target): small PE images from the
// tests' builders, record streams and attached data of them, icons from
// the packer's own images and stb's writer, and the texts of the tests'
// patterns, names and specs. Run from the top of the source tree after a
// change of what a target reads:
//   build/packer/fuzz/onefile-make-fuzz-seeds
// Each seed is written again whole; seeds no longer made are left to remove
// by hand.
#include <stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "packer/image/icon.h"
#include "packer/tests/decoded_archive.h"
#include "packer/tests/linked_pe_builder.h"
#include "packer/tests/pe_builder.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& folder, const std::string& name, const std::string& bytes) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Record {
    std::u16string path;
    std::string content;
};

// A record stream: each path in UTF-16LE and its terminator, the size, the
// content; then the empty path, unless `terminated` is false.
std::string recordStream(const std::vector<Record>& records, bool terminated = true) {
    std::string stream;
    const auto unit = [&stream](char16_t c) {
        stream += static_cast<char>(c & 0xFF);
        stream += static_cast<char>(c >> 8);
    };
    for (const Record& record : records) {
        for (char16_t c : record.path) {
            unit(c);
        }
        unit(0);
        for (int i = 0; i < 8; ++i) {
            stream += static_cast<char>(static_cast<uint64_t>(record.content.size()) >> (8 * i));
        }
        stream += record.content;
    }
    if (terminated) {
        unit(0);
    }
    return stream;
}

std::string encoded(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

void appendTo(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<size_t>(size));
}

// A small picture of `width` by `height` RGBA pixels, in colours that vary.
std::vector<unsigned char> picture(int width, int height) {
    std::vector<unsigned char> pixels;
    for (int i = 0; i < width * height; ++i) {
        pixels.insert(pixels.end(),
                      {static_cast<unsigned char>(i * 37), static_cast<unsigned char>(i * 11), 200,
                       static_cast<unsigned char>(i % 2 ? 255 : 128)});
    }
    return pixels;
}

} // namespace

int main() {
    const fs::path packerSeeds = "packer/fuzz/seeds";
    const fs::path bootstrapSeeds = "fuzz/seeds";
    if (!fs::is_directory(packerSeeds.parent_path()) || !fs::is_directory("fuzz")) {
        std::fprintf(stderr, "onefile-make-fuzz-seeds: run it from the top of the source tree\n");
        return 2;
    }

    // PE images of either format, with imports, delay-loaded ones, exports
    // and a certificate table.
    const std::string entry = buildLinkedPe({true,
                                             0x8664,
                                             {{"KERNEL32.dll", {"GetLastError"}},
                                              {"helper.dll", {"helper_fn", "#2"}},
                                              {"late.dll", {"later"}, true}},
                                             {"run_code"}})
                                  .bytes;
    const std::string helper = buildLinkedPe({true, 0x8664, {}, {"helper_fn", "other"}, 1}).bytes;
    PeSpec signedSpec;
    signedSpec.certificate = std::string("\x10\x00\x00\x00\x00\x02\x02\x00signed!!", 16);
    LinkageSpec delay32{false, 0x14C, {{"late32.dll", {"#7", "named"}, true}}, {"run_code"}};
    delay32.delayVirtualAddresses = true;
    delay32.sectionBefore = true;
    PeSpec program;
    program.characteristics = 0x0022;
    program.exports = {};
    const fs::path pe = packerSeeds / "pe_fuzz";
    write(pe, "entry.dll", entry);
    write(pe, "helper.dll", helper);
    write(pe, "signed.dll", buildPe(signedSpec).bytes);
    write(pe, "pe32-delay.dll", buildLinkedPe(delay32).bytes);
    write(pe, "program.exe", buildPe(program).bytes);

    // Record streams, and attached data of them.
    const std::vector<Record> package = {{u"entry.dll", entry},
                                         {u"helper.dll", helper},
                                         {u"data\\notes.txt", "hello"},
                                         {u"data\\deep\\empty.txt", ""}};
    const std::vector<std::pair<std::string, std::string>> streams = {
        {"package", recordStream(package)},
        {"empty", recordStream({})},
        {"replaced", recordStream({{u"entry.dll", entry}, {u"a\\b.txt", "1"}, {u"A\\B.txt", "2"}})},
        {"file-and-folder", recordStream({{u"entry.dll", entry}, {u"x", "1"}, {u"x\\y", "2"}})},
        {"climbing", recordStream({{u"entry.dll", entry}, {u"..\\outside.txt", "!"}})},
        {"unterminated", recordStream(package, false)},
        {"after-terminator", recordStream(package) + "trailing"}};
    for (const auto& [name, stream] : streams) {
        write(packerSeeds / "record_stream_fuzz", name + ".stream", stream);
        write(bootstrapSeeds / "record_loop_fuzz", name + ".parent", '\0' + stream);
    }
    write(bootstrapSeeds / "record_loop_fuzz", "package.child", '\1' + recordStream(package));
    const std::string attached = encodeAttachedData(recordStream(package));
    write(bootstrapSeeds / "record_loop_fuzz", "package.attached", '\2' + attached);
    write(packerSeeds / "inspect_fuzz", "package.bin", attached);
    write(packerSeeds / "inspect_fuzz", "no-checksum.bin",
          encodeAttachedData(recordStream(package), false));
    write(packerSeeds / "inspect_fuzz", "replaced.bin", encodeAttachedData(streams[2].second));

    // Exclusion files, then the paths they are matched against.
    const fs::path exclusions = packerSeeds / "exclusion_fuzz";
    write(exclusions, "typical",
          std::string("\xEF\xBB\xBF# build output\n*.pdb\nbuild/\n/docs/**/*.md\n  \n"
                      "[!a-c]?.txt \r\n") +
              '\0' + "src/app.pdb\nbuild/\ndocs/a/b/readme.md\nd1.txt\nsrc/build\n");
    write(exclusions, "sets",
          std::string("[]]x\n[a-]\n[^0-9]*\nsub/**/**/x?\n\xC3\x84*.TXT\n") + '\0' +
              "]x\n-\nsub/x1\n\xC3\xA4\x62\x63.txt\nsub/a/b/xy/\n");

    // Names of a file below the input folder ("/" between them), and the
    // same as a record holds them, in UTF-16LE.
    const fs::path names = packerSeeds / "record_name_fuzz";
    write(names, "plain", "app/entry.dll");
    write(names, "deep", "sub/dir/file.txt");
    write(names, "device", "CON.txt");
    write(names, "trailing-dot", "dir./file");
    write(names, "stream", "file:stream");
    write(names, "accents", "donn\xC3\xA9\x65s/\xC3\xA9t\xC3\xA9.txt");
    write(names, "record", recordStream({{u"dir\\file.txt", ""}}).substr(0, 26));

    // A mode, then the spec, company, product, version, output name and the
    // longest archive path, a line each.
    const fs::path specs = bootstrapSeeds / "target_directory_fuzz";
    const std::string texts = "\nACME\nApp\n1.2.3.4\napp.exe\nentry.dll";
    write(specs, "per-run",
          std::string(1, '\0') + "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}" + texts);
    write(specs, "cached", "\x01{CACHE_DIR}\\onefile\\{PRODUCT}" + texts);
    write(specs, "share", std::string(1, '\0') + "\\\\server\\share\\{COMPANY}\\{RANDOM}" + texts);
    write(specs, "drive",
          std::string(1, '\0') + "C:\\Programs\\{Company}\\{PRODUCT}\\{VERSION}\\{PID}_{TIME}" +
              texts);
    write(specs, "climbing", std::string(1, '\0') + "{HOME}\\a\\..\\run_{RANDOM}\\." + texts);

    // Icons: the packer's own PNG images, an icon file of them, and the
    // other formats stb reads.
    const std::vector<IconImage> images = defaultIconImages();
    const fs::path icons = packerSeeds / "icon_fuzz";
    write(icons, "16.png", encoded(images[0].png));
    write(icons, "two.ico", encoded(iconFile({images[0], images[1]})));
    const std::vector<unsigned char> pixels = picture(5, 3);
    std::string bmp, tga, jpg;
    stbi_write_bmp_to_func(appendTo, &bmp, 5, 3, 4, pixels.data());
    stbi_write_tga_to_func(appendTo, &tga, 5, 3, 4, pixels.data());
    stbi_write_jpg_to_func(appendTo, &jpg, 5, 3, 4, pixels.data(), 90);
    write(icons, "wide.bmp", bmp);
    write(icons, "wide.tga", tga);
    write(icons, "wide.jpg", jpg);
    return 0;
}
