// The default target directory, in an object of its own: the linker takes it
// from the library only when nothing else defines a spec (a packed executable
// has a slot of its own).
#include "base/build_constants.h"

extern "C" const wchar_t onefileTargetDirectorySpec[] = L"" ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC;
