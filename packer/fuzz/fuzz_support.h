// What several fuzz targets share: the standard streams kept while a
// command prints, a scratch folder for the commands that read and write
// files, and a reader that takes a fuzz input apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

// Keeps what std::cout and std::cerr are given while it lives; the
// commands' output is the fuzz target's to check, not the terminal's.
class CapturedOutput {
  public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::string standardOutput() const { return out_.str(); }

  private:
    std::ostringstream out_, err_;
    std::streambuf* oldOut_;
    std::streambuf* oldErr_;
};

// A folder of this process's own below the system's temporary folder,
// emptied by clear() and removed at exit.
const std::filesystem::path& scratchFolder();
void clearScratchFolder();

// Takes a fuzz input apart from its front.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    // The next byte, 0 once all are taken.
    uint8_t byte();
    // The bytes up to `separator` (which is taken and left out), or all.
    std::string until(char separator);
    // All bytes not taken yet.
    std::string rest();

  private:
    const uint8_t* data_;
    size_t size_;
};
