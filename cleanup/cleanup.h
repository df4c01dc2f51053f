// Leaving nothing behind: the removal of the target directory after the
// child, on console interrupt, close, log-off and shutdown, at the end of the
// session, and after a failure of the parent.
#pragma once

#include <windows.h>

// Stops a still-running child (after 5 s) and deletes the target directory,
// with up to 21 attempts. Reports nothing. The directory is removed once per
// run: a call while another thread waits for the child or removes it waits
// until that is done.
void cleanupTargetDirectory();

// The same for a console close, log-off and shutdown, after which the system
// ends the process within about 5 s: the child gets 3 s, and the removal
// begins no retry after 4.5 s, whichever thread carries it out.
void cleanupWithinSystemLimit();

// Main thread, before anything is written below the target directory:
// registers consoleControlHandler (a failure is fatal, with
// messageHandlerRegistration) and starts the session window, once per run.
void guardTargetDirectory();

// Main thread, once nothing of the run's is left to remove (a cache made
// complete): the handler goes and the session window lets the session end
// the process as any other, so that an application run in this process gets
// the console's events and the session's order as it would in a child.
void endTargetDirectoryGuard();

// Called on the main thread just before the first record is read: from now
// on the cleanup removes the target directory, and in the parent every
// failure of the main thread first removes what the run has written (closing
// the file the record loop was writing), then reports as before.
void startExtraction();

// Runs the cleanup for events 0, 1, 2, 5 and 6 (within the system's limit for
// the last three) and returns FALSE, so that
// the system's default handling ends the process. The one exception: in a
// console program, Ctrl-C and Ctrl-Break after the child has started return
// TRUE once the child has ended and the directory is gone, and the parent
// exits with the child's status.
BOOL WINAPI consoleControlHandler(DWORD event);

// Called by the main thread between steps that write below the target
// directory or start the child: once a console event or the end of the
// session is removing the directory, the main thread does nothing more, and
// the process ends by the system's handling of that event.
void holdIfRemovalRequested();
