#include "base/state.h"

#include "archive/reader.h"
#include "extract/directories.h"

int argumentCount;
wchar_t** argumentVector;
wchar_t* parentInstance;
wchar_t targetDirectoryPath[pathCapacity];
wchar_t entryLibraryPath[pathCapacity];
wchar_t recordName[recordNameCapacity];
wchar_t recordFullPath[pathCapacity];
unsigned char extractionCopyBuffer[extractionPieceSize];
volatile bool extractionStarted;
HANDLE volatile targetDirectoryHandle;
volatile DWORD targetDirectoryCreator;
HANDLE volatile childProcessHandle;
volatile bool childStarted;
bool consoleProgram;
volatile bool removalRequested;
volatile LONG removalState;
volatile ULONGLONG removalDeadline;
volatile uint64_t unpackedBytes;
HANDLE extractionFile;
wchar_t targetDirectoryName[pathCapacity];
ArchiveReader archiveReader;
KnownDirectories knownDirectories;
wchar_t resolvedBinaryPath[binaryPathCapacity];
wchar_t reportedBinaryPath[binaryPathCapacity];
wchar_t childCommandLine[childCommandLineCapacity];
size_t childCommandLineLength;
