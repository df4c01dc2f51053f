// A library that exists only next to the test programs: whatever finds it by
// name searched the executable's folder.
extern "C" __declspec(dllexport) int onefilePlanted() {
    return 1;
}
