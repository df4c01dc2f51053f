// The end of the session for a parent without a console. A GUI program
// started from the desktop gets no console events: at log-off and shutdown
// the system sends its messages to top-level windows instead, and ends
// processes that have none without notice. A hidden window of the parent's
// own turns those messages into the same removal as a console event.
#pragma once

// Starts the window on a thread of its own, with its own message loop, and
// asks the system to end the parent after its child at the end of the
// session. Where no window can be made (no desktop), nothing more happens.
void startSessionWindow();

// The run has nothing left to remove: the window (if any) ignores the end of
// the session from now on, and the process is shut down in the system's
// default order again.
void endSessionWindow();
