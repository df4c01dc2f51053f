#include "packer/image/target_directory.h"

#include <cstdint>
#include <limits>

#include "archive/layout.h"
#include "packer/error.h"
#include "packer/text.h"
#include "paths/path_spec.h"

namespace {

// Twenty characters, a long but ordinary user name.
constexpr char16_t typicalUserName[] = u"UserNameOfTwentyChrs";
static_assert(sizeof typicalUserName / sizeof typicalUserName[0] == 20 + 1);

std::u16string referenceText(const SpecReferenceInfo& info) {
    std::string name = std::string("{") + info.name + "}";
    return std::u16string(name.begin(), name.end());
}

std::string referenceList(bool (*wanted)(const SpecReferenceInfo&)) {
    return specReferenceNames(wanted, "or");
}

bool folderReference(const SpecReferenceInfo& info) {
    return info.absoluteFolder;
}

bool tellsAllApart(const SpecReferenceInfo& info) {
    return info.tellsApart == RunsToldApart::all;
}

bool tellsConcurrentApart(const SpecReferenceInfo& info) {
    return info.tellsApart == RunsToldApart::concurrent;
}

bool tellsSuccessiveApart(const SpecReferenceInfo& info) {
    return info.tellsApart == RunsToldApart::successive;
}

class SpecError {
  public:
    explicit SpecError(const std::u16string& spec)
        : prefix_("--target-dir " + quoteForMessage(utf16ToUtf8(spec)) + ": ") {}
    [[noreturn]] void operator()(const std::string& problem) const {
        throw PackError(prefix_ + problem);
    }

  private:
    std::string prefix_;
};

std::vector<SpecPart> parseSpec(const std::u16string& spec, const SpecError& refuse) {
    std::vector<SpecPart> parts;
    SpecPart literal;
    for (size_t i = 0; i < spec.size(); ++i) {
        const char16_t c = spec[i];
        const std::string place = "character " + std::to_string(i + 1);
        if (c == u'{') {
            size_t close = spec.find(u'}', i + 1);
            size_t nested = spec.find(u'{', i + 1);
            if (close == std::u16string::npos) {
                refuse("the '{' at " + place + " has no '}'");
            }
            if (nested < close) {
                refuse("the reference that begins at " + place + " holds another '{'");
            }
            std::u16string name = spec.substr(i + 1, close - i - 1);
            const SpecReferenceInfo* info = findSpecReference(name.c_str());
            if (!info) {
                refuse(quoteForMessage("{" + utf16ToUtf8(name) + "}") +
                       " is no reference; a spec may use " + referenceList(nullptr));
            }
            if (!literal.literal.empty()) {
                parts.push_back(literal);
                literal = {};
            }
            parts.push_back({{}, info});
            i = close;
        } else if (c == u'}') {
            refuse("the '}' at " + place + " closes no reference");
        } else if (c < 0x20 || c == 0x7F) {
            refuse("it holds a control character at " + place);
        } else {
            literal.literal += c;
        }
    }
    if (!literal.literal.empty()) {
        parts.push_back(literal);
    }
    return parts;
}

bool isSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// A drive ("C:\") or a network share ("\\server").
bool beginsAbsolute(const std::u16string& text) {
    const bool drive =
        text.size() >= 3 &&
        ((text[0] >= u'A' && text[0] <= u'Z') || (text[0] >= u'a' && text[0] <= u'z')) &&
        text[1] == u':' && isSeparator(text[2]);
    const bool share = text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1]);
    return drive || share;
}

void requireAbsolute(const std::vector<SpecPart>& parts, const SpecError& refuse) {
    const std::string remedy = "begin it with " + absoluteSpecBeginnings();
    if (parts.empty()) {
        refuse("the spec is empty; " + remedy);
    }
    const SpecPart& first = parts.front();
    if (first.reference && !first.reference->absoluteFolder) {
        refuse("the directory would not be an absolute path, as " +
               utf16ToUtf8(referenceText(*first.reference)) + " need not be absolute; " + remedy);
    }
    if (!first.reference && !beginsAbsolute(first.literal)) {
        refuse("the directory would not be an absolute path; " + remedy);
    }
}

// Two runs at once, or one after the other, must never meet in one directory.
void requireOwnDirectoryEachRun(const std::vector<SpecPart>& parts, const SpecError& refuse) {
    bool all = false, concurrent = false, successive = false;
    for (const SpecPart& part : parts) {
        if (part.reference) {
            all |= part.reference->tellsApart == RunsToldApart::all;
            concurrent |= part.reference->tellsApart == RunsToldApart::concurrent;
            successive |= part.reference->tellsApart == RunsToldApart::successive;
        }
    }
    if (!all && !(concurrent && successive)) {
        refuse("two runs could unpack into the same directory; a per-run directory needs " +
               ownDirectoryRequirement());
    }
}

