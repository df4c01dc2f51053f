#include "extract/record_loop.h"

#include "archive/reader.h"
#include "formats/record_name.h"
#include "base/bounded.h"
#include "base/seams.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"
#include "extract/directories.h"

namespace {

constexpr size_t extractionPieceSize = 32768; // bytes copied per piece of a file

// The current record's relative path as read from the archive.
wchar_t recordName[recordNameCapacity];
// Target directory, one backslash, record name.
wchar_t recordFullPath[pathCapacity];
// One piece of a file on its way from the reader to the disk.
unsigned char extractionCopyBuffer[extractionPieceSize];

// Reads the record's name into recordName, one UTF-16LE code unit at a time,
// up to and including its zero code unit; returns its length without it.
size_t readRecordName(ArchiveReader& reader) {
    for (size_t length = 0;; ++length) {
        unsigned char unit[2];
        readArchiveBytes(reader, unit, 2);
        wchar_t c = static_cast<wchar_t>(unit[0] | unit[1] << 8);
        if (c != 0 && length + 1 >= recordNameCapacity) {
            // No writer makes such a name: the archive is damaged.
            fatalError(messageUndecodable);
        }
        recordName[length] = c;
        if (c == 0) {
            return length;
        }
    }
}

uint64_t readRecordSize(ArchiveReader& reader) {
    unsigned char bytes[recordSizeFieldSize];
    readArchiveBytes(reader, bytes, sizeof bytes);
    uint64_t size = 0;
    for (size_t i = sizeof bytes; i > 0; --i) {
        size = size << 8 | bytes[i - 1];
    }
    return size;
}

} // namespace

void extractFileRecords(ArchiveReader& reader) {
    for (;;) {
        size_t nameLength = readRecordName(reader);
        if (recordName[0] == 0) {
            return; // the terminator; nothing after it is read
        }
        if (!isSafeRecordPath(recordName)) {
            // No writer makes such a name: joined to the target directory it
            // could lead out of it, or be rewritten into another name.
            fatalError(messageUndecodable);
        }
        copyBounded(recordFullPath, pathCapacity, targetDirectoryPath);
        appendBounded(recordFullPath, pathCapacity, L"\\");
        appendBounded(recordFullPath, pathCapacity, recordName);

        if (entryLibraryPath[0] == 0) {
            copyBounded(entryLibraryPath, pathCapacity, recordFullPath);
            if (parentInstance != nullptr) {
                return; // the child only needs the entry library's name
            }
        }

        uint64_t remaining = readRecordSize(reader);
        unpackedBytes += 2 * (nameLength + 1) + recordSizeFieldSize;
        holdIfRemovalRequested();
        createContainingDirectories(recordFullPath);
        HANDLE file = SYSTEM_CALL(CreateFileW)(recordFullPath, GENERIC_WRITE, FILE_SHARE_WRITE,
                                               nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fatalOpenFailure(recordFullPath);
        }
        // A failure from here on closes it before the directory is removed.
        extractionFile = file;
        while (remaining > 0) {
            DWORD piece = remaining < extractionPieceSize ? static_cast<DWORD>(remaining)
                                                          : static_cast<DWORD>(extractionPieceSize);
            readArchiveBytes(reader, extractionCopyBuffer, piece);
            DWORD written = 0;
            if (removalRequested) {
                // An open file could not be deleted behind us.
                extractionFile = nullptr;
                SYSTEM_CALL(CloseHandle)(file);
                holdIfRemovalRequested();
            }
            if (!SYSTEM_CALL(WriteFile)(file, extractionCopyBuffer, piece, &written, nullptr)) {
                fatalErrorWithCode(messageWriteFailed, GetLastError());
            }
            remaining -= piece;
            unpackedBytes += piece;
        }
        extractionFile = nullptr;
        SYSTEM_CALL(CloseHandle)(file);
    }
}
