// The parent's last stage: publish the handshake variables, start the child
// with the same handles, wait for it, clean up, return its exit status.
#pragma once

// Runs the child to its end and returns its exit status (1 when unreadable).
// `whileChildRuns`, when given, is called once the child is running, before
// the wait: work of the parent's that the child's start should not wait for.
int launchChildInstance(void (*whileChildRuns)() = nullptr);
