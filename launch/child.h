// The parent's last stage: publish the handshake variables, start the child
// with the same handles, wait for it, clean up, return its exit status. A
// cached run does without the child and runs the application itself.
#pragma once

// Runs the child to its end and returns its exit status (1 when unreadable).
int launchChildInstance();

// Loads the entry library named in entryLibraryPath in this process and
// returns the result of its run_code, with what a child would have had: the
// handshake variables published, the executable's own path as element 0 of
// the arguments, the same standard handles and the child's DLL search. A
// load that fails ends the process as it would end a child. `alongside`,
// when given, runs on a thread of its own meanwhile; once run_code has
// returned, its status is returned when that work has ended too.
int runEntryLibraryHere(void (*alongside)() = nullptr);
