/* An entry that reports the environment as its C runtime sees it, for the
 * variables named by its arguments after the first:
 *
 *     runtime=<the file name of the library its getenv comes from>
 *     pid=<this process's identifier>
 *     getenv NAME=<value>      or   getenv NAME unset
 *     _wgetenv NAME=<value>    or   _wgetenv NAME unset
 *
 * Built against msvcrt and against the universal runtime, each of which
 * keeps a copy of the environment of its own. It writes through the system
 * rather than either runtime's streams, and values as UTF-8. */
#include <onefile/entry.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

static char text[4 * 32768 + 64];

static void writeText(const char* part) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), part, (DWORD)strlen(part), &written, NULL);
}

static void writeWide(const wchar_t* part) {
    int length = WideCharToMultiByte(CP_UTF8, 0, part, -1, text, sizeof text, NULL, NULL);
    text[length > 0 ? length - 1 : 0] = 0;
    writeText(text);
}

/* The import library's pointer to getenv, which the loader filled in: the
 * function itself rather than a jump to it in this library. */
extern char* (*__imp_getenv)(const char*);

static void writeRuntime(void) {
    HMODULE runtime = NULL;
    wchar_t path[MAX_PATH] = L"";
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)(void*)__imp_getenv, &runtime);
    GetModuleFileNameW(runtime, path, MAX_PATH);
    const wchar_t* name = wcsrchr(path, L'\\');
    writeText("runtime=");
    writeWide(name != NULL ? name + 1 : path);
    writeText("\n");
}

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    (void)entry_library_path;
    writeRuntime();
    wchar_t pid[16];
    _ultow(GetCurrentProcessId(), pid, 10);
    writeText("pid=");
    writeWide(pid);
    writeText("\n");
    for (int i = 1; i < argc; ++i) {
        char name[256];
        if (WideCharToMultiByte(CP_ACP, 0, argv[i], -1, name, sizeof name, NULL, NULL) == 0) {
            return 1;
        }
        const char* narrow = getenv(name);
        writeText("getenv ");
        writeText(name);
        writeText(narrow != NULL ? "=" : " unset");
        writeText(narrow != NULL ? narrow : "");
        writeText("\n");
        const wchar_t* wide = _wgetenv(argv[i]);
        writeText("_wgetenv ");
        writeText(name);
        writeText(wide != NULL ? "=" : " unset");
        writeWide(wide != NULL ? wide : L"");
        writeText("\n");
    }
    return 0;
}
