// libFuzzer target for the bootstrap's archive reader and record loop,
// built for the host over the file system in memory of host_windows. The
// first byte of an input chooses the run: bit 0 a child's (which only
// names the entry library), bit 1 the rest taken as attached data as it
// is; otherwise the rest is a record stream, which the target compresses
// into attached data with a sound frame so that the loop meets every kind
// of record.
//
// Besides what host_windows watches (nothing created outside the target
// directory, every name one Windows takes literally, no handle misused),
// a record stream is also read here by the format's rules, and the run
// must agree: a damaged stream fails, a sound one of safe names that no
// file and folder share unpacks to exactly its files, the last record of
// a path winning, and a child writes nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/archive_layout.h"
#include "archive/reader.h"
#include "formats/record_name.h"
#include "base/state.h"
#include "extract/record_loop.h"
#include "extract/testing.h"
#include "fuzz/host_windows.h"
#include "packer/tests/decoded_archive.h"

namespace {

const hostWindows::Machine machine = {L"C:\\Users\\Fuzz\\AppData\\Local\\Temp",
                                      L"C:\\Users\\Fuzz",
                                      L"C:\\Users\\Fuzz\\AppData\\Local",
                                      {}};
const std::wstring target = machine.temp + L"\\onefile_4242_123456_AbCdEfGhIjK";
wchar_t childMark[] = L"4241"; // the parent's identifier, as a child has it

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "record_loop_fuzz: %s\n", what);
    std::abort();
}

// What a record stream should come to.
struct Expectation {
    enum Outcome { unpacks, fails, eitherWay } outcome = eitherWay;
    std::map<std::wstring, std::string> files; // by key, up to the first bad record
    std::optional<std::wstring> firstName;     // the entry library's, when safe
    uint64_t recordBytes = 0;                  // of the records before the terminator
};

// The stream read by the format's rules: records of a name (UTF-16LE code
// units and a zero unit, 1023 at most), a size and the content, up to an
// empty name. Names must keep the rules; where a name is a file and a
// folder above another, or holds "/" (which the bootstrap takes for a
// separator but does not create folders for), the outcome is left open.
Expectation expectationOf(std::string_view stream) {
    Expectation expected;
    std::map<std::wstring, bool> directoryKeys; // key -> is a folder
    bool clear = true;
    size_t at = 0;
    const auto take = [&](size_t count) -> std::optional<std::string_view> {
        if (stream.size() - at < count) {
            return std::nullopt;
        }
        std::string_view bytes = stream.substr(at, count);
        at += count;
        return bytes;
    };
    for (bool first = true;; first = false) {
        std::wstring name;
        for (;;) {
            std::optional<std::string_view> unit = take(2);
            if (!unit) {
                expected.outcome = Expectation::fails;
                return expected;
            }
            const wchar_t c = static_cast<unsigned char>((*unit)[0]) |
                              static_cast<unsigned char>((*unit)[1]) << 8;
            if (c == 0) {
                break;
            }
            if (name.size() == recordNameMaxUnits) {
                expected.outcome = Expectation::fails;
                return expected;
            }
            name += c;
        }
        if (name.empty()) {
            expected.outcome = clear ? Expectation::unpacks : Expectation::eitherWay;
            return expected;
        }
        if (!isSafeRecordPath(name.c_str())) {
            expected.outcome = Expectation::fails;
            return expected;
        }
        if (first) {
            expected.firstName = name;
        }
        std::optional<std::string_view> sizeField = take(recordSizeFieldSize);
        if (!sizeField) {
            expected.outcome = Expectation::fails;
            return expected;
        }
        uint64_t size = 0;
        for (size_t i = recordSizeFieldSize; i > 0; --i) {
            size = size << 8 | static_cast<unsigned char>((*sizeField)[i - 1]);
        }
        std::optional<std::string_view> content =
            size <= stream.size() ? take(static_cast<size_t>(size)) : std::nullopt;
        if (!content) {
            expected.outcome = Expectation::fails;
            return expected;
        }
        expected.recordBytes += 2 * (name.size() + 1) + recordSizeFieldSize + size;
        const std::wstring path = target + L"\\" + name;
        const std::wstring key = hostWindows::pathKey(path);
        expected.files[key] = std::string(*content);
        clear &= name.find(L'/') == std::wstring::npos;
        // The folders above the file, and the file itself, each one kind.
        for (size_t separator = path.find(L'\\', target.size() + 1);
             separator != std::wstring::npos; separator = path.find(L'\\', separator + 1)) {
            auto [it, added] =
                directoryKeys.emplace(hostWindows::pathKey(path.substr(0, separator)), true);
            clear &= it->second;
        }
        auto [it, added] = directoryKeys.emplace(key, false);
        clear &= !it->second;
    }
}

