#include "packer/cli/commands.h"

#include "archive/layout.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "packer/payload/archive_file.h"
#include "packer/payload/archive_path.h"
#include "packer/dependencies/dependency_check.h"
#include "packer/error.h"
#include "packer/image/bootstrap_image.h"
#include "packer/image/constant_slots.h"
#include "packer/image/executable_resources.h"
#include "packer/image/icon.h"
#include "packer/image/image_writer.h"
#include "packer/payload/input_tree.h"
#include "packer/image/pe_file.h"
#include "packer/image/target_directory.h"
#include "packer/inspect/inspect_commands.h"
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

// The patterns of --exclude-from files after those of the command line.
Exclusions allExclusions(const PackOptions& options) {
    Exclusions exclusions = options.exclusions;
    for (const fs::path& file : options.exclusionFiles) {
        const std::string quoted = quoteForMessage(file.string());
        std::error_code error;
        if (!fs::is_regular_file(file, error)) {
            throw PackError(
                "--exclude-from " + quoted +
                (fs::exists(file, error) ? " is not a regular file" : " does not exist"));
        }
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (!in) {
            throw PackError("cannot read --exclude-from " + quoted);
        }
        for (const auto& [line, text] : exclusionFileLines(content.str())) {
            std::string problem;
            std::optional<ExclusionPattern> pattern = ExclusionPattern::parse(text, &problem);
            const std::string origin = "--exclude-from " + quoted + " line " +
                                       std::to_string(line) + " " + quoteForMessage(text);
            if (!pattern) {
                throw PackError(origin + ": the pattern " + problem);
            }
            exclusions.add(std::move(*pattern), origin);
        }
    }
    return exclusions;
}

std::vector<InputFile> prepare(const PackOptions& options) {
    checkOutputDirectory(options.output);
    refuseOutputInsideInput(options);
    return scanInputTree(options.inputDirectory, options.entry, allExclusions(options));
}

// What a pack would hold, as list shows the records of what it makes.
void printDryRun(const std::vector<InputFile>& files) {
    uint64_t bytes = 0;
    for (const InputFile& file : files) {
        std::cout << recordListingLine(file.size, file.archivePath.utf16);
        bytes += file.size;
    }
    std::cout.flush();
    std::fprintf(stderr,
                 "onefile-pack: dry run: %zu files, %llu bytes (record stream %llu bytes); "
                 "nothing was written\n",
                 files.size(), static_cast<unsigned long long>(bytes),
                 static_cast<unsigned long long>(recordStreamSize(files)));
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
    if (options.dryRun) {
        printDryRun(files);
        return;
    }
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
    if (options.cache) {
        constants.targetMode = TargetMode::cached;
        constants.targetDirectorySpec = defaultTargetDirectorySpec(constants.targetMode);
    }
    if (options.errorDialog) {
        constants.options |= buildOptionErrorDialog;
    }
    if (options.progressWindow) {
        constants.options |= buildOptionProgressWindow;
    }
    if (options.keepOtherVersions) {
        constants.options |= buildOptionKeepOtherVersions;
    }
    if (options.targetDirectorySpec) {
        std::optional<std::u16string> spec = utf8ToUtf16(*options.targetDirectorySpec);
        if (!spec) {
            throw PackError("--target-dir " + quoteForMessage(*options.targetDirectorySpec) +
                            ": it is not UTF-8");
        }
        constants.targetDirectorySpec = *spec;
    }
    return constants;
}

