// The paths room's own state, declared for its tests, which fill the caches
// of the own path as a system would. No other room includes this header.
#pragma once

#include "paths/binary_path.h"

// Own path, final and with a short directory part; empty until first asked.
extern wchar_t resolvedBinaryPath[binaryPathCapacity];
// Own path as the system reports it; empty until first asked.
extern wchar_t reportedBinaryPath[binaryPathCapacity];
