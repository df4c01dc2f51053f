// Leaving nothing behind: the removal of the target directory after the
// child, and on console interrupt, close, log-off and shutdown.
#pragma once

#include <windows.h>

// Stops a still-running child (after 5 s) and deletes the target directory,
// with up to 21 attempts. Reports nothing.
void cleanupTargetDirectory();

// Runs the cleanup for events 0, 1, 2, 5 and 6; always returns FALSE so the
// system's default handling follows.
BOOL WINAPI consoleControlHandler(DWORD event);

// Called by the main thread between steps that write below the target
// directory or start the child: once a console event is removing the
// directory, the main thread does nothing more and the system's default
// handling of the event ends the process.
void holdIfConsoleEventReceived();
