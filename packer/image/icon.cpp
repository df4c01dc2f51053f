#include "packer/image/icon.h"

#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// A larger file cannot be a sensible icon; refusing it early keeps the
// packer from reading a whole disk image by mistake.
constexpr uintmax_t iconFileLimit = 64u << 20;

constexpr unsigned char pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool isPng(const unsigned char* bytes, size_t size) {
    return size >= sizeof pngSignature &&
           std::memcmp(bytes, pngSignature, sizeof pngSignature) == 0;
}

struct Slice {
    const unsigned char* bytes;
    size_t size;
};

struct IconEntry {
    unsigned side;   // pixels of the longer side
    uint64_t offset; // of its image in the file, not yet checked
    uint64_t length;
};

// The directory of a Windows icon file; nothing when the bytes do not begin
// as one. Throws PackError naming `name` when it is cut short.
std::optional<std::vector<IconEntry>> iconDirectory(const unsigned char* bytes, size_t size,
                                                    const std::string& name) {
    if (size < 6 || load16(bytes) != 0 || load16(bytes + 2) != 1 || load16(bytes + 4) == 0) {
        return std::nullopt;
    }
    const size_t count = load16(bytes + 4);
    if (6 + 16 * count > size) {
        throw PackError("the icon " + quoteForMessage(name) +
                        " is a damaged Windows icon: its directory is cut short");
    }
    std::vector<IconEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* entry = bytes + 6 + 16 * i;
        unsigned width = entry[0] ? entry[0] : 256;
        unsigned height = entry[1] ? entry[1] : 256;
        entries.push_back({std::max(width, height), load32(entry + 12), load32(entry + 8)});
    }
    return entries;
}

// A Windows icon file: its largest image, which must be PNG-encoded (the
// classic bitmap form is not taken). Anything else is returned unchanged.
Slice largestIconImage(const unsigned char* bytes, size_t size, const std::string& name) {
    std::optional<std::vector<IconEntry>> entries = iconDirectory(bytes, size, name);
    if (!entries) {
        return {bytes, size};
    }
    const IconEntry* best = &entries->front();
    for (const IconEntry& entry : *entries) {
        if (entry.side > best->side) {
            best = &entry;
        }
    }
    if (best->offset + best->length > size) {
        throw PackError("the icon " + quoteForMessage(name) +
                        " is a damaged Windows icon: an image lies past its end");
    }
    if (!isPng(bytes + best->offset, best->length)) {
        throw PackError("the icon " + quoteForMessage(name) + ": its largest image (" +
                        std::to_string(best->side) +
                        " pixels) is not PNG-encoded; give the icon as a PNG file");
    }
    return {bytes + best->offset, static_cast<size_t>(best->length)};
}

// The first twelve bytes of an image's entry, which an icon file and an
// icon group resource share.
void putIconEntry(std::vector<unsigned char>& out, const IconImage& image) {
    // A side of 256 does not fit the byte: the format writes it as 0.
    unsigned char side = static_cast<unsigned char>(image.size >= 256 ? 0 : image.size);
    out.push_back(side); // width
    out.push_back(side); // height
    out.push_back(0);    // colours in a palette: none
    out.push_back(0);    // reserved
    put16(out, 1);       // planes
    put16(out, 32);      // bits per pixel
    put32(out, static_cast<uint32_t>(image.png.size()));
}

// stb_image (2.27, which Debian ships and the Windows packer compiles in)
// builds each Huffman table of a JPEG into room for 256 codes without
// checking that the table's sixteen counts add up to no more, and so
// writes past it for a damaged file. Such a table is looked for first,
// wherever stb could read one: each marker is found as stb finds it, past
// fill bytes and the data of a scan (where a 0xFF byte is followed by a
// zero or a restart), and each segment skipped by its length, which is
// what stb reads of it when it goes on; a table's counts as stb reads
// them, zeros past the end. False for a JPEG with such a table.
bool jpegHuffmanTablesFit(const unsigned char* bytes, size_t size) {
    if (size < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
        return true; // not a JPEG
    }
    const auto byteAt = [&](size_t at) -> unsigned { return at < size ? bytes[at] : 0; };
    for (size_t at = 2; at < size;) {
        if (bytes[at++] != 0xFF) {
            continue;
        }
        while (at < size && bytes[at] == 0xFF) {
            ++at;
        }
        const unsigned marker = byteAt(at++);
        if (marker == 0xD9) {
            break; // the end of the image, where stb stops
        }
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            continue; // no segment follows
        }
        const size_t length = byteAt(at) << 8 | byteAt(at + 1);
        if (marker == 0xC4) {
            // Tables follow each other while the segment has bytes left.
            long left = static_cast<long>(length) - 2;
            for (size_t table = at + 3; left > 0;) {
                unsigned codes = 0;
                for (size_t i = 0; i < 16; ++i) {
                    codes += byteAt(table + i);
                }
                if (codes > 256) {
                    return false;
                }
                table += 17 + codes;
                left -= 17 + static_cast<long>(codes);
            }
        }
        at += length;
    }
    return true;
}

struct Pixels {
    std::unique_ptr<unsigned char, void (*)(void*)> data{nullptr, stbi_image_free};
    int width = 0, height = 0;
};

