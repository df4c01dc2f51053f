// The marker in each copy of a cached build: what proves that this product's
// runs made a copy, and whether the copy is complete, and the count of a
// copy's files that the complete marker's digest is checked against. The
// cache's hold, its unpacking and the sweep all read and write it here.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "formats/archive_layout.h"

// The marker's name in a copy, at its top.
extern const wchar_t markerName[];

// Room for a marker's text: the complete form with the largest counts is
// about 160 characters.
constexpr size_t markerCapacity = 256;

// Whose copies a run may move and remove: the start of a marker that names
// the product ("onefile cache product <key> build "), and the run's own
// build's id.
struct CopyOwner {
    char productPart[64];
    size_t productPartLength;
    char id[cacheIdLength + 1];
};

void formatOwner(CopyOwner* owner, const wchar_t* id, const wchar_t* company,
                 const wchar_t* product);

// The first cacheIdLength characters of `name` (a build's id and perhaps
// more), as ASCII with a terminator, into `id`.
void asciiId(const wchar_t* name, char* id);

// `directory` \ `name` into `path` (capacity pathCapacity).
void joinPath(wchar_t* path, const wchar_t* directory, const wchar_t* name);

// What a copy's marker tells of who made it.
enum class Claim {
    none,     // nothing proves that this product's runs made it
    ours,     // this product's runs made it, complete or not
    complete, // the same, and complete: the marker of the build its name gives, written last
};

// What the marker in `directory`, a copy whose name begins with the build's
// id `id` (ASCII), tells `owner`; why nothing could be read in `*error`.
Claim claimOf(const wchar_t* directory, const char* id, const CopyOwner& owner, DWORD* error);

// Makes this build's marker (its build constants) the one that the two
// functions below check and write.
void formatExpectedMarker();

// Whether `directory` holds this build's complete marker and the very files
// it tells of: as many and as large as the build has, with the names and
// sizes that its digest was made of (a file removed, cut, added or renamed
// shows), and no link.
bool holdsExpectedFiles(const wchar_t* directory);

// This build's complete marker for the files that `directory` holds now,
// into `text` (markerCapacity bytes); its length.
size_t formatCompleteMarker(const wchar_t* directory, char* text);
