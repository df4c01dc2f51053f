// Preloaded into onefile-pack by tests: the packer interrupts itself with
// SIGINT the moment mkostemp or mkdtemp has created a path, before it can
// register that path for removal. A window a test could otherwise hit only
// by chance is hit every time.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>

extern "C" int mkostemp(char* pattern, int flags) {
    static auto real = reinterpret_cast<int (*)(char*, int)>(dlsym(RTLD_NEXT, "mkostemp"));
    int descriptor = real(pattern, flags);
    if (descriptor >= 0) {
        raise(SIGINT);
    }
    return descriptor;
}

extern "C" char* mkdtemp(char* pattern) {
    static auto real = reinterpret_cast<char* (*)(char*)>(dlsym(RTLD_NEXT, "mkdtemp"));
    char* made = real(pattern);
    if (made != nullptr) {
        raise(SIGINT);
    }
    return made;
}
