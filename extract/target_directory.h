// The target directory: its full path from the build's spec, and, in the
// parent, its creation, fresh and private to the user.
#pragma once

// Names the parent tries, each with fresh per-run values, before it gives up.
constexpr int targetDirectoryAttempts = 5;
// Holds of a fresh directory that another process has open just then, and
// the pause before each retry.
constexpr int targetDirectoryHoldRetries = 20;
constexpr unsigned targetDirectoryHoldPauseMilliseconds = 10;

// Removes the handshake's per-run values from the environment, so that the
// next expansion draws fresh ones.
void discardRunValues();

// Expands `spec` into targetDirectoryPath as a full path. False when the
// expansion failed; targetDirectoryPath then holds the full form of the part
// produced so far. A full path that would not fit ends the process at once.
bool expandTargetDirectory(const wchar_t* spec);

// Parent: creates the missing folders above targetDirectoryPath as any other
// folder, then the directory itself with the private security descriptor.
// It must be new: when anything is at its name already, the per-run values
// are drawn afresh and `spec` expanded again, for targetDirectoryAttempts
// names in all; a fresh one that another process looks at as it is held
// (another run's sweep, a scanner) is held again after a pause; then, or on
// any other failure at once, the run ends with
// messageNoFreshTargetDirectory. The created directory is held open in
// targetDirectoryHandle and entered in the registry of known directories;
// extractionStarted is set as soon as it is known to be this run's own.
// After a console event it creates nothing more and holds.
void createTargetDirectory(const wchar_t* spec);
