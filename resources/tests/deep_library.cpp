// A library that the image tests pack far below the target directory.
extern "C" __declspec(dllexport) int deep_value() {
    return 4242;
}
