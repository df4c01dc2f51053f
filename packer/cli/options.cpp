#include "packer/cli/options.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>

#include "formats/archive_layout.h"
#include "packer/pe/pe_file.h"
#include "packer/cli/target_dir_check.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/platform/files.h"
#include "packer/platform/output_file.h"
#include "packer/text.h"

namespace {

std::string rangeText(const NumberRange& range) {
    return std::to_string(range.low) + " to " + std::to_string(range.high);
}

void setProductText(std::u16string& field, const OptionValue& value) {
    std::string problem;
    std::optional<std::u16string> checked = productText(value.text, &problem);
    if (!checked) {
        throw UsageError{std::string(value.row.name) + " " + quoteForMessage(value.text) + " " +
                         problem};
    }
    field = *checked;
}

void setVersion(CommandLine& line, const OptionValue& value) {
    line.options.version = parseVersion(value.text);
    if (!line.options.version) {
        throw UsageError{std::string(value.row.name) +
                         " takes A.B.C.D, one to four whole numbers from 0 to 65535 between dots "
                         "(missing ones are 0), not " +
                         quoteForMessage(value.text)};
    }
}

void addExclusion(CommandLine& line, const OptionValue& value) {
    std::string problem;
    std::optional<ExclusionPattern> pattern = ExclusionPattern::parse(value.text, &problem);
    const std::string origin = std::string(value.row.name) + " " + quoteForMessage(value.text);
    if (!pattern) {
        throw UsageError{origin + ": the pattern " + problem};
    }
    line.options.exclusions.add(std::move(*pattern), origin);
}

std::string versionControlList() {
    std::string list;
    const size_t count = std::size(versionControlNames);
    for (size_t i = 0; i < count; ++i) {
        list += std::string(i == 0 ? "" : i + 1 == count ? " and " : ", ") + versionControlNames[i];
    }
    return list;
}

// "a, b and c" of the warnings' names.
std::string warningNames() {
    std::string names;
    const size_t count = std::size(warningTable);
    for (size_t i = 0; i < count; ++i) {
        names += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + warningTable[i].name;
    }
    return names;
}

void excludeVcs(CommandLine& line, const OptionValue& value) {
    for (const char* name : versionControlNames) {
        std::string problem;
        line.options.exclusions.add(*ExclusionPattern::parse(name, &problem),
                                    std::string(value.row.name) + " (" + name + ")");
    }
}

const char* const packDetails =
    R"(Records: the entry library first, then every other regular file below
INPUT_DIR, in byte-wise order of the UTF-8 bytes of its archive path, which
is its path below INPUT_DIR with "\" between the names ("\" sorts after
upper-case and before lower-case ASCII letters). Equal inputs give
byte-identical outputs, whatever the number of threads. Empty directories
are not recorded.

