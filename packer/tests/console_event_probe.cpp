// Hands the packer's console control handler one event while an output is
// being written, as Windows does on a console's close, at log-off and at
// shutdown, which Wine never sends:
//   console_event_probe EVENT FOLDER
// Before that it writes kept.bin in FOLDER and drops more temporary files
// than the handler keeps track of at once, so that a place not given back
// shows. When the handler leaves the event to others, prints "declined".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>

#include "packer/platform/output_file.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: console_event_probe EVENT FOLDER\n", stderr);
        return 2;
    }
    const unsigned long event = std::wcstoul(argv[1], nullptr, 10);
    const std::filesystem::path folder = argv[2];
    installInterruptCleanup();
    for (int i = 0; i < 12; ++i) {
        { TemporaryFile dropped(folder / "dropped.bin"); }
        // A handle opened in between, as a real run opens others, so that
        // no later file is given the number of one closed before.
        CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    {
        TemporaryFile kept(folder / "kept.bin");
        std::fputs("kept", kept.stream());
        kept.commit();
    }
    TemporaryFile written(folder / "written.bin");
    std::fputs("half of it", written.stream());
    std::fflush(written.stream());
    if (!removeOnConsoleEvent(event)) {
        std::fputs("declined", stdout);
    }
    return 0;
}
