// The rules for the names in a record path, in one place for the packer,
// which refuses to store a path that breaks them, and the bootstrap, which
// refuses to unpack one. A name that keeps them is created by Windows under
// exactly that name, inside the directory it is joined to: it cannot climb
// out ("." and ".."), name a drive, a stream or a device, or be silently
// rewritten into another name (a trailing dot or space).
//
// Both sides work on UTF-16 code units (`Unit` is char16_t in the packer,
// wchar_t in the bootstrap); the checks need nothing of a run-time library.
#pragma once

#include <stddef.h>

enum class NameProblem {
    none,
    empty,             // also what a leading, trailing or doubled separator leaves
    controlCharacter,  // below U+0020
    reservedCharacter, // < > : " | ? * \ / (":" also makes drives and streams)
    trailingDot,       // dropped by Windows; also "." and ".."
    trailingSpace,     // dropped by Windows
    deviceName,        // CON, NUL, COM1 ...: a device, also with an extension
};

struct NameVerdict {
    NameProblem problem;
    char16_t character;     // the offending character, for reservedCharacter and controlCharacter
    const char16_t* device; // the device name, for deviceName
};

// Names that Windows maps to devices, also with an extension ("NUL.txt").
constexpr const char16_t* recordNameDevices[] = {
    u"CON",       u"PRN",       u"AUX",       u"NUL",       u"COM1",      u"COM2",
    u"COM3",      u"COM4",      u"COM5",      u"COM6",      u"COM7",      u"COM8",
    u"COM9",      u"LPT1",      u"LPT2",      u"LPT3",      u"LPT4",      u"LPT5",
    u"LPT6",      u"LPT7",      u"LPT8",      u"LPT9",      u"COM\u00B9", u"COM\u00B2",
    u"COM\u00B3", u"LPT\u00B9", u"LPT\u00B2", u"LPT\u00B3", u"CONIN$",    u"CONOUT$"};

// The `length` code units at `name` (one name, no separators expected) judged
// against the rules; the first problem found, in the order of NameProblem.
template <typename Unit> constexpr NameVerdict judgeRecordName(const Unit* name, size_t length) {
    if (length == 0) {
        return {NameProblem::empty, 0, nullptr};
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned long c = static_cast<unsigned long>(name[i]);
        if (c < 0x20) {
            return {NameProblem::controlCharacter, static_cast<char16_t>(c), nullptr};
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
            return {NameProblem::reservedCharacter, static_cast<char16_t>(c), nullptr};
        default:
            break;
        }
    }
    unsigned long last = static_cast<unsigned long>(name[length - 1]);
    if (last == '.') {
        return {NameProblem::trailingDot, 0, nullptr};
    }
    if (last == ' ') {
        return {NameProblem::trailingSpace, 0, nullptr};
    }
    // The device check looks at the part before the first dot, without the
    // spaces Windows would drop from its end, in any ASCII letter case.
    size_t stem = 0;
    while (stem < length && static_cast<unsigned long>(name[stem]) != '.') {
        ++stem;
    }
    while (stem > 0 && static_cast<unsigned long>(name[stem - 1]) == ' ') {
        --stem;
    }
    for (const char16_t* device : recordNameDevices) {
        size_t i = 0;
        for (; i < stem && device[i] != 0; ++i) {
            unsigned long a = static_cast<unsigned long>(name[i]);
            if (a >= 'a' && a <= 'z') {
                a -= 'a' - 'A';
            }
            if (a != static_cast<unsigned long>(device[i])) {
                break;
            }
        }
        if (i == stem && device[i] == 0) {
            return {NameProblem::deviceName, 0, device};
        }
    }
    return {NameProblem::none, 0, nullptr};
}

// True when every name of the zero-terminated record path `path` keeps the
// rules. Both "\" and "/" separate names: Windows reads "/" as "\" in the
// paths that the path is joined into.
template <typename Unit> constexpr bool isSafeRecordPath(const Unit* path) {
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        unsigned long c = static_cast<unsigned long>(path[i]);
        if (c == 0 || c == '\\' || c == '/') {
            if (judgeRecordName(path + start, i - start).problem != NameProblem::none) {
                return false;
            }
            if (c == 0) {
                return true;
            }
            start = i + 1;
        }
    }
}
