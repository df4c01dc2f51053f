/* The entry library of a onefile package: the DLL that the packed executable
 * loads from the folder it unpacked the package to, and whose run_code it
 * calls. Include this header in the source that defines run_code, from C or
 * C++, and define the function with ONEFILE_ENTRY in front:
 *
 *     #include <onefile/entry.h>
 *
 *     ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
 *         ...
 *         return 0;
 *     }
 *
 * The declaration below gives run_code C linkage (an unmangled name) and
 * exports it from the DLL, and a definition with another signature does not
 * compile. What run_code returns becomes the exit status of the executable.
 *
 * argc and argv are the arguments of the process, argv[0] the path of the
 * executable itself (what the user typed is in the environment variable
 * ZEBRIK_ORIGINAL_ARGV0); entry_library_path is the full path of this DLL
 * inside the unpacked folder, beside the package's other files. run_code
 * runs on the main thread of the process, which has a stack of about 9.4 MiB.
 *
 * Build the DLL for 64-bit Windows (x86-64). With MinGW-w64, link it with
 * -static -static-libgcc -static-libstdc++, or it needs libstdc++-6.dll,
 * libgcc_s_seh-1.dll and libwinpthread-1.dll beside it; the CMake function
 * onefile_add_entry_library does this. */
#ifndef ONEFILE_ENTRY_H
#define ONEFILE_ENTRY_H

#include <wchar.h>

#ifdef __cplusplus
#define ONEFILE_ENTRY extern "C" __declspec(dllexport)
#else
#define ONEFILE_ENTRY __declspec(dllexport)
#endif

/* The type of run_code, for programs that load an entry library themselves. */
typedef int onefile_run_code_function(int argc, wchar_t** argv, const wchar_t* entry_library_path);

ONEFILE_ENTRY onefile_run_code_function run_code;

#endif
