// Makes the default icon's images for the packer to carry, when it is built:
// resources/icon.png scaled and encoded as a build with --icon would do it,
// written as a Windows icon file.
//
//   onefile-make-default-icon resources/icon.png default_icon.ico
#include <cstdio>
#include <fstream>
#include <iostream>

#include "packer/error.h"
#include "packer/image/icon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: onefile-make-default-icon ICON.png OUT.ico\n";
        return 2;
    }
    try {
        std::vector<unsigned char> file = iconFile(iconImagesFromFile(argv[1]));
        std::ofstream out(argv[2], std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
        if (!out.flush()) {
            std::cerr << "onefile-make-default-icon: cannot write " << argv[2] << '\n';
            return 1;
        }
    } catch (const PackError& error) {
        std::cerr << "onefile-make-default-icon: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
