// The build options of a build made with --error-dialog, for the probe that
// stands for one.
#include "base/build_constants.h"

extern "C" const uint32_t onefileBuildOptions = buildOptionErrorDialog;
