// Raises one failure report with the message box replaced by a recorder that
// prints what it was asked to show, so that tests see whether a build shows
// its failures in a box and what the box holds:
//   dialog_probe fatal-error | with-code N | with-detail N | open PATH | spec SPEC | terminate
// Built twice: with the build option that asks for the dialog, and without.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bootstrap/seams.h"
#include "errors/errors.h"

namespace {

std::string utf8(const wchar_t* text) {
    char buffer[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return length > 0 ? buffer : "";
}

int WINAPI recordMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    printf("box [%s] %s (type 0x%X)\n", utf8(caption).c_str(), utf8(text).c_str(), type);
    fflush(stdout);
    return IDOK;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    seamuserMessageBox = recordMessageBox;
    std::wstring command = argc >= 2 ? argv[1] : L"";
    DWORD code = argc == 3 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)) : 0;
    if (command == L"fatal-error") {
        fatalError(messageMissingHeader);
    }
    if (command == L"with-code" && argc == 3) {
        fatalErrorWithCode(messageLoadFailed, code);
    }
    if (command == L"with-detail" && argc == 3) {
        fatalErrorWithCode(messageLoadFailed, code,
                           "app.dll imports gone.dll, which cannot be found.");
    }
    if (command == L"open" && argc == 3) {
        fatalOpenFailure(argv[2]);
    }
    if (command == L"spec" && argc == 3) {
        fatalSpecExpansionError(argv[2]);
    }
    if (command == L"terminate") {
        terminateImmediately();
    }
    return 100;
}