--exclude, --exclude-from and --exclude-vcs leave out what their patterns
match: globs on the path below INPUT_DIR with "/" between names, matched
without regard to case as Windows compares names. "*" matches within a
name, "?" one character, "[a-z]" one of a set. A pattern without "/"
matches a name at any depth (*.pdb, __pycache__); one with "/" is anchored
at INPUT_DIR (tests/data/**), where "**" spans folders; a trailing "/"
matches folders alone. A folder that matches is left out with everything
below it, unread. The entry library cannot be left out.

Refused, each path named below INPUT_DIR, all of them in one message, with
nothing written: names Windows cannot hold (< > : " | ? * \ or control
characters, a trailing dot or space, device names such as CON, NUL, COM1,
also with an extension), names that are not UTF-8, archive paths over 1023
UTF-16 code units, names equal but for case, symbolic links, junctions and
anything else that is not a regular file or directory, files and folders
that cannot be read, an entry that is missing or not a regular file. Files
that change size while being packed end the pack.)";

// `text` as lines of at most `width` characters, broken at spaces.
std::string wrap(const std::string& text, size_t width = 76) {
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + '\n';
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out + line;
}

std::string buildDetails() {
    return std::string(packDetails) + "\n\n" +
           wrap(std::string("build also refuses an entry library that is not ") +
                soundEntryDescription() +
                " (unless --no-entry-check), and a target directory whose spec would fail, "
                "also one whose folders Windows could not make of the company, product and "
                "version texts that the spec uses (characters it refuses in names, device "
                "names, a trailing dot or space, an empty name, more than 255 characters).") +
           "\n\n" +
           wrap("The target directory (--target-dir) is a path spec: text with references "
                "that each run expands, " +
                specReferenceNames(nullptr, "and") + ". It must begin with " +
                absoluteSpecBeginnings() +
                "; a folder reference anywhere else is refused, and so are " +
                referencesWithPathValues() +
                ", which a program started from Explorer fills with a full path. "
                "Each run's directory must be its own: it needs " +
                ownDirectoryRequirement() +
                ". A warning names the longest path to unpack when, with the target directory "
                "expanded for a typical user, it reaches " +
                std::to_string(classicPathLimit) +
                " characters, which Windows cannot open without LongPathsEnabled; beyond " +
                std::to_string(pathCapacity - 1) + " the build is refused.") +
           "\n\n" +
           wrap("In cached mode (--cache) the first run unpacks into a directory named by the "
                "build's id (" +
                std::to_string(cacheIdLength) +
                " hexadecimal digits of a hash of the company and product names and the "
                "attached data) in the folder that --target-dir names, and later runs start "
                "from it without unpacking; nothing of it is removed at the end of a run. Once "
                "its application has started, a run removes the directories of the product's "
                "other builds in that folder that no running instance holds (unless "
                "--keep-other-versions); it touches nothing that no run of the product made. "
                "That folder must be one of the product's own below the spec's beginning, and "
                "every run must find the same directory, so the spec may not use {PID}, "
                "{TIME}, {TIME_US} or {RANDOM}. No file at the top of INPUT_DIR may be "
                "called " ONEFILE_CACHE_MARKER_NAME
                ", the name of the mark that shows which product and build made a directory.");
}

std::vector<OptionRow> makeOptionTable() {
    const BuildConstants defaults = defaultBuildConstants("");
    const NumberRange levels = {1, ZSTD_maxCLevel()};
    const NumberRange threads = {1, 256};
    const NumberRange windowLogs = {10, maxFrameWindowLog};
    std::vector<OptionRow> table;
    // The rows under a heading of build's help, as the README's table groups them.
    auto group = [&table](const char* heading, std::vector<OptionRow> rows) {
        for (OptionRow& row : rows) {
            row.group = heading;
            table.push_back(std::move(row));
        }
    };
    group("what to pack and where",
          {
              {"--entry",
               "REL_PATH",
               packingCommands,
               std::string("the entry library (exports ") + entryFunctionName +
                   "), relative to INPUT_DIR",
               [](CommandLine& line, const OptionValue& value) { line.options.entry = value.text; },
               {},
               OptionRow::required},
              {"--output",
               "FILE",
               packingCommands,
               "the file to write; written whole or not at all",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.output = pathFromUtf8(value.text);
               },
               {},
               OptionRow::requiredNotEmpty},
              {"--exclude", "PATTERN", packingCommands,
               "leave out the files and folders that PATTERN matches\n"
               "(see above); may be given more than once",
               addExclusion},
              {"--exclude-from", "FILE", packingCommands,
               "leave out what the patterns in FILE match, one a line;\n"
               "blank lines and lines that begin with # are skipped",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.exclusionFiles.push_back(pathFromUtf8(value.text));
               }},
              {"--exclude-vcs", nullptr, packingCommands,
               "leave out the folders of version control:\n" + versionControlList(), excludeVcs},
              {"--dry-run", nullptr, packingCommands,
               "write nothing: list what would be packed as \"list\" lists\n"
               "the records, then the total on standard error",
               [](CommandLine& line, const OptionValue&) { line.options.dryRun = true; }},
          });
    group("compression",
          {
              {"--level", "N", packingCommands,
               "zstd compression level, " + rangeText(levels) + " (default " +
                   std::to_string(CompressionSettings{}.level) + ")",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.compression.level = static_cast<int>(value.number());
               },
               levels},
              {"--threads", "N", packingCommands, "compression threads (default: one per core)",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.compression.threads = static_cast<unsigned>(value.number());
               },
               threads},
              {"--window-log", "N", packingCommands,
               "the frame's window is 2^N bytes, N from " + rangeText(windowLogs) +
                   ": a\nlarger one packs smaller and takes more memory to unpack\n"
                   "(default: the smallest that holds the content, at most " +
                   std::to_string(windowLogs.high) + ")",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.compression.windowLog = static_cast<unsigned>(value.number());
               },
               windowLogs},
          });
    group("the executable",
          {
              {"--company", "TEXT", buildCommand,
               "the company in the version resource and {COMPANY}\n(default: " +
                   (defaults.companyName.empty() ? std::string("none")
                                                 : utf16ToUtf8(defaults.companyName)) +
                   ")",
               [](CommandLine& line, const OptionValue& value) {
                   setProductText(line.options.company.emplace(), value);
               }},
              {"--product", "TEXT", buildCommand,
               "the product's name in the version resource and {PRODUCT}\n"
               "(default: the output's file name without \".exe\")",
               [](CommandLine& line, const OptionValue& value) {
                   setProductText(line.options.product.emplace(), value);
                   if (line.options.product->empty()) {
                       throw UsageError{std::string(value.row.name) + " cannot be empty"};
                   }
               }},
              {"--version", "A.B.C.D", buildCommand,
               "the version in the version resource and {VERSION}: up to\n"
               "four numbers from 0 to 65535; missing ones are 0\n(default: " +
                   utf16ToUtf8(defaults.versionString) + ")",
               setVersion},
              {"--icon", "FILE", buildCommand,
               "the product's icon: a PNG (other images that stb_image\n"
               "reads, and .ico files whose largest image is a PNG, are\n"
               "taken too), best 256x256; scaled to 16, 24, 32, 48, 64,\n"
               "128 and 256 pixels, a non-square image centred on a\n"
               "transparent square (default: the onefile icon)",
               [](CommandLine& line, const OptionValue& value) {
                   line.options.icon = pathFromUtf8(value.text);
               }},
              {"--console", nullptr, buildCommand,
               "make a console program instead of a GUI one: it uses\n"
               "the console it is started from (opens one when started\n"
               "from the desktop), and a command prompt waits for it",
               [](CommandLine& line, const OptionValue&) {
                   line.options.subsystem = Subsystem::console;
               }},
              {"--progress-window", nullptr, buildCommand,
               "show a small window with the product's name, its icon and\n"
               "a progress bar while a start unpacks, when that takes\n"
               "longer than about half a second (in cached mode only on\n"
               "the first run); never takes the focus; GUI programs only",
               [](CommandLine& line, const OptionValue&) { line.options.progressWindow = true; }},
              {"--error-dialog", nullptr, buildCommand,
               "also show a failure's message in a message box titled\n"
               "with the product's name (GUI programs only)",
               [](CommandLine& line, const OptionValue&) { line.options.errorDialog = true; }},
          });
    group(
        "where each run unpacks",
        {
            {"--target-dir", "SPEC", buildCommand,
             "where each run unpacks, a path spec (see above)\n(default: " +
                 utf16ToUtf8(defaults.targetDirectorySpec) + ")",
             [](CommandLine& line, const OptionValue& value) {
                 line.options.targetDirectorySpec = value.text;
             }},
            {"--cache", nullptr, buildCommand,
             "cached mode: unpack once, into a directory of this build's\n"
             "own that later runs start from (see above); --target-dir\n"
             "then names the folder that holds it (default: " +
                 utf16ToUtf8(defaultTargetDirectorySpec(TargetMode::cached)) + ")",
             [](CommandLine& line, const OptionValue&) { line.options.cache = true; }},
            {"--keep-other-versions", nullptr, buildCommand,
             "with --cache: keep the cache directories of this product's\n"
             "other builds, for versions that must run side by side\n"
             "without unpacking again (default: a run removes those that\n"
             "no running instance holds, once its application has started)",
             [](CommandLine& line, const OptionValue&) { line.options.keepOtherVersions = true; }},
        });
    group("checks",
          {
              {"--no-entry-check", nullptr, buildCommand,
               "build even when the entry library fails the entry check\n"
               "or the package the dependency check (for tests of how\n"
               "the bootstrap reports a broken entry)",
               [](CommandLine& line, const OptionValue&) { line.options.checkEntry = false; }},
              {"--allow-missing", "NAME", buildCommand | verifyCommand | infoCommand,
               "a library that the package's files may import without\n"
               "carrying it, as every target machine has it (repeatable)",
               [](CommandLine& line, const OptionValue& value) {
                   if (value.text.empty() || value.text.find_first_of("\\/") != std::string::npos) {
                       throw UsageError{std::string(value.row.name) +
                                        " takes the file name of a library, not " +
                                        quoteForMessage(value.text)};
                   }
                   line.options.allowMissing.push_back(value.text);
               }},
          });
    group("messages",
          {
              {"--progress", nullptr, packingCommands,
               "show progress on standard error even without a terminal",
               [](CommandLine& line, const OptionValue&) {
                   line.options.progress = ProgressMode::always;
               }},
              {"--quiet", nullptr, packingCommands,
               "show no progress (the default shows it on a terminal\n"
               "for packs that take longer than a second), no line for\n"
               "a pack that succeeded, and warnings in one line that\n"
               "counts them",
               [](CommandLine& line, const OptionValue&) {
                   line.options.progress = ProgressMode::never;
                   line.options.quiet = true;
               }},
              {"--verbose", nullptr, packingCommands, "report sizes and settings on standard error",
               [](CommandLine& line, const OptionValue&) { line.options.verbose = true; }},
              {"--no-warn", "NAME", packingCommands | verifyCommand,
               "do not show the warning NAME, which each warning's\nmessage ends with: " +
                   warningNames() + "\n(repeatable)",
               [](CommandLine& line, const OptionValue& value) {
                   std::optional<Warning> warning = warningNamed(value.text);
                   if (!warning) {
                       throw UsageError{std::string(value.row.name) +
                                        " takes the name of a warning (" + warningNames() +
                                        "), not " + quoteForMessage(value.text)};
                   }
                   line.options.silenced.insert(*warning);
               }},
          });
    // The inspecting commands' few options, under no heading.
    group(nullptr, {
                       {"--json", nullptr, listCommand,
                        "print one JSON object instead: the file and its records,\neach with its "
                        "path and size",
                        [](CommandLine& line, const OptionValue&) { line.json = true; }},
                       {"--json", nullptr, infoCommand,
                        "print one JSON object instead (the README lists its fields)",
                        [](CommandLine& line, const OptionValue&) { line.json = true; }},
                       {"--verbose", nullptr, listCommand,
                        "also report the frame (window, checksum, block kinds)\non standard error",
                        [](CommandLine& line, const OptionValue&) { line.options.verbose = true; }},
                       {"--force", nullptr, extractCommand,
                        "write into DIR even when it is not empty: files of the\n"
                        "same paths are replaced, others stay",
                        [](CommandLine& line, const OptionValue&) { line.force = true; }},
                   });
    return table;
}

// Options each fine alone that together would be a mistake of the command line.
void refuseConflictingOptions(const BuildOptions& options) {
    if (options.errorDialog && options.subsystem == Subsystem::console) {
        throw UsageError{"--error-dialog is for GUI programs: a console program shows its "
                         "failures in its console; drop --console or --error-dialog"};
    }
    if (options.progressWindow && options.subsystem == Subsystem::console) {
        throw UsageError{"--progress-window is for GUI programs: a console program shows no "
                         "window of its own; drop --console or --progress-window"};
    }
    // A per-run build removes its own directory after every run: there are no
    // other versions' directories to keep.
    if (options.keepOtherVersions && !options.cache) {
        throw UsageError{"--keep-other-versions is an option of cached mode: add --cache or "
                         "drop --keep-other-versions"};
    }
}

void runPackingCommand(const CommandLine& line) {
    refuseConflictingOptions(line.options);
    BuildOptions options = line.options;
    options.inputDirectory = pathFromUtf8(line.operands[0]);
    installInterruptCleanup();
    if (line.command == archiveCommand) {
        runArchiveCommand(options);
    } else {
        runBuildCommand(options);
    }
}

const char* const inspectedFile = "an executable made by \"onefile-pack build\" or an "
                                  "attached-data file made by \"onefile-pack archive\"";

// Descriptions are paragraphs, wrapped when printed.
std::vector<CommandRow> makeCommandTable() {
    return {
        {"build",
         buildCommand,
         {"INPUT_DIR"},
         "INPUT_DIR --entry REL_PATH --output OUT.exe",
         "[options]",
         "make the executable",
         "Makes OUT.exe: the bootstrap with INPUT_DIR packed into it.",
         buildDetails(),
         packingCommands,
         runPackingCommand},
        {"archive",
         archiveCommand,
         {"INPUT_DIR"},
         "INPUT_DIR --entry REL_PATH --output DATA.bin",
         "[options]",
         "write the attached data alone",
         "Writes the attached data alone: \"QJY\", one zstd frame holding the records, two "
         "zero bytes and the 64-bit length 5 + F. The entry is not checked, as the data alone "
         "runs nowhere.",
         packDetails,
         packingCommands,
         runPackingCommand},
        {"list",
         listCommand,
         {"FILE"},
         "FILE",
         "[--json] [--verbose]",
         "list the records of an\nexecutable or attached-data file",
         std::string("Lists the records of ") + inspectedFile +
             ": one line each, its size in bytes and its archive path, in archive order. The "
             "frame is decoded with the bootstrap's limits, so a file that lists cleanly also "
             "unpacks.",
         {},
         inspectingCommands,
         [](const CommandLine& line) {
             runListCommand(pathFromUtf8(line.operands[0]), line.options.verbose, line.json);
         }},
        {"info",
         infoCommand,
         {"FILE"},
         "FILE",
         "[--json] [--allow-missing NAME]...",
         "describe an executable or\nattached-data file",
         std::string("Describes ") + inspectedFile +
             ": its sizes, the frame's settings, the records, the entry library and its check, "
             "the product texts, the target directory's spec and mode, the build's options, "
             "whether it carries an Authenticode signature, and what of the imports of its "
             "programs and libraries Windows will not find.",
         {},
         inspectingCommands,
         [](const CommandLine& line) {
             runInfoCommand(pathFromUtf8(line.operands[0]), line.json, line.options.allowMissing);
         }},
        {"extract",
         extractCommand,
         {"FILE", "DIR"},
         "FILE DIR",
         "[--force]",
         "write the records as files\nbelow DIR",
         "Writes the records of FILE as files below DIR, creating it. The whole frame is "
         "checked first, as verify checks it, so a damaged archive writes nothing; a failure "
         "while writing removes what this run created. Names are refused as the packer refuses "
         "them, and nothing is written outside DIR. A later record with the same path replaces "
         "the earlier file, as when the executable unpacks.",
         {},
         inspectingCommands,
         [](const CommandLine& line) {
             runExtractCommand(pathFromUtf8(line.operands[0]), pathFromUtf8(line.operands[1]),
                               line.force);
         }},
        {"verify",
         verifyCommand,
         {"FILE"},
         "FILE",
         "[--allow-missing NAME]...",
         "check the frame, the records,\nthe entry and the imports",
         "Decodes the whole frame of FILE and checks its content checksum, every record's "
         "path, the terminator, the entry library, and that Windows will find what the "
         "programs and libraries of the package import, as build checks it. Exits with 0 and "
         "says so when all are sound, with 1 and the first problem otherwise (all problems "
         "of the imports at once).",
         {},
         inspectingCommands,
         [](const CommandLine& line) {
             runVerifyCommand(pathFromUtf8(line.operands[0]), line.options.allowMissing,
                              line.options.silenced);
         }},
    };
}

// `text` after a first column `width` wide whose content is `first`; later
// lines of `text` are indented to the column.
std::string columns(const std::string& first, size_t width, const std::string& text) {
    std::string out = first;
    out.resize(std::max(width, first.size()), ' ');
    for (char c : text) {
        out += c;
        if (c == '\n') {
            out.append(width, ' ');
        }
    }
    return out + '\n';
}

std::string optionSignature(const OptionRow& row) {
    return std::string("  ") + row.name + (row.value ? std::string(" ") + row.value : "");
}

} // namespace

long OptionValue::number() const {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno != 0 || value < row.range.low ||
        value > row.range.high) {
        throw UsageError{std::string(row.name) + " takes a whole number from " +
                         rangeText(row.range) + ", not " + quoteForMessage(text)};
    }
    return value;
}

const std::vector<OptionRow>& optionTable() {
    static const std::vector<OptionRow> table = makeOptionTable();
    return table;
}

const std::vector<CommandRow>& commandTable() {
    static const std::vector<CommandRow> table = makeCommandTable();
    return table;
}

const CommandRow* findCommand(const std::string& name) {
    for (const CommandRow& command : commandTable()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

std::string generalHelp() {
    size_t nameWidth = 0, synopsisWidth = 0;
    for (const CommandRow& command : commandTable()) {
        nameWidth = std::max(nameWidth, std::strlen(command.name));
        synopsisWidth = std::max(synopsisWidth, std::strlen(command.synopsis));
    }
    std::string out = std::string("usage: onefile-pack COMMAND ...\n\n"
                                  "Packs a directory into one Windows executable that unpacks it "
                                  "into a fresh\ntemporary directory on each run and calls ") +
                      entryFunctionName + " of its entry library.\n\ncommands:\n";
    for (const CommandRow& command : commandTable()) {
        std::string name = std::string("  ") + command.name;
        name.resize(2 + nameWidth + 2, ' ');
        out += columns(name + command.synopsis, name.size() + synopsisWidth + 2, command.summary);
    }
    return out + "\n\"onefile-pack COMMAND --help\" tells more about each.\n";
}

std::string commandHelp(const CommandRow& command) {
    size_t width = 0;
    for (const OptionRow& row : optionTable()) {
        if (row.commands & command.alignsWith) {
            width = std::max(width, optionSignature(row).size() + 3);
        }
    }
    std::string out = std::string("usage: onefile-pack ") + command.name + " " + command.synopsis +
                      (*command.usageTail ? " " : "") + command.usageTail + "\n\n" +
                      wrap(command.description) + "\n";
    if (!command.details.empty()) {
        out += "\n" + command.details + "\n";
    }
    std::string heading;
    for (const OptionRow& row : optionTable()) {
        if (row.commands & command.bit) {
            const std::string rowHeading = row.group ? row.group : "options";
            if (rowHeading != heading) {
                out += "\n" + rowHeading + ":\n";
                heading = rowHeading;
            }
            out += columns(optionSignature(row), width, row.help);
        }
    }
    return out;
}

bool parseCommandLine(const CommandRow& command, const std::vector<std::string>& arguments,
                      CommandLine& line) {
    line.command = command.bit;
    for (size_t next = 0; next < arguments.size();) {
        const std::string& argument = arguments[next++];
        if (argument == "--") {
            line.operands.insert(line.operands.end(), arguments.begin() + next, arguments.end());
            break;
        }
        if (argument == "-h") {
            std::cout << commandHelp(command);
            return false;
        }
        if (argument.size() > 1 && argument[0] == '-' && argument[1] != '-') {
            // Not an operand: a short option, which none of ours is.
            throw UsageError{std::string(command.name) + " has no option " +
                             quoteForMessage(argument) + "; its options are spelled out (" +
                             command.name + " --help lists them)"};
        }
        if (argument.rfind("--", 0) != 0) {
            line.operands.push_back(argument);
            continue;
        }
        // "--name=value" or "--name value".
        size_t equals = argument.find('=');
        bool hasInline = equals != std::string::npos;
        std::string name = argument.substr(0, equals);
        const auto& table = optionTable();
        bool takesValue = std::any_of(table.begin(), table.end(), [&](const OptionRow& row) {
            return name == row.name && row.value;
        });
        if (hasInline && !takesValue) {
            throw UsageError{name + " takes no value"};
        }
        if (name == "--help") {
            std::cout << commandHelp(command);
            return false;
        }
        auto row = std::find_if(table.begin(), table.end(), [&](const OptionRow& candidate) {
            return name == candidate.name && (candidate.commands & command.bit);
        });
        if (row == table.end()) {
            throw UsageError{std::string(command.name) + " has no option " + quoteForMessage(name)};
        }
        std::string text;
        if (hasInline) {
            text = argument.substr(equals + 1);
        } else if (row->value) {
            if (next == arguments.size()) {
                throw UsageError{name + " needs a value"};
            }
            text = arguments[next++];
        }
        row->apply(line, OptionValue{*row, text});
        line.given[row->name] = text;
    }
    return true;
}

void checkCommandLine(const CommandRow& command, const CommandLine& line) {
    if (line.operands.size() != command.operands.size()) {
        std::string wanted = command.operands.size() == 1 ? "one " : "";
        for (size_t i = 0; i < command.operands.size(); ++i) {
            wanted += (i == 0                             ? ""
                       : i + 1 == command.operands.size() ? " and "
                                                          : ", ") +
                      std::string(command.operands[i]);
        }
        throw UsageError{std::string(command.name) + " takes " + wanted};
    }
    for (const OptionRow& row : optionTable()) {
        if (!(row.commands & command.bit) || row.presence == OptionRow::optional) {
            continue;
        }
        auto given = line.given.find(row.name);
        if (given == line.given.end() ||
            (row.presence == OptionRow::requiredNotEmpty && given->second.empty())) {
            throw UsageError{std::string(command.name) + " needs " + row.name + " " + row.value};
        }
    }
}
