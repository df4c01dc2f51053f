// The process-wide state of one run of the bootstrap, in one place. Every
// variable lives until the process ends; nothing is freed on failure.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "archive/layout.h"

// Defined by the folders that own them; only the variables live here.
struct ArchiveReader;
struct KnownDirectories;

// Capacities in wide characters, the terminator included; pathCapacity, that
// of every path buffer of the run, is in archive/layout.h for the packer too.
constexpr size_t binaryPathCapacity = 4097;        // the cached forms of the own path
constexpr size_t parentImagePathCapacity = 4097;   // the other process's path: as long as ours
constexpr size_t childCommandLineCapacity = 32768; // the child's command line
constexpr size_t extractionPieceSize = 32768;      // bytes copied per piece of a file

// The runtime's argument count, captured at entry.
extern int argumentCount;
// The runtime's wide arguments; element 0 is the program name as started.
extern wchar_t** argumentVector;
// The role: the parent variable's value when this run is the child, null for the parent.
extern wchar_t* parentInstance;
// Full path of the target directory, written once before any handler can run.
extern wchar_t targetDirectoryPath[pathCapacity];
// Full path of the first record, the entry library; empty until it is named.
extern wchar_t entryLibraryPath[pathCapacity];
// The current record's relative path as read from the archive.
extern wchar_t recordName[recordNameCapacity];
// Target directory, one backslash, record name.
extern wchar_t recordFullPath[pathCapacity];
// One piece of a file on its way from the reader to the disk.
extern unsigned char extractionCopyBuffer[extractionPieceSize];
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
// The one removal of the run: whoever starts it first does it, later callers
// wait until it is done (removalNone, removalRunning, removalDone).
extern volatile LONG removalState;
constexpr LONG removalNone = 0;
constexpr LONG removalRunning = 1;
constexpr LONG removalDone = 2;
// The tick count after which the removal begins no further retry: set by an
// event after which the system ends the process within seconds; 0: none.
extern volatile ULONGLONG removalDeadline;
// Bytes of the record stream that the record loop has written out so far:
// its own thread writes it, the progress window's reads it.
extern volatile uint64_t unpackedBytes;
// The file the record loop is writing; only the main thread uses it.
extern HANDLE extractionFile;
// What the system calls the target directory (its path on its volume, as a
// handle's name query gives it), noted once the parent has made it. A handle
// on something else by that path is not ours to walk: a link put in its place.
extern wchar_t targetDirectoryName[pathCapacity];
// The one reader over the attached archive.
extern ArchiveReader archiveReader;
// Directories known to exist, the home directory first.
extern KnownDirectories knownDirectories;
// Own path, final and with a short directory part; empty until first asked.
extern wchar_t resolvedBinaryPath[binaryPathCapacity];
// Own path as the system reports it; empty until first asked.
extern wchar_t reportedBinaryPath[binaryPathCapacity];
// The command line the child is started with, and its length in characters.
extern wchar_t childCommandLine[childCommandLineCapacity];
extern size_t childCommandLineLength;
