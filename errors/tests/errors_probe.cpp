// Runs one reporting operation or bounded-buffer operation, chosen by the
// first argument, so that tests can watch streams and exit statuses. The
// message box of the error dialog is replaced by a line on standard output,
// "box [<title>] <text> (type <flags>)", that tells what it would show; built
// as errors_dialog_probe, the probe stands for a build with the dialog.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "base/bounded.h"
#include "base/seams.h"
#include "errors/errors.h"

namespace {

// A text of `length` characters 'a'.
std::wstring text(size_t length) {
    return std::wstring(length, L'a');
}

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
    if (argc < 2) {
        return 100;
    }
    std::wstring command = argv[1];
    if (command == L"fatal-error") {
        fatalError("Error, couldn't find attached data header.");
    }
    if (command == L"with-code" && argc == 3) {
        fatalErrorWithCode("Error, load DLL.", static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)));
    }
    if (command == L"with-detail" && argc == 3) {
        fatalErrorWithCode("Error, load DLL.", static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)),
                           "app.dll imports gone.dll, which cannot be found.");
    }
    if (command == L"launch-failure" && argc == 3) {
        fatalErrorWithCode("Error, couldn't launch child",
                           static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)));
    }
    if (command == L"spec" && argc == 3) {
        fatalSpecExpansionError(argv[2]);
    }
    if (command == L"open" && argc == 3) {
        fatalOpenFailure(argv[2]);
    }
    if (command == L"terminate") {
        terminateImmediately();
    }
    // bounded <copy|append|character> <capacity> <existing length> <added length>
    if (command == L"bounded" && argc == 6) {
        std::wstring operation = argv[2];
        size_t capacity = wcstoul(argv[3], nullptr, 10);
        size_t existing = wcstoul(argv[4], nullptr, 10);
        size_t added = wcstoul(argv[5], nullptr, 10);
        // Guard cells after the buffer show any write past the capacity.
        std::wstring storage(capacity + 8, L'#');
        wchar_t* buffer = storage.data();
        std::wstring start = text(existing);
        wmemcpy(buffer, start.c_str(), existing + 1);
        if (operation == L"copy") {
            copyBounded(buffer, capacity, text(added).c_str());
        } else if (operation == L"append") {
            appendBounded(buffer, capacity, text(added).c_str());
        } else if (operation == L"character") {
            size_t length = existing;
            for (size_t i = 0; i < added; ++i) {
                appendCharacterBounded(buffer, capacity, &length, L'a');
            }
        } else {
            return 100;
        }
        for (size_t i = capacity; i < capacity + 8; ++i) {
            if (storage[i] != L'#') {
                printf("overrun\n");
                return 101;
            }
        }
        printf("%u\n", static_cast<unsigned>(wcslen(buffer)));
        return 0;
    }
    return 100;
}
