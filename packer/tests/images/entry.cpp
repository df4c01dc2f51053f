// A tiny library for the packer's tests, built as a real MinGW-w64 DLL:
// with run_code it is an entry library, without it one the entry check
// refuses.
#ifdef WITHOUT_RUN_CODE
extern "C" __declspec(dllexport) int run_something_else(void) {
    return 0;
}
#elif defined(MANGLED_RUN_CODE)
// The common mistake: run_code in C++ without C linkage, exported under the
// compiler's decorated name.
__declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    return 0;
}
#else
extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    return 0;
}
#endif
