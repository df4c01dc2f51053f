// What both systems' outputs share: the stdio stream they are written through.
#include "packer/platform/output_file.h"

#include <cerrno>

#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/text.h"

void FileSink::write(const void* data, size_t size) {
    if (std::fwrite(data, 1, size, stream_) != size) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(path_)) + ": " +
                        systemErrorText(errno));
    }
}
