// Environment access by ASCII name, as the handshake between parent and child uses it.
#pragma once

#include <windows.h>

constexpr size_t environmentNameCapacity = 40;     // widened name with its terminator
constexpr size_t environmentValueCapacity = 32768; // longest value (32767) with its terminator

// One ASCII character as a wide character, converted alone by the runtime's
// mbstowcs; anything but exactly one wide character ends the process at once.
wchar_t widenAsciiCharacter(char c);

// An owned heap copy of the variable's value, or null when it is unset, empty
// or longer than the read buffer.
wchar_t* getEnvironmentValue(const char* name);

// Sets the variable, or removes it when `value` is null, in the process's
// environment and in the copies the C runtimes loaded so far keep of it;
// the system's success flag.
BOOL setEnvironmentValue(const char* name, const wchar_t* value);
