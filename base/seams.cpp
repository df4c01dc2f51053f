#include "base/seams.h"

#ifdef ONEFILE_SEAMS
#define ONEFILE_DEFINE_SEAM(f) decltype(&::f) seam##f = &::f;
ONEFILE_SEAM_LIST(ONEFILE_DEFINE_SEAM)
#undef ONEFILE_DEFINE_SEAM
#endif
