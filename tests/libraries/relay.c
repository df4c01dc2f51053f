/* A library that a build of helper.dll imports, for a package that lacks it. */
__declspec(dllexport) const char* relayed(void) {
    return "HELLO";
}
