// The command line of onefile-pack: its commands and their options, each
// described once, in two tables from which both the parser and the help
// texts are made. A new option is one row of the option table.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "packer/cli/commands.h"

// A command line that cannot be run; main() prints it with a hint and
// exits with status 2.
struct UsageError {
    std::string message;
    // The command whose command line it is, once known: its help tells more.
    std::string command = {};
};

// The commands, as bits, so that an option row can name the commands that take it.
enum CommandBit : unsigned {
    buildCommand = 1u << 0,
    archiveCommand = 1u << 1,
    listCommand = 1u << 2,
    infoCommand = 1u << 3,
    extractCommand = 1u << 4,
    verifyCommand = 1u << 5,
};
constexpr unsigned packingCommands = buildCommand | archiveCommand;
constexpr unsigned inspectingCommands = listCommand | infoCommand | extractCommand | verifyCommand;

// What a command line asks for, filled in by the option rows.
struct CommandLine {
    unsigned command = 0; // one CommandBit
    std::vector<std::string> operands;
    BuildOptions options; // a command takes what its options set and ignores the rest
    bool json = false;    // info, list: JSON instead of text
    bool force = false;   // extract: into a directory that is not empty
    std::map<std::string, std::string> given; // option name to its last value ("" for a flag)
};

// A whole number option's range, inclusive.
struct NumberRange {
    long low = 0;
    long high = 0;
};

struct OptionRow;

// An option's value as given, with the row that takes it.
struct OptionValue {
    const OptionRow& row;
    std::string text;
    // The text as a whole number within the row's range; a UsageError otherwise.
    long number() const;
};

struct OptionRow {
    const char* name;  // "--level"
    const char* value; // what it takes, as the help shows it ("N"); null for a flag
    unsigned commands; // the CommandBits of the commands that take it
    // Its lines in the help, separated by "\n", defaults included: they are
    // made from the settings' own defaults when the table is made.
    std::string help;
    void (*apply)(CommandLine&, const OptionValue&);
    NumberRange range = {}; // for whole numbers
    enum Presence { optional, required, requiredNotEmpty } presence = optional;
    // The heading it stands under in the help, with the options of its kind.
    const char* group = nullptr;
};

struct CommandRow {
    const char* name;                  // "build"
    unsigned bit;                      // its CommandBit
    std::vector<const char*> operands; // what it takes besides options ("INPUT_DIR")
    const char* synopsis;              // its operands and the options it needs
    const char* usageTail;             // after the synopsis in its usage line ("[options]")
    const char* summary;               // in the general help; lines separated by "\n"
    std::string description;
    std::string details; // between description and options; may be empty
    // The commands whose help texts align their options with this one's.
    unsigned alignsWith;
    void (*run)(const CommandLine&);
};

const std::vector<OptionRow>& optionTable();
const std::vector<CommandRow>& commandTable();

// The help of all commands, and that of one.
std::string generalHelp();
std::string commandHelp(const CommandRow& command);

// The command named `name`, or null.
const CommandRow* findCommand(const std::string& name);

// Reads the options and operands after the command's name. Returns false
// when --help was asked for (its text is then printed); throws UsageError
// for a command line that cannot be run.
bool parseCommandLine(const CommandRow& command, const std::vector<std::string>& arguments,
                      CommandLine& line);

// Checks what only the whole command line tells (operands, required options).
void checkCommandLine(const CommandRow& command, const CommandLine& line);
