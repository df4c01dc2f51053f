#include "base/bounded.h"

#include <wchar.h>

#include "base/termination.h"

void copyBounded(wchar_t* buffer, size_t capacity, const wchar_t* text) {
    size_t length = wcslen(text);
    if (length >= capacity) {
        terminateImmediately();
    }
    wmemcpy(buffer, text, length + 1);
}

void appendBounded(wchar_t* buffer, size_t capacity, const wchar_t* text) {
    size_t used = wcsnlen(buffer, capacity);
    size_t length = wcslen(text);
    if (used >= capacity || length >= capacity - used) {
        terminateImmediately();
    }
    wmemcpy(buffer + used, text, length + 1);
}

void appendCharacterBounded(wchar_t* buffer, size_t capacity, size_t* length, wchar_t c) {
    if (*length + 2 > capacity) {
        terminateImmediately();
    }
    buffer[*length] = c;
    buffer[++*length] = 0;
}
