// libFuzzer target for record streams through the inspecting commands: an
// input is the decoded content of a frame, which the target puts into
// attached data with a sound frame and checksum, so that list, verify and
// extract meet every kind of record rather than stop at the frame (see
// inspection.h for what each must keep to).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "packer/tests/decoded_archive.h"
#include "packer/fuzz/inspection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runInspectionCommands(
        encodeAttachedData(std::string(reinterpret_cast<const char*>(data), size)));
    return 0;
}
