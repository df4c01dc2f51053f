// The stand-in's part of <shlobj.h> (see windows.h): the folders a spec
// names, answered by shellGetFolderPath in host_windows.cpp.
#pragma once

#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_PROFILE 0x0028
#define SHGFP_TYPE_CURRENT 0
