// The security descriptor of the directories the parent makes for itself,
// built with ADVAPI32 functions bound on first use from the system directory
// (the executable imports nothing but KERNEL32 and msvcrt).
#pragma once

#include <windows.h>

// Points `attributes` at a descriptor whose DACL is protected (nothing is
// inherited from the folder above) and holds one entry: full access for the
// user of the process's token, inherited by every file and folder below.
// Made once and kept for the life of the process. False, with the system's
// error in `*error`, when it cannot be made; no other descriptor is ever given.
bool privateSecurityAttributes(SECURITY_ATTRIBUTES* attributes, DWORD* error);

// Whether the file or directory that `handle` names (opened with at least
// READ_CONTROL, or any access on systems that grant owners that) is owned by
// the user of the process's token or by its default owner, which is what the
// process's new objects get. False also when the system will not tell.
bool isOwnedByProcessUser(HANDLE handle);

// Reads the process token's TokenUser or TokenOwner into `buffer` (the
// structure, then the SID its first member points to). False, with the
// system's error, when the system will not tell.
bool processTokenSid(TOKEN_INFORMATION_CLASS which, void* buffer, DWORD size);
