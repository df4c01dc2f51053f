// Files of resources/ built into the packer: the application manifest, the
// version resource's string table and the default icon.
#pragma once

#include <cstddef>
#include <string_view>

struct EmbeddedFile {
    const unsigned char* data;
    size_t size;
    std::string_view text() const { return {reinterpret_cast<const char*>(data), size}; }
};

extern const EmbeddedFile embeddedManifest;       // resources/manifest.xml
extern const EmbeddedFile embeddedVersionStrings; // resources/version_strings.txt
extern const EmbeddedFile embeddedDefaultIcon;    // resources/icon.png
