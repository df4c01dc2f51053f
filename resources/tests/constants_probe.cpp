// Prints, in UTF-8, what the bootstrap's path spec expansion gives for the
// product's company, name and versions, when linked with the objects that
// onefile-pack made for a build.
#include <windows.h>

#include <stdio.h>

#include "paths/path_spec.h"

int wmain() {
    wchar_t expanded[4096];
    if (!expandPathSpec(expanded, L"{COMPANY}|{PRODUCT}|{VERSION}|{FILE_VERSION}|{PRODUCT_VERSION}",
                        4096)) {
        return 1;
    }
    char text[16384];
    int size = WideCharToMultiByte(CP_UTF8, 0, expanded, -1, text, sizeof text, nullptr, nullptr);
    if (size == 0) {
        return 2;
    }
    fwrite(text, 1, static_cast<size_t>(size - 1), stdout);
    return 0;
}
