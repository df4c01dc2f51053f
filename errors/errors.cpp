#include "errors/errors.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "errors/dialog.h"

namespace {

// Room for the longest path the bootstrap handles, with its terminator.
char messageArgument[4096];

// Shown when the system has no English text for a code, so that the line
// still names the message and the code.
const char* const missingSystemText = "no system text for this error code";

// The line of a formatted report, for the dialog.
char dialogLine[8192];

// What the dialog tells the person who started the program, besides the
// line: for a message that means the files it runs are not all there, or
// not as they were packed, that the fix lies with its installation.
const char* adviceFor(const char* message) {
    const char* const incomplete[] = {messageMissingHeader, messageUndecodable,
                                      messageNoEntryLibrary, messageLoadFailed,
                                      messageNoEntryPoint};
    for (const char* known : incomplete) {
        // By text: each file that includes the messages has its own copy.
        if (strcmp(message, known) == 0) {
            return adviceIncomplete;
        }
    }
    return nullptr;
}

// Writes a formatted report to `stream`, then shows it in the dialog of a
// build that has one, with `advice` (or none) below it.
void report(FILE* stream, const char* advice, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stream, format, arguments);
    va_end(arguments);
    va_start(arguments, format);
    vsnprintf(dialogLine, sizeof dialogLine, format, arguments);
    va_end(arguments);
    dialogLine[sizeof dialogLine - 1] = 0;
    showFailureDialog(dialogLine, advice);
}

} // namespace

void narrowForMessage(const wchar_t* text, char* out, size_t capacity) {
    size_t length = 0;
    while (length + 1 < capacity && text[length] != 0 && text[length] < 0x100) {
        out[length] = static_cast<char>(text[length]);
        ++length;
    }
    out[length] = 0;
}

void fatalError(const char* message) {
    runFailureCleanup();
    puts(message);
    showFailureDialog(message, adviceFor(message));
    exit(2);
}

void fatalErrorWithCode(const char* message, DWORD code) {
    fatalErrorWithCode(message, code, nullptr);
}

void fatalErrorWithCode(const char* message, DWORD code, const char* detail) {
    runFailureCleanup();
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length > 0 && text != nullptr) {
        while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
            text[--length] = 0;
        }
    } else {
        text = const_cast<char*>(missingSystemText);
    }
    report(stderr, adviceFor(message), "%s ([Error %ld] %s)%s%s\n", message,
           static_cast<long>(code), text, detail != nullptr ? " " : "",
           detail != nullptr ? detail : "");
    exit(2);
}

void fatalSpecExpansionError(const wchar_t* spec) {
    narrowForMessage(spec, messageArgument, sizeof messageArgument);
    report(stderr, nullptr, "Error, couldn't runtime expand spec '%s'.\n", messageArgument);
    terminateImmediately();
}

void fatalOpenFailure(const wchar_t* path) {
    runFailureCleanup();
    narrowForMessage(path, messageArgument, sizeof messageArgument);
    report(stderr, nullptr, "Error, failed to open '%s' for writing.\n", messageArgument);
    exit(2);
}
