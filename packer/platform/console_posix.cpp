// Linux: the streams are bytes already; a terminal is what isatty says.
#include "packer/platform/console.h"

#include <unistd.h>

void setUpStandardStreams() {}

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool standardErrorShowsColours() {
    return standardErrorIsTerminal() && coloursWanted();
}
