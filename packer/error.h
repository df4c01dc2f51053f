// The packer's error for what it cannot do with the input it was given: a
// message for the user that already names the file or option at fault.
// main() prints it and exits non-zero (a wrong command line is a UsageError).
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

class PackError : public std::runtime_error {
  public:
    explicit PackError(const std::string& message) : std::runtime_error(message) {}
};

// A message of the system for errno, for "cannot open 'x': <reason>".
inline std::string systemErrorText(int error) {
    return std::strerror(error);
}
