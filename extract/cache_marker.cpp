#include "extract/cache_marker.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "base/bounded.h"
#include "base/build_constants.h"
#include "base/termination.h"
#include "cleanup/tree.h"
#include "extract/testing.h"

const wchar_t markerName[] = L"" ONEFILE_CACHE_MARKER_NAME;

namespace {

// The marker's text, in ASCII. A run writes its first line into the copy it
// unpacks into before anything else, and completes it once every file is
// there:
//   "onefile cache product <product> build <id>" and a line end, at first;
//   the same followed by " files <records> bytes <bytes> digest <digest>"
//   and a line end, complete.
// <product> is the product's key, and <digest> that of the names and sizes
// the unpacked tree held (hexadecimal digits). The first line proves that a
// copy, complete or not, is one that this product's runs made: nothing
// without it is ever moved or removed, as it may be the user's own, or
// another product's that shares the folder. Builds made before the marker
// named the product wrote "onefile cache <id> <records> <bytes>" (and then
// the digest) at the end only; whose product made such a copy is not known.
constexpr char markerStart[] = "onefile cache product ";
constexpr char markerBuild[] = " build ";
constexpr char markerFiles[] = " files ";
constexpr char olderMarkerStart[] = "onefile cache ";
constexpr size_t keyDigits = 16;
constexpr size_t digestDigits = 16;
constexpr char markerEnd[] = "\r\n";
constexpr size_t markerEndLength = sizeof markerEnd - 1;
constexpr uint64_t hashBasis = 0xcbf29ce484222325ull;

// FNV-1a over `count` UTF-16 code units, continued from `hash`.
uint64_t hashUnits(uint64_t hash, const wchar_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ static_cast<uint16_t>(units[i])) * 0x100000001b3ull;
    }
    return hash;
}

// Spreads a hash over all 64 bits, so that a sum of many stays telling.
uint64_t finishHash(uint64_t hash) {
    hash = (hash ^ hash >> 30) * 0xbf58476d1ce4e5b9ull;
    hash = (hash ^ hash >> 27) * 0x94d049bb133111ebull;
    return hash ^ hash >> 31;
}

// `value` as 16 lower-case hexadecimal digits, and a terminator, into `text`.
void formatHex(uint64_t value, char* text) {
    for (size_t i = 0; i < 16; ++i) {
        text[i] = "0123456789abcdef"[value >> 4 * (15 - i) & 0xf];
    }
    text[16] = 0;
}

// The product's key: a hash of the company's name and the product's, which
// tells apart two products that share a folder (two companies' products of
// one name too). Every build of a product has it: their copies are the
// product's other versions.
uint64_t productKey(const wchar_t* company, const wchar_t* product) {
    const wchar_t between = 0;
    uint64_t hash = hashUnits(hashBasis, company, wcslen(company));
    hash = hashUnits(hash, &between, 1);
    return finishHash(hashUnits(hash, product, wcslen(product)));
}

// The marker's text for this build up to its digest.
char expectedMarker[markerCapacity];
size_t expectedMarkerLength;

// Reads the start of the marker in `directory` into `text`; the bytes read,
// or 0 when there is no marker to read, with the system's reason in
// `*error` when one is asked for.
DWORD readMarker(const wchar_t* directory, char* text, DWORD capacity, DWORD* error = nullptr) {
    wchar_t path[pathCapacity];
    joinPath(path, directory, markerName);
    HANDLE marker = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return 0;
    }
    DWORD read = 0;
    if (!ReadFile(marker, text, capacity, &read, nullptr)) {
        read = 0;
    }
    CloseHandle(marker);
    return read;
}

// Whether `directory` holds this build's marker, and nothing more; its
// digest in `*digest`.
bool readExpectedMarker(const wchar_t* directory, uint64_t* digest) {
    char text[sizeof expectedMarker + 1];
    DWORD read = readMarker(directory, text, sizeof text);
    constexpr size_t endLength = sizeof markerEnd - 1;
    if (read != expectedMarkerLength + digestDigits + endLength ||
        memcmp(text, expectedMarker, expectedMarkerLength) != 0 ||
        memcmp(text + expectedMarkerLength + digestDigits, markerEnd, endLength) != 0) {
        return false;
    }
    *digest = 0;
    for (size_t i = 0; i < digestDigits; ++i) {
        char c = text[expectedMarkerLength + i];
        unsigned value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 16;
        if (value == 16) {
            return false;
        }
        *digest = *digest << 4 | value;
    }
    return true;
}

struct TreeCount {
    unsigned long long files;
    unsigned long long bytes;
    // The sum of a hash of each file's path below the top and its size: the
    // same whatever order the file system lists the files in, and another
    // when a file is renamed, moved or replaced by one of another size.
    uint64_t digest;
    size_t topLength; // of the top directory's part of the walk's paths
};

// Adds the file at `entry` of a count's walk to `count`.
void countFile(const WalkEntry& entry, TreeCount* count) {
    uint64_t hash =
        hashUnits(hashBasis, entry.path + count->topLength, entry.length - count->topLength);
    uint64_t size =
        static_cast<uint64_t>(entry.found->nFileSizeHigh) << 32 | entry.found->nFileSizeLow;
    for (int i = 0; i < 8; ++i) {
        hash = (hash ^ (size >> 8 * i & 0xff)) * 0x100000001b3ull;
    }
    count->files += 1;
    count->bytes += size;
    count->digest += finishHash(hash);
}

bool countTree(wchar_t* path, size_t length, TreeCount* count);

