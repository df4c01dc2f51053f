#include "packer/image/executable_resources.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "packer/embedded_files.h"
#include "packer/little_endian.h"
#include "packer/text.h"

namespace {

// The fixed part of the version resource (VS_FIXEDFILEINFO).
constexpr uint32_t fixedSignature = 0xFEEF04BD;
constexpr uint32_t fixedStructureVersion = 0;
constexpr uint32_t fixedFlagsMask = 0x3F;    // every VS_FF_ flag is meaningful...
constexpr uint32_t fixedFlags = 0;           // ...and none is set: a release build
constexpr uint32_t fixedOperatingSystem = 4; // VOS__WINDOWS32
constexpr uint32_t fixedFileType = 1;        // VFT_APP
constexpr uint32_t fixedFileSubtype = 0;
constexpr const char16_t* stringTableName = u"000004b0"; // language neutral, UTF-16
constexpr uint16_t translationLanguage = 0;
constexpr uint16_t translationCodePage = 1200;

constexpr uint16_t valueBinary = 0;
constexpr uint16_t valueText = 1;

void alignTo32Bits(std::vector<unsigned char>& out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

// One block of the version resource: length, value length, type, key,
// value, children, each of the last three starting on a 32-bit boundary.
// Blocks are built from offset 0, a multiple of 4, so that alignment inside
// a block is alignment in the whole resource.
std::vector<unsigned char> block(std::u16string_view key, uint16_t type, uint16_t valueLength,
                                 const std::vector<unsigned char>& value,
                                 const std::vector<std::vector<unsigned char>>& children) {
    std::vector<unsigned char> out;
    put16(out, 0); // the length, set below
    put16(out, valueLength);
    put16(out, type);
    putTerminatedUtf16(out, key);
    alignTo32Bits(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const std::vector<unsigned char>& child : children) {
        alignTo32Bits(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    if (out.size() > 0xFFFF) {
        throw std::length_error("the version resource is too large");
    }
    storeLittleEndian(out.data(), out.size(), 2);
    return out;
}

std::vector<unsigned char> stringBlock(std::u16string_view key, std::u16string_view value) {
    std::vector<unsigned char> text;
    putTerminatedUtf16(text, value);
    // The value's length counts characters, its terminator included.
    return block(key, valueText, static_cast<uint16_t>(value.size() + 1), text, {});
}

// A template line's value with @COMPANY@, @PRODUCT@ and @VERSION@ filled
// in, in one pass, so that a name holding such a word stays as it is.
std::u16string fill(std::string_view text, const BuildConstants& constants) {
    const std::pair<std::string_view, const std::u16string*> names[] = {
        {"@COMPANY@", &constants.companyName},
        {"@PRODUCT@", &constants.productName},
        {"@VERSION@", &constants.versionString}};
    std::u16string out;
    size_t literal = 0, i = 0;
    auto flush = [&](size_t end) {
        std::optional<std::u16string> part = utf8ToUtf16(text.substr(literal, end - literal));
        if (!part) {
            throw std::logic_error("the version strings template is not UTF-8");
        }
        out += *part;
    };
    while (i < text.size()) {
        bool replaced = false;
        for (const auto& [name, value] : names) {
            if (text.compare(i, name.size(), name) == 0) {
                flush(i);
                out += *value;
                i += name.size();
                literal = i;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            ++i;
        }
    }
    flush(text.size());
    return out;
}

std::vector<std::vector<unsigned char>> stringTableEntries(const BuildConstants& constants) {
    std::vector<std::vector<unsigned char>> entries;
    std::string_view text = embeddedVersionStrings.text();
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            throw std::logic_error("the version strings template has a line without a key");
        }
        std::u16string key = fill(line.substr(0, equals), constants);
        entries.push_back(stringBlock(key, fill(line.substr(equals + 1), constants)));
    }
    return entries;
}

} // namespace

std::vector<unsigned char> versionResource(const BuildConstants& constants) {
    const VersionNumbers& v = constants.versionNumbers;
    const uint32_t mostSignificant = static_cast<uint32_t>(v[0]) << 16 | v[1];
    const uint32_t leastSignificant = static_cast<uint32_t>(v[2]) << 16 | v[3];
    std::vector<unsigned char> fixed;
    put32(fixed, fixedSignature);
    put32(fixed, fixedStructureVersion);
    put32(fixed, mostSignificant); // file version
    put32(fixed, leastSignificant);
    put32(fixed, mostSignificant); // product version
    put32(fixed, leastSignificant);
    put32(fixed, fixedFlagsMask);
    put32(fixed, fixedFlags);
    put32(fixed, fixedOperatingSystem);
    put32(fixed, fixedFileType);
    put32(fixed, fixedFileSubtype);
    put32(fixed, 0); // date, most significant half
    put32(fixed, 0); // date, least significant half

    std::vector<unsigned char> stringTable =
        block(stringTableName, valueText, 0, {}, stringTableEntries(constants));
    std::vector<unsigned char> stringFileInfo =
        block(u"StringFileInfo", valueText, 0, {}, {stringTable});

    std::vector<unsigned char> translation;
    put16(translation, translationLanguage);
    put16(translation, translationCodePage);
    std::vector<unsigned char> var = block(
        u"Translation", valueBinary, static_cast<uint16_t>(translation.size()), translation, {});
    std::vector<unsigned char> varFileInfo = block(u"VarFileInfo", valueText, 0, {}, {var});

    return block(u"VS_VERSION_INFO", valueBinary, static_cast<uint16_t>(fixed.size()), fixed,
                 {stringFileInfo, varFileInfo});
}

std::vector<Resource> executableResources(const BuildConstants& constants,
                                          const std::vector<IconImage>& icon) {
    std::vector<Resource> resources;
    const uint16_t firstIconId = 1;
    for (size_t i = 0; i < icon.size(); ++i) {
        resources.push_back(
            {resourceTypeIcon, static_cast<uint16_t>(firstIconId + i), icon[i].png});
    }
    resources.push_back({resourceTypeIconGroup, 1, iconGroup(icon, firstIconId)});
    resources.push_back({resourceTypeVersion, 1, versionResource(constants)});
    resources.push_back(
        {resourceTypeManifest, 1,
         std::vector<unsigned char>(embeddedManifest.data,
                                    embeddedManifest.data + embeddedManifest.size)});
    return resources;
}
