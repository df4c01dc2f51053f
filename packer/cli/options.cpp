#include "packer/cli/options.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>

#include "packer/cli/output_file.h"
#include "packer/image/linker.h"
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

const char* const packDetails =
    R"(Records: the entry library first, then every other regular file below
INPUT_DIR, in byte-wise order of the UTF-8 bytes of its archive path, which
is its path below INPUT_DIR with "\" between the names ("\" sorts after
upper-case and before lower-case ASCII letters). Equal inputs give
byte-identical outputs, whatever the number of threads. Empty directories
are not recorded.

Refused, naming the file, with nothing written: names Windows cannot hold
(< > : " | ? * \ or control characters, a trailing dot or space, device
names such as CON, NUL, COM1, also with an extension), names that are not
UTF-8, archive paths over 1023 UTF-16 code units, names equal but for case,
symbolic links and anything else that is not a regular file or directory,
an entry that is missing or not a regular file, files that change size
while being packed.)";

std::vector<OptionRow> makeOptionTable() {
    const BuildConstants defaults = defaultBuildConstants("");
    const NumberRange levels = {1, ZSTD_maxCLevel()};
    const NumberRange threads = {1, 256};
    return {
        {"--entry",
         "REL_PATH",
         packingCommands,
         "the entry library (exports run_code), relative to INPUT_DIR",
         [](CommandLine& line, const OptionValue& value) { line.options.entry = value.text; },
         {},
         OptionRow::required},
        {"--output",
         "FILE",
         packingCommands,
         "the file to write; written whole or not at all",
         [](CommandLine& line, const OptionValue& value) { line.options.output = value.text; },
         {},
         OptionRow::requiredNotEmpty},
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
        {"--progress", nullptr, packingCommands,
         "show progress on standard error even without a terminal",
         [](CommandLine& line, const OptionValue&) {
             line.options.progress = ProgressMode::always;
         }},
        {"--quiet", nullptr, packingCommands,
         "show no progress (the default shows it on a terminal\n"
         "for packs that take longer than a second)",
         [](CommandLine& line, const OptionValue&) {
             line.options.progress = ProgressMode::never;
         }},
        {"--verbose", nullptr, packingCommands, "report sizes and settings on standard error",
         [](CommandLine& line, const OptionValue&) { line.options.verbose = true; }},
        {"--verbose", nullptr, listCommand,
         "also report the frame (window, checksum, block kinds) on standard error",
         [](CommandLine& line, const OptionValue&) { line.options.verbose = true; }},
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
         [](CommandLine& line, const OptionValue& value) { line.options.icon = value.text; }},
        {"--console", nullptr, buildCommand,
         "make a console program instead of a GUI one: it uses\n"
         "the console it is started from (opens one when started\n"
         "from the desktop), and a command prompt waits for it",
         [](CommandLine& line, const OptionValue&) {
             line.options.subsystem = Subsystem::console;
         }},
        {"--keep-objects", "DIR", buildCommand,
         "also write the objects that were linked to DIR:\n"
         "onefile-data.o (attached data and product texts) and\n"
         "onefile-resources.o (manifest, version, icon)",
         [](CommandLine& line, const OptionValue& value) {
             line.options.keepObjects = value.text;
         }},
        {"--library-dir", "DIR", buildCommand,
         std::string("where libonefile_bootstrap.a and libonefile_zstd.a are\n(default: $") +
             libraryDirectoryVariable + ", else " + defaultLibraryDirectory +
             "\nbeside this program)",
         [](CommandLine& line, const OptionValue& value) {
             line.options.libraryDirectory = value.text;
         }},
        {"--linker", "DRIVER", buildCommand,
         std::string("the MinGW-w64 g++ driver (default: $") + driverVariable + ",\nelse " +
             defaultDriver + " from PATH)",
         [](CommandLine& line, const OptionValue& value) { line.options.linker = value.text; }},
    };
}

void runPackingCommand(const CommandLine& line) {
    BuildOptions options = line.options;
    options.inputDirectory = line.operands[0];
    installInterruptCleanup();
    if (line.command == archiveCommand) {
        runArchiveCommand(options);
    } else {
        runBuildCommand(options);
    }
}

std::vector<CommandRow> makeCommandTable() {
    return {
        {"build", buildCommand, "INPUT_DIR", "INPUT_DIR --entry REL_PATH --output OUT.exe",
         "[options]", "make the executable",
         "Makes OUT.exe: the bootstrap with INPUT_DIR packed into it.", packDetails,
         packingCommands, runPackingCommand},
        {"archive", archiveCommand, "INPUT_DIR", "INPUT_DIR --entry REL_PATH --output DATA.bin",
         "[options]", "write the attached data alone",
         "Writes the attached data alone: \"QJY\", one zstd frame holding the records,\n"
         "two zero bytes and the 64-bit length 5 + F.",
         packDetails, packingCommands, runPackingCommand},
        {"list", listCommand, "FILE", "FILE", "[--verbose]",
         "list the records of an\nexecutable or attached-data file",
         "Lists the records of an executable made by \"onefile-pack build\" or of an\n"
         "attached-data file made by \"onefile-pack archive\": one line each, its size in\n"
         "bytes and its archive path, in archive order. The frame is decoded with the\n"
         "bootstrap's limits, so a file that lists cleanly also unpacks.",
         nullptr, listCommand,
         [](const CommandLine& line) { runListCommand(line.operands[0], line.options.verbose); }},
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
    std::string out = "usage: onefile-pack COMMAND ...\n\n"
                      "Packs a directory into one Windows executable that unpacks it into a fresh\n"
                      "temporary directory on each run and calls run_code of its entry library.\n\n"
                      "commands:\n";
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
                      " " + command.usageTail + "\n\n" + command.description + "\n";
    if (command.details) {
        out += std::string("\n") + command.details + "\n";
    }
    out += "\noptions:\n";
    for (const OptionRow& row : optionTable()) {
        if (row.commands & command.bit) {
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
            throw UsageError{std::string("onefile-pack ") + command.name + " has no option " +
                             quoteForMessage(name)};
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
    if (line.operands.size() != 1) {
        throw UsageError{std::string("onefile-pack ") + command.name + " takes one " +
                         command.operand};
    }
    for (const OptionRow& row : optionTable()) {
        if (!(row.commands & command.bit) || row.presence == OptionRow::optional) {
            continue;
        }
        auto given = line.given.find(row.name);
        if (given == line.given.end() ||
            (row.presence == OptionRow::requiredNotEmpty && given->second.empty())) {
            throw UsageError{std::string("onefile-pack ") + command.name + " needs " + row.name +
                             " " + row.value};
        }
    }
}
