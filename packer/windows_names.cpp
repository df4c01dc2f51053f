#include "packer/windows_names.h"

#include <optional>

#include "formats/record_name.h"
#include "packer/text.h"

std::string nameProblem(std::string_view name) {
    // The rules judge the UTF-16 that Windows, and the record, would hold.
    std::optional<std::u16string> utf16 = utf8ToUtf16(name);
    if (!utf16) {
        // A surrogate as UTF-8 would encode it: how a Windows name that is
        // not valid UTF-16 reaches the checks.
        for (size_t i = 0; i + 1 < name.size(); ++i) {
            if (static_cast<unsigned char>(name[i]) == 0xED &&
                (static_cast<unsigned char>(name[i + 1]) & 0xE0) == 0xA0) {
                return "holds an unpaired UTF-16 surrogate, which is not valid Unicode";
            }
        }
        return "is not valid UTF-8";
    }
    NameVerdict verdict = judgeRecordName(utf16->data(), utf16->size());
    switch (verdict.problem) {
    case NameProblem::none:
        break;
    case NameProblem::empty:
        return "is empty";
    case NameProblem::controlCharacter:
        return "contains a control character";
    case NameProblem::reservedCharacter:
        return std::string("contains the character '") + static_cast<char>(verdict.character) +
               "', which Windows does not allow in names";
    case NameProblem::trailingDot:
        return "ends in a dot, which Windows drops";
    case NameProblem::trailingSpace:
        return "ends in a space, which Windows drops";
    case NameProblem::deviceName:
        return "is the reserved device name " + utf16ToUtf8(verdict.device) +
               " on Windows, also with an extension";
    }
    return {};
}
