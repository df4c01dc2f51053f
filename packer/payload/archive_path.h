// The rules an archive path must meet so that Windows can create the file it
// names: each component a name Windows can hold, the whole path short enough
// for the bootstrap's name buffer.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Why Windows cannot hold `component` as a file or directory name, or an
// empty text when it can. `component` is UTF-8.
std::string nameProblem(std::string_view component);

// The archive path of a relative host path given as its components:
// components joined with "\". Throws PackError naming `displayPath` when a
// component is refused, the text is not UTF-8, or the path is longer than
// an archive path may be.
struct ArchivePath {
    std::string utf8;     // "\" separated, for sorting, messages and listings
    std::u16string utf16; // what the record stores
};
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
    // Adds a file's archive path and the directories above it. Throws
    // PackError when a name differs from one added before only in case, or
    // when a file and a directory would share a name. The same path twice
    // is one file recorded twice.
    void addFile(const std::u16string& path, const std::string& utf8);

  private:
    struct NameUse {
        std::string utf8; // the path as first met
        bool directory;
    };
    void add(const std::u16string& path, const std::string& utf8, bool directory);
    std::map<std::u16string, NameUse> seen_;
};
