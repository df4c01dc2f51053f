#include "packer/payload/archive_path.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

#include "archive/layout.h"
#include "archive/record_name.h"
#include "packer/error.h"
#include "packer/text.h"

std::string nameProblem(std::string_view component) {
    // The rules themselves are shared with the bootstrap, which refuses to
    // unpack what breaks them; they judge the UTF-16 that the record stores.
    std::optional<std::u16string> utf16 = utf8ToUtf16(component);
    if (!utf16) {
        return "is not valid UTF-8";
    }
    NameVerdict verdict = judgeRecordName(utf16->data(), utf16->size());
    switch (verdict.problem) {
    case NameProblem::none:
        break;
    case NameProblem::empty:
        return "is empty";
    case NameProblem::controlCharacter:
        return "contains a control character";
    case NameProblem::reservedCharacter:
        return std::string("contains the character '") + static_cast<char>(verdict.character) +
               "', which Windows does not allow in names";
    case NameProblem::trailingDot:
        return "ends in a dot, which Windows drops";
    case NameProblem::trailingSpace:
        return "ends in a space, which Windows drops";
    case NameProblem::deviceName:
        return "is the reserved device name " + utf16ToUtf8(verdict.device) +
               " on Windows, also with an extension";
    }
    return {};
}

ArchivePath makeArchivePath(const std::vector<std::string>& components,
                            const std::string& displayPath) {
    ArchivePath path;
    for (const std::string& component : components) {
        std::string problem = nameProblem(component);
        if (!problem.empty()) {
            throw PackError(quoteForMessage(displayPath) + ": the name " +
                            quoteForMessage(component) + " " + problem);
        }
        if (!path.utf8.empty()) {
            path.utf8 += '\\';
        }
        path.utf8 += component;
    }
    path.utf16 = *utf8ToUtf16(path.utf8);
    if (path.utf16.size() > recordNameMaxUnits) {
        throw PackError(quoteForMessage(displayPath) + ": its archive path is " +
                        std::to_string(path.utf16.size()) + " UTF-16 code units long; at most " +
                        std::to_string(recordNameMaxUnits) + " fit");
    }
    return path;
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
    // Windows folds names through a table of simple upper-case mappings of
    // single UTF-16 code units; the C.UTF-8 locale has the same mappings.
    static locale_t folding = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u16string key(path);
    for (char16_t& unit : key) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        } else if (unit >= 0x80 && (unit < 0xD800 || unit > 0xDFFF) && folding) {
            wint_t upper = towupper_l(static_cast<wint_t>(unit), folding);
            if (upper <= 0xFFFF) {
                unit = static_cast<char16_t>(upper);
            }
        }
    }
    return key;
}

void CaseFoldedTree::add(const std::u16string& path, const std::string& utf8, bool directory) {
    auto [it, inserted] = seen_.emplace(caseFoldKey(path), NameUse{utf8, directory});
    if (inserted) {
        return;
    }
    if (it->second.utf8 != utf8) {
        throw PackError(quoteForMessage(utf8) + " and " + quoteForMessage(it->second.utf8) +
                        " differ only in case; Windows would see one " +
                        (directory || it->second.directory ? "name" : "file") + " for both");
    }
    if (it->second.directory != directory) {
        throw PackError(quoteForMessage(utf8) + " would be both a file and a directory");
    }
}

void CaseFoldedTree::addFile(const std::u16string& path, const std::string& utf8) {
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == u'\\') {
            std::u16string directory = path.substr(0, i);
            add(directory, utf16ToUtf8(directory), true);
        }
    }
    add(path, utf8, false);
}
