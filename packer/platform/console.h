// The standard streams as the packer writes to them: UTF-8 text, which a
// Windows console shows as it was meant (every name as it is, through the
// console's wide-character calls), and the same bytes with "\n" line ends
// wherever the output is redirected. On a terminal (a console) the labels
// of errors and warnings are coloured.
#pragma once

#include <map>
#include <set>
#include <string>

#include "packer/warnings.h"

// Sets the standard streams up; once, before anything is written.
void setUpStandardStreams();

// Whether standard error is a terminal (on Windows, a console).
bool standardErrorIsTerminal();

// Whether the user lets colours show: NO_COLOR is not set.
bool coloursWanted();

// Whether the labels on standard error are coloured: a terminal (a console
// that takes escape sequences) and colours wanted.
bool standardErrorShowsColours();

enum class MessageKind { plain, note, warning, error };

// Writes "onefile-pack: TEXT" (with "note: ", "warning: " or "error: "
// before the text as `kind` says) and a line end to standard error.
void printMessage(MessageKind kind, const std::string& text);

// The warnings of one command: each shown as it comes, unless --no-warn
// silenced it; under --quiet counted instead, in one line when the report
// is finished, so that a quiet build still says that there is something to
// look at.
class WarningReport {
  public:
    WarningReport(bool quiet, std::set<Warning> silenced)
        : quiet_(quiet), silenced_(std::move(silenced)) {}
    void add(const WarningMessage& message);
    void finish();

  private:
    bool quiet_;
    std::set<Warning> silenced_;
    std::map<Warning, size_t> counted_;
};
