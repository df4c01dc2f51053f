// The entry library of the packed test executable: reports its arguments
// and a data file that was packed beside it, and returns 42.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

extern "C" __declspec(dllexport) int run_code(int count, wchar_t** vector, const wchar_t* path) {
    printf("argc=%d\n", count);
    for (int i = 1; i < count; ++i) {
        printf("arg %d: %ls\n", i, vector[i]);
    }
    // The data file lies in data\ below the directory of this library.
    wchar_t dataPath[4096];
    wcsncpy(dataPath, path, 4000);
    dataPath[4000] = 0;
    wchar_t* slash = wcsrchr(dataPath, L'\\');
    if (slash == nullptr) {
        return 1;
    }
    wcscpy(slash + 1, L"data\\greeting.txt");
    FILE* file = _wfopen(dataPath, L"rb");
    if (file == nullptr) {
        printf("no data file\n");
        return 2;
    }
    char text[256] = {};
    size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[got] = 0;
    printf("data: %s", text);
    fflush(stdout);
    return 42;
}
