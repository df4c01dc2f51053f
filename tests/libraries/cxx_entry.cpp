// An entry library in C++ built with MinGW's defaults: it uses the C++
// library and a mutex, so it imports libstdc++-6.dll, libgcc_s_seh-1.dll and
// libwinpthread-1.dll, which no Windows has.
#include <onefile/entry.h>

#include <mutex>
#include <string>

namespace {
std::mutex lock;
}

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    std::lock_guard<std::mutex> guard(lock);
    std::wstring path = entry_library_path;
    return argc > 1 ? static_cast<int>(std::wstring(argv[1]).size())
                    : static_cast<int>(path.size()) % 7;
}
