// onefile-pack: packs a directory into a onefile executable for Windows.
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "packer/build_constants.h"
#include "packer/commands.h"
#include "packer/error.h"
#include "packer/output_file.h"
#include "packer/text.h"

namespace {

constexpr int exitFailure = 1; // the pack failed; nothing was written
constexpr int exitUsage = 2;   // the command line is wrong

const char* const generalHelp = R"(usage: onefile-pack COMMAND ...

Packs a directory into one Windows executable that unpacks it into a fresh
temporary directory on each run and calls run_code of its entry library.

commands:
  build    INPUT_DIR --entry REL_PATH --output OUT.exe   make the executable
  archive  INPUT_DIR --entry REL_PATH --output DATA.bin  write the attached data alone
  list     FILE                                          list the records of an
                                                         executable or attached-data file

"onefile-pack COMMAND --help" tells more about each.
)";

const char* const packHelp = R"(
Records: the entry library first, then every other regular file below
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
while being packed.

options:
  --entry REL_PATH     the entry library (exports run_code), relative to INPUT_DIR
  --output FILE        the file to write; written whole or not at all
  --level N            zstd compression level, 1 to 22 (default 19)
  --threads N          compression threads (default: one per core)
  --progress           show progress on standard error even without a terminal
  --quiet              show no progress (the default shows it on a terminal
                       for packs that take longer than a second)
  --verbose            report sizes and settings on standard error
)";

const char* const buildExtraHelp =
    R"(  --company TEXT       the company in the version resource and {COMPANY}
                       (default: none)
  --product TEXT       the product's name in the version resource and {PRODUCT}
                       (default: the output's file name without ".exe")
  --version A.B.C.D    the version in the version resource and {VERSION}: up to
                       four numbers from 0 to 65535; missing ones are 0
                       (default: 0.0.0.0)
  --icon FILE          the product's icon: a PNG (other images that stb_image
                       reads, and .ico files whose largest image is a PNG, are
                       taken too), best 256x256; scaled to 16, 24, 32, 48, 64,
                       128 and 256 pixels, a non-square image centred on a
                       transparent square (default: the onefile icon)
  --keep-objects DIR   also write the objects that were linked to DIR:
                       onefile-data.o (attached data and product texts) and
                       onefile-resources.o (manifest, version, icon)
  --library-dir DIR    where libonefile_bootstrap.a and libonefile_zstd.a are
                       (default: $ONEFILE_LIBRARY_DIR, else ../lib/onefile
                       beside this program)
  --linker DRIVER      the MinGW-w64 g++ driver (default: $ONEFILE_MINGW_CXX,
                       else x86_64-w64-mingw32-g++-posix from PATH)
)";

const char* const listHelp = R"(usage: onefile-pack list FILE [--verbose]

Lists the records of an executable made by "onefile-pack build" or of an
attached-data file made by "onefile-pack archive": one line each, its size in
bytes and its archive path, in archive order. The frame is decoded with the
bootstrap's limits, so a file that lists cleanly also unpacks.

options:
  --verbose   also report the frame (window, checksum, block kinds) on standard error
)";

struct UsageError {
    std::string message;
};

void printCommandHelp(const std::string& command) {
    if (command == "build") {
        std::cout << "usage: onefile-pack build INPUT_DIR --entry REL_PATH --output OUT.exe "
                     "[options]\n\nMakes OUT.exe: the bootstrap with INPUT_DIR packed into it.\n"
                  << packHelp << buildExtraHelp;
    } else if (command == "archive") {
        std::cout << "usage: onefile-pack archive INPUT_DIR --entry REL_PATH --output DATA.bin "
                     "[options]\n\nWrites the attached data alone: \"QJY\", one zstd frame "
                     "holding the records,\ntwo zero bytes and the 64-bit length 5 + F.\n"
                  << packHelp;
    } else {
        std::cout << listHelp;
    }
}

// Splits "--name=value" and "--name value"; returns the value of an option
// that takes one.
class ArgumentReader {
  public:
    ArgumentReader(int argc, char** argv) : arguments_(argv + 1, argv + argc) {}
    bool done() const { return next_ >= arguments_.size(); }
    std::string take() { return arguments_[next_++]; }
    std::string value(const std::string& option, std::string inlineValue, bool hasInline) {
        if (hasInline) {
            return inlineValue;
        }
        if (done()) {
            throw UsageError{option + " needs a value"};
        }
        return take();
    }

  private:
    std::vector<std::string> arguments_;
    size_t next_ = 0;
};

long parseNumber(const std::string& option, const std::string& text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno != 0 || value < low || value > high) {
        throw UsageError{option + " takes a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not " + quoteForMessage(text)};
    }
    return value;
}

