#include "paths/path_spec.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <shlobj.h>

#include "base/build_constants.h"
#include "base/shell.h"
#include "base/state.h"
#include "errors/errors.h"
#include "paths/environment.h"
#include "formats/spec_references.h"

namespace {

const wchar_t base64UrlAlphabet[] =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The result so far: its text, its length and the capacity it must stay within.
struct Expansion {
    wchar_t* output;
    size_t length;
    size_t capacity;
};

size_t roomLeft(const Expansion& e) {
    return e.capacity - e.length;
}

// A literal that does not fit fails the expansion.
bool appendLiteral(Expansion& e, wchar_t c) {
    if (roomLeft(e) < 2) {
        return false;
    }
    e.output[e.length++] = c;
    e.output[e.length] = 0;
    return true;
}

// A value that does not fit ends the process: it is not the spec's fault.
void appendValue(Expansion& e, const wchar_t* value) {
    for (; *value != 0; ++value) {
        if (roomLeft(e) < 2) {
            terminateImmediately();
        }
        e.output[e.length++] = *value;
    }
    e.output[e.length] = 0;
}

void removeTrailingBackslashes(Expansion& e) {
    while (e.length > 0 && e.output[e.length - 1] == L'\\') {
        e.output[--e.length] = 0;
    }
}

// Narrow text widened one character at a time, into a fresh wide buffer.
void widenInto(const char* narrow, wchar_t* wide) {
    size_t i = 0;
    for (; narrow[i] != 0; ++i) {
        wide[i] = widenAsciiCharacter(narrow[i]);
    }
    wide[i] = 0;
}

uint32_t foldTo32(uint64_t value) {
    return static_cast<uint32_t>(value) ^ static_cast<uint32_t>(value >> 32);
}

// The program name as started, expanded in place at the end of the result.
bool appendProgramName(Expansion& e, size_t* inserted) {
    size_t start = e.length;
    if (!expandPathSpec(e.output + start, L"{PROGRAM}", roomLeft(e))) {
        return false;
    }
    *inserted = wcslen(e.output + start);
    e.length += *inserted;
    return true;
}

bool appendFolder(Expansion& e, int folder) {
    wchar_t path[MAX_PATH];
    if (shellGetFolderPath(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return false;
    }
    appendValue(e, path);
    removeTrailingBackslashes(e);
    return true;
}

bool isAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// At least one character, each an ASCII digit.
bool isDigits(const wchar_t* value) {
    if (*value == 0) {
        return false;
    }
    for (; *value != 0; ++value) {
        if (!isAsciiDigit(*value)) {
            return false;
        }
    }
    return true;
}

// What makeRandomString writes: exactly eleven characters of the alphabet.
bool isRandomValue(const wchar_t* value) {
    size_t length = 0;
    for (; value[length] != 0; ++length) {
        if (length == randomStringLength || wcschr(base64UrlAlphabet, value[length]) == nullptr) {
            return false;
        }
    }
    return length == randomStringLength;
}

// What makeFreshMicroseconds writes: exactly six digits.
bool isMicrosecondsValue(const wchar_t* value) {
    return wcslen(value) == 6 && isDigits(value);
}

// A value handed down from the parent, or a fresh one that is stored for the
// child (and for later references in this process) before it is inserted.
// Anyone can set the variables before starting the program, and the child
// joins the result to a folder unchecked: an inherited value that is not of
// the form its own fresh value has fails the expansion.
bool appendSharedValue(Expansion& e, const char* variable, void (*makeFresh)(wchar_t*),
                       bool (*wellFormed)(const wchar_t*)) {
    wchar_t* inherited = getEnvironmentValue(variable);
    if (inherited != nullptr) {
        if (!wellFormed(inherited)) {
            return false;
        }
        appendValue(e, inherited);
        return true;
    }
    wchar_t fresh[128];
    makeFresh(fresh);
    setEnvironmentValue(variable, fresh);
    appendValue(e, fresh);
    return true;
}

uint64_t systemTime() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

void makeFreshRandom(wchar_t* fresh) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t seed = foldTo32(static_cast<uint64_t>(counter.QuadPart)) ^
                    foldTo32(reinterpret_cast<uintptr_t>(&counter)) ^ GetCurrentProcessId();
    makeRandomString(seed == 0 ? 1 : seed, fresh);
}

void makeFreshMicroseconds(wchar_t* fresh) {
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%06ld", static_cast<long>(systemTime() / 10 % 1000000));
    widenInto(narrow, fresh);
}

void makeFreshStartTime(wchar_t* fresh) {
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%lld", static_cast<long long>(systemTime()));
    widenInto(narrow, fresh);
}

bool appendReference(Expansion& e, const wchar_t* name) {
    const SpecReferenceInfo* info = findSpecReference(name);
    if (info == nullptr) {
        return false;
    }
    switch (info->reference) {
    case SpecReference::temp: {
        // The system writes the path in place; a path that does not fit the
        // room is left out, and the expansion goes on.
        size_t room = roomLeft(e);
        wchar_t* end = e.output + e.length;
        DWORD written = GetTempPathW(static_cast<DWORD>(room), end);
        if (written == 0 || written >= room) {
            *end = 0;
        } else {
            e.length += written;
        }
        removeTrailingBackslashes(e);
        return true;
    }
    case SpecReference::program:
        if (argumentVector == nullptr || argumentVector[0] == nullptr) {
            terminateImmediately();
        }
        appendValue(e, argumentVector[0]);
        return true;
    case SpecReference::programBase: {
        size_t inserted = 0;
        if (!appendProgramName(e, &inserted)) {
            return false;
        }
        if (inserted >= 4 && _wcsicmp(e.output + e.length - 4, L".exe") == 0) {
            e.length -= 4;
            e.output[e.length] = 0;
        }
        return true;
    }
    case SpecReference::programDir: {
        size_t start = e.length;
        size_t inserted = 0;
        if (!appendProgramName(e, &inserted)) {
            return false;
        }
        for (size_t i = start + inserted; i > start; --i) {
            if (e.output[i - 1] == L'\\') {
                e.length = i - 1;
                e.output[e.length] = 0;
                break;
            }
        }
        return true;
    }
    case SpecReference::pid: {
        wchar_t* parent = getEnvironmentValue(info->handshakeVariable);
        if (parent != nullptr) {
            // Only ASCII digits can have come from a parent; anything else was planted.
            if (!isParentIdentifierValue(parent)) {
                terminateImmediately();
            }
            appendValue(e, parent);
        } else {
            wchar_t own[processIdentifierCapacity];
            formatProcessIdentifier(own);
            appendValue(e, own);
        }
        return true;
    }
    case SpecReference::home:
        return appendFolder(e, CSIDL_PROFILE);
    case SpecReference::cacheDir:
        return appendFolder(e, CSIDL_LOCAL_APPDATA);
    case SpecReference::company:
        appendValue(e, onefileCompanyName);
        return true;
    case SpecReference::product:
        appendValue(e, onefileProductName);
        return true;
    case SpecReference::version:
    case SpecReference::fileVersion:
    case SpecReference::productVersion:
        appendValue(e, onefileVersionString);
        return true;
    case SpecReference::random:
        return appendSharedValue(e, info->handshakeVariable, makeFreshRandom, isRandomValue);
    case SpecReference::timeUs:
        return appendSharedValue(e, info->handshakeVariable, makeFreshMicroseconds,
                                 isMicrosecondsValue);
    case SpecReference::time:
        return appendSharedValue(e, info->handshakeVariable, makeFreshStartTime, isDigits);
    }
    return false;
}

} // namespace

