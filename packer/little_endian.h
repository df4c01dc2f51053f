// Little-endian integers, the byte order of every format the packer writes
// or reads (the attached data, resources, icons, PE images):
// appended to a byte vector, stored at a place, loaded from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

inline void put16(std::vector<unsigned char>& out, uint32_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

inline void put32(std::vector<unsigned char>& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

inline void put64(std::vector<unsigned char>& out, uint64_t value) {
    put32(out, static_cast<uint32_t>(value));
    put32(out, static_cast<uint32_t>(value >> 32));
}

// The code units of `text` and a zero unit after them, as Windows keeps
// strings.
inline void putTerminatedUtf16(std::vector<unsigned char>& out, std::u16string_view text) {
    for (char16_t unit : text) {
        put16(out, unit);
    }
    put16(out, 0);
}

// The `count` low bytes of `value` at `out`.
inline void storeLittleEndian(unsigned char* out, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline uint64_t loadLittleEndian(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) {
        value = value << 8 | bytes[i - 1];
    }
    return value;
}

inline uint16_t load16(const unsigned char* bytes) {
    return static_cast<uint16_t>(loadLittleEndian(bytes, 2));
}

inline uint32_t load32(const unsigned char* bytes) {
    return static_cast<uint32_t>(loadLittleEndian(bytes, 4));
}
