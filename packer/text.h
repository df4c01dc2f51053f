// Conversions between the UTF-8 of host file names and the UTF-16 that the
// archive stores.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-16 of well-formed UTF-8; nothing for malformed input (overlong forms,
// surrogates, code points beyond U+10FFFF, cut sequences).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

// UTF-8 of UTF-16; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// The text quoted for a message: printable ASCII as is, everything else of
// the control range escaped, so that a hostile name cannot garble a terminal.
std::string quoteForMessage(std::string_view text);
