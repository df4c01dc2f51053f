// The process-wide state of one run of the bootstrap, in one place. Every
// variable lives until the process ends; nothing is freed on failure.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "archive/reader.h"
#include "extract/directories.h"

// Capacities in wide characters, the terminator included.
constexpr size_t pathCapacity = 4096;       // every path buffer of the run
constexpr size_t binaryPathCapacity = 4097; // the cached forms of the own path
constexpr size_t parentImagePathCapacity =
    4097; // the other process's image path, as long as our own
constexpr size_t childCommandLineCapacity = 32768; // the child's command line
constexpr size_t extractionPieceSize = 32768;      // bytes copied per piece of a file

extern int argumentCount;        // the runtime's argument count, captured at entry
extern wchar_t** argumentVector; // the runtime's wide arguments; [0] is the name as started
extern wchar_t* parentInstance;  // ZEBRIK_ONEFILE_PARENT when this run is the child, else null
extern wchar_t targetDirectoryPath[pathCapacity]; // full path of the target directory, written once
extern wchar_t entryLibraryPath[pathCapacity]; // full path of the first record, the entry library
extern wchar_t recordName[recordNameCapacity]; // the current record's relative path
extern wchar_t recordFullPath[pathCapacity];   // target directory, "\", record name
extern unsigned char
    extractionCopyBuffer[extractionPieceSize]; // one piece of a file on its way to disk
extern volatile bool extractionStarted;        // set just before the first record is read
extern HANDLE volatile childProcessHandle; // the running child; taken out atomically when closed
extern volatile bool consoleEventReceived; // a console event is removing the target directory
extern ArchiveReader archiveReader;        // the one reader over the attached archive
extern KnownDirectories knownDirectories;  // directories known to exist, home first
extern wchar_t
    resolvedBinaryPath[binaryPathCapacity]; // own path, final and short; empty until asked
extern wchar_t
    reportedBinaryPath[binaryPathCapacity];  // own path as the system reports it; empty until asked
extern wchar_t moduleFileName[pathCapacity]; // own module file name, the child's element 0
extern wchar_t
    childCommandLine[childCommandLineCapacity]; // the command line the child is started with
extern size_t childCommandLineLength;           // characters in childCommandLine

// Build-time constants, linked in by the packer together with the archive.
extern "C" const unsigned char onefileAttachedData[]; // magic, zstd frame and trailer
extern "C" const uint64_t onefileAttachedDataLength;  // their total length in bytes
extern "C" const wchar_t onefileCompanyName[];        // the product's company name
extern "C" const wchar_t onefileProductName[];        // the product's name
extern "C" const wchar_t onefileVersionString[];      // the product's dotted four-part version
