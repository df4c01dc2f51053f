// libFuzzer target for the inspecting commands on whole files: any bytes,
// as an executable or an attached-data file, go through info, list, verify
// and extract as onefile-pack runs them (inspection.h says what each must
// keep to).
#include <cstddef>
#include <cstdint>
#include <string>

#include "packer/fuzz/inspection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runInspectionCommands(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
