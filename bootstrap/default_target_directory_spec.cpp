// The default target directory, in an object of its own: the linker takes it
// from the library only when the packer's object defines no spec.
#include "bootstrap/bootstrap.h"

extern "C" const wchar_t onefileTargetDirectorySpec[] = L"" ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC;
