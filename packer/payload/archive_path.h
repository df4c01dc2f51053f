// The rules an archive path must meet so that Windows can create the file it
// names: each component a name Windows can hold, the whole path short enough
// for the bootstrap's name buffer.
#pragma once

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

// A key under which names that Windows treats as equal are equal: the
// UTF-16 text with each code unit upper-cased.
std::u16string caseFoldKey(std::u16string_view path);
