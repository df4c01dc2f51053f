#include "packer/payload/archive_writer.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameProgression
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace {

constexpr size_t stagingSize = 1 << 20; // record stream bytes handed to zstd at a time

struct ContextDeleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(size_t result, const char* what) {
    if (ZSTD_isError(result)) {
        throw PackError(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
    }
}

// Feeds the record stream through one zstd frame into the sink.
class FrameWriter {
  public:
    FrameWriter(ZSTD_CCtx* context, ByteSink& sink, uint64_t total,
                const ProgressCallback& progress)
        : context_(context), sink_(sink), total_(total), progress_(progress),
          staging_(new unsigned char[stagingSize]), outputSize_(ZSTD_CStreamOutSize()),
          output_(new unsigned char[outputSize_]) {}

    // Room left in the staging buffer, to be filled by the caller.
    unsigned char* space() { return staging_.get() + used_; }
    size_t room() const { return stagingSize - used_; }
    void commit(size_t count) {
        used_ += count;
        if (used_ == stagingSize) {
            flush(ZSTD_e_continue);
        }
    }

    void append(const void* data, size_t size) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        while (size > 0) {
            size_t take = size < room() ? size : room();
            std::copy(bytes, bytes + take, space());
            bytes += take;
            size -= take;
            commit(take);
        }
    }

    void finish() { flush(ZSTD_e_end); }
    uint64_t frameSize() const { return frameSize_; }

  private:
    void flush(ZSTD_EndDirective mode) {
        ZSTD_inBuffer input = {staging_.get(), used_, 0};
        for (;;) {
            // At the end zstd returns only once the output buffer is full or
            // the frame is done; a small slice brings it back every few
            // blocks, so that the progress keeps moving. The frame's bytes
            // do not depend on the slice.
            size_t slice = mode == ZSTD_e_end ? std::min(outputSize_, endSlice) : outputSize_;
            ZSTD_outBuffer output = {output_.get(), slice, 0};
            size_t remaining = ZSTD_compressStream2(context_, &output, &input, mode);
            check(remaining, "compression failed");
            if (output.pos > 0) {
                sink_.write(output_.get(), output.pos);
                frameSize_ += output.pos;
            }
            bool done = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
            if (done) {
                break;
            }
            reportProgress();
        }
        used_ = 0;
        if (mode != ZSTD_e_end) {
            reportProgress();
        } else if (progress_) {
            progress_(total_, total_); // the context has let go of the finished frame
        }
    }

    // What the workers have compressed, not what was handed to them: the
    // multi-threaded compressor takes in a whole job (up to four windows) at
    // once and compresses it afterwards.
    void reportProgress() {
        if (progress_) {
            progress_(ZSTD_getFrameProgression(context_).consumed, total_);
        }
    }

    static constexpr size_t endSlice = 16 * 1024;

    ZSTD_CCtx* context_;
    ByteSink& sink_;
    uint64_t total_;
    const ProgressCallback& progress_;
    std::unique_ptr<unsigned char[]> staging_;
    size_t used_ = 0;
    size_t outputSize_;
    std::unique_ptr<unsigned char[]> output_;
    uint64_t frameSize_ = 0;
};

// Streams one file's content into the frame, exactly `file.size` bytes.
void appendFileContent(FrameWriter& frame, const InputFile& file) {
    std::string problem;
    ReadableFile input(file.source, &problem);
    if (!input.isOpen()) {
        throw PackError("cannot open " + quoteForMessage(file.shown) + ": " + problem);
    }
    uint64_t remaining = file.size;
    while (remaining > 0) {
        size_t want = frame.room() < remaining ? frame.room() : static_cast<size_t>(remaining);
        std::optional<size_t> got = input.read(frame.space(), want, &problem);
        if (!got) {
            throw PackError("cannot read " + quoteForMessage(file.shown) + ": " + problem);
        }
        if (*got == 0) {
            throw PackError(quoteForMessage(file.shown) +
                            " became shorter while it was being packed; pack again when the "
                            "input no longer changes");
        }
        frame.commit(*got);
        remaining -= *got;
    }
    unsigned char probe;
    std::optional<size_t> extra = input.read(&probe, 1, &problem);
    if (extra && *extra > 0) {
        throw PackError(quoteForMessage(file.shown) +
                        " became longer while it was being packed; pack again when the input "
                        "no longer changes");
    }
}

} // namespace

unsigned windowLogFor(uint64_t contentSize) {
    unsigned log = 10;
    while (log < maxFrameWindowLog && (uint64_t{1} << log) < contentSize) {
        ++log;
    }
    return log;
}

AttachedDataSummary writeAttachedData(const std::vector<InputFile>& files,
                                      const CompressionSettings& settings, ByteSink& sink,
                                      const ProgressCallback& progress) {
    AttachedDataSummary summary;
    summary.contentSize = recordStreamSize(files);
    summary.windowLog =
        settings.windowLog != 0 ? settings.windowLog : windowLogFor(summary.contentSize);
    summary.threads = settings.threads;
    if (summary.threads == 0) {
        summary.threads = std::thread::hardware_concurrency();
    }
    if (summary.threads == 0) {
        summary.threads = 1;
    }

    std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    if (!context) {
        throw PackError("zstd: cannot create a compression context (out of memory)");
    }
    ZSTD_CCtx* cctx = context.get();
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, settings.level),
          "compression level");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, static_cast<int>(summary.windowLog)),
          "window log");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "content checksum");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "content size");
    // Always at least one worker: zstd's output then depends neither on the
    // number of workers nor on the machine, so equal inputs pack equally.
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, static_cast<int>(summary.threads)),
          "worker threads (this libzstd may lack multi-threading)");
    check(ZSTD_CCtx_setPledgedSrcSize(cctx, summary.contentSize), "content size");

    sink.write(attachedMagic, attachedMagicSize);
    FrameWriter frame(cctx, sink, summary.contentSize, progress);
    for (const InputFile& file : files) {
        const std::u16string& path = file.archivePath.utf16;
        for (char16_t unit : path) {
            unsigned char bytes[2];
            storeLittleEndian(bytes, unit, 2);
            frame.append(bytes, 2);
        }
        unsigned char header[2 + recordSizeFieldSize] = {0, 0};
        storeLittleEndian(header + 2, file.size, recordSizeFieldSize);
        frame.append(header, sizeof header);
        appendFileContent(frame, file);
    }
    unsigned char terminator[2] = {0, 0};
    frame.append(terminator, sizeof terminator);
    frame.finish();

    summary.frameSize = frame.frameSize();
    unsigned char trailer[trailerPadSize + trailerLengthSize] = {0, 0};
    storeLittleEndian(trailer + trailerPadSize,
                      attachedMagicSize + summary.frameSize + trailerPadSize, trailerLengthSize);
    sink.write(trailer, sizeof trailer);
    summary.totalSize = attachedOverheadSize + summary.frameSize;
    return summary;
}
