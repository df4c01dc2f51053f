#include "packer/fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

CapturedOutput::CapturedOutput()
    : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}

CapturedOutput::~CapturedOutput() {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
}

namespace {

struct Scratch {
    std::filesystem::path path;
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "onefile-fuzz-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

Scratch& scratch() {
    static Scratch folder;
    return folder;
}

} // namespace

const std::filesystem::path& scratchFolder() {
    return scratch().path;
}

void clearScratchFolder() {
    for (const auto& entry : std::filesystem::directory_iterator(scratchFolder())) {
        std::filesystem::remove_all(entry.path());
    }
}

uint8_t InputReader::byte() {
    if (size_ == 0) {
        return 0;
    }
    --size_;
    return *data_++;
}

std::string InputReader::until(char separator) {
    const void* found = size_ ? std::memchr(data_, separator, size_) : nullptr;
    const size_t length =
        found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - data_) : size_;
    std::string text(reinterpret_cast<const char*>(data_), length);
    const size_t taken = found ? length + 1 : length;
    data_ += taken;
    size_ -= taken;
    return text;
}

std::string InputReader::rest() {
    std::string text(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    return text;
}
