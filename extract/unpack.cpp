#include "extract/unpack.h"

#include "archive/reader.h"
#include "base/build_constants.h"
#include "cleanup/cleanup.h"
#include "extract/record_loop.h"
#include "extract/target_directory.h"
#include "progress/progress_window.h"

void unpackInto(const wchar_t* spec, void (*whenMade)()) {
    // From the start of the archive, whatever was read before.
    ArchiveReader reader;
    initArchiveReader(reader, onefileAttachedData, onefileAttachedDataLength);
    openArchiveReader(reader);
    // Nothing is written into a directory this run did not make itself.
    createTargetDirectory(spec);
    if (whenMade != nullptr) {
        whenMade();
    }
    startExtraction();
    startProgressWindow(recordStreamSize(onefileAttachedData, onefileAttachedDataLength));
    extractFileRecords(reader);
    closeArchiveReader(reader);
}
