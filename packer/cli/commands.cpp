#include "packer/cli/commands.h"

#include "formats/archive_layout.h"

#include <cstdio>
#include <iostream>

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
#include "packer/pe/pe_file.h"
#include "packer/cli/target_dir_check.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/platform/console.h"
#include "packer/platform/files.h"
#include "packer/platform/output_file.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// A pack's output inside its own input would be packed by the next run.
void refuseOutputInsideInput(const PackOptions& options) {
    if (liesWithin(options.output, options.inputDirectory).value_or(false)) {
        throw PackError("the output " + quoteForMessage(pathToUtf8(options.output)) +
                        " lies inside INPUT_DIR " +
                        quoteForMessage(pathToUtf8(options.inputDirectory)) +
                        "; the next pack would take it in: write it elsewhere");
    }
}

void checkOutputDirectory(const fs::path& output) {
    fs::path directory = output.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    if (kindOf(directory) != FileKind::directory) {
        throw PackError("the output's directory " + quoteForMessage(pathToUtf8(directory)) +
                        " does not exist");
    }
    if (output.filename().empty() || kindOf(output) == FileKind::directory) {
        throw PackError("--output " + quoteForMessage(pathToUtf8(output)) + " names a directory");
    }
}

// The patterns of --exclude-from files after those of the command line.
Exclusions allExclusions(const PackOptions& options) {
    Exclusions exclusions = options.exclusions;
    for (const fs::path& file : options.exclusionFiles) {
        const std::string quoted = quoteForMessage(pathToUtf8(file));
        const FileKind kind = kindOf(file);
        if (kind != FileKind::file) {
            throw PackError(
                "--exclude-from " + quoted +
                (kind == FileKind::missing ? " does not exist" : " is not a regular file"));
        }
        std::string problem;
        std::optional<std::string> content = readWholeFile(file, &problem);
        if (!content) {
            throw PackError("cannot read --exclude-from " + quoted + ": " + problem);
        }
        for (const auto& [line, text] : exclusionFileLines(*content)) {
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
    printMessage(MessageKind::plain, "dry run: " + std::to_string(files.size()) + " files, " +
                                         std::to_string(bytes) + " bytes (record stream " +
                                         std::to_string(recordStreamSize(files)) +
                                         " bytes); nothing was written");
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
    printMessage(MessageKind::plain,
                 std::to_string(files.size()) + " files, record stream " +
                     std::to_string(summary.contentSize) + " bytes, frame " +
                     std::to_string(summary.frameSize) + " bytes (level " +
                     std::to_string(options.compression.level) + ", window log " +
                     std::to_string(summary.windowLog) + ", " + std::to_string(summary.threads) +
                     " threads), attached data " + std::to_string(summary.totalSize) + " bytes");
}

// The one line of a pack that succeeded: where it went, how large it is
// and what it runs, so that a user sees the pack did what was asked.
void reportWritten(const PackOptions& options, const std::vector<InputFile>& files) {
    if (options.quiet) {
        return;
    }
    std::error_code error;
    const uintmax_t size = fs::file_size(options.output, error);
    printMessage(MessageKind::plain,
                 "wrote " + quoteForMessage(pathToUtf8(options.output)) +
                     (error ? std::string() : " (" + std::to_string(size) + " bytes)") + ": " +
                     std::to_string(files.size()) + (files.size() == 1 ? " file" : " files") +
                     ", the entry " + quoteForMessage(files.front().shown));
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
    reportWritten(options, files);
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
    std::string problem = entryLibraryDiagnosis(mapped.data(), mapped.size());
    if (!problem.empty()) {
        throw PackError("--entry " + quoteForMessage(options.entry) + ": " +
                        quoteForMessage(entry.shown) + " " + problem);
    }
}

// The executable's file name, as a typical user would start it.
std::u16string programFile(const BuildOptions& options) {
    return utf8ToUtf16(pathToUtf8(options.output.filename())).value_or(u"onefile.exe");
}

// A program that Explorer and the command prompt would not start.
void warnOfOutputWithoutExe(const BuildOptions& options, WarningReport& warnings) {
    const std::string name = pathToUtf8(options.output.filename());
    if (withoutExeSuffix(name) == name) {
        warnings.add({Warning::outputName,
                      "--output " + quoteForMessage(pathToUtf8(options.output)) +
                          " does not end in .exe; Windows starts programs by double-click or by "
                          "name only when they do"});
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
void checkPackageDependencies(const BuildOptions& options, const std::vector<InputFile>& files,
                              WarningReport& warnings) {
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
    for (const WarningMessage& warning : findings.warnings) {
        warnings.add(warning);
    }
}

// The longest path each run opens, with the target directory as it expands
// for a typical user: warned of past the classic limit, refused past the
// bootstrap's.
void warnOfLongPaths(const BuildOptions& options, const BuildConstants& constants,
                     const std::vector<SpecPart>& spec, const std::vector<InputFile>& files,
                     WarningReport& warnings) {
    const std::u16string* longest = &files.front().archivePath.utf16;
    for (const InputFile& file : files) {
        if (file.archivePath.utf16.size() > longest->size()) {
            longest = &file.archivePath.utf16;
        }
    }
    std::u16string directory = typicalTargetDirectory(spec, constants, programFile(options));
    if (constants.targetMode == TargetMode::cached) {
        // A first run unpacks into a sibling of the cache directory: the
        // id's folder level, and the run's values after it.
        const std::u16string top = u"C:\\";
        const std::u16string values = typicalTargetDirectory(
            checkTargetDirectorySpec(top + u"" ONEFILE_CACHE_RUN_VALUES, TargetMode::perRun),
            constants, programFile(options));
        directory += u"\\" + std::u16string(cacheIdLength, u'0') + u"" ONEFILE_CACHE_PARTIAL_KIND +
                     values.substr(top.size());
    }
    std::string warning = checkPathBudget(directory, *longest);
    if (!warning.empty()) {
        warnings.add({Warning::pathLength, warning});
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
    WarningReport warnings(options.quiet, options.silenced);
    warnOfOutputWithoutExe(options, warnings);
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
        checkPackageDependencies(options, files, warnings);
    }
    std::optional<CacheFacts> cache;
    if (constants.targetMode == TargetMode::cached) {
        cache = cacheFacts(files);
    }
    warnOfLongPaths(options, constants, spec, files, warnings);
    // Before the compression, which may take a while.
    warnings.finish();
    if (options.dryRun) {
        printDryRun(files);
        return;
    }

    // The executable is written straight from the bootstrap image: the
    // attached data into its place as it is made, then what lies around it.
    TemporaryFile executable(options.output);
    ExecutableWriter writer(executable.stream(), executable.path(), image);
    CacheIdSink cacheId(writer, constants.companyName, constants.productName);
    AttachedDataSummary summary = pack(
        options, files, cache ? static_cast<ByteSink&>(cacheId) : static_cast<ByteSink&>(writer));
    writer.finish(
        constantValues(constants, writer.attachedLength(), cache ? &*cache : nullptr, cacheId.id()),
        ResourceSection(executableResources(constants, icon)));
    executable.commit(true);
    report(options, files, summary);
    reportWritten(options, files);
    if (options.verbose && cache) {
        printMessage(MessageKind::plain,
                     "cached mode, the build's id " + utf16ToUtf8(cacheId.id()));
    }
    if (options.verbose) {
        printMessage(MessageKind::plain,
                     "product " + quoteForMessage(utf16ToUtf8(constants.productName)) +
                         ", company " + quoteForMessage(utf16ToUtf8(constants.companyName)) +
                         ", version " + utf16ToUtf8(constants.versionString) + ", icon from " +
                         (options.icon ? quoteForMessage(pathToUtf8(*options.icon))
                                       : std::string("the default icon")));
    }
}
