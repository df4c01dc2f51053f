// The bootstrap's own executable path, resolved (final path, no "\\?\" forms,
// short directory part) for comparison, or as the system reports it.
#pragma once

#include <stddef.h>

enum class BinaryPathForm { resolved, reported };

// The cached path in the asked form, filled on the first call for that form.
const wchar_t* getBinaryPath(BinaryPathForm form);

// Final path, prefix removal and short directory part, in place.
void normalizeExecutablePath(wchar_t* path, size_t capacity);

// Converts the directory part of `path` to its short form, keeping the file name.
void shortenDirectoryPart(wchar_t* path, size_t capacity);
