// The options of a build that asks for none, in an object of its own: the
// linker takes it from the library only when nothing else defines them (a
// packed executable has a slot of its own).
#include "base/build_constants.h"

extern "C" const uint32_t onefileBuildOptions = 0;
