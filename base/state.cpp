#include "base/state.h"

int argumentCount;
wchar_t** argumentVector;
wchar_t* parentInstance;
wchar_t targetDirectoryPath[pathCapacity];
wchar_t entryLibraryPath[pathCapacity];
volatile bool extractionStarted;
HANDLE volatile targetDirectoryHandle;
volatile DWORD targetDirectoryCreator;
HANDLE volatile childProcessHandle;
volatile bool childStarted;
bool consoleProgram;
volatile bool removalRequested;
volatile uint64_t unpackedBytes;
HANDLE extractionFile;
wchar_t targetDirectoryName[pathCapacity];
