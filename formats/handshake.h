// The environment variables through which a parent run hands its target
// directory to its child, in one place for the bootstrap, the packer and the
// tests. Names are ASCII; values are wide text.
#pragma once

// The parent's process identifier in decimal. A run whose variable names a
// live process of this very executable is that process's child.
constexpr char handshakeParentVariable[] = "ZEBRIK_ONEFILE_PARENT";
// What the parent's executable file is: its volume's serial number, its file
// index and its last write time, as lower-case hexadecimal digits
// ("vvvvvvvv-iiiiiiiiiiiiiiii-tttttttttttttttt"). A start of another file at
// the parent's path, such as a new build that a self-updater wrote there, is
// no child of the parent.
constexpr char handshakeImageVariable[] = "ZEBRIK_ONEFILE_IMAGE";
// {TIME}: the system time as a count of 100-nanosecond intervals.
constexpr char handshakeStartVariable[] = "ZEBRIK_ONEFILE_START";
// {TIME_US}: the microseconds within the second, six digits.
constexpr char handshakeTimeUsVariable[] = "ZEBRIK_ONEFILE_TIME_US";
// {RANDOM}: eleven characters of the URL-safe base64 alphabet.
constexpr char handshakeRandomVariable[] = "ZEBRIK_ONEFILE_RANDOM";
// The directory of the executable, published to the child just before it starts.
constexpr char handshakeDirectoryVariable[] = "ZEBRIK_ONEFILE_DIRECTORY";
// Element 0 of the parent's arguments as the user typed it.
constexpr char handshakeOriginalArgv0Variable[] = "ZEBRIK_ORIGINAL_ARGV0";

// The per-run values that a reference computes once and stores for the child.
// A parent removes them, in this order, before it expands its spec, so that
// values left over from an earlier run never name this run's directory.
constexpr const char* handshakeRunValueVariables[] = {
    handshakeStartVariable, handshakeTimeUsVariable, handshakeRandomVariable};
