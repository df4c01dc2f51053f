// libFuzzer target for --exclude-from files and the matching of exclusion
// patterns. An input is a file's content, then a zero byte, then paths
// below the input folder, one a line, "/" between names and a trailing "/"
// for a folder.
//
// The file's lines, which patterns parse, and what each matches are held
// against a plain reading of the rules (exclusions.h): lines split at line
// feeds, a byte order mark, comments, blank lines and trailing blanks left
// out; a pattern's names compared as code points by a table of every pair
// of pattern and name positions, so that no way of matching is missed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "packer/fuzz/fuzz_support.h"
#include "packer/payload/exclusions.h"
#include "packer/text.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "exclusion_fuzz: %s: %s\n", what, text.c_str());
    std::abort();
}

std::vector<std::pair<size_t, std::string>> plainLines(std::string_view content) {
    if (content.substr(0, 3) == "\xEF\xBB\xBF") {
        content.remove_prefix(3);
    }
    std::vector<std::pair<size_t, std::string>> lines;
    std::string line;
    size_t number = 1;
    const auto finish = [&] {
        while (!line.empty() &&
               (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
            line.pop_back();
        }
        if (!line.empty() && line[0] != '#') {
            lines.emplace_back(number, line);
        }
        line.clear();
        ++number;
    };
    for (char c : content) {
        if (c == '\n') {
            finish();
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        finish();
    }
    return lines;
}

std::u32string codePoints(const std::u16string& text) {
    std::u32string points;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        points += unit;
    }
    return points;
}

// One element of a name of a pattern: a character, "?", "*" or a set.
struct Token {
    enum Kind { character, any, star, set } kind = character;
    char32_t c = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;
    bool holds(char32_t x) const {
        bool found = false;
        for (const auto& [low, high] : ranges) {
            found |= low <= x && x <= high;
        }
        return found != negated;
    }
};

// A name of a pattern as tokens; nothing when a "[" has no "]". In a set,
// "!" or "^" first negates it, a "]" first is one of its characters, and
// "a-z" is a range unless the "-" comes last.
std::optional<std::vector<Token>> tokens(const std::u32string& name) {
    std::vector<Token> out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == U'*') {
            out.emplace_back().kind = Token::star;
        } else if (name[i] == U'?') {
            out.emplace_back().kind = Token::any;
        } else if (name[i] != U'[') {
            out.emplace_back().c = name[i];
        } else {
            Token set;
            set.kind = Token::set;
            size_t j = i + 1;
            if (j < name.size() && (name[j] == U'!' || name[j] == U'^')) {
                set.negated = true;
                ++j;
            }
            size_t close = name.find(U']', j < name.size() && name[j] == U']' ? j + 1 : j);
            if (close == std::u32string::npos) {
                return std::nullopt;
            }
            while (j < close) {
                if (j + 2 < close && name[j + 1] == U'-') {
                    set.ranges.emplace_back(name[j], name[j + 2]);
                    j += 3;
                } else {
                    set.ranges.emplace_back(name[j], name[j]);
                    j += 1;
                }
            }
            out.push_back(set);
            i = close;
        }
    }
    return out;
}

bool nameMatches(const std::vector<Token>& pattern, const std::u32string& name) {
    // at[p][n]: tokens from p on match the name from n on.
    std::vector<std::vector<char>> at(pattern.size() + 1, std::vector<char>(name.size() + 1, 0));
    at[pattern.size()][name.size()] = 1;
    for (size_t p = pattern.size(); p-- > 0;) {
        for (size_t n = name.size() + 1; n-- > 0;) {
            const Token& token = pattern[p];
            if (token.kind == Token::star) {
                at[p][n] = at[p + 1][n] || (n < name.size() && at[p][n + 1]);
            } else if (n < name.size()) {
                const bool one = token.kind == Token::any ||
                                 (token.kind == Token::character && token.c == name[n]) ||
                                 (token.kind == Token::set && token.holds(name[n]));
                at[p][n] = one && at[p + 1][n + 1];
            }
        }
    }
    return at[0][0];
}

struct PlainPattern {
    std::vector<std::optional<std::vector<Token>>> names; // nothing for "**"
    bool anchored = false;
    bool foldersOnly = false;
};

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

