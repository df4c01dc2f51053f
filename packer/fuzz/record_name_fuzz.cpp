// libFuzzer target that holds the packer's rules for archive paths against
// the bootstrap's (isSafeRecordPath): what the packer would write, the
// bootstrap must unpack, and what the bootstrap refuses, the packer must
// refuse, both when it packs and when it checks an archive (verify,
// extract).
//
// An input is taken two ways: as the names of a file below the input
// folder, UTF-8 split at "/" (which no name on Linux holds), as the packer
// meets them when it packs; and as the UTF-16LE code units of a record's
// path, as the packer's checks meet them when they read an archive.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/archive_layout.h"
#include "formats/record_name.h"
#include "packer/error.h"
#include "packer/payload/archive_path.h"
#include "packer/text.h"

namespace {

[[noreturn]] void fail(const char* what, std::u16string_view path) {
    std::fprintf(stderr, "record_name_fuzz: %s: %s\n", what, utf16ToUtf8(path).c_str());
    std::abort();
}

bool bootstrapAccepts(const std::u16string& path) {
    return isSafeRecordPath(path.c_str());
}

// What verify and extract check of a record's path.
bool packerReadsAccept(const std::u16string& path) {
    const std::string utf8 = utf16ToUtf8(path);
    std::optional<std::u16string> back = utf8ToUtf16(utf8);
    if (!back || *back != path) {
        return false; // not valid UTF-16
    }
    try {
        makeArchivePath(archivePathComponents(utf8), utf8);
    } catch (const PackError&) {
        return false;
    }
    return true;
}

// The names of a file as a pack takes them from the input folder.
void checkPackedNames(std::string_view text) {
    std::vector<std::string> names;
    for (size_t start = 0;;) {
        const size_t end = text.find('/', start);
        names.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::string problem;
    std::optional<ArchivePath> path = toArchivePath(names, &problem);
    if (!path) {
        return;
    }
    if (path->utf16.empty() || path->utf16.size() > recordNameMaxUnits) {
        fail("the packer writes a path of a length no reader takes", path->utf16);
    }
    if (!bootstrapAccepts(path->utf16)) {
        fail("the packer writes a path that the bootstrap refuses", path->utf16);
    }
    if (!packerReadsAccept(path->utf16)) {
        fail("the packer writes a path that its own verify refuses", path->utf16);
    }
    if (*utf8ToUtf16(path->utf8) != path->utf16) {
        fail("the packer's two forms of a path differ", path->utf16);
    }
}

// A record's path as an archive holds it.
void checkRecordPath(std::string_view bytes) {
    std::u16string path;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                    static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (unit == 0) {
            break; // where the record's path ends
        }
        path += unit;
    }
    if (path.empty() || path.size() > recordNameMaxUnits) {
        return; // the reader refuses it before any name is looked at
    }
    if (packerReadsAccept(path) && !bootstrapAccepts(path)) {
        fail("verify accepts a path that the bootstrap refuses", path);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkPackedNames(bytes);
    checkRecordPath(bytes);
    return 0;
}
