// Answers the message box of a Wine session, as a person would:
//   answer_dialog <title>    prints the text of a message box with that title
//                            and presses its OK button; exits 1 when none is open
#include <windows.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 100;
    }
    // The class of dialog boxes, which message boxes are.
    HWND box = FindWindowW(L"#32770", argv[1]);
    if (box == nullptr) {
        return 1;
    }
    // A message box's text is the static control with the identifier 0xFFFF.
    wchar_t text[4096] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    char utf8[16384] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    printf("%s\n", utf8);
    fflush(stdout);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
}
