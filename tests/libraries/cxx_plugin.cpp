// A plug-in in C++ built with MinGW's defaults, as most plug-ins are: it
// imports libstdc++-6.dll, libgcc_s_seh-1.dll and libwinpthread-1.dll, which
// a package carries once, at its top.
#include <mutex>
#include <string>

namespace {
std::mutex lock;
}

extern "C" __declspec(dllexport) int plug_in_name_length(const wchar_t* name) {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(std::wstring(name).size());
}
