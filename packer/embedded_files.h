// Files built into the packer, so that it needs nothing else at run time:
// those of resources/ (the application manifest, the version resource's
// string table), the default icon's images made from resources/icon.png, and
// the two bootstrap images that the Windows part of the build links
// (images/).
#pragma once

#include <cstddef>
#include <string_view>

struct EmbeddedFile {
    const unsigned char* data;
    size_t size;
    std::string_view text() const { return {reinterpret_cast<const char*>(data), size}; }
};

extern const EmbeddedFile embeddedManifest;         // resources/manifest.xml
extern const EmbeddedFile embeddedVersionStrings;   // resources/version_strings.txt
extern const EmbeddedFile embeddedDefaultIcon;      // its seven images, as an icon file
extern const EmbeddedFile embeddedGuiBootstrap;     // the bootstrap as a GUI program
extern const EmbeddedFile embeddedConsoleBootstrap; // the bootstrap as a console program
