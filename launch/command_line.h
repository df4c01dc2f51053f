// The child's command line: the process's own arguments re-quoted, with
// element 0 replaced by the executable's module file name.
#pragma once

#include <stddef.h>

// Wide characters of the child's command line, the terminator included.
constexpr size_t childCommandLineCapacity = 32768;

// The command line the child is started with, and its length in characters.
extern wchar_t childCommandLine[childCommandLineCapacity];
extern size_t childCommandLineLength;

// Fills childCommandLine from GetCommandLineW; ends the process when it
// cannot be split or would not fit.
void buildChildCommandLine();

// Appends one argument to childCommandLine, quoted where needed so that
// CommandLineToArgvW gives it back unchanged.
void appendQuotedArgument(const wchar_t* argument);
