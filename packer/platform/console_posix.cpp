// Linux: the streams are bytes already; a terminal is what isatty says.
#include "packer/platform/console.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

void setUpStandardStreams() {}

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool standardErrorShowsColours() {
    const char* terminal = std::getenv("TERM");
    return standardErrorIsTerminal() && coloursWanted() &&
           !(terminal && std::strcmp(terminal, "dumb") == 0);
}
