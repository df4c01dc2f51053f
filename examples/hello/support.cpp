#include "examples/hello/support.h"

extern "C" const char* supportGreeting() {
    return "support.dll was found next to the entry library";
}
