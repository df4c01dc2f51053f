// The two kinds of program that build makes, told apart by the subsystem
// field of the executable's optional header: a GUI program (the default) or
// a console program (--console). Everything else in the image is the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "packer/pe/pe_file.h"

enum class Subsystem : uint16_t {
    gui = pe::subsystemGui,
    console = pe::subsystemConsole,
};

// How a subsystem field is named to users: "GUI", "console", or "other (N)".
std::string subsystemName(uint16_t field);

// The subsystem field of the PE image in `bytes`. Throws PackError naming
// `name` and the problem when they hold no PE image.
uint16_t imageSubsystem(const unsigned char* bytes, size_t size, const std::string& name);