bool below(const std::wstring& key, const std::wstring& top) {
    return key.size() > top.size() && key.compare(0, top.size(), top) == 0 &&
           key[top.size()] == L'\\';
}

void checkUnpacked(const Expectation& expected) {
    const std::wstring top = hostWindows::pathKey(target);
    size_t files = 0;
    for (const auto& [key, node] : hostWindows::fileSystem()) {
        if (!below(key, top)) {
            continue;
        }
        if (node.directory) {
            // Only what holds a record's file.
            auto after = expected.files.lower_bound(key + L"\\");
            if (after == expected.files.end() || !below(after->first, key)) {
                fail("a folder that holds no record's file");
            }
            continue;
        }
        ++files;
        auto it = expected.files.find(key);
        if (it == expected.files.end()) {
            fail("a file that no record names");
        }
        if (node.truncated || node.size != it->second.size() || node.content != it->second) {
            fail("a file whose content is not its last record's");
        }
    }
    if (files != expected.files.size()) {
        fail("a record's file is missing");
    }
    if (unpackedBytes != expected.recordBytes) {
        fail("the unpacked bytes counted are not the records'");
    }
}

void runLoop(const std::vector<unsigned char>& attached, bool child,
             const std::optional<Expectation>& expected) {
    knownDirectories.count = 0; // its copies are freed with the machine
    hostWindows::reset(machine);
    hostWindows::makeDirectories(target);
    hostWindows::confineTo(target);
    std::wmemcpy(targetDirectoryPath, target.c_str(), target.size() + 1);
    entryLibraryPath[0] = 0;
    parentInstance = child ? childMark : nullptr;
    unpackedBytes = 0;
    extractionFile = nullptr;
    rememberKnownDirectory(targetDirectoryPath);

    bool unpacked = false;
    ArchiveReader reader;
    initArchiveReader(reader, attached.data(), attached.size());
    try {
        openArchiveReader(reader);
        extractFileRecords(reader);
        unpacked = true;
    } catch (const BootstrapExit&) {
        // What the failure cleanup does before the process ends.
        hostWindows::closeAfterFailure(extractionFile);
    }
    closeArchiveReader(reader);
    if (!hostWindows::openHandles().empty()) {
        fail("a file left open");
    }

    if (child) {
        for (const auto& [key, node] : hostWindows::fileSystem()) {
            if (below(key, hostWindows::pathKey(target))) {
                fail("a child wrote below the target directory");
            }
        }
        if (expected && expected->firstName && unpacked &&
            entryLibraryPath != target + L"\\" + *expected->firstName) {
            fail("the child named another entry library than the first record");
        }
    } else if (expected) {
        if (expected->outcome == Expectation::fails && unpacked) {
            fail("a damaged record stream unpacked");
        }
        if (expected->outcome == Expectation::unpacks && !unpacked) {
            fail("a sound record stream failed to unpack");
        }
        if (unpacked) {
            checkUnpacked(*expected);
        }
    }
    knownDirectories.count = 0;
    hostWindows::reset(machine);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool child = (data[0] & 1) != 0;
    const bool asAttachedData = (data[0] & 2) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (asAttachedData) {
        // The packer writes no less than magic and trailer.
        if (rest.size() < attachedOverheadSize) {
            return 0;
        }
        runLoop(std::vector<unsigned char>(rest.begin(), rest.end()), child, std::nullopt);
    } else {
        const std::string attached = encodeAttachedData(std::string(rest));
        runLoop(std::vector<unsigned char>(attached.begin(), attached.end()), child,
                expectationOf(rest));
    }
    return 0;
}
