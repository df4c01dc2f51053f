// The child's command line: the process's own arguments re-quoted, with
// element 0 replaced by the executable's module file name.
#pragma once

// Fills childCommandLine from GetCommandLineW; ends the process when it
// cannot be split or would not fit.
void buildChildCommandLine();

// Appends one argument to childCommandLine, quoted where needed so that
// CommandLineToArgvW gives it back unchanged.
void appendQuotedArgument(const wchar_t* argument);
