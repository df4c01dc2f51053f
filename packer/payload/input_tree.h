// The files to pack: every regular file below the input directory, checked
// for names Windows can hold, the entry library first, the rest in byte-wise
// order of their archive paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/payload/archive_path.h"

struct InputFile {
    std::filesystem::path source; // the host file
    ArchivePath archivePath;      // its path in the archive
    uint64_t size = 0;            // its size when the tree was scanned
};

// Scans `inputDirectory` and returns the files in record order. Throws
// PackError naming the file for anything that cannot be packed: a name
// Windows cannot hold, a path too long, a symbolic link or other
// non-regular file, names equal but for case, a missing entry.
std::vector<InputFile> scanInputTree(const std::filesystem::path& inputDirectory,
                                     const std::string& entry);

// Bytes of the record stream for `files`: each path with its zero code unit,
// size field and content, then the terminator.
uint64_t recordStreamSize(const std::vector<InputFile>& files);
