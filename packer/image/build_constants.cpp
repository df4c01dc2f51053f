#include "packer/image/build_constants.h"

#include "formats/archive_layout.h"
#include "packer/platform/files.h"
#include "packer/text.h"

const char* targetModeName(TargetMode mode) {
    switch (mode) {
    case TargetMode::perRun:
        return "per-run";
    case TargetMode::cached:
        return "cached";
    }
    return "";
}

std::u16string defaultTargetDirectorySpec(TargetMode mode) {
    switch (mode) {
    case TargetMode::perRun:
        return u"" ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC;
    case TargetMode::cached:
        return u"" ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC;
    }
    return {};
}

const std::vector<BuildOptionName>& buildOptionNames() {
    static const std::vector<BuildOptionName> names = {
        {buildOptionErrorDialog, "error-dialog"},
        {buildOptionProgressWindow, "progress-window"},
        {buildOptionKeepOtherVersions, "keep-other-versions"},
    };
    return names;
}

std::vector<std::string> buildOptionList(uint32_t options) {
    std::vector<std::string> list;
    for (const BuildOptionName& option : buildOptionNames()) {
        if (options & option.bit) {
            list.push_back(option.name);
            options &= ~option.bit;
        }
    }
    for (unsigned bit = 0; bit < 32; ++bit) {
        if (options & (1u << bit)) {
            list.push_back("bit " + std::to_string(bit));
        }
    }
    return list;
}

BuildConstants defaultBuildConstants(const std::filesystem::path& output) {
    std::string name = withoutExeSuffix(pathToUtf8(output.filename()));
    BuildConstants constants;
    // A name that --product would refuse (not UTF-8, control characters)
    // gives way to a plain one.
    std::string problem;
    std::optional<std::u16string> product = productText(name, &problem);
    constants.productName = product && !product->empty() ? *product : u"onefile";
    constants.versionNumbers = {0, 0, 0, 0};
    constants.versionString = versionText(constants.versionNumbers);
    constants.targetDirectorySpec = defaultTargetDirectorySpec(constants.targetMode);
    return constants;
}

std::optional<VersionNumbers> parseVersion(std::string_view text) {
    VersionNumbers numbers = {0, 0, 0, 0};
    size_t part = 0;
    size_t i = 0;
    while (true) {
        if (part == numbers.size()) {
            return std::nullopt; // a fifth part
        }
        uint32_t value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
            if (value > 65535) {
                return std::nullopt;
            }
            ++digits;
            ++i;
        }
        if (digits == 0) {
            return std::nullopt; // empty text or part, a sign, a letter
        }
        numbers[part++] = static_cast<uint16_t>(value);
        if (i == text.size()) {
            return numbers;
        }
        if (text[i] != '.') {
            return std::nullopt;
        }
        ++i;
    }
}

std::u16string versionText(const VersionNumbers& numbers) {
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(numbers[i]);
    }
    return std::u16string(text.begin(), text.end());
}

std::optional<std::u16string> productText(std::string_view utf8, std::string* problem) {
    std::optional<std::u16string> text = utf8ToUtf16(utf8);
    if (!text) {
        *problem = "is not UTF-8";
        return std::nullopt;
    }
    for (char16_t unit : *text) {
        // A zero would cut the string short; line breaks and other controls
        // have no place in a name the shell shows on one line.
        if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0)) {
            *problem = "holds a control character";
            return std::nullopt;
        }
    }
    if (text->size() > productTextLimit) {
        *problem = "is longer than " + std::to_string(productTextLimit) + " UTF-16 code units";
        return std::nullopt;
    }
    return text;
}
