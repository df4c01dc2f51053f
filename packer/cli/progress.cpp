#include "packer/cli/progress.h"

#include <unistd.h>

#include <cstdio>

ProgressDisplay::ProgressDisplay(ProgressMode mode)
    : terminal_(isatty(STDERR_FILENO) != 0),
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
    double mib = 1024.0 * 1024.0;
    if (terminal_) {
        std::fprintf(stderr, "\ronefile-pack: compressing %3d%% (%.1f of %.1f MiB)", percent,
                     done / mib, total / mib);
    } else if (percent / 10 > lastDecile_) {
        lastDecile_ = percent / 10;
        std::fprintf(stderr, "onefile-pack: compressing %3d%% (%.1f of %.1f MiB)\n", percent,
                     done / mib, total / mib);
    }
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressDisplay::finish() {
    if (drawn_ && terminal_) {
        std::fputc('\n', stderr);
    }
    drawn_ = false;
}
