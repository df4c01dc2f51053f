// The defaults of a build that unpacks afresh on every run, in an object of
// its own: the linker takes it from the library only when nothing else
// defines them (a packed executable has slots of its own).
#include "base/build_constants.h"

extern "C" const wchar_t onefileCacheId[] = L"";
extern "C" const wchar_t onefileCacheEntryName[] = L"";
extern "C" const uint64_t onefileCacheRecordCount = 0;
extern "C" const uint64_t onefileCacheContentSize = 0;
