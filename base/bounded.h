// The one set of bounded copy and append operations for the bootstrap's
// fixed wide-character buffers. Capacities count the terminator; whatever
// would not fit ends the process at once (no partial text is kept).
#pragma once

#include <stddef.h>

// buffer = text.
void copyBounded(wchar_t* buffer, size_t capacity, const wchar_t* text);

// buffer += text.
void appendBounded(wchar_t* buffer, size_t capacity, const wchar_t* text);

// buffer += c, for loops that keep the text's length in `length`.
void appendCharacterBounded(wchar_t* buffer, size_t capacity, size_t* length, wchar_t c);
