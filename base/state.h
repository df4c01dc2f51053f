// The state that several rooms of the bootstrap share for one run: the
// arguments and the role, the target directory, and what the removal needs
// to know of the extraction and of the child. What one room alone uses lives
// in that room. Every variable lives until the process ends; nothing is
// freed on failure.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "formats/archive_layout.h"

// The runtime's argument count, captured at entry.
extern int argumentCount;
// The runtime's wide arguments; element 0 is the program name as started.
extern wchar_t** argumentVector;
// The role: the parent variable's value when this run is the child, null for the parent.
extern wchar_t* parentInstance;
// Full path of the directory the run unpacks into and the application's
// libraries are found in; the removal takes it away once the extraction has
// started. Only the main thread writes it: the expansion of the build's spec,
// again for each fresh name the parent tries while it creates the directory
// (a removal meanwhile waits for targetDirectoryCreator). In cached mode it
// names the partial copy while a first run unpacks, the only part of the
// cache a removal ever takes away, and once that copy is the cache or gone
// (nothing is left to remove) the cache directory the application runs from.
extern wchar_t targetDirectoryPath[pathCapacity];
// Full path of the first record, the entry library; empty until it is named.
extern wchar_t entryLibraryPath[pathCapacity];
// Set just before the first record is read: from then on there may be files to remove.
extern volatile bool extractionStarted;
// The parent's open handle on its target directory, without delete sharing so
// that nobody can swap it; null until created. Closed before any removal.
extern HANDLE volatile targetDirectoryHandle;
// The thread that is creating the target directory at this moment, or 0.
extern volatile DWORD targetDirectoryCreator;
// The running child; whoever closes it takes it out of the slot atomically first.
extern HANDLE volatile childProcessHandle;
// Set once the child's handle is in its slot, and never cleared: from then on
// the main thread only waits for the child and returns its status.
extern volatile bool childStarted;
// A console-subsystem build (the packer's --console), as the image's own
// header says; read at entry. Its parent shares the console with the child.
extern bool consoleProgram;
// Set when a console event or the end of the session starts the removal: the
// main thread writes nothing more and starts no child.
extern volatile bool removalRequested;
// Bytes of the record stream that the record loop has written out so far:
// its own thread writes it, the progress window's reads it.
extern volatile uint64_t unpackedBytes;
// The file the record loop is writing; only the main thread uses it.
extern HANDLE extractionFile;
// What the system calls the target directory (its path on its volume, as a
// handle's name query gives it), noted once the parent has made it. A handle
// on something else by that path is not ours to walk: a link put in its place.
extern wchar_t targetDirectoryName[pathCapacity];
