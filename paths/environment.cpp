#include "paths/environment.h"

#include <stdlib.h>
#include <wchar.h>

#include "errors/errors.h"

namespace {

// The longest value the system allows, with its terminator; read once per call.
wchar_t environmentValueBuffer[environmentValueCapacity];

// "NAME=value", the form in which a C runtime takes a change; only the main
// thread sets variables.
wchar_t runtimeAssignment[environmentNameCapacity + environmentValueCapacity];

typedef int(__cdecl* PutEnvironment)(const wchar_t*);
typedef char***(__cdecl* NarrowEnvironment)();
typedef wchar_t***(__cdecl* WideEnvironment)();

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

void* runtimeFunction(HMODULE runtime, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(runtime, name));
}

// A C runtime copies the environment when it starts and answers getenv and
// _wgetenv from its copy, not from the system's: an application run in this
// process (a cached build's) would see what the process inherited. So each
// runtime already here with a copy of its own takes the change too: msvcrt,
// which this program and MinGW's default entries share, and the universal
// runtime when something has loaded it already. One that starts later
// copies the environment as it is then.
void tellRuntimes(const wchar_t* wideName, const wchar_t* value) {
    // Nothing after the sign removes the variable from a runtime's copy.
    const wchar_t* text = value != nullptr ? value : L"";
    size_t length = wcsnlen(text, environmentValueCapacity);
    if (length == environmentValueCapacity) {
        return; // longer than the system takes either
    }
    size_t nameLength = wcslen(wideName);
    wmemcpy(runtimeAssignment, wideName, nameLength);
    runtimeAssignment[nameLength] = L'=';
    wmemcpy(runtimeAssignment + nameLength + 1, text, length + 1);
    _wputenv(runtimeAssignment);
    HMODULE universal = GetModuleHandleW(L"ucrtbase.dll");
    if (universal == nullptr) {
        return;
    }
    PutEnvironment put = reinterpret_cast<PutEnvironment>(runtimeFunction(universal, "_wputenv"));
    NarrowEnvironment narrow =
        reinterpret_cast<NarrowEnvironment>(runtimeFunction(universal, "__p__environ"));
    WideEnvironment wide =
        reinterpret_cast<WideEnvironment>(runtimeFunction(universal, "__p__wenviron"));
    // Loaded but without a copy yet: it makes one from the system's
    // environment, as it is by then, when it is first asked.
    if (put == nullptr || narrow == nullptr || wide == nullptr ||
        (*narrow() == nullptr && *wide() == nullptr)) {
        return;
    }
    put(runtimeAssignment);
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
    tellRuntimes(wideName, value);
    // Last: a runtime sets the system's value too, and removes an empty one.
    return SetEnvironmentVariableW(wideName, value);
}
