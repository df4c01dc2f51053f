// What the bootstrap reads besides the attached data: the product's company,
// name and version, where it unpacks, and its options, which the packer
// writes into the executable's slots for them (constant_slots.h). The product
// texts also fill the executable's version resource.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/archive_layout.h"

using VersionNumbers = std::array<uint16_t, 4>;

// How the bootstrap uses its target directory: each run unpacks into a
// directory of its own and removes it afterwards, or the build unpacks once
// into a directory of its own (named by its id, below where the spec says)
// that later runs start from.
enum class TargetMode { perRun, cached };

// "per-run" or "cached", as reports and the JSON output name the mode.
const char* targetModeName(TargetMode mode);

// The target directory's default path spec in `mode`; for a per-run build it
// is the one the bootstrap library holds.
std::u16string defaultTargetDirectorySpec(TargetMode mode);

struct BuildConstants {
    std::u16string companyName;   // may be empty
    std::u16string productName;   // the product's name
    std::u16string versionString; // dotted, four parts: the text of versionNumbers
    VersionNumbers versionNumbers = {};
    std::u16string targetDirectorySpec; // where each run unpacks, with {NAME} references
    TargetMode targetMode = TargetMode::perRun;
    uint32_t options = 0; // opt-in behaviours, the bits of formats/archive_layout.h
};

// The opt-in behaviours of a build, each a bit of BuildConstants::options,
// by the name of the packer's option without its dashes.
struct BuildOptionName {
    uint32_t bit;
    const char* name;
};
const std::vector<BuildOptionName>& buildOptionNames();

// The names of the options set in `options`, in the table's order; a bit
// that the table does not know is named "bit N".
std::vector<std::string> buildOptionList(uint32_t options);

// The defaults for an output file: no company, the output's file name
// without ".exe" as the product (or "onefile" when that name is not one
// that productText takes), version 0.0.0.0, the default target directory.
BuildConstants defaultBuildConstants(const std::filesystem::path& output);

// The four numbers of a version given as "A", "A.B", "A.B.C" or "A.B.C.D",
// each a decimal number from 0 to 65535; missing parts are 0. Nothing for
// any other text.
std::optional<VersionNumbers> parseVersion(std::string_view text);

// "A.B.C.D" without leading zeros.
std::u16string versionText(const VersionNumbers& numbers);

// Longest company or product name, in UTF-16 code units: what the
// bootstrap's slot holds besides the terminator.
constexpr size_t productTextLimit = productTextCapacity - 1;

// The UTF-16 of a company or product name given in UTF-8, or nothing with
// the reason in `problem`: malformed UTF-8, a control character, or more
// than productTextLimit code units.
std::optional<std::u16string> productText(std::string_view utf8, std::string* problem);
