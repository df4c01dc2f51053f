// What both systems' file layers share, built on what each gives.
#include "packer/platform/files.h"

namespace fs = std::filesystem;

std::optional<std::string> readWholeFile(const fs::path& path, std::string* problem) {
    ReadableFile file(path, problem);
    if (!file.isOpen()) {
        return std::nullopt;
    }
    std::string content;
    char buffer[1 << 16];
    for (;;) {
        std::optional<size_t> got = file.read(buffer, sizeof buffer, problem);
        if (!got) {
            return std::nullopt;
        }
        if (*got == 0) {
            return content;
        }
        content.append(buffer, *got);
    }
}
