// Tells whether a top-level window of a class exists in this Wine session:
//   find_window <class>    exits 0 when one does, 1 when none does
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 100;
    }
    return FindWindowW(argv[1], nullptr) != nullptr ? 0 : 1;
}
