/* A plug-in that an application loads by path at run time; it imports
 * helper.dll. */
const char* greet(void);

__declspec(dllexport) const char* plug_in_greeting(void) {
    return greet();
}
