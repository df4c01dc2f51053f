#include "packer/payload/exclusions.h"

#include <algorithm>

#include "packer/payload/archive_path.h"
#include "packer/text.h"

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The code point at `text[*at]`, a surrogate pair taken whole; `*at` moves past it.
char32_t nextCodePoint(std::u16string_view text, size_t* at) {
    char32_t unit = text[(*at)++];
    if (unit >= 0xD800 && unit <= 0xDBFF && *at < text.size() && text[*at] >= 0xDC00 &&
        text[*at] <= 0xDFFF) {
        return 0x10000 + ((unit - 0xD800) << 10) + (text[(*at)++] - 0xDC00);
    }
    return unit;
}

// The end of the set that begins with "[" at `open`, just past its "]"; npos
// when it has none. A "]" right after "[" or "[!" belongs to the set.
size_t setEnd(std::u16string_view pattern, size_t open) {
    size_t i = open + 1;
    if (i < pattern.size() && (pattern[i] == u'!' || pattern[i] == u'^')) {
        ++i;
    }
    if (i < pattern.size() && pattern[i] == u']') {
        ++i;
    }
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == u']') {
            return i + 1;
        }
    }
    return std::u16string_view::npos;
}

// Whether the set `pattern[open, end)` holds `c`.
bool setHolds(std::u16string_view pattern, size_t open, size_t end, char32_t c) {
    const size_t close = end - 1;
    size_t i = open + 1;
    const bool negated = pattern[i] == u'!' || pattern[i] == u'^';
    if (negated) {
        ++i;
    }
    bool found = false;
    while (i < close) {
        char32_t low = nextCodePoint(pattern, &i);
        char32_t high = low;
        if (i + 1 < close && pattern[i] == u'-') {
            ++i;
            high = nextCodePoint(pattern, &i);
        }
        found |= low <= c && c <= high;
    }
    return found != negated;
}

// One name against one name of a pattern; both folded.
bool nameMatches(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0;
    // Where the last "*" was, and how much of the name it has taken since.
    size_t starPattern = std::u16string_view::npos, starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starPattern = ++p;
            starName = n;
            continue;
        }
        if (p < pattern.size()) {
            size_t next = n;
            char32_t c = nextCodePoint(name, &next);
            if (pattern[p] == u'?') {
                p += 1;
                n = next;
                continue;
            }
            if (pattern[p] == u'[') {
                size_t end = setEnd(pattern, p);
                if (setHolds(pattern, p, end, c)) {
                    p = end;
                    n = next;
                    continue;
                }
            } else if (pattern[p] == name[n]) {
                p += 1;
                n += 1;
                continue;
            }
        }
        if (starPattern == std::u16string_view::npos) {
            return false;
        }
        // Let the last "*" take one more character and try again from there.
        p = starPattern;
        nextCodePoint(name, &starName);
        n = starName;
    }
    while (p < pattern.size() && pattern[p] == u'*') {
        ++p;
    }
    return p == pattern.size();
}

} // namespace

std::u16string foldedName(std::string_view name) {
    std::optional<std::u16string> utf16 = utf8ToUtf16(name);
    if (!utf16) {
        // Keep what is ASCII, so that "*.txt" still finds such a file.
        utf16.emplace();
        for (char c : name) {
            unsigned char byte = static_cast<unsigned char>(c);
            utf16->push_back(byte < 0x80 ? byte : u'\uFFFD');
        }
    }
    return caseFoldKey(*utf16);
}

