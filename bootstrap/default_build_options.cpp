// The options of a build that asks for none, in an object of its own: the
// linker takes it from the library only when the packer's object defines none.
#include "bootstrap/bootstrap.h"

extern "C" const uint32_t onefileBuildOptions = 0;
