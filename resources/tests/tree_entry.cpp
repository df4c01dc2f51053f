// The entry library of the image tests: names the directory it was unpacked
// into, walks the unpacked tree below it and reports, one line each, every
// file with the length of its full path; prints the text files, and loads
// every library named deep_library.dll and calls its deep_value. Returns 0
// when every file could be opened and every library loaded, else 1.
#include <windows.h>

#include <stdio.h>

#include <string>

namespace {

std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

bool endsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Plain paths, as the packaged application would use them: no "\\?\".
bool visit(const std::wstring& directory, const std::wstring& relative) {
    bool good = true;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        printf("cannot list %s: error %lu\n", utf8(directory).c_str(), GetLastError());
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring full = directory + L"\\" + name;
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            good = visit(full, path) && good;
            continue;
        }
        printf("file %lu %s\n", static_cast<unsigned long>(full.size()), utf8(path).c_str());
        HANDLE file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            printf("cannot open it: error %lu\n", GetLastError());
            good = false;
            continue;
        }
        if (endsWith(name, L".txt")) {
            char text[256] = {};
            DWORD got = 0;
            ReadFile(file, text, sizeof text - 1, &got, nullptr);
            while (got > 0 && (text[got - 1] == '\n' || text[got - 1] == '\r')) {
                text[--got] = 0;
            }
            printf("text %s\n", text);
        }
        CloseHandle(file);
        if (name == L"deep_library.dll") {
            HMODULE library = LoadLibraryW(full.c_str());
            auto value = library ? reinterpret_cast<int (*)()>(reinterpret_cast<void*>(
                                       GetProcAddress(library, "deep_value")))
                                 : nullptr;
            if (value == nullptr) {
                printf("cannot load it: error %lu\n", GetLastError());
                good = false;
            } else {
                printf("deep_value %d\n", value());
            }
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return good;
}

} // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t* entryLibraryPath) {
    std::wstring directory = entryLibraryPath;
    directory.resize(directory.find_last_of(L'\\'));
    printf("directory %s\n", utf8(directory.substr(directory.find_last_of(L'\\') + 1)).c_str());
    bool good = visit(directory, L"");
    fflush(stdout);
    return good ? 0 : 1;
}
