/* An application that updates itself as self-updaters do:
 *   update NEW_BUILD   moves its own executable aside, copies NEW_BUILD to
 *                      the same path, starts that with "report", waits for it
 *                      and prints its status
 *   report             prints where its entry library lies and whether the
 *                      file that only the new build has lies beside it */
#include <onefile/entry.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static wchar_t text[32768];

static int report(const wchar_t* entry_library_path) {
    const wchar_t* separator = wcsrchr(entry_library_path, L'\\');
    int folder = separator != NULL ? (int)(separator - entry_library_path) : 0;
    _snwprintf(text, 32768, L"%.*ls\\version.txt", folder, entry_library_path);
    text[32767] = 0;
    printf("entry=%ls\nversion.txt %s\n", entry_library_path,
           GetFileAttributesW(text) != INVALID_FILE_ATTRIBUTES ? "present" : "missing");
    return 0;
}

static int update(const wchar_t* self, const wchar_t* new_build) {
    _snwprintf(text, 32768, L"%ls.old", self);
    text[32767] = 0;
    if (!MoveFileW(self, text) || !CopyFileW(new_build, self, TRUE)) {
        printf("update failed: error %lu\n", GetLastError());
        return 1;
    }
    _snwprintf(text, 32768, L"\"%ls\" report", self);
    text[32767] = 0;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    fflush(stdout);
    if (!CreateProcessW(self, text, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
        printf("relaunch failed: error %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(started.hProcess, &status);
    CloseHandle(started.hProcess);
    printf("relaunched status=%lu\n", status);
    return 0;
}

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    if (argc == 2 && wcscmp(argv[1], L"report") == 0) {
        return report(entry_library_path);
    }
    if (argc == 3 && wcscmp(argv[1], L"update") == 0) {
        return update(argv[0], argv[2]);
    }
    return 100;
}
