// Progress of a long pack on standard error: shown on a terminal once a pack
// has run for a second, always when asked for, never when told to be quiet.
#pragma once

#include <chrono>
#include <cstdint>

enum class ProgressMode { automatic, always, never };

class ProgressDisplay {
  public:
    explicit ProgressDisplay(ProgressMode mode);
    ~ProgressDisplay();
    void update(uint64_t done, uint64_t total);
    // Ends the progress line, if one was drawn.
    void finish();

  private:
    bool terminal_;
    bool enabled_;
    bool drawn_ = false;
    int lastPercent_ = -1;
    int lastDecile_ = -1; // without a terminal: one line each tenth
    std::chrono::steady_clock::time_point start_;
};
