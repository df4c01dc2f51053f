// The entry of the bootstrap, on msvcrt.dll, whose start-up has already split
// the command line (with wildcard expansion) into __argc/__wargv. A GUI build
// starts here directly; a console build (the packer's --console) gets here
// through the runtime's own wmain, which calls wWinMain in turn.
#include <stdlib.h>
#include <windows.h>

#include "base/state.h"
#include "bootstrap/driver.h"

// Switches on msvcrt's wildcard expansion of arguments in the start-up code.
extern "C" {
int _dowildcard = -1;
}

namespace {

// Both builds share this entry and this library, so the subsystem field of
// the executable's own header is what tells them apart.
bool imageIsConsoleProgram() {
    const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    return headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    consoleProgram = imageIsConsoleProgram();
    return runBootstrap(__argc, __wargv);
}
