#include "tests/support/archive_builder.h"

#include <zstd.h>

#include <stdexcept>

#include "formats/archive_layout.h"

std::string recordStream(const std::vector<TestRecord>& records, bool terminator) {
    std::string stream;
    for (const TestRecord& record : records) {
        for (wchar_t c : record.name) {
            stream.push_back(static_cast<char>(c & 0xFF));
            stream.push_back(static_cast<char>((c >> 8) & 0xFF));
        }
        stream.append(2, '\0');
        uint64_t size = record.content.size();
        for (size_t i = 0; i < recordSizeFieldSize; ++i) {
            stream.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
        }
        stream += record.content;
    }
    if (terminator) {
        stream.append(2, '\0');
    }
    return stream;
}

std::string compressFrame(const std::string& content, const ArchiveOptions& options) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level);
    if (options.windowLog > 0) {
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.windowLog);
    }
    std::string frame(ZSTD_compressBound(content.size()), '\0');
    size_t size =
        ZSTD_compress2(context, frame.data(), frame.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size)) {
        throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(size));
    }
    frame.resize(size);
    return frame;
}

std::string wrapFrame(const std::string& frame, bool trailer) {
    std::string data(reinterpret_cast<const char*>(attachedMagic), attachedMagicSize);
    data += frame;
    if (trailer) {
        data.append(trailerPadSize, '\0');
        uint64_t length = attachedMagicSize + frame.size() + trailerPadSize;
        for (size_t i = 0; i < trailerLengthSize; ++i) {
            data.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
        }
    }
    return data;
}

std::string buildAttachedData(const std::vector<TestRecord>& records,
                              const ArchiveOptions& options) {
    std::string stream = recordStream(records, options.terminator) + options.extraAfterTerminator;
    return wrapFrame(compressFrame(stream, options), options.trailer);
}
