#include "packer/cli/progress.h"

#include <cstdio>
#include <iostream>

#include "packer/platform/console.h"

ProgressDisplay::ProgressDisplay(ProgressMode mode)
    : terminal_(standardErrorIsTerminal()),
      enabled_(mode == ProgressMode::always || (mode == ProgressMode::automatic && terminal_)),
      start_(std::chrono::steady_clock::now()) {}

ProgressDisplay::~ProgressDisplay() {
    finish();
}

void ProgressDisplay::update(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) {
        return;
    }
    if (!drawn_ && terminal_ &&
        std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) {
        return; // short packs stay silent
    }
    int percent = static_cast<int>(done * 100 / total);
    if (percent == lastPercent_) {
        return;
    }
    lastPercent_ = percent;
    const double mib = 1024.0 * 1024.0;
    char line[96];
    std::snprintf(line, sizeof line, "compressing %3d%% (%.1f of %.1f MiB)", percent, done / mib,
                  total / mib);
    if (terminal_) {
        std::cerr << "\ronefile-pack: " << line << std::flush; // drawn over in place
    } else if (percent / 10 > lastDecile_) {
        lastDecile_ = percent / 10;
        printMessage(MessageKind::plain, line);
    }
    drawn_ = true;
}

void ProgressDisplay::finish() {
    if (drawn_ && terminal_) {
        std::cerr << '\n' << std::flush;
    }
    drawn_ = false;
}