int run(int argc, char** argv) {
    ArgumentReader reader(argc, argv);
    if (reader.done()) {
        std::cerr << generalHelp;
        return exitUsage;
    }
    std::string command = reader.take();
    if (command == "--help" || command == "-h" || command == "help") {
        if (!reader.done()) {
            std::string topic = reader.take();
            if (topic != "build" && topic != "archive" && topic != "list") {
                throw UsageError{"no command " + quoteForMessage(topic)};
            }
            printCommandHelp(topic);
        } else {
            std::cout << generalHelp;
        }
        return 0;
    }
    if (command == "--version") {
        std::cout << "onefile-pack (zstd " << ZSTD_versionString() << ")\n";
        return 0;
    }
    if (command != "build" && command != "archive" && command != "list") {
        throw UsageError{"no command " + quoteForMessage(command) + " (build, archive, list)"};
    }

    BuildOptions options;
    std::vector<std::string> positional;
    bool haveEntry = false, haveOutput = false, verbose = false;
    while (!reader.done()) {
        std::string argument = reader.take();
        if (argument.rfind("--", 0) != 0 || argument == "--") {
            if (argument == "--") {
                while (!reader.done()) {
                    positional.push_back(reader.take());
                }
                break;
            }
            positional.push_back(argument);
            continue;
        }
        size_t equals = argument.find('=');
        bool hasInline = equals != std::string::npos;
        std::string name = argument.substr(0, equals);
        std::string inlineValue = hasInline ? argument.substr(equals + 1) : std::string();
        bool packing = command != "list";
        auto value = [&] { return reader.value(name, inlineValue, hasInline); };
        const bool takesValue = name == "--entry" || name == "--output" || name == "--level" ||
                                name == "--threads" || name == "--library-dir" ||
                                name == "--linker" || name == "--company" || name == "--product" ||
                                name == "--version" || name == "--icon" || name == "--keep-objects";
        if (hasInline && !takesValue) {
            throw UsageError{name + " takes no value"};
        }
        if (name == "--help" || name == "-h") {
            printCommandHelp(command);
            return 0;
        } else if (name == "--verbose") {
            verbose = true;
        } else if (packing && name == "--entry") {
            options.entry = value();
            haveEntry = true;
        } else if (packing && name == "--output") {
            options.output = value();
            haveOutput = true;
        } else if (packing && name == "--level") {
            options.compression.level =
                static_cast<int>(parseNumber(name, value(), 1, ZSTD_maxCLevel()));
        } else if (packing && name == "--threads") {
            options.compression.threads = static_cast<unsigned>(parseNumber(name, value(), 1, 256));
        } else if (packing && name == "--progress") {
            options.progress = ProgressMode::always;
        } else if (packing && name == "--quiet") {
            options.progress = ProgressMode::never;
        } else if (command == "build" && name == "--library-dir") {
            options.libraryDirectory = std::filesystem::path(value());
        } else if (command == "build" && name == "--linker") {
            options.linker = value();
        } else if (command == "build" && (name == "--company" || name == "--product")) {
            std::string text = value();
            std::string problem;
            std::optional<std::u16string> checked = productText(text, &problem);
            if (!checked) {
                throw UsageError{name + " " + quoteForMessage(text) + " " + problem};
            }
            if (name == "--product" && checked->empty()) {
                throw UsageError{"--product cannot be empty"};
            }
            (name == "--company" ? options.company : options.product) = *checked;
        } else if (command == "build" && name == "--version") {
            std::string text = value();
            options.version = parseVersion(text);
            if (!options.version) {
                throw UsageError{"--version takes A.B.C.D, one to four whole numbers from 0 to "
                                 "65535 between dots (missing ones are 0), not " +
                                 quoteForMessage(text)};
            }
        } else if (command == "build" && name == "--icon") {
            options.icon = std::filesystem::path(value());
        } else if (command == "build" && name == "--keep-objects") {
            options.keepObjects = std::filesystem::path(value());
        } else {
            throw UsageError{"onefile-pack " + command + " has no option " + quoteForMessage(name)};
        }
    }
    options.verbose = verbose;

    if (command == "list") {
        if (positional.size() != 1) {
            throw UsageError{"onefile-pack list takes one FILE"};
        }
        runListCommand(positional[0], verbose);
        return 0;
    }
    if (positional.size() != 1) {
        throw UsageError{"onefile-pack " + command + " takes one INPUT_DIR"};
    }
    if (!haveEntry) {
        throw UsageError{"onefile-pack " + command + " needs --entry REL_PATH"};
    }
    if (!haveOutput || options.output.empty()) {
        throw UsageError{"onefile-pack " + command + " needs --output FILE"};
    }
    options.inputDirectory = positional[0];
    installInterruptCleanup();
    if (command == "archive") {
        runArchiveCommand(options);
    } else {
        runBuildCommand(options);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "onefile-pack: " << error.message << "\n(onefile-pack --help tells more)\n";
        return exitUsage;
    } catch (const PackError& error) {
        std::cerr << "onefile-pack: error: " << error.what() << '\n';
        return exitFailure;
    } catch (const std::exception& error) {
        std::cerr << "onefile-pack: error: " << error.what() << '\n';
        return exitFailure;
    }
}
