// The extract room's own state, declared for its tests, which reset it
// between cases and look at what a run entered. No other room includes this
// header.
#pragma once

#include "extract/directories.h"

// Directories known to exist, the home directory first.
extern KnownDirectories knownDirectories;
