#include "packer/build_constants.h"

#include "packer/text.h"

BuildConstants defaultBuildConstants(const std::filesystem::path& output) {
    std::string name = output.filename().string();
    if (name.size() > 4) {
        std::string suffix = name.substr(name.size() - 4);
        for (char& c : suffix) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        if (suffix == ".exe") {
            name.resize(name.size() - 4);
        }
    }
    BuildConstants constants;
    std::optional<std::u16string> product = utf8ToUtf16(name);
    constants.productName = product ? *product : u"onefile";
    constants.versionString = u"0.0.0.0";
    return constants;
}