bool isParentIdentifierValue(const wchar_t* value) {
    return isDigits(value);
}

void formatProcessIdentifier(wchar_t* text) {
    char narrow[processIdentifierCapacity];
    snprintf(narrow, sizeof narrow, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    widenInto(narrow, text);
}

void makeRandomString(uint32_t seed, wchar_t* output) {
    unsigned char bytes[8];
    uint32_t x = seed;
    for (unsigned char& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<unsigned char>(x);
    }
    // URL-safe base64 without padding: 64 bits make ten full characters and
    // one that carries the last four bits.
    size_t out = 0;
    uint32_t bits = 0;
    int bitCount = 0;
    for (unsigned char byte : bytes) {
        bits = bits << 8 | byte;
        bitCount += 8;
        while (bitCount >= 6) {
            bitCount -= 6;
            output[out++] = base64UrlAlphabet[(bits >> bitCount) & 0x3F];
        }
    }
    if (bitCount > 0) {
        output[out++] = base64UrlAlphabet[(bits << (6 - bitCount)) & 0x3F];
    }
    output[out] = 0;
}

bool expandPathSpec(wchar_t* output, const wchar_t* spec, size_t capacity) {
    Expansion e = {output, 0, capacity};
    output[0] = 0;
    wchar_t name[referenceNameCapacity];
    size_t nameLength = 0;
    bool nameTooLong = false; // such a name can match no reference
    bool referenceOpen = false;
    for (const wchar_t* c = spec; *c != 0; ++c) {
        if (*c == L'{') {
            referenceOpen = true;
            nameLength = 0;
            nameTooLong = false;
        } else if (*c == L'}' && referenceOpen) {
            referenceOpen = false;
            name[nameLength] = 0;
            if (nameTooLong || !appendReference(e, name)) {
                return false;
            }
        } else if (referenceOpen) {
            if (nameLength + 1 < referenceNameCapacity) {
                name[nameLength++] = *c;
            } else {
                nameTooLong = true;
            }
        } else if (!appendLiteral(e, *c)) {
            // A "}" outside a reference is taken as literal text.
            return false;
        }
    }
    output[e.length] = 0;
    return true;
}
