// The references a path spec may hold, in one table for the bootstrap that
// expands them and the packer that checks a spec before it builds one in.
// Names are matched without regard to ASCII case: {temp} is {TEMP}.
#pragma once

#include <stddef.h>

#include "formats/handshake.h"

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

// The length of {RANDOM}'s value: base64 of eight bytes, unpadded.
constexpr size_t randomStringLength = 11;

// Which runs of one executable a per-run value tells apart, so that a
// spec's directory is each run's own: a process identifier those running
// at the same time (it is reused later), a clock those started at different
// times (two may start at once), a random text any two.
enum class RunsToldApart { none, concurrent, successive, all };

struct SpecReferenceInfo {
    const char* name;
    SpecReference reference;
    // Its value is an absolute folder, so a spec that begins with it is absolute.
    bool absoluteFolder;
    // Its value changes from run to run.
    bool perRun;
    // The handshake variable that carries its value from parent to child, or null.
    const char* handshakeVariable;
    RunsToldApart tellsApart;
};

constexpr SpecReferenceInfo specReferences[] = {
    {"TEMP", SpecReference::temp, true, false, nullptr, RunsToldApart::none},
    {"PROGRAM", SpecReference::program, false, false, nullptr, RunsToldApart::none},
    {"PROGRAM_BASE", SpecReference::programBase, false, false, nullptr, RunsToldApart::none},
    {"PROGRAM_DIR", SpecReference::programDir, false, false, nullptr, RunsToldApart::none},
    {"PID", SpecReference::pid, false, true, handshakeParentVariable, RunsToldApart::concurrent},
    {"HOME", SpecReference::home, true, false, nullptr, RunsToldApart::none},
    {"CACHE_DIR", SpecReference::cacheDir, true, false, nullptr, RunsToldApart::none},
    {"COMPANY", SpecReference::company, false, false, nullptr, RunsToldApart::none},
    {"PRODUCT", SpecReference::product, false, false, nullptr, RunsToldApart::none},
    {"VERSION", SpecReference::version, false, false, nullptr, RunsToldApart::none},
    {"FILE_VERSION", SpecReference::fileVersion, false, false, nullptr, RunsToldApart::none},
    {"PRODUCT_VERSION", SpecReference::productVersion, false, false, nullptr, RunsToldApart::none},
    {"RANDOM", SpecReference::random, false, true, handshakeRandomVariable, RunsToldApart::all},
    {"TIME_US", SpecReference::timeUs, false, true, handshakeTimeUsVariable,
     RunsToldApart::successive},
    {"TIME", SpecReference::time, false, true, handshakeStartVariable, RunsToldApart::successive},
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
