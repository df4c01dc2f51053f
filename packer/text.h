// Conversions between the UTF-8 of host file names and the UTF-16 that the
// archive stores.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// UTF-16 of well-formed UTF-8; nothing for malformed input (overlong forms,
// surrogates, code points beyond U+10FFFF, cut sequences).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

// UTF-8 of UTF-16; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// Appends the UTF-8 form of one code point (up to U+10FFFF).
void appendUtf8(std::string& out, uint32_t code);

// `name` without a final ".exe" in any case, as Windows matches it; a name
// that is only ".exe" stays as it is.
template <typename Char> std::basic_string<Char> withoutExeSuffix(std::basic_string<Char> name) {
    const char suffix[] = ".exe";
    const size_t length = sizeof suffix - 1;
    if (name.size() <= length) {
        return name;
    }
    for (size_t i = 0; i < length; ++i) {
        auto c = name[name.size() - length + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<Char>(c - 'A' + 'a');
        }
        if (c != static_cast<Char>(suffix[i])) {
            return name;
        }
    }
    return name.substr(0, name.size() - length);
}

// The text quoted for a message: printable ASCII as is, everything else of
// the control range escaped, so that a hostile name cannot garble a terminal.
std::string quoteForMessage(std::string_view text);
