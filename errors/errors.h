// Failure reporting: every failure of the bootstrap is final, reported once
// where it happens, in English, on a standard stream (and, in a build with
// the error dialog, in a message box as well).
#pragma once

#include <windows.h>

// Reports end through the failure cleanup and terminateImmediately there.
#include "base/termination.h"

// The messages of the bootstrap's failures, each raised with the operation
// named beside it. Users and scripts read them, so they stay word for word.
constexpr char messageMissingHeader[] = "Error, couldn't find attached data header."; // fatalError
constexpr char messageNoMemory[] = "Error, couldn't allocate memory.";                // fatalError
constexpr char messageUndecodable[] = "Error, couldn't decode attached data.";        // fatalError
constexpr char messageNoEntryLibrary[] =
    "Error, attached data holds no entry library."; // fatalError
constexpr char messageHandlerRegistration[] =
    "Error, failed to register signal handler."; // fatalError
constexpr char messageWriteFailed[] =
    "Error, couldn't unpack file to target path."; // fatalErrorWithCode
constexpr char messageNoFreshTargetDirectory[] =
    "Error, couldn't create a fresh target directory."; // fatalErrorWithCode
constexpr char messageCacheInUse[] =
    "Error, couldn't replace an incomplete cache directory.";               // fatalErrorWithCode
constexpr char messageLaunchFailed[] = "Error, couldn't launch child";      // fatalErrorWithCode
constexpr char messageLoadFailed[] = "Error, load DLL.";                    // fatalErrorWithCode
constexpr char messageNoEntryPoint[] = "Error, DLL entry point not found."; // fatalError

// What the failure dialog says below the line, to the person who started the
// program rather than to its developer, for failures that mean the
// application's files are incomplete or damaged on this computer.
constexpr char adviceIncomplete[] = "This application is incomplete or damaged on this "
                                    "computer. Reinstall it, or ask its vendor for help.";

// What the child adds to messageLoadFailed's line when the library did not
// load for want of a library or a function: the importer's path below the
// target directory, then what it imports and from where.
constexpr char detailMissingLibrary[] = "%s imports %s, which cannot be found.";
constexpr char detailMissingFunction[] = "%s imports %s from %s, which does not export it.";
constexpr char detailMissingOrdinal[] = "%s imports ordinal %u from %s, which does not export it.";

// Writes `message` and a line break to standard output; exit status 2.
[[noreturn]] void fatalError(const char* message);

// Writes "<message> ([Error <code>] <system text>)" to standard error; exit
// status 2. `code` is the thread's last error, read right after the failing call.
[[noreturn]] void fatalErrorWithCode(const char* message, DWORD code);

// The same with " <detail>" after the closing parenthesis: what the system's
// text cannot say, such as the name of what was missing.
[[noreturn]] void fatalErrorWithCode(const char* message, DWORD code, const char* detail);

// Reports a path spec that could not be expanded, then terminates at once.
[[noreturn]] void fatalSpecExpansionError(const wchar_t* spec);

// Reports a file of the archive that could not be created; exit status 2.
[[noreturn]] void fatalOpenFailure(const wchar_t* path);

// The narrow text the runtime's "%ls" would print in its default locale:
// characters below U+0100 become the byte of the same value and the text ends
// at the first character at or above U+0100. Writes into `out` (capacity
// bytes, terminator included), cutting at the capacity.
void narrowForMessage(const wchar_t* text, char* out, size_t capacity);
