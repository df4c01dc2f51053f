// Linux: mkostemp beside the output, rename into place, and signal handlers
// that remove what is registered before the signal ends the process.
#include "packer/platform/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// Paths a signal handler removes: fixed storage, as the handler may not
// allocate.
constexpr int cleanupSlots = 8;
constexpr size_t cleanupPathCapacity = 4096;
struct CleanupSlot {
    volatile sig_atomic_t used;
    char path[cleanupPathCapacity];
};
CleanupSlot cleanupTable[cleanupSlots];
constexpr int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the cleanup signals back while a temporary path is created and
// registered: delivered in between, one would leave the path behind. One
// that arrives meanwhile is delivered, and removes the path, once released.
// The mask is the calling thread's: no compression threads run at that time.
class CleanupSignalsHeld {
  public:
    CleanupSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signalNumber : cleanupSignals) {
            sigaddset(&held, signalNumber);
        }
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~CleanupSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

int registerCleanup(const fs::path& path) {
    const std::string& text = path.native();
    if (text.size() >= cleanupPathCapacity) {
        return -1;
    }
    for (int i = 0; i < cleanupSlots; ++i) {
        if (!cleanupTable[i].used) {
            std::memcpy(cleanupTable[i].path, text.c_str(), text.size() + 1);
            cleanupTable[i].used = 1;
            return i;
        }
    }
    return -1;
}

void unregisterCleanup(int slot) {
    if (slot >= 0) {
        cleanupTable[slot].used = 0;
    }
}

extern "C" void removeOnSignal(int signalNumber) {
    for (CleanupSlot& slot : cleanupTable) {
        if (slot.used) {
            unlink(slot.path);
        }
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

} // namespace

void installInterruptCleanup() {
    struct sigaction action = {};
    action.sa_handler = removeOnSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : cleanupSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
}

TemporaryFile::TemporaryFile(const fs::path& destination) : destination_(destination) {
    fs::path directory = destination.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    std::string pattern =
        (directory / ("." + destination.filename().string() + ".tmp-XXXXXX")).native();
    int descriptor, error = 0;
    {
        CleanupSignalsHeld held;
        descriptor = mkostemp(pattern.data(), O_CLOEXEC);
        error = errno;
        if (descriptor >= 0) {
            slot_ = registerCleanup(pattern);
        }
    }
    if (descriptor < 0) {
        throw PackError("cannot create a file in " + quoteForMessage(pathToUtf8(directory)) +
                        " for " + quoteForMessage(pathToUtf8(destination)) + ": " +
                        systemErrorText(error));
    }
    path_ = pattern;
    stream_ = fdopen(descriptor, "w+b");
    if (!stream_) {
        int error = errno;
        ::close(descriptor);
        unlink(path_.c_str());
        unregisterCleanup(slot_);
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(destination)) + ": " +
                        systemErrorText(error));
    }
}

TemporaryFile::~TemporaryFile() {
    if (stream_) {
        std::fclose(stream_);
    }
    if (!committed_) {
        unlink(path_.c_str());
    }
    unregisterCleanup(slot_);
}

void TemporaryFile::close() {
    if (!stream_) {
        return;
    }
    bool failed = std::fflush(stream_) != 0 || std::ferror(stream_);
    int error = errno;
    if (std::fclose(stream_) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    stream_ = nullptr;
    if (failed) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(destination_)) + ": " +
                        systemErrorText(error));
    }
}

void TemporaryFile::commit(bool executable) {
    close();
    mode_t mask = umask(0);
    umask(mask);
    chmod(path_.c_str(), (executable ? 0777 : 0666) & ~mask);
    if (rename(path_.c_str(), destination_.c_str()) != 0) {
        throw PackError("cannot create " + quoteForMessage(pathToUtf8(destination_)) + ": " +
                        systemErrorText(errno));
    }
    committed_ = true;
}
