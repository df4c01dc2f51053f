// The entry of the bootstrap: a GUI program on msvcrt.dll, whose start-up has
// already split the command line (with wildcard expansion) into __argc/__wargv.
#include <stdlib.h>
#include <windows.h>

#include "bootstrap/driver.h"

// Switches on msvcrt's wildcard expansion of arguments in the start-up code.
extern "C" {
int _dowildcard = -1;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return runBootstrap(__argc, __wargv);
}
