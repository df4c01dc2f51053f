// The commands that read what onefile-pack made: info, list, extract and
// verify. Each throws PackError naming the file for the first problem.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "packer/warnings.h"

// onefile-pack info: sizes, frame settings, records, the entry and its
// check, the build constants and the signature, and what the loader would
// not find of the package's imports (`allowMissing` may be missing), as
// text or JSON.
void runInfoCommand(const std::filesystem::path& file, bool json,
                    const std::vector<std::string>& allowMissing);

// onefile-pack list: one line a record, "<size> <path>", or JSON.
// recordListingLine makes the line, for list and for a pack's dry run
// alike, so that what a dry run shows is what list shows of the result.
void runListCommand(const std::filesystem::path& file, bool verbose, bool json);
std::string recordListingLine(uint64_t size, std::u16string_view path);

// onefile-pack extract: the records as files below `directory`, which is
// created, or must be empty unless `force`. Nothing is written before the
// whole frame has been checked; a failure while writing removes what this
// run created.
void runExtractCommand(const std::filesystem::path& file, const std::filesystem::path& directory,
                       bool force);

// onefile-pack verify: decodes the whole frame and checks its checksum, the
// records, the terminator, the entry and the package's imports (where
// `allowMissing` may be missing); says so on standard output when all are
// sound.
void runVerifyCommand(const std::filesystem::path& file,
                      const std::vector<std::string>& allowMissing,
                      const std::set<Warning>& silenced = {});
