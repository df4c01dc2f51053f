// The rules an archive path must meet so that Windows can create the file it
// names: each component a name Windows can hold, the whole path short enough
// for the bootstrap's name buffer.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packer/windows_names.h"

// The archive path of a relative host path given as its components:
// components joined with "\".
struct ArchivePath {
    std::string utf8;     // "\" separated, for sorting and listings
    std::u16string utf16; // what the record stores
};

// The archive path of `components`, or nothing with the reason in `problem`:
// a component is refused, the text is not UTF-8, or the path is longer
// than an archive path may be.
std::optional<ArchivePath> toArchivePath(const std::vector<std::string>& components,
                                         std::string* problem);

// The same, throwing PackError naming `displayPath` for a refused path.
ArchivePath makeArchivePath(const std::vector<std::string>& components,
                            const std::string& displayPath);

// The names of a "\" separated archive path, empty ones included.
std::vector<std::string> archivePathComponents(const std::string& utf8);

// A key under which names that Windows treats as equal are equal: the
// UTF-16 text with each code unit upper-cased.
std::u16string caseFoldKey(std::u16string_view path);

// The paths of a tree as Windows sees them, where names equal but for case
// are one name: two such names would be one file there, and the later
// record would silently replace the earlier.
class CaseFoldedTree {
  public:
    // Adds a file's archive path and the directories above it. `shown` is
    // the path as messages name it, with "\" or "/" where `path` has "\".
    // Returns why the file cannot be added, or "" when it can: a name that
    // differs from one added before only in case, or a file and a directory
    // that would share a name. The same path twice is one file recorded twice.
    [[nodiscard]] std::string addFile(const std::u16string& path, const std::string& shown);

  private:
    struct NameUse {
        std::string shown; // the path as first met
        bool directory;
    };
    std::string add(const std::u16string& path, const std::string& shown, bool directory);
    std::map<std::u16string, NameUse> seen_;
};
