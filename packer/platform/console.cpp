// What both systems' standard streams share: the user's say on colours and
// the packer's labelled lines.
#include "packer/platform/console.h"

#include <cstdlib>
#include <iostream>

bool coloursWanted() {
    const char* noColour = std::getenv("NO_COLOR");
    return !(noColour && *noColour);
}

void printMessage(MessageKind kind, const std::string& text) {
    static const char* const labels[] = {"", "note: ", "warning: ", "error: "};
    static const char* const colours[] = {"", "\033[1;36m", "\033[1;35m", "\033[1;31m"};
    static const bool coloured = standardErrorShowsColours();
    const int index = static_cast<int>(kind);
    std::string line = "onefile-pack: ";
    if (coloured && *colours[index]) {
        line += std::string(colours[index]) + labels[index] + "\033[0m";
    } else {
        line += labels[index];
    }
    std::cerr << line + text + '\n' << std::flush;
}

void WarningReport::add(const WarningMessage& message) {
    if (silenced_.count(message.warning) != 0) {
        return;
    }
    if (quiet_) {
        counted_[message.warning] += 1;
    } else {
        printMessage(MessageKind::warning, warningLine(message));
    }
}

void WarningReport::finish() {
    size_t total = 0;
    std::string kinds;
    for (const auto& [warning, count] : counted_) {
        total += count;
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(count) + " " + warningName(warning);
    }
    counted_.clear();
    if (total > 0) {
        printMessage(MessageKind::warning, std::to_string(total) +
                                               (total == 1 ? " warning" : " warnings") + " (" +
                                               kinds + "), shown without --quiet");
    }
}
