// What the bootstrap reads at build time besides the attached data: the
// product's company, name and version, in the object file the packer links.
#pragma once

#include <filesystem>
#include <string>

struct BuildConstants {
    std::u16string companyName;   // may be empty
    std::u16string productName;   // the product's name
    std::u16string versionString; // dotted, four parts
};

// The defaults for an output file: no company, the output's file name
// without ".exe" as the product, version 0.0.0.0.
BuildConstants defaultBuildConstants(const std::filesystem::path& output);