std::optional<ExclusionPattern> ExclusionPattern::parse(std::string_view text,
                                                        std::string* problem) {
    if (!utf8ToUtf16(text)) {
        *problem = "is not UTF-8";
        return std::nullopt;
    }
    ExclusionPattern pattern;
    pattern.text_ = std::string(text);
    while (!text.empty() && isSeparator(text.back())) {
        pattern.foldersOnly_ = true;
        text.remove_suffix(1);
    }
    pattern.anchored_ = text.find_first_of("/\\") != std::string_view::npos;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view name = text.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue; // "a//b" is "a/b", and "./a" is "a" anchored
        }
        if (name == "..") {
            *problem = "climbs out of INPUT_DIR with '..'; patterns match paths inside it";
            return std::nullopt;
        }
        std::u16string folded = caseFoldKey(*utf8ToUtf16(name));
        for (size_t i = 0; i < folded.size(); ++i) {
            if (folded[i] == u'[') {
                size_t end = setEnd(folded, i);
                if (end == std::u16string::npos) {
                    *problem = "has a '[' without its ']' in " + quoteForMessage(name);
                    return std::nullopt;
                }
                i = end - 1;
            }
        }
        if (folded == u"**" && !pattern.names_.empty() && pattern.names_.back() == u"**") {
            continue;
        }
        pattern.names_.push_back(std::move(folded));
    }
    if (pattern.names_.empty()) {
        *problem = "names nothing";
        return std::nullopt;
    }
    return pattern;
}

// The pattern's names read the path's as an automaton: after each name of
// the path, the positions in the pattern that the names so far can have
// brought it to. Each pair of a position and a path name is tried once, so a
// pattern of many "**" costs no more than their number times the path's
// depth (trying every way of spreading the names over them would multiply).
bool ExclusionPattern::matchesAnchored(const std::vector<std::u16string>& names) const {
    const size_t end = names_.size();
    std::vector<char> reached(end + 1, 0), next(end + 1, 0);
    reached[0] = 1;
    for (size_t name = 0;; ++name) {
        // "**" may span no folder at all: what follows it is reached too.
        for (size_t pattern = 0; pattern < end; ++pattern) {
            if (reached[pattern] && names_[pattern] == u"**") {
                reached[pattern + 1] = 1;
            }
        }
        if (name == names.size()) {
            return reached[end] != 0;
        }
        std::fill(next.begin(), next.end(), 0);
        bool any = false;
        for (size_t pattern = 0; pattern < end; ++pattern) {
            if (!reached[pattern]) {
                continue;
            }
            ++matchSteps_;
            if (names_[pattern] == u"**") {
                next[pattern] = 1; // it takes this name, and may take more
                any = true;
            } else if (nameMatches(names_[pattern], names[name])) {
                next[pattern + 1] = 1;
                any = true;
            }
        }
        if (!any) {
            return false;
        }
        reached.swap(next);
    }
}

bool ExclusionPattern::matches(const std::vector<std::u16string>& foldedNames, bool folder) const {
    if ((foldersOnly_ && !folder) || foldedNames.empty()) {
        return false;
    }
    if (!anchored_) {
        ++matchSteps_;
        return nameMatches(names_.front(), foldedNames.back());
    }
    return matchesAnchored(foldedNames);
}

std::vector<std::pair<size_t, std::string>> exclusionFileLines(std::string_view content) {
    std::vector<std::pair<size_t, std::string>> lines;
    // Windows editors may begin a UTF-8 file with a byte order mark, which
    // would otherwise become part of the first pattern and match nothing.
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (content.substr(0, byteOrderMark.size()) == byteOrderMark) {
        content.remove_prefix(byteOrderMark.size());
    }
    size_t number = 0;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        std::string_view line = content.substr(start, end - start);
        start = end + 1;
        ++number;
        while (!line.empty() &&
               (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (!line.empty() && line.front() != '#') {
            lines.emplace_back(number, std::string(line));
        }
    }
    return lines;
}

void Exclusions::add(ExclusionPattern pattern, std::string origin) {
    rules_.push_back({std::move(pattern), std::move(origin)});
}

const Exclusions::Rule* Exclusions::excluding(const std::vector<std::string>& names,
                                              bool folder) const {
    if (rules_.empty()) {
        return nullptr;
    }
    std::vector<std::u16string> folded;
    for (const std::string& name : names) {
        folded.push_back(foldedName(name));
    }
    for (const Rule& rule : rules_) {
        if (rule.pattern.matches(folded, folder)) {
            return &rule;
        }
    }
    return nullptr;
}

const Exclusions::Rule* Exclusions::excludingFile(const std::vector<std::string>& names) const {
    for (size_t length = 1; length <= names.size(); ++length) {
        std::vector<std::string> path(names.begin(), names.begin() + length);
        if (const Rule* rule = excluding(path, length < names.size())) {
            return rule;
        }
    }
    return nullptr;
}