// A count's walk stops at a link, which no record makes.
bool countEntry(const WalkEntry& entry, void* context) {
    TreeCount* count = static_cast<TreeCount*>(context);
    DWORD attributes = entry.found->dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return countTree(entry.path, entry.length, count);
    }
    if (entry.folderLength != count->topLength || wcscmp(entry.found->cFileName, markerName) != 0) {
        countFile(entry, count);
    }
    return true;
}

// Counts the files below `path` (an extended-length path of `length` in a
// buffer of extendedPathCapacity), leaving out the marker at the top. False
// when the tree holds a link or cannot be walked whole.
bool countTree(wchar_t* path, size_t length, TreeCount* count) {
    // Every later start walks the whole tree: no short names, larger batches.
    return walkDirectory(path, length, Listing::basicBatch, countEntry, count) == WalkEnd::whole;
}

// Counts the files below `directory`, on a drive or a share; false when the
// tree cannot be walked whole.
bool countDirectory(const wchar_t* directory, TreeCount* count) {
    wchar_t path[extendedPathCapacity];
    size_t length = extendedForm(directory, path);
    *count = {0, 0, 0, length};
    return length != 0 && countTree(path, length, count);
}

// Whether the directory holds this build's files, as many and as large as
// the build has, with the names and sizes that the marker's digest was made
// of: a file removed, cut, added or renamed shows.
bool holdsCompleteFiles(const wchar_t* directory, uint64_t digest) {
    TreeCount count;
    return countDirectory(directory, &count) && count.files == onefileCacheRecordCount &&
           count.bytes == onefileCacheContentSize && count.digest == digest;
}

} // namespace

void asciiId(const wchar_t* name, char* id) {
    size_t i = 0;
    for (; i < cacheIdLength && name[i] != 0; ++i) {
        id[i] = static_cast<char>(name[i]);
    }
    id[i] = 0;
}

void formatOwner(CopyOwner* owner, const wchar_t* id, const wchar_t* company,
                 const wchar_t* product) {
    char key[keyDigits + 1];
    formatHex(productKey(company, product), key);
    int length = snprintf(owner->productPart, sizeof owner->productPart, "%s%s%s", markerStart, key,
                          markerBuild);
    owner->productPartLength = length > 0 ? static_cast<size_t>(length) : 0;
    asciiId(id, owner->id);
}

void joinPath(wchar_t* path, const wchar_t* directory, const wchar_t* name) {
    copyBounded(path, pathCapacity, directory);
    appendBounded(path, pathCapacity, L"\\");
    appendBounded(path, pathCapacity, name);
}

Claim claimOf(const wchar_t* directory, const char* id, const CopyOwner& owner, DWORD* error) {
    char text[markerCapacity];
    DWORD read = readMarker(directory, text, sizeof text, error);
    const size_t product = owner.productPartLength;
    if (product != 0 && read >= product && memcmp(text, owner.productPart, product) == 0) {
        constexpr size_t filesLength = sizeof markerFiles - 1;
        const char* build = text + product;
        bool complete = read > product + cacheIdLength + filesLength + markerEndLength &&
                        memcmp(build, id, cacheIdLength) == 0 &&
                        memcmp(build + cacheIdLength, markerFiles, filesLength) == 0 &&
                        memcmp(text + read - markerEndLength, markerEnd, markerEndLength) == 0;
        return complete ? Claim::complete : Claim::ours;
    }
    // Older builds named no product: only a copy of this very build, whose
    // id is made of the product's names, is known to be the product's.
    constexpr size_t olderLength = sizeof olderMarkerStart - 1;
    if (read > olderLength + cacheIdLength && strcmp(id, owner.id) == 0 &&
        memcmp(text, olderMarkerStart, olderLength) == 0 &&
        memcmp(text + olderLength, id, cacheIdLength) == 0 &&
        text[olderLength + cacheIdLength] == ' ') {
        return Claim::ours;
    }
    return Claim::none;
}

void formatExpectedMarker() {
    MarkerCounts counts = {onefileCacheRecordCount, onefileCacheContentSize, 0};
    size_t length = formatMarker(expectedMarker, sizeof expectedMarker, onefileCacheId,
                                 onefileCompanyName, onefileProductName, &counts);
    if (length == 0) {
        terminateImmediately();
    }
    // Up to the digest, which each copy's own files give.
    expectedMarkerLength = length - digestDigits - markerEndLength;
}

bool holdsExpectedFiles(const wchar_t* directory) {
    uint64_t digest = 0;
    return readExpectedMarker(directory, &digest) && holdsCompleteFiles(directory, digest);
}

size_t formatCompleteMarker(const wchar_t* directory, char* text) {
    TreeCount count;
    countDirectory(directory, &count);
    memcpy(text, expectedMarker, expectedMarkerLength);
    formatHex(count.digest, text + expectedMarkerLength);
    memcpy(text + expectedMarkerLength + digestDigits, markerEnd, markerEndLength);
    return expectedMarkerLength + digestDigits + markerEndLength;
}

size_t formatMarker(char* text, size_t capacity, const wchar_t* id, const wchar_t* company,
                    const wchar_t* product, const MarkerCounts* counts) {
    char key[keyDigits + 1];
    formatHex(productKey(company, product), key);
    char build[cacheIdLength + 1];
    asciiId(id, build);
    int length = 0;
    if (counts == nullptr) {
        length =
            snprintf(text, capacity, "%s%s%s%s%s", markerStart, key, markerBuild, build, markerEnd);
    } else {
        char digest[digestDigits + 1];
        formatHex(counts->digest, digest);
        length = snprintf(text, capacity, "%s%s%s%s%s%llu bytes %llu digest %s%s", markerStart, key,
                          markerBuild, build, markerFiles, counts->files, counts->bytes, digest,
                          markerEnd);
    }
    return length > 0 && static_cast<size_t>(length) < capacity ? static_cast<size_t>(length) : 0;
}