namespace {

// The bootstrap calls run_code of the first record: a file that could not
// serve would fail only when the executable runs on someone else's machine.
void checkEntryLibrary(const BuildOptions& options, const InputFile& entry) {
    MappedFile mapped(entry.source);
    std::string problem = entryLibraryProblem(mapped.data(), mapped.size());
    if (!problem.empty()) {
        throw PackError("--entry " + quoteForMessage(options.entry) + ": " +
                        quoteForMessage(entry.shown) + " " + problem);
    }
}

// The executable's file name, as a typical user would start it.
std::u16string programFile(const BuildOptions& options) {
    return utf8ToUtf16(options.output.filename().string()).value_or(u"onefile.exe");
}

// A program that Explorer and the command prompt would not start.
void warnOfOutputWithoutExe(const BuildOptions& options) {
    const std::string name = options.output.filename().string();
    if (withoutExeSuffix(name) == name) {
        std::fprintf(stderr,
                     "onefile-pack: warning: --output %s does not end in .exe; Windows starts "
                     "programs by double-click or by name only when they do\n",
                     quoteForMessage(options.output.string()).c_str());
    }
}

// Who gave the texts that the target directory's references take.
SpecTextOrigins specTextOrigins(const BuildOptions& options, const BuildConstants& constants) {
    SpecTextOrigins origins;
    origins.spec = utf16ToUtf8(constants.targetDirectorySpec);
    origins.company = options.company
                          ? "--company " + quoteForMessage(utf16ToUtf8(*options.company))
                          : "--company (not given)";
    const std::string product = quoteForMessage(utf16ToUtf8(constants.productName));
    origins.product = options.product ? "--product " + product
                                      : "the product name " + product +
                                            " (from --output; --product sets another)";
    const std::string version = quoteForMessage(utf16ToUtf8(constants.versionString));
    origins.version = (options.version ? "--version " : "the version ") + version;
    return origins;
}

// Every library that the package's files import must be where the loader
// will look for it in the child, else the executable fails on the user's
// machine with no more than a system error code.
void checkPackageDependencies(const BuildOptions& options, const std::vector<InputFile>& files) {
    std::vector<PackagedImage> images;
    for (const InputFile& file : files) {
        MappedFile mapped(file.source);
        if (std::optional<PackagedImage> image =
                packagedImage(file.archivePath.utf8, mapped.data(), mapped.size())) {
            images.push_back(std::move(*image));
        }
    }
    DependencyFindings findings =
        checkDependencies(images, files.front().archivePath.utf8, options.allowMissing);
    if (!findings.sound()) {
        throw PackError(dependencyRefusal(findings));
    }
    for (const std::string& warning : findings.warnings) {
        std::fprintf(stderr, "onefile-pack: warning: %s\n", warning.c_str());
    }
}

// The longest path each run opens, with the target directory as it expands
// for a typical user: warned of past the classic limit, refused past the
// bootstrap's.
void warnOfLongPaths(const BuildOptions& options, const BuildConstants& constants,
                     const std::vector<SpecPart>& spec, const std::vector<InputFile>& files) {
    const std::u16string* longest = &files.front().archivePath.utf16;
    for (const InputFile& file : files) {
        if (file.archivePath.utf16.size() > longest->size()) {
            longest = &file.archivePath.utf16;
        }
    }
    std::u16string directory = typicalTargetDirectory(spec, constants, programFile(options));
    if (constants.targetMode == TargetMode::cached) {
        directory += u"\\" + std::u16string(cacheIdLength, u'0'); // the id's place
    }
    std::string warning = checkPathBudget(directory, *longest);
    if (!warning.empty()) {
        std::fprintf(stderr, "onefile-pack: warning: %s\n", warning.c_str());
    }
}

// What a cached build's bootstrap checks its directory against. The marker
// that it writes beside the records must not be one of them.
CacheFacts cacheFacts(const std::vector<InputFile>& files) {
    CacheFacts facts;
    const std::u16string marker = caseFoldKey(u"" ONEFILE_CACHE_MARKER_NAME);
    for (const InputFile& file : files) {
        if (caseFoldKey(file.archivePath.utf16) == marker) {
            throw PackError(quoteForMessage(file.shown) + ": in cached mode the name " +
                            quoteForMessage(ONEFILE_CACHE_MARKER_NAME) +
                            " at the top is the bootstrap's own, which marks a complete directory");
        }
        facts.records += 1;
        facts.contentBytes += file.size;
    }
    facts.entryName = files.front().archivePath.utf16;
    return facts;
}

} // namespace

void runBuildCommand(const BuildOptions& options) {
    // The options, the icon and the bootstrap image are checked first: a
    // mistake there should not cost a whole compression.
    warnOfOutputWithoutExe(options);
    BuildConstants constants = buildConstants(options);
    std::vector<SpecPart> spec =
        checkTargetDirectorySpec(constants.targetDirectorySpec, constants.targetMode);
    checkTargetDirectoryFolders(spec, constants, programFile(options),
                                specTextOrigins(options, constants));
    std::vector<IconImage> icon =
        options.icon ? iconImagesFromFile(*options.icon) : defaultIconImages();
    const BootstrapImage& image = bootstrapImage(options.subsystem);
    std::vector<InputFile> files = prepare(options);
    if (options.checkEntry) {
        checkEntryLibrary(options, files.front());
        checkPackageDependencies(options, files);
    }
    std::optional<CacheFacts> cache;
    if (constants.targetMode == TargetMode::cached) {
        cache = cacheFacts(files);
    }
    warnOfLongPaths(options, constants, spec, files);
    if (options.dryRun) {
        printDryRun(files);
        return;
    }

    // The executable is written straight from the bootstrap image: the
    // attached data into its place as it is made, then what lies around it.
    TemporaryFile executable(options.output);
    ExecutableWriter writer(executable.stream(), executable.path(), image);
    CacheIdSink cacheId(writer);
    AttachedDataSummary summary = pack(
        options, files, cache ? static_cast<ByteSink&>(cacheId) : static_cast<ByteSink&>(writer));
    writer.finish(
        constantValues(constants, writer.attachedLength(), cache ? &*cache : nullptr, cacheId.id()),
        ResourceSection(executableResources(constants, icon)));
    executable.commit(true);
    report(options, files, summary);
    if (options.verbose && cache) {
        std::fprintf(stderr, "onefile-pack: cached mode, the build's id %s\n",
                     utf16ToUtf8(cacheId.id()).c_str());
    }
    if (options.verbose) {
        std::fprintf(stderr, "onefile-pack: product %s, company %s, version %s, icon from %s\n",
                     quoteForMessage(utf16ToUtf8(constants.productName)).c_str(),
                     quoteForMessage(utf16ToUtf8(constants.companyName)).c_str(),
                     utf16ToUtf8(constants.versionString).c_str(),
                     options.icon ? quoteForMessage(options.icon->string()).c_str()
                                  : "the default icon");
    }
}
