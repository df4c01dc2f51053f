// The archive room's own state, declared for its tests and those of the
// record loop, which set the reader up and look into it. No other room
// includes this header.
#pragma once

#include "archive/reader.h"

// The one reader over the attached archive.
extern ArchiveReader archiveReader;
