// The window a GUI build's parent shows while a slow start unpacks (the
// packer's --progress-window): the product's name as its title, its icon, a
// line "Preparing <product>…" and a bar that follows the bytes written. It
// never takes the focus, and it is gone before the child starts and before
// any removal of the target directory.
#pragma once

#include <stdint.h>

// Parent, on the main thread, just before the record loop: when the build
// asks for the window, starts its thread, which shows it only if the
// unpacking still runs after about half a second. `total`: the bytes of the
// record stream, which the bar follows; 0 when not known, and the bar then
// only shows that the work goes on. Returns at once; a build without the
// option does nothing here and loads nothing for it.
void startProgressWindow(uint64_t total);

// Closes the window and returns once its thread is done with it; nothing
// when there is none. Any thread but the window's own may call it, also
// several at once and more than once.
void closeProgressWindow();
