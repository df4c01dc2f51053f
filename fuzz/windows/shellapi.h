// The stand-in's part of <shellapi.h> (see windows.h): only named, never used.
#pragma once

struct SHFILEOPSTRUCTW;
typedef SHFILEOPSTRUCTW* LPSHFILEOPSTRUCTW;
