// Outputs that appear whole or not at all: written under a temporary name
// in the destination's directory and moved into place at the end, in one
// step. Whatever is not committed is removed, also when the packer is
// interrupted (signals on Linux; Ctrl-C, Ctrl-Break and closing the console
// on Windows).
#pragma once

#include <cstdint>
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
    // Closes and moves the file into place, replacing what was there. On
    // Linux it gets the mode 0644 less the umask, or 0755 when executable.
    void commit(bool executable = false);

  private:
    std::filesystem::path destination_;
    std::filesystem::path path_;
    FILE* stream_ = nullptr;
    bool committed_ = false;
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

// Removes the registered temporary files when the packer is interrupted,
// then lets the interrupt end it as it would have.
void installInterruptCleanup();

#ifdef _WIN32
// The console control handler that installInterruptCleanup installs. For
// Ctrl-C, Ctrl-Break, the console's close, log-off and shutdown it removes
// the registered files and ends the process with STATUS_CONTROL_C_EXIT;
// other events it leaves to the next handler (returns 0).
int __stdcall removeOnConsoleEvent(unsigned long event);
#endif
