#include "launch/command_line.h"

#include <wchar.h>
#include <windows.h>

#include "base/bounded.h"
#include "base/shell.h"
#include "errors/errors.h"
#include "paths/binary_path.h"

wchar_t childCommandLine[childCommandLineCapacity];
size_t childCommandLineLength;

namespace {

void appendCharacter(wchar_t c) {
    appendCharacterBounded(childCommandLine, childCommandLineCapacity, &childCommandLineLength, c);
}

void appendBackslashes(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        appendCharacter(L'\\');
    }
}

} // namespace

void appendQuotedArgument(const wchar_t* argument) {
    if (argument[0] == 0) {
        // Written as "" so that the child still sees an empty argument.
        appendCharacter(L'"');
        appendCharacter(L'"');
        return;
    }
    if (wcspbrk(argument, L" \t\n\v\"") == nullptr) {
        for (const wchar_t* c = argument; *c != 0; ++c) {
            appendCharacter(*c);
        }
        return;
    }
    // Backslashes are literal unless a double quote, or the closing quote,
    // follows them; only then are they doubled.
    appendCharacter(L'"');
    const wchar_t* c = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*c == L'\\') {
            ++backslashes;
            ++c;
        }
        if (*c == 0) {
            appendBackslashes(2 * backslashes);
            break;
        }
        if (*c == L'"') {
            appendBackslashes(2 * backslashes + 1);
        } else {
            appendBackslashes(backslashes);
        }
        appendCharacter(*c);
        ++c;
    }
    appendCharacter(L'"');
}

void buildChildCommandLine() {
    int count = 0;
    wchar_t** arguments = shellCommandLineToArgv(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 1) {
        terminateImmediately();
    }
    childCommandLine[0] = 0;
    childCommandLineLength = 0;
    // What the child is started from, whatever the user typed.
    arguments[0] = const_cast<wchar_t*>(getBinaryPath(BinaryPathForm::reported));
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            appendCharacter(L' ');
        }
        appendQuotedArgument(arguments[i]);
    }
}
