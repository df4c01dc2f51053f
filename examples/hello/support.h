// A library the entry library imports directly: the loader finds it next to
// the entry library in the unpacked directory.
#pragma once

#ifdef HELLO_SUPPORT_BUILD
#define HELLO_SUPPORT_API __declspec(dllexport)
#else
#define HELLO_SUPPORT_API __declspec(dllimport)
#endif

extern "C" HELLO_SUPPORT_API const char* supportGreeting();
