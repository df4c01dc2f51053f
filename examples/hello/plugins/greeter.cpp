// A plug-in that the application loads by path at run time from a subfolder
// of its package.
extern "C" __declspec(dllexport) const char* greet() {
    return "greetings from plugins\\greeter.dll";
}