bool changesPerRun(const SpecReferenceInfo& info) {
    return info.perRun;
}

// A cached build's directory must be the same for every run of it.
void requireSameDirectoryEachRun(const std::vector<SpecPart>& parts, const SpecError& refuse) {
    for (const SpecPart& part : parts) {
        if (part.reference && part.reference->perRun) {
            refuse("in cached mode every run must find the same directory, but " +
                   utf16ToUtf8(referenceText(*part.reference)) + " changes from run to run; " +
                   "leave out " + specReferenceNames(changesPerRun, "and"));
        }
    }
}

std::u16string ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace

std::string specReferenceNames(bool (*wanted)(const SpecReferenceInfo&), const char* conjunction) {
    std::vector<std::string> names;
    for (const SpecReferenceInfo& info : specReferences) {
        if (!wanted || wanted(info)) {
            names.push_back(std::string("{") + info.name + "}");
        }
    }
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        out += (i == 0                  ? ""
                : i + 1 == names.size() ? std::string(" ") + conjunction + " "
                                        : ", ") +
               names[i];
    }
    return out;
}

std::string absoluteSpecBeginnings() {
    return "a folder reference (" + referenceList(folderReference) +
           "), a drive such as C:\\ or a network share such as \\\\server\\share";
}

std::string ownDirectoryRequirement() {
    return referenceList(tellsAllApart) + ", or " + referenceList(tellsConcurrentApart) +
           " together with " + referenceList(tellsSuccessiveApart);
}

std::vector<SpecPart> checkTargetDirectorySpec(const std::u16string& spec, TargetMode mode) {
    const SpecError refuse(spec);
    if (spec.size() > pathCapacity - 1) {
        refuse("the spec is " + std::to_string(spec.size()) +
               " characters long; the bootstrap's buffer for the target directory holds " +
               std::to_string(pathCapacity - 1));
    }
    std::vector<SpecPart> parts = parseSpec(spec, refuse);
    requireAbsolute(parts, refuse);
    switch (mode) {
    case TargetMode::perRun:
        requireOwnDirectoryEachRun(parts, refuse);
        break;
    case TargetMode::cached:
        requireSameDirectoryEachRun(parts, refuse);
        break;
    }
    return parts;
}

std::u16string typicalTargetDirectory(const std::vector<SpecPart>& parts,
                                      const BuildConstants& constants,
                                      const std::u16string& programFile) {
    const std::u16string home = u"C:\\Users\\" + std::u16string(typicalUserName);
    const std::u16string downloads = home + u"\\Downloads";
    std::u16string out;
    for (const SpecPart& part : parts) {
        if (!part.reference) {
            out += part.literal;
            continue;
        }
        switch (part.reference->reference) {
        case SpecReference::temp:
            out += home + u"\\AppData\\Local\\Temp";
            break;
        case SpecReference::program:
            out += downloads + u"\\" + programFile;
            break;
        case SpecReference::programBase:
            out += downloads + u"\\" + withoutExeSuffix(programFile);
            break;
        case SpecReference::programDir:
            out += downloads;
            break;
        case SpecReference::pid: // a 32-bit process identifier
            out += ascii(std::to_string(std::numeric_limits<uint32_t>::max()));
            break;
        case SpecReference::home:
            out += home;
            break;
        case SpecReference::cacheDir:
            out += home + u"\\AppData\\Local";
            break;
        case SpecReference::company:
            out += constants.companyName;
            break;
        case SpecReference::product:
            out += constants.productName;
            break;
        case SpecReference::version:
        case SpecReference::fileVersion:
        case SpecReference::productVersion:
            out += constants.versionString;
            break;
        case SpecReference::random:
            out += std::u16string(randomStringLength, u'X');
            break;
        case SpecReference::timeUs: // six digits
            out += u"999999";
            break;
        case SpecReference::time: // a signed 64-bit count
            out += ascii(std::to_string(std::numeric_limits<int64_t>::max()));
            break;
        }
    }
    return out;
}

std::string checkPathBudget(const std::u16string& directory,
                            const std::u16string& longestArchivePath) {
    const std::u16string path = directory + u"\\" + longestArchivePath;
    const std::string said = "the longest path to unpack, " + quoteForMessage(utf16ToUtf8(path)) +
                             " as the target directory expands for a typical user, is " +
                             std::to_string(path.size()) + " characters long";
    if (path.size() > pathCapacity - 1) {
        throw PackError(said + "; the bootstrap holds paths of up to " +
                        std::to_string(pathCapacity - 1) +
                        ": shorten the target directory or the paths in INPUT_DIR");
    }
    if (path.size() >= classicPathLimit) {
        return said + "; Windows without LongPathsEnabled cannot open paths of " +
               std::to_string(classicPathLimit) + " characters or more";
    }
    return {};
}
