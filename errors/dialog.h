// The failure dialog of builds made with --error-dialog: a GUI program
// started from the desktop has standard streams that lead nowhere, so its
// failure messages are also shown in a message box, titled with the
// product's name. USER32 is bound from the system directory only then, so
// that no other build, and no good run, loads it for this.
#pragma once

#include <windows.h>

// Shows `line` (one line of a failure report, its line break allowed) when
// the build asks for the dialog and the process has a desktop a person can
// see, with `advice` (null for none) in a paragraph below it: the line is
// for whoever made the application, the advice for the person who started
// it. Waits until the box is closed. Does nothing otherwise.
void showFailureDialog(const char* line, const char* advice);
