// The consumer example's entry library: it prints what it was given and two
// files packed with it, and returns the status that an argument "exit=N"
// asks for.
#include <onefile/entry.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

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

// The first line of a file, or a note that it cannot be read.
std::string firstLine(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return "(cannot read " + utf8(path) + ")";
    }
    char buffer[512] = {};
    std::string line = fgets(buffer, sizeof buffer, file) ? buffer : "";
    fclose(file);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

} // namespace

// What the bootstrap calls: the arguments (element 0 is the executable) and
// the path of this library inside the directory the package was unpacked to.
ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entryLibraryPath) {
    std::wstring library = entryLibraryPath;
    std::wstring folder = library.substr(0, library.find_last_of(L'\\'));
    printf("library: %s\n", utf8(library).c_str());
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        printf("argument %d: %s\n", i, utf8(argv[i]).c_str());
        if (wcsncmp(argv[i], L"exit=", 5) == 0) {
            status = _wtoi(argv[i] + 5);
        }
    }
    printf("message: %s\n", firstLine(folder + L"\\data\\message.txt").c_str());
    printf("setting: %s\n", firstLine(folder + L"\\settings\\greeting.ini").c_str());
    fflush(stdout);
    return status;
}
