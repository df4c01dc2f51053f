#include "packer/payload/archive_path.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

#include "archive/layout.h"
#include "packer/error.h"
#include "packer/text.h"

namespace {

// Names that Windows maps to devices, also with an extension ("NUL.txt").
const char* const deviceNames[] = {
    "CON",         "PRN",         "AUX",         "NUL",         "COM1",        "COM2",
    "COM3",        "COM4",        "COM5",        "COM6",        "COM7",        "COM8",
    "COM9",        "LPT1",        "LPT2",        "LPT3",        "LPT4",        "LPT5",
    "LPT6",        "LPT7",        "LPT8",        "LPT9",        "COM\xC2\xB9", "COM\xC2\xB2",
    "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3", "CONIN$",      "CONOUT$"};

bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 'a' + 'A');
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - 'a' + 'A');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string nameProblem(std::string_view component) {
    if (component.empty()) {
        return "is empty";
    }
    for (char c : component) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20) {
            return "contains a control character";
        }
        switch (c) {
        case '<':
        case '>':
        case ':':
        case '"':
        case '|':
        case '?':
        case '*':
        case '\\':
        case '/':
            return std::string("contains the character '") + c +
                   "', which Windows does not allow in names";
        default:
            break;
        }
    }
    if (component.back() == '.') {
        return "ends in a dot, which Windows drops";
    }
    if (component.back() == ' ') {
        return "ends in a space, which Windows drops";
    }
    // The device check looks at the part before the first dot, without the
    // spaces Windows would drop from its end.
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    for (const char* device : deviceNames) {
        if (equalIgnoringAsciiCase(stem, device)) {
            return "is the reserved device name " + std::string(device) +
                   " on Windows, also with an extension";
        }
    }
    if (!utf8ToUtf16(component)) {
        return "is not valid UTF-8";
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
