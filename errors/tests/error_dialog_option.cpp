// The build options of a build made with --error-dialog, for the probe that
// stands for one.
#include "bootstrap/bootstrap.h"

extern "C" const uint32_t onefileBuildOptions = buildOptionErrorDialog;
