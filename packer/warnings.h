// The packer's warnings, each with the name that its message ends with and
// that --no-warn takes: a build goes ahead after a warning, so a user who
// has looked at one and knows it does not apply must be able to silence it
// alone, without silencing the others.
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum class Warning {
    pluginSearch,       // a plug-in's library that a plain LoadLibraryW does not find
    delayLoad,          // a delay-loaded library outside the folders searched then
    otherMachine,       // a library that the application cannot load at all
    unusedAllowMissing, // --allow-missing for a library nothing misses
    pathLength,         // a path to unpack beyond the classic limit
    outputName,         // --output without ".exe"
};

struct WarningRow {
    Warning warning;
    const char* name;  // as --no-warn takes it
    const char* about; // for the help
};

constexpr WarningRow warningTable[] = {
    {Warning::pluginSearch, "plugin-search",
     "a plug-in finds a library only where a plain LoadLibraryW does not look"},
    {Warning::delayLoad, "delay-load",
     "a delay-loaded library lies where Windows looks only once it is loaded"},
    {Warning::otherMachine, "other-machine",
     "a library is built for another machine than the application"},
    {Warning::unusedAllowMissing, "allow-missing", "--allow-missing names what nothing misses"},
    {Warning::pathLength, "path-length",
     "a path to unpack reaches the 260 characters of Windows without LongPathsEnabled"},
    {Warning::outputName, "output-name", "--output does not end in .exe"},
};

inline const char* warningName(Warning warning) {
    for (const WarningRow& row : warningTable) {
        if (row.warning == warning) {
            return row.name;
        }
    }
    return "";
}

inline std::optional<Warning> warningNamed(std::string_view name) {
    for (const WarningRow& row : warningTable) {
        if (name == row.name) {
            return row.warning;
        }
    }
    return std::nullopt;
}

// A warning's text, without the label and the name that printing adds.
struct WarningMessage {
    Warning warning;
    std::string text;
};

// The line a warning prints after its label: its text, then its name.
inline std::string warningLine(const WarningMessage& message) {
    return message.text + " [" + warningName(message.warning) + "]";
}
