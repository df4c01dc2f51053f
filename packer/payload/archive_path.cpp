#include "packer/payload/archive_path.h"

#include <algorithm>

#include "formats/archive_layout.h"
#include "formats/record_name.h"
#include "packer/error.h"
#include "packer/payload/case_fold_table.h"
#include "packer/text.h"

std::optional<ArchivePath> toArchivePath(const std::vector<std::string>& components,
                                         std::string* problem) {
    ArchivePath path;
    for (const std::string& component : components) {
        std::string why = nameProblem(component);
        if (!why.empty()) {
            *problem = "the name " + quoteForMessage(component) + " " + why;
            return std::nullopt;
        }
        if (!path.utf8.empty()) {
            path.utf8 += '\\';
        }
        path.utf8 += component;
    }
    path.utf16 = *utf8ToUtf16(path.utf8);
    if (path.utf16.size() > recordNameMaxUnits) {
        *problem = "its archive path is " + std::to_string(path.utf16.size()) +
                   " UTF-16 code units long; at most " + std::to_string(recordNameMaxUnits) +
                   " fit";
        return std::nullopt;
    }
    return path;
}

ArchivePath makeArchivePath(const std::vector<std::string>& components,
                            const std::string& displayPath) {
    std::string problem;
    std::optional<ArchivePath> path = toArchivePath(components, &problem);
    if (!path) {
        throw PackError(quoteForMessage(displayPath) + ": " + problem);
    }
    return *path;
}

std::vector<std::string> archivePathComponents(const std::string& utf8) {
    std::vector<std::string> components;
    for (size_t start = 0;;) {
        size_t end = utf8.find('\\', start);
        components.push_back(utf8.substr(start, end - start));
        if (end == std::string::npos) {
            return components;
        }
        start = end + 1;
    }
}

std::u16string caseFoldKey(std::u16string_view path) {
    const CaseFoldPair* const end = caseFoldPairs + caseFoldPairCount;
    std::u16string key(path);
    for (char16_t& unit : key) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        } else if (unit >= 0x80) {
            const CaseFoldPair* found = std::lower_bound(
                caseFoldPairs, end, unit,
                [](const CaseFoldPair& pair, char16_t value) { return pair.from < value; });
            if (found != end && found->from == unit) {
                unit = found->to;
            }
        }
    }
    return key;
}

std::string CaseFoldedTree::add(const std::u16string& path, const std::string& shown,
                                bool directory) {
    auto [it, inserted] = seen_.emplace(caseFoldKey(path), NameUse{shown, directory});
    if (inserted) {
        return {};
    }
    std::string problem;
    if (it->second.shown != shown) {
        problem = quoteForMessage(shown) + " and " + quoteForMessage(it->second.shown) +
                  " differ only in case; Windows would see one " +
                  (directory || it->second.directory ? "name" : "file") + " for both";
    } else if (it->second.directory != directory) {
        problem = quoteForMessage(shown) + " would be both a file and a directory";
    }
    return problem;
}

std::string CaseFoldedTree::addFile(const std::u16string& path, const std::string& shown) {
    // The directories above the file, as the path and as shown: the n-th
    // separator of one is the n-th of the other.
    size_t shownFrom = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == u'\\') {
            size_t separator = shown.find_first_of("\\/", shownFrom);
            shownFrom = separator + 1;
            std::string problem = add(path.substr(0, i), shown.substr(0, separator), true);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return add(path, shown, false);
}