std::optional<PlainPattern> plainPattern(std::string text) {
    if (!utf8ToUtf16(text)) {
        return std::nullopt;
    }
    PlainPattern pattern;
    while (!text.empty() && isSeparator(text.back())) {
        pattern.foldersOnly = true;
        text.pop_back();
    }
    std::vector<std::string> names(1);
    for (char c : text) {
        if (isSeparator(c)) {
            pattern.anchored = true;
            names.emplace_back();
        } else {
            names.back() += c;
        }
    }
    for (const std::string& name : names) {
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            return std::nullopt;
        }
        if (name == "**") {
            pattern.names.emplace_back();
            continue;
        }
        std::optional<std::vector<Token>> parsed = tokens(codePoints(foldedName(name)));
        if (!parsed) {
            return std::nullopt;
        }
        pattern.names.push_back(std::move(parsed));
    }
    if (pattern.names.empty()) {
        return std::nullopt;
    }
    return pattern;
}

bool plainMatches(const PlainPattern& pattern, const std::vector<std::u32string>& names,
                  bool folder) {
    if ((pattern.foldersOnly && !folder) || names.empty()) {
        return false;
    }
    const auto& parts = pattern.names;
    if (!pattern.anchored) {
        // One name, "**" among them, which matches any.
        return !parts[0] || nameMatches(*parts[0], names.back());
    }
    std::vector<std::vector<char>> at(parts.size() + 1, std::vector<char>(names.size() + 1, 0));
    at[parts.size()][names.size()] = 1;
    for (size_t p = parts.size(); p-- > 0;) {
        for (size_t n = names.size() + 1; n-- > 0;) {
            if (!parts[p]) {
                at[p][n] = at[p + 1][n] || (n < names.size() && at[p][n + 1]);
            } else if (n < names.size()) {
                at[p][n] = nameMatches(*parts[p], names[n]) && at[p + 1][n + 1];
            }
        }
    }
    return at[0][0];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    const std::string content = input.until('\0');
    const auto lines = exclusionFileLines(content);
    if (lines != plainLines(content)) {
        fail("the file's lines are not its patterns", content);
    }

    Exclusions exclusions;
    std::vector<PlainPattern> plain; // of the patterns taken
    std::vector<std::string> origins;
    for (const auto& [number, text] : lines) {
        std::string problem;
        std::optional<ExclusionPattern> pattern = ExclusionPattern::parse(text, &problem);
        std::optional<PlainPattern> expected = plainPattern(text);
        if (pattern.has_value() != expected.has_value()) {
            fail(pattern ? "a pattern taken that breaks the rules" : "a sound pattern refused",
                 text);
        }
        if (pattern) {
            exclusions.add(std::move(*pattern), std::to_string(number));
            plain.push_back(std::move(*expected));
            origins.push_back(std::to_string(number));
        }
    }

    while (!input.empty()) {
        std::string line = input.until('\n');
        const bool folder = !line.empty() && line.back() == '/';
        if (folder) {
            line.pop_back();
        }
        std::vector<std::string> names(1);
        for (char c : line) {
            if (c == '/') {
                names.emplace_back();
            } else {
                names.back() += c;
            }
        }
        std::vector<std::u32string> folded;
        for (const std::string& name : names) {
            folded.push_back(codePoints(foldedName(name)));
        }
        // The first pattern that matches the path; for a file, the first
        // that matches it or a folder above it, the highest first.
        const auto firstMatching = [&](size_t length, bool isFolder) {
            const std::vector<std::u32string> path(folded.begin(), folded.begin() + length);
            for (size_t i = 0; i < plain.size(); ++i) {
                if (plainMatches(plain[i], path, isFolder)) {
                    return origins[i];
                }
            }
            return std::string("none");
        };
        const Exclusions::Rule* rule = exclusions.excluding(names, folder);
        if ((rule ? rule->origin : "none") != firstMatching(names.size(), folder)) {
            fail("a path left out by another pattern than the rules name", line);
        }
        std::string wanted = "none";
        for (size_t length = 1; length <= names.size() && wanted == "none"; ++length) {
            wanted = firstMatching(length, length < names.size());
        }
        rule = exclusions.excludingFile(names);
        if ((rule ? rule->origin : "none") != wanted) {
            fail("a file left out by another pattern than the rules name", line);
        }
    }
    return 0;
}
