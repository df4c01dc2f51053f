// The inspecting commands (info, list, verify, extract) run in this process
// on a file of the fuzz target's bytes in the scratch folder, each with its
// text and JSON forms. A command may refuse the file with a PackError; any
// other exception escapes, and libFuzzer reports it. Aborts, and so makes
// the input a finding, when the commands break what they promise:
//   - JSON output that does not parse;
//   - an extraction that fails but leaves something behind, or writes
//     anything but folders and regular files below its directory;
//   - an extraction of an archive whose records verify refuses;
//   - an extraction whose files are not the records that list shows (the
//     last of a path winning), each of the size listed.
#pragma once

#include <string>

void runInspectionCommands(const std::string& fileBytes);
