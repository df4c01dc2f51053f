// The machine that the bootstrap's code meets when its fuzz targets build it
// for the host: a file system held in memory that creates directories and
// files as Windows does (names equal but for ASCII case are one, "/"
// separates as "\" does), the folders and environment of a typical user,
// and the bootstrap's ends (a failure report, an immediate end) as
// exceptions that the target catches where the process would have ended.
//
// It also watches what the code asks of it: every folder or file created
// must lie below the confining directory under a name that Windows takes
// literally (not "." or "..", no trailing dot or space, no device, no
// stream, no character Windows refuses), every handle written to or closed
// must be open. A breach aborts the process, which libFuzzer reports as a
// crash with the input that caused it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// How a run of the bootstrap ended where it could not go on.
struct BootstrapExit {
    enum Kind { failure, immediate } kind; // a reported failure (status 2), or status 3
    std::string message;                   // the failure's message; empty for immediate
};

namespace hostWindows {

// The user whose machine the code runs on.
struct Machine {
    std::wstring temp;         // the temporary folder, without a trailing "\"
    std::wstring home;         // the profile folder
    std::wstring localAppData; // the local application data folder
    std::map<std::wstring, std::wstring> environment;
    // The C runtime's own copy, which the bootstrap keeps in step with it.
    std::map<std::wstring, std::wstring> runtimeEnvironment;
};

struct Node {
    bool directory = false;
    std::wstring path;      // as created
    std::string content;    // a file's bytes, up to the stored limit
    uint64_t size = 0;      // a file's bytes, all of them
    bool truncated = false; // more written than stored
};

// A fresh machine: an empty file system with the machine's folders and
// every folder above them, its environment, no handle open, and everything
// the code allocated through the stand-in freed.
void reset(const Machine& machine);

// Every creation from now on must lie strictly below `directory`; only the
// folders above it (which exist) may be asked for as well. Empty: no check.
void confineTo(const std::wstring& directory);

// Makes `path` and the folders above it, as the machine had them.
void makeDirectories(const std::wstring& path);

// The file system, by the key under which Windows finds a path.
const std::map<std::wstring, Node>& fileSystem();
std::wstring pathKey(const std::wstring& path);

// Handles that are open, and their number.
std::vector<void*> openHandles();

// Closes `handle` as the bootstrap's failure cleanup would.
void closeAfterFailure(void* handle);

// The product texts of the build that runs, which {COMPANY}, {PRODUCT} and
// {VERSION} take; each at most productTextCapacity - 1 units.
void setProductTexts(const std::wstring& company, const std::wstring& product,
                     const std::wstring& version);

} // namespace hostWindows
