// USER32, bound on first use from the system directory instead of imported:
// only a build that shows a window or a message box loads it, and only then.
#pragma once

#include <windows.h>

// The named USER32 function; null when USER32 cannot be had.
void* user32Function(const char* name);

// MessageBoxW; 0 when USER32 cannot be had.
int userMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
