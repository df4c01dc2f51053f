#include "packer/cli/commands.h"

#include <cstdio>
#include <iostream>

#include "packer/payload/archive_file.h"
#include "packer/image/coff_object.h"
#include "packer/error.h"
#include "packer/image/executable_resources.h"
#include "packer/image/icon.h"
#include "packer/payload/input_tree.h"
#include "packer/image/linker.h"
#include "packer/cli/output_file.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// A pack's output inside its own input would be packed by the next run.
void refuseOutputInsideInput(const PackOptions& options) {
    std::error_code error;
    fs::path input = fs::weakly_canonical(options.inputDirectory, error);
    fs::path output = fs::weakly_canonical(fs::absolute(options.output), error);
    if (error) {
        return;
    }
    auto mismatch = std::mismatch(input.begin(), input.end(), output.begin(), output.end());
    if (mismatch.first == input.end()) {
        throw PackError("the output " + quoteForMessage(options.output.string()) +
                        " lies inside INPUT_DIR " +
                        quoteForMessage(options.inputDirectory.string()) +
                        "; the next pack would take it in: write it elsewhere");
    }
}

void checkOutputDirectory(const fs::path& output) {
    fs::path directory = output.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
        throw PackError("the output's directory " + quoteForMessage(directory.string()) +
                        " does not exist");
    }
    if (output.filename().empty() || fs::is_directory(output, error)) {
        throw PackError("--output " + quoteForMessage(output.string()) + " names a directory");
    }
}

std::vector<InputFile> prepare(const PackOptions& options) {
    checkOutputDirectory(options.output);
    refuseOutputInsideInput(options);
    return scanInputTree(options.inputDirectory, options.entry);
}

AttachedDataSummary pack(const PackOptions& options, const std::vector<InputFile>& files,
                         ByteSink& sink) {
    ProgressDisplay display(options.progress);
    AttachedDataSummary summary = writeAttachedData(
        files, options.compression, sink,
        [&display](uint64_t done, uint64_t total) { display.update(done, total); });
    display.finish();
    return summary;
}

void report(const PackOptions& options, const std::vector<InputFile>& files,
            const AttachedDataSummary& summary) {
    if (!options.verbose) {
        return;
    }
    std::fprintf(stderr,
                 "onefile-pack: %zu files, record stream %llu bytes, frame %llu bytes "
                 "(level %d, window log %u, %u threads), attached data %llu bytes\n",
                 files.size(), static_cast<unsigned long long>(summary.contentSize),
                 static_cast<unsigned long long>(summary.frameSize), options.compression.level,
                 summary.windowLog, summary.threads,
                 static_cast<unsigned long long>(summary.totalSize));
}

} // namespace

void runArchiveCommand(const PackOptions& options) {
    std::vector<InputFile> files = prepare(options);
    TemporaryFile output(options.output);
    FileSink sink(output.stream(), options.output);
    AttachedDataSummary summary = pack(options, files, sink);
    output.commit();
    report(options, files, summary);
}

BuildConstants buildConstants(const BuildOptions& options) {
    BuildConstants constants = defaultBuildConstants(options.output);
    if (options.company) {
        constants.companyName = *options.company;
    }
    if (options.product) {
        constants.productName = *options.product;
    }
    if (options.version) {
        constants.versionNumbers = *options.version;
        constants.versionString = versionText(*options.version);
    }
    return constants;
}

namespace {

void checkKeepDirectory(const BuildOptions& options) {
    std::error_code error;
    if (options.keepObjects && !fs::is_directory(*options.keepObjects, error)) {
        throw PackError("--keep-objects " + quoteForMessage(options.keepObjects->string()) +
                        " is not a directory");
    }
}

void keepObject(const fs::path& object, const fs::path& directory, const char* name) {
    std::error_code error;
    fs::copy_file(object, directory / name, fs::copy_options::overwrite_existing, error);
    if (error) {
        throw PackError("cannot write " + quoteForMessage((directory / name).string()) + ": " +
                        error.message());
    }
}

} // namespace

void runBuildCommand(const BuildOptions& options) {
    // The toolchain, the icon and the place for the objects are checked
    // first: a mistake there should not cost a whole compression.
    Toolchain toolchain = findToolchain(options.linker, options.libraryDirectory);
    BuildConstants constants = buildConstants(options);
    std::vector<IconImage> icon =
        options.icon ? iconImagesFromFile(*options.icon) : defaultIconImages();
    checkKeepDirectory(options);
    std::vector<InputFile> files = prepare(options);

    TemporaryDirectory work;
    TemporaryFile object(work.path() / "onefile-data.o");
    ConstantsObjectWriter writer(object.stream(), object.path(), constants);
    AttachedDataSummary summary = pack(options, files, writer);
    writer.finish();
    object.close();

    TemporaryFile resources(work.path() / "onefile-resources.o");
    std::vector<unsigned char> resourceBytes = resourceObject(executableResources(constants, icon));
    FileSink(resources.stream(), resources.path())
        .write(resourceBytes.data(), resourceBytes.size());
    resources.close();

    TemporaryFile executable(options.output);
    executable.close();
    LinkJob job;
    job.objects = {object.path(), resources.path()};
    job.output = executable.path();
    job.subsystem = options.subsystem;
    linkExecutable(toolchain, job, options.verbose);
    if (options.keepObjects) {
        keepObject(object.path(), *options.keepObjects, "onefile-data.o");
        keepObject(resources.path(), *options.keepObjects, "onefile-resources.o");
    }
    executable.commit(true);
    report(options, files, summary);
    if (options.verbose) {
        std::fprintf(stderr, "onefile-pack: product %s, company %s, version %s, icon from %s\n",
                     quoteForMessage(utf16ToUtf8(constants.productName)).c_str(),
                     quoteForMessage(utf16ToUtf8(constants.companyName)).c_str(),
                     utf16ToUtf8(constants.versionString).c_str(),
                     options.icon ? quoteForMessage(options.icon->string()).c_str()
                                  : "the default icon");
    }
}

namespace {

class ListingVisitor : public RecordVisitor {
  public:
    void record(const std::u16string& path, uint64_t size) override {
        std::cout << size << ' ' << utf16ToUtf8(path) << '\n';
    }
    void content(const unsigned char*, size_t) override {}
};

} // namespace

void runListCommand(const fs::path& file, bool verbose) {
    MappedFile mapped(file);
    AttachedData data = locateAttachedData(mapped.data(), mapped.size(), file.string());
    FrameInfo frame = inspectFrame(data.frame(), data.frameSize);
    ListingVisitor visitor;
    RecordStreamEnd end = readRecords(data, visitor);
    std::cout.flush();
    if (verbose) {
        std::fprintf(stderr,
                     "onefile-pack: %llu records, record stream %llu bytes; attached data at "
                     "offset %zu, %zu bytes; frame %zu bytes, window %llu bytes%s, checksum %s, "
                     "blocks: %zu raw, %zu RLE, %zu compressed\n",
                     static_cast<unsigned long long>(end.records),
                     static_cast<unsigned long long>(end.contentSize), data.offset, data.length,
                     data.frameSize, static_cast<unsigned long long>(frame.windowSize),
                     frame.singleSegment ? " (single segment)" : "", frame.checksum ? "yes" : "no",
                     frame.rawBlocks, frame.rleBlocks, frame.compressedBlocks);
    }
    if (end.bytesAfterTerminator > 0) {
        std::fprintf(stderr, "onefile-pack: note: %llu decoded bytes after the terminator\n",
                     static_cast<unsigned long long>(end.bytesAfterTerminator));
    }
}
