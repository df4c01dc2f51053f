// Windows-side test helpers for security descriptors: whom a directory lets in.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The user of this process's token, as a SID string ("S-1-5-21-...").
std::string processUserSid();

// The DACL part of a descriptor in the system's SDDL ("D:P(A;OICI;FA;;;S-1-...)").
std::string daclText(PSECURITY_DESCRIPTOR descriptor);

// The SIDs that the DACL the file system keeps for `path` lets in, in order;
// one "<not readable: N>" when it cannot be read.
std::vector<std::string> storedAllowedSids(const std::wstring& path);
