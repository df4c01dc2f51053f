// The bootstrap images that every executable is written from, one GUI and
// one console program, linked by the project's build and built into the
// packer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packer/image/constant_slots.h"
#include "packer/pe/pe_file.h"
#include "packer/pe/subsystem.h"

// A bootstrap image that the writer can grow: its read-only data comes after
// every other section but the resources and the relocations, and ends with
// the table of the slots.
struct BootstrapImage {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    PeImage headers;
    size_t readOnlyData = 0;           // the index of .rdata in headers.sections
    std::optional<size_t> relocations; // that of .reloc, after it
    std::vector<ConstantSlot> slots;   // the constants', in the table's order
    uint32_t tableAddress = 0;         // where the table begins
    uint32_t attachedDataAddress = 0;  // where it ends, the attached data begins
};

// Reads and checks the image in `bytes`, which must outlive the result.
// Throws std::logic_error saying what is wrong when it does not have that
// shape: a bootstrap linked without the project's linker script or slots.
BootstrapImage readBootstrapImage(const unsigned char* bytes, size_t size);

// The image built into the packer for `subsystem`.
const BootstrapImage& bootstrapImage(Subsystem subsystem);
