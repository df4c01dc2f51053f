// The record loop: writes every file record below the target directory (the
// parent), or names the first one for the entry library (the child).
#pragma once

#include "archive/reader.h"

// Reads the records from `reader`, opened. Parent: returns after the
// terminator record. Child: returns as soon as the first record's full path
// is in entryLibraryPath, having written nothing.
void extractFileRecords(ArchiveReader& reader);
