// Outputs that appear whole or not at all: written under a temporary name
// in the destination's directory and renamed at the end. Whatever is not
// committed is removed, also when the packer is interrupted.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "packer/byte_sink.h"

// A temporary file beside `destination`, removed unless committed.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::filesystem::path& destination);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The open stream; null after close().
    FILE* stream() { return stream_; }
    // Flushes and closes the stream; throws PackError on a write error.
    void close();
    // Closes, sets the mode (0644 less the umask, or executable), renames.
    void commit(bool executable = false);

  private:
    std::filesystem::path destination_;
    std::filesystem::path path_;
    FILE* stream_ = nullptr;
    bool committed_ = false;
    int slot_ = -1;
};

// A temporary directory for intermediate files, removed with its contents.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    int slot_ = -1;
};

// A sink that writes to a stdio stream, naming `path` on failure.
class FileSink : public ByteSink {
  public:
    FileSink(FILE* stream, std::filesystem::path path) : stream_(stream), path_(std::move(path)) {}
    void write(const void* data, size_t size) override;

  private:
    FILE* stream_;
    std::filesystem::path path_;
};

// Removes registered temporary paths on SIGINT, SIGTERM and SIGHUP, then
// lets the signal end the process as usual.
void installInterruptCleanup();