Pixels decode(const Slice& source, const std::string& name) {
    if (source.size > static_cast<size_t>(INT32_MAX)) {
        throw PackError("the icon " + quoteForMessage(name) + " is too large");
    }
    const int length = static_cast<int>(source.size);
    if (!jpegHuffmanTablesFit(source.bytes, source.size)) {
        throw PackError("the icon " + quoteForMessage(name) +
                        " is a damaged JPEG: a Huffman table holds more than 256 codes");
    }
    Pixels pixels;
    int channels = 0;
    if (!stbi_info_from_memory(source.bytes, length, &pixels.width, &pixels.height, &channels)) {
        throw PackError("cannot read the icon " + quoteForMessage(name) + ": " +
                        stbi_failure_reason() + " (give a PNG image)");
    }
    if (pixels.width > static_cast<int>(iconSourceLimit) ||
        pixels.height > static_cast<int>(iconSourceLimit)) {
        throw PackError("the icon " + quoteForMessage(name) + " is " +
                        std::to_string(pixels.width) + "x" + std::to_string(pixels.height) +
                        " pixels; an icon may be at most " + std::to_string(iconSourceLimit) +
                        " pixels a side (256 is best)");
    }
    pixels.data.reset(
        stbi_load_from_memory(source.bytes, length, &pixels.width, &pixels.height, &channels, 4));
    if (!pixels.data) {
        throw PackError("cannot decode the icon " + quoteForMessage(name) + ": " +
                        stbi_failure_reason());
    }
    return pixels;
}

// The source centred on a transparent square as wide as its longer side.
std::vector<unsigned char> square(const Pixels& pixels, unsigned side) {
    std::vector<unsigned char> out(static_cast<size_t>(side) * side * 4, 0);
    const size_t left = (side - pixels.width) / 2, top = (side - pixels.height) / 2;
    const size_t rowBytes = static_cast<size_t>(pixels.width) * 4;
    for (int y = 0; y < pixels.height; ++y) {
        std::memcpy(out.data() + ((top + y) * side + left) * 4, pixels.data.get() + y * rowBytes,
                    rowBytes);
    }
    return out;
}

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<unsigned char>*>(context);
    const auto* bytes = static_cast<const unsigned char*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

std::vector<unsigned char> encodePng(const unsigned char* rgba, unsigned side) {
    // stb's own deflate at its strongest: icons are small, and the
    // executable carries all seven.
    stbi_write_png_compression_level = 9;
    std::vector<unsigned char> png;
    if (!stbi_write_png_to_func(appendBytes, &png, static_cast<int>(side), static_cast<int>(side),
                                4, rgba, static_cast<int>(side * 4))) {
        throw PackError("cannot encode a " + std::to_string(side) + "-pixel icon image");
    }
    return png;
}

} // namespace

std::vector<IconImage> iconImagesFromBytes(const unsigned char* bytes, size_t size,
                                           const std::string& name) {
    Pixels pixels = decode(largestIconImage(bytes, size, name), name);
    const unsigned side = static_cast<unsigned>(std::max(pixels.width, pixels.height));
    std::vector<unsigned char> source = square(pixels, side);
    std::vector<IconImage> images;
    for (unsigned size : iconSizes) {
        IconImage image;
        image.size = size;
        if (size == side) {
            image.png = encodePng(source.data(), side);
        } else {
            std::vector<unsigned char> scaled(static_cast<size_t>(size) * size * 4);
            // Channel 3 is alpha: colours are weighted by it while filtering,
            // so transparent pixels do not bleed into the edges.
            if (!stbir_resize_uint8_srgb(
                    source.data(), static_cast<int>(side), static_cast<int>(side), 0, scaled.data(),
                    static_cast<int>(size), static_cast<int>(size), 0, 4, 3, 0)) {
                throw PackError("cannot scale the icon " + quoteForMessage(name) + " to " +
                                std::to_string(size) + " pixels");
            }
            image.png = encodePng(scaled.data(), size);
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::vector<IconImage> iconImagesFromFile(const fs::path& file) {
    const std::string name = pathToUtf8(file);
    const FileKind kind = kindOf(file);
    if (kind != FileKind::file) {
        throw PackError("the icon " + quoteForMessage(name) +
                        (kind == FileKind::missing ? " does not exist" : " is not a regular file"));
    }
    const MappedFile mapped(file);
    if (mapped.size() > iconFileLimit) {
        throw PackError("the icon " + quoteForMessage(name) + " is " +
                        std::to_string(mapped.size()) + " bytes; an icon file may be at most " +
                        std::to_string(iconFileLimit) + " bytes");
    }
    return iconImagesFromBytes(mapped.data(), mapped.size(), name);
}

std::vector<unsigned char> iconGroup(const std::vector<IconImage>& images, unsigned firstId) {
    std::vector<unsigned char> out;
    put16(out, 0);                                    // reserved
    put16(out, 1);                                    // an icon, not a cursor
    put16(out, static_cast<uint32_t>(images.size())); // images
    for (size_t i = 0; i < images.size(); ++i) {
        putIconEntry(out, images[i]);
        put16(out, firstId + static_cast<unsigned>(i));
    }
    return out;
}

std::vector<unsigned char> iconFile(const std::vector<IconImage>& images) {
    std::vector<unsigned char> out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const IconImage& image : images) {
        putIconEntry(out, image);
        put32(out, offset);
        offset += static_cast<uint32_t>(image.png.size());
    }
    for (const IconImage& image : images) {
        out.insert(out.end(), image.png.begin(), image.png.end());
    }
    return out;
}

std::optional<std::vector<IconImage>> iconFileImages(const unsigned char* bytes, size_t size) {
    std::optional<std::vector<IconEntry>> entries;
    try {
        entries = iconDirectory(bytes, size, "");
    } catch (const PackError&) {
        return std::nullopt;
    }
    if (!entries) {
        return std::nullopt;
    }
    std::vector<IconImage> images;
    for (const IconEntry& entry : *entries) {
        if (entry.offset + entry.length > size || !isPng(bytes + entry.offset, entry.length)) {
            return std::nullopt;
        }
        const unsigned char* image = bytes + entry.offset;
        images.push_back({entry.side, {image, image + entry.length}});
    }
    return images;
}
