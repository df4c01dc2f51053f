// The references a path spec may hold, in one table for the bootstrap that
// expands them and the packer that checks a spec before it builds one in.
// Names are matched without regard to ASCII case: {temp} is {TEMP}.
#pragma once

#include <stddef.h>

#include "bootstrap/handshake.h"

enum class SpecReference {
    temp,           // the temporary directory, trailing backslashes removed
    program,        // element 0 of the arguments, as typed
    programBase,    // the same without a final ".exe"
    programDir,     // the same up to its last backslash
    pid,            // the parent's process identifier
    home,           // the user's profile folder
    cacheDir,       // the user's local application data folder
    company,        // the build's company name
    product,        // the build's product name
    version,        // the build's dotted version
    fileVersion,    // the same
    productVersion, // the same
    random,         // eleven random characters, fresh per run
    timeUs,         // the microseconds within the second, fresh per run
    time,           // the system time in 100-nanosecond intervals, fresh per run
};

struct SpecReferenceInfo {
    const char* name;
    SpecReference reference;
    // Its value is an absolute folder, so a spec that begins with it is absolute.
    bool absoluteFolder;
    // Its value changes from run to run.
    bool perRun;
    // The handshake variable that carries its value from parent to child, or null.
    const char* handshakeVariable;
};

constexpr SpecReferenceInfo specReferences[] = {
    {"TEMP", SpecReference::temp, true, false, nullptr},
    {"PROGRAM", SpecReference::program, false, false, nullptr},
    {"PROGRAM_BASE", SpecReference::programBase, false, false, nullptr},
    {"PROGRAM_DIR", SpecReference::programDir, false, false, nullptr},
    {"PID", SpecReference::pid, false, true, handshakeParentVariable},
    {"HOME", SpecReference::home, true, false, nullptr},
    {"CACHE_DIR", SpecReference::cacheDir, true, false, nullptr},
    {"COMPANY", SpecReference::company, false, false, nullptr},
    {"PRODUCT", SpecReference::product, false, false, nullptr},
    {"VERSION", SpecReference::version, false, false, nullptr},
    {"FILE_VERSION", SpecReference::fileVersion, false, false, nullptr},
    {"PRODUCT_VERSION", SpecReference::productVersion, false, false, nullptr},
    {"RANDOM", SpecReference::random, false, true, handshakeRandomVariable},
    {"TIME_US", SpecReference::timeUs, false, true, handshakeTimeUsVariable},
    {"TIME", SpecReference::time, false, true, handshakeStartVariable},
};

// The entry whose name equals `name` but for ASCII case, or null. `Char` is
// whatever the caller's text is made of (wchar_t in the bootstrap).
template <typename Char> constexpr const SpecReferenceInfo* findSpecReference(const Char* name) {
    for (const SpecReferenceInfo& info : specReferences) {
        size_t i = 0;
        for (;; ++i) {
            unsigned long a = static_cast<unsigned long>(name[i]);
            unsigned long b = static_cast<unsigned char>(info.name[i]);
            if (a >= 'a' && a <= 'z') {
                a -= 'a' - 'A';
            }
            if (a != b || b == 0) {
                break;
            }
        }
        if (name[i] == 0 && info.name[i] == 0) {
            return &info;
        }
    }
    return nullptr;
}
