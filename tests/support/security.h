// Windows-side test helpers for security descriptors: whom a directory lets in.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The user of this process's token, as a SID string ("S-1-5-21-...").
std::string processUserSid();

// A DACL in words: "protected" (nothing inherited from above) or "inherits",
// then each entry as "allow <mask> <flags> <SID>" (flags OI, CI, IO, NP, ID,
// or "-"), separated by "; ". "no DACL: everyone has access" when there is none.
std::string daclSummary(PSECURITY_DESCRIPTOR descriptor);

// The SIDs that the DACL the file system keeps for `path` lets in, in order;
// one "<not readable: N>" when it cannot be read.
std::vector<std::string> storedAllowedSids(const std::wstring& path);
