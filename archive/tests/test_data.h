// What the reader's tests pack and expect, shared by the host program that
// makes the test archives and the Windows tests that read them back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Deterministic incompressible bytes.
inline std::string noiseBytes(size_t size, uint32_t seed) {
    std::string out(size, 0);
    uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = static_cast<char>(state >> 24);
    }
    return out;
}

// Compressible text of `size` bytes.
inline std::string textBytes(size_t size) {
    std::string out;
    for (unsigned i = 0; out.size() < size; ++i) {
        out += "line " + std::to_string(i * 7919 % 1000) + " of some compressible text\n";
    }
    out.resize(size);
    return out;
}

// One record: UTF-16LE path, zero code unit, 64-bit size, content.
inline std::string recordBytes(const std::u16string& path, const std::string& content) {
    std::string out;
    for (char16_t unit : path) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    out.append(2, '\0');
    uint64_t size = content.size();
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>(size >> (8 * i)));
    }
    return out + content;
}

inline uint64_t fnv1a64(const std::string& bytes, uint64_t hash = 0xCBF29CE484222325ull) {
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 0x100000001B3ull;
    }
    return hash;
}

// The golden archives hold one record, without the terminator here.
inline std::string goldenEntryContent() {
    std::string content;
    for (int i = 0; i < 40; ++i) {
        content += "golden entry content\n";
    }
    return content;
}
inline std::string goldenRecordStream() {
    return recordBytes(u"entry.dll", goldenEntryContent());
}
inline std::string goldenNoisyRecordStream() {
    return recordBytes(u"entry.dll", noiseBytes(4000, 99));
}

// The round trip's tree, in the order the packer must record it: the entry
// first, then byte-wise by UTF-8 archive path.
enum class Fill { noise, zeros, text };
struct TreeFile {
    const char* unixPath; // below the tree's directory
    std::u16string name;  // archive path
    Fill fill;
    size_t size;
};

inline std::vector<TreeFile> roundTripTree() {
    return {
        {"entry.dll", u"entry.dll", Fill::noise, 4096},
        {"big/random.bin", u"big\\random.bin", Fill::noise, 300000},
        {"big/zeros.bin", u"big\\zeros.bin", Fill::zeros, 400000},
        {"empty.txt", u"empty.txt", Fill::text, 0},
        {"text/empty", u"text\\empty", Fill::text, 0},
        {"text/lines.txt", u"text\\lines.txt", Fill::text, 300000},
        {"zz-last", u"zz-last", Fill::text, 1000},
        {"\xC3\xBCnicode \xF0\x9F\x98\x80.txt", u"\u00FCnicode \U0001F600.txt", Fill::text, 0},
    };
}

inline std::string treeFileContent(const TreeFile& file) {
    switch (file.fill) {
    case Fill::noise:
        return noiseBytes(file.size, static_cast<uint32_t>(file.size));
    case Fill::zeros:
        return std::string(file.size, '\0');
    case Fill::text:
        return textBytes(file.size);
    }
    return {};
}

// The record stream the packer must make of the tree, terminator included.
inline std::string roundTripRecordStream() {
    std::string stream;
    for (const TreeFile& file : roundTripTree()) {
        stream += recordBytes(file.name, treeFileContent(file));
    }
    return stream + std::string(2, '\0');
}
