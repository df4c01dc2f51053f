#include "paths/environment.h"

#include <stdlib.h>
#include <wchar.h>

#include "errors/errors.h"

namespace {

// The longest value the system allows, with its terminator; read once per call.
wchar_t environmentValueBuffer[environmentValueCapacity];

void widenName(const char* name, wchar_t* wide) {
    size_t i = 0;
    for (; name[i] != 0; ++i) {
        if (i + 1 >= environmentNameCapacity) {
            terminateImmediately();
        }
        wide[i] = widenAsciiCharacter(name[i]);
    }
    wide[i] = 0;
}

} // namespace

wchar_t widenAsciiCharacter(char c) {
    char narrow[2] = {c, 0};
    wchar_t wide[2] = {0, 0};
    if (mbstowcs(wide, narrow, 2) != 1) {
        terminateImmediately();
    }
    return wide[0];
}

wchar_t* getEnvironmentValue(const char* name) {
    wchar_t wideName[environmentNameCapacity];
    widenName(name, wideName);
    DWORD length =
        GetEnvironmentVariableW(wideName, environmentValueBuffer, environmentValueCapacity);
    // An answer of the capacity or more is the size a longer value would need.
    if (length == 0 || length >= environmentValueCapacity) {
        return nullptr;
    }
    wchar_t* copy = _wcsdup(environmentValueBuffer);
    if (copy == nullptr) {
        fatalError(messageNoMemory);
    }
    return copy;
}

BOOL setEnvironmentValue(const char* name, const wchar_t* value) {
    wchar_t wideName[environmentNameCapacity];
    widenName(name, wideName);
    return SetEnvironmentVariableW(wideName, value);
}
