#include "errors/dialog.h"

#include "formats/archive_layout.h"
#include "base/build_constants.h"
#include "base/seams.h"
#include "base/user.h"

namespace {

typedef HWINSTA(WINAPI* WindowStationFunction)();
typedef BOOL(WINAPI* ObjectInformationFunction)(HANDLE, int, PVOID, DWORD, LPDWORD);

// The box's text: the line as printed, widened one byte a character (the
// reports hold ASCII, and paths narrowed to characters below U+0100).
wchar_t dialogText[8192];

// Whether anyone can see a window of this process: a service or a task that
// runs without logging on gets a window station that is not shown, where a
// message box would wait forever for a click that cannot come.
bool visibleWindowStation() {
    WindowStationFunction windowStation =
        reinterpret_cast<WindowStationFunction>(user32Function("GetProcessWindowStation"));
    ObjectInformationFunction information =
        reinterpret_cast<ObjectInformationFunction>(user32Function("GetUserObjectInformationW"));
    if (windowStation == nullptr || information == nullptr) {
        return false;
    }
    HWINSTA station = windowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station == nullptr || !information(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Appends `text` to the box's text at `length`, widened, as far as it fits.
size_t appendDialogText(size_t length, const char* text) {
    constexpr size_t capacity = sizeof dialogText / sizeof dialogText[0];
    for (; *text != 0 && length + 1 < capacity; ++text) {
        dialogText[length++] = static_cast<unsigned char>(*text);
    }
    dialogText[length] = 0;
    return length;
}

} // namespace

void showFailureDialog(const char* line, const char* advice) {
    if ((onefileBuildOptions & buildOptionErrorDialog) == 0 || !visibleWindowStation()) {
        return;
    }
    size_t length = appendDialogText(0, line);
    while (length > 0 && (dialogText[length - 1] == L'\n' || dialogText[length - 1] == L'\r')) {
        --length;
    }
    dialogText[length] = 0;
    if (advice != nullptr) {
        length = appendDialogText(length, "\n\n");
        appendDialogText(length, advice);
    }
    SYSTEM_CALL(userMessageBox)
    (nullptr, dialogText, onefileProductName, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
