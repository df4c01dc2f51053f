// The target directory's path spec as the packer sees it before building it
// in: checked for what would only fail on a user's machine, and expanded as
// for a typical user to find the longest path the bootstrap will open.
#pragma once

#include <string>
#include <vector>

#include "packer/image/build_constants.h"
#include "formats/spec_references.h"

// Paths of this many UTF-16 code units or more cannot be opened on Windows
// without LongPathsEnabled, whatever the manifest says.
constexpr size_t classicPathLimit = 260;

// A spec taken apart: literal text or a reference, in order.
struct SpecPart {
    std::u16string literal;
    const SpecReferenceInfo* reference = nullptr; // null for literal text
};

// The references for which `wanted` holds (all for null), as "{A}, {B} or
// {C}" with `conjunction` before the last.
std::string specReferenceNames(bool (*wanted)(const SpecReferenceInfo&), const char* conjunction);

// How an absolute spec begins, and what a per-run spec needs so that each
// run's directory is its own, for messages and help.
std::string absoluteSpecBeginnings();
std::string ownDirectoryRequirement();

// The references that can expand to an absolute path although a spec cannot
// begin with them ({PROGRAM}, ...), so that no spec can use them.
std::string referencesWithPathValues();

// The parts of `spec`, checked for `mode`. Throws PackError naming the
// problem: an unknown reference, an unbalanced brace, a control character,
// a result that is not absolute, in per-run mode a directory that two runs
// could share, a spec longer than the bootstrap's buffer.
std::vector<SpecPart> checkTargetDirectorySpec(const std::u16string& spec, TargetMode mode);

// Where the texts that a spec's references take came from, as messages name
// them ("--product 'App'", or how a default was made).
struct SpecTextOrigins {
    std::string spec; // UTF-8, as given or the default
    std::string company;
    std::string product;
    std::string version;
};

// Checks the folders that the directory will have below the spec's absolute
// beginning, as the bootstrap will make them: the build's texts in place of
// {COMPANY}, {PRODUCT} and {VERSION}, each text inside one folder name
// (a separator in it would nest folders). Every name must be one Windows
// holds: no character it refuses, no device name, no trailing dot or space,
// not empty; literal "", "." and ".." are left to the system, which resolves
// them. A reference whose value is an absolute path ({TEMP}, and {PROGRAM}
// as started from Explorer) can only begin a spec. In cached mode the spec
// must name a folder below its beginning, not a drive, share or reference's
// folder itself. Throws PackError naming the option at fault (`origins`),
// the folder and the reason.
void checkTargetDirectoryFolders(const std::vector<SpecPart>& parts,
                                 const BuildConstants& constants, const std::u16string& programFile,
                                 const SpecTextOrigins& origins);

// The spec expanded for a typical user: TEMP is C:\Users\, twenty
// characters and \AppData\Local\Temp, the per-run references take their
// longest values, the product texts are the build's own and the program was
// started as `programFile` from the user's Downloads folder.
std::u16string typicalTargetDirectory(const std::vector<SpecPart>& parts,
                                      const BuildConstants& constants,
                                      const std::u16string& programFile);

// The longest path the bootstrap opens below `directory`: it, "\" and
// `longestArchivePath`. Throws PackError when it exceeds what the bootstrap's
// buffers hold; returns a warning when it reaches classicPathLimit, else "".
std::string checkPathBudget(const std::u16string& directory,
                            const std::u16string& longestArchivePath);
