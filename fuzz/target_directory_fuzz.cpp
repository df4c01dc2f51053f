// libFuzzer target for the target directory's spec: the packer's checks
// (packer/image/target_directory.cpp) against the bootstrap's expansion
// (paths/path_spec.cpp, built for the host over host_windows). An input is
// a mode byte (bit 0: cached), then lines: the spec, the company, the
// product, the version, the output's file name and the longest archive
// path, each UTF-8.
//
// Every spec goes through the bootstrap's expansion, which must end or
// fail cleanly. One that the packer accepts with the texts it accepts must
// expand, on the packer's typical user's machine, to exactly the directory
// whose folders and length the packer checked: a spec the packer builds in
// cannot fail the bootstrap, nor lead it to another directory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "formats/archive_layout.h"
#include "formats/handshake.h"
#include "base/state.h"
#include "fuzz/host_windows.h"
#include "packer/error.h"
#include "packer/fuzz/fuzz_support.h"
#include "packer/image/build_constants.h"
#include "packer/cli/target_dir_check.h"
#include "packer/text.h"
#include "paths/path_spec.h"
#include "formats/spec_references.h"

namespace {

[[noreturn]] void fail(const char* what, const std::u16string& spec) {
    std::fprintf(stderr, "target_directory_fuzz: %s: %s\n", what, utf16ToUtf8(spec).c_str());
    std::abort();
}

std::wstring wide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

// The value that the packer's typical user has for `name`.
std::wstring typicalValue(const char* name, const BuildConstants& constants,
                          const std::u16string& program) {
    return wide(
        typicalTargetDirectory({SpecPart{{}, findSpecReference(name)}}, constants, program));
}

// The typical user's machine, as a child of a parent that drew the
// typical run values finds it.
hostWindows::Machine typicalMachine(const BuildConstants& constants,
                                    const std::u16string& program) {
    hostWindows::Machine machine;
    machine.temp = typicalValue("TEMP", constants, program);
    machine.home = typicalValue("HOME", constants, program);
    machine.localAppData = typicalValue("CACHE_DIR", constants, program);
    for (const SpecReferenceInfo& info : specReferences) {
        if (info.handshakeVariable) {
            const std::string variable = info.handshakeVariable;
            machine.environment[std::wstring(variable.begin(), variable.end())] =
                typicalValue(info.name, constants, program);
        }
    }
    return machine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    const TargetMode mode = (input.byte() & 1) ? TargetMode::cached : TargetMode::perRun;
    const std::optional<std::u16string> spec = utf8ToUtf16(input.until('\n'));
    std::string problem;
    const std::optional<std::u16string> company = productText(input.until('\n'), &problem);
    const std::optional<std::u16string> product = productText(input.until('\n'), &problem);
    const std::optional<VersionNumbers> version = parseVersion(input.until('\n'));
    const std::optional<std::u16string> program = utf8ToUtf16(input.until('\n'));
    const std::optional<std::u16string> longest = utf8ToUtf16(input.rest());
    if (!spec || spec->size() >= pathCapacity || !company || !product || !version || !program ||
        !longest) {
        return 0; // no option the packer takes, or a spec no slot holds
    }
    BuildConstants constants;
    constants.companyName = *company;
    constants.productName = *product;
    constants.versionNumbers = *version;
    constants.versionString = versionText(*version);
    constants.targetDirectorySpec = *spec;
    constants.targetMode = mode;

    std::optional<std::u16string> typical;
    try {
        std::vector<SpecPart> parts = checkTargetDirectorySpec(*spec, mode);
        checkTargetDirectoryFolders(parts, constants, *program,
                                    {utf16ToUtf8(*spec), "--company", "--product", "--version"});
        typical = typicalTargetDirectory(parts, constants, *program);
        checkPathBudget(*typical, *longest);
    } catch (const PackError&) {
        typical.reset();
    }

    hostWindows::reset(typicalMachine(constants, *program));
    hostWindows::setProductTexts(wide(*company), wide(*product), wide(constants.versionString));
    std::wstring programPath = typicalValue("PROGRAM", constants, *program);
    wchar_t* arguments[] = {programPath.data(), nullptr};
    argumentCount = 1;
    argumentVector = arguments;

    const std::wstring specText = wide(*spec);
    static wchar_t output[pathCapacity];
    std::optional<bool> expanded;
    try {
        expanded = expandPathSpec(output, specText.c_str(), pathCapacity);
    } catch (const BootstrapExit&) {
        // The run ends here; for a spec the packer accepts it must not.
    }
    argumentVector = nullptr;
    hostWindows::reset({});
    if (typical) {
        if (!expanded || !*expanded) {
            fail("the bootstrap cannot expand a spec that the packer accepts", *spec);
        }
        if (output != wide(*typical)) {
            fail("the bootstrap expands to another directory than the packer checked", *spec);
        }
    }
    return 0;
}
