// The files to pack: every regular file below the input directory that no
// exclusion leaves out, checked for names Windows can hold, the entry
// library first, the rest in byte-wise order of their archive paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/payload/archive_path.h"
#include "packer/payload/exclusions.h"

struct InputFile {
    std::filesystem::path source; // the host file
    std::string shown;            // its path below the input directory, "/" between names
    ArchivePath archivePath;      // its path in the archive
    uint64_t size = 0;            // its size when the tree was scanned
};

// Scans `inputDirectory` and returns the files in record order, leaving out
// what `exclusions` match. Throws PackError for an entry that is missing or
// left out, and for everything in the tree that cannot be packed, all of it
// in one message, each path as it lies below the input directory: names
// Windows cannot hold, paths too long, names equal but for case, symbolic
// links and other non-regular files, files and folders that cannot be read.
std::vector<InputFile> scanInputTree(const std::filesystem::path& inputDirectory,
                                     const std::string& entry,
                                     const Exclusions& exclusions = Exclusions());

// Bytes of the record stream for `files`: each path with its zero code unit,
// size field and content, then the terminator.
uint64_t recordStreamSize(const std::vector<InputFile>& files);
