#include "packer/cli/target_dir_check.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/text.h"
#include "packer/windows_names.h"

namespace {

// The longest name of a file or folder that Windows file systems hold, in
// UTF-16 code units.
constexpr size_t folderNameLimit = 255;

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
            // The lookup reads up to a zero: "{TEMP\0x}" is no {TEMP}.
            const SpecReferenceInfo* info = name.find(u'\0') == std::u16string::npos
                                                ? findSpecReference(name.c_str())
                                                : nullptr;
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

// A reference's value for the typical user of typicalTargetDirectory.
std::u16string typicalValue(const SpecReferenceInfo& info, const BuildConstants& constants,
                            const std::u16string& programFile) {
    const std::u16string home = u"C:\\Users\\" + std::u16string(typicalUserName);
    const std::u16string downloads = home + u"\\Downloads";
    switch (info.reference) {
    case SpecReference::temp:
        return home + u"\\AppData\\Local\\Temp";
    case SpecReference::program:
        return downloads + u"\\" + programFile;
    case SpecReference::programBase:
        return downloads + u"\\" + withoutExeSuffix(programFile);
    case SpecReference::programDir:
        return downloads;
    case SpecReference::pid: // a 32-bit process identifier
        return ascii(std::to_string(std::numeric_limits<uint32_t>::max()));
    case SpecReference::home:
        return home;
    case SpecReference::cacheDir:
        return home + u"\\AppData\\Local";
    case SpecReference::company:
        return constants.companyName;
    case SpecReference::product:
        return constants.productName;
    case SpecReference::version:
    case SpecReference::fileVersion:
    case SpecReference::productVersion:
        return constants.versionString;
    case SpecReference::random:
        return std::u16string(randomStringLength, u'X');
    case SpecReference::timeUs: // six digits
        return u"999999";
    case SpecReference::time: // a signed 64-bit count
        return ascii(std::to_string(std::numeric_limits<int64_t>::max()));
    }
    return {};
}

// Whether a reference takes one of the build's texts.
bool textReference(const SpecReferenceInfo& info) {
    switch (info.reference) {
    case SpecReference::company:
    case SpecReference::product:
    case SpecReference::version:
    case SpecReference::fileVersion:
    case SpecReference::productVersion:
        return true;
    default:
        return false;
    }
}

// Where the text of a build-text reference came from; null for the others.
const std::string* textOrigin(const SpecReferenceInfo& info, const SpecTextOrigins& origins) {
    switch (info.reference) {
    case SpecReference::company:
        return &origins.company;
    case SpecReference::product:
        return &origins.product;
    case SpecReference::version:
    case SpecReference::fileVersion:
    case SpecReference::productVersion:
        return &origins.version;
    default:
        return nullptr;
    }
}

// A piece of one folder name: the spec's own text or a reference's value.
struct NamePiece {
    const SpecReferenceInfo* reference; // null for the spec's own text
    std::u16string value;               // per-run references: as for a typical user
};
using FolderName = std::vector<NamePiece>;

// The name as it will be, with `plain` (if any) taking a harmless value.
std::u16string judgedText(const FolderName& folder, const NamePiece* plain) {
    std::u16string text;
    for (const NamePiece& piece : folder) {
        text += &piece == plain ? u"x" : piece.value;
    }
    return text;
}

// The name as a message shows it: per-run references as written.
std::string shownText(const FolderName& folder) {
    std::u16string text;
    for (const NamePiece& piece : folder) {
        const bool asWritten = piece.reference && !piece.reference->absoluteFolder &&
                               piece.reference->tellsApart != RunsToldApart::none;
        text += asWritten ? referenceText(*piece.reference) : piece.value;
    }
    return utf16ToUtf8(text);
}

// Why Windows could not make a folder of this name, or "".
std::string folderNameProblem(const std::u16string& name) {
    std::string problem = nameProblem(utf16ToUtf8(name));
    if (problem.empty() && name.size() > folderNameLimit) {
        problem = "is " + std::to_string(name.size()) +
                  " characters long; Windows holds names of " + "up to " +
                  std::to_string(folderNameLimit);
    }
    return problem;
}

// The build text that makes a refused folder name bad: the first whose
// replacement by a harmless text makes the name one Windows holds. Null
// when the spec's own text is at fault.
const NamePiece* textAtFault(const FolderName& folder) {
    const NamePiece* first = nullptr;
    for (const NamePiece& piece : folder) {
        if (piece.reference && textReference(*piece.reference)) {
            if (folderNameProblem(judgedText(folder, &piece)).empty()) {
                return &piece;
            }
            first = first ? first : &piece;
        }
    }
    if (first) {
        // Several texts at fault at once: the first is named.
        FolderName plain = folder;
        for (NamePiece& piece : plain) {
            if (piece.reference && textReference(*piece.reference)) {
                piece.value = u"x";
            }
        }
        if (folderNameProblem(judgedText(plain, nullptr)).empty()) {
            return first;
        }
    }
    return nullptr;
}

bool literalFolder(const FolderName& folder) {
    return std::none_of(folder.begin(), folder.end(),
                        [](const NamePiece& piece) { return piece.reference != nullptr; });
}

// A run's directory is the last name of its path once the system has
// resolved "." and "..": a path that ends in a separator is one the
// bootstrap cannot create afresh (it makes the folder first, and then finds
// it there), and a ".." that climbs out of the folder that tells runs apart
// gives every run the same directory.
void requireDirectoryNameLast(const std::vector<FolderName>& folders, size_t first,
                              const std::string& spec) {
    if (folders.size() > first && literalFolder(folders.back()) &&
        judgedText(folders.back(), nullptr).empty()) {
        throw PackError("--target-dir " + spec +
                        ": it ends in a separator; end it with the directory's own name");
    }
    std::vector<bool> tellsApart; // for each folder still in the path
    for (size_t i = first; i < folders.size(); ++i) {
        const std::u16string text = judgedText(folders[i], nullptr);
        if (literalFolder(folders[i]) && (text.empty() || text == u".")) {
            continue;
        }
        if (literalFolder(folders[i]) && text == u"..") {
            if (!tellsApart.empty() && tellsApart.back()) {
                throw PackError("--target-dir " + spec +
                                ": its '..' climbs out of the folder that tells runs apart, so "
                                "two runs could unpack into the same directory");
            }
            if (!tellsApart.empty()) {
                tellsApart.pop_back();
            }
            continue;
        }
        tellsApart.push_back(
            std::any_of(folders[i].begin(), folders[i].end(), [](const NamePiece& piece) {
                return piece.reference && piece.reference->perRun;
            }));
    }
}

// A cached build's folder holds the product's copies, which its runs set
// aside and remove, beside whatever else is there: it must be a folder of
// the product's own, never the drive, the share or the folder a reference
// names itself (the profile, the temporary or the application data folder),
// where the user's and other programs' folders lie. The folders below the
// beginning are counted as the system resolves them, a ".." taking one back.
void requireFolderOfItsOwn(const std::vector<FolderName>& folders, size_t first,
                           const std::string& givenSpec) {
    long depth = 0;
    for (size_t i = first; i < folders.size(); ++i) {
        const std::u16string text = judgedText(folders[i], nullptr);
        if (literalFolder(folders[i]) && (text.empty() || text == u".")) {
            continue;
        }
        depth += literalFolder(folders[i]) && text == u".." ? -1 : 1;
    }
    if (depth > 0) {
        return;
    }
    std::string example = givenSpec;
    while (!example.empty() && (example.back() == '\\' || example.back() == '/')) {
        example.pop_back();
    }
    throw PackError("--target-dir " + quoteForMessage(givenSpec) +
                    ": in cached mode it names the folder where the product's runs keep their "
                    "copies and remove those of its other builds, so it must be a folder of the "
                    "product's own below the drive, share or folder that it begins with, such as " +
                    quoteForMessage(example + "\\{PRODUCT}"));
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

std::string referencesWithPathValues() {
    return specReferenceNames(
        [](const SpecReferenceInfo& info) {
            return !info.absoluteFolder &&
                   beginsAbsolute(typicalValue(info, defaultBuildConstants("app.exe"), u"app.exe"));
        },
        "and");
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
    std::u16string out;
    for (const SpecPart& part : parts) {
        out +=
            part.reference ? typicalValue(*part.reference, constants, programFile) : part.literal;
    }
    return out;
}

void checkTargetDirectoryFolders(const std::vector<SpecPart>& parts,
                                 const BuildConstants& constants, const std::u16string& programFile,
                                 const SpecTextOrigins& origins) {
    const std::string spec = quoteForMessage(origins.spec);
    // The folder names, split where the spec's own text has a separator:
    // one inside a build's text is part of a name (and refused there).
    std::vector<FolderName> folders(1);
    for (size_t i = 0; i < parts.size(); ++i) {
        const SpecPart& part = parts[i];
        if (!part.reference) {
            for (char16_t c : part.literal) {
                if (isSeparator(c)) {
                    folders.emplace_back();
                } else if (!folders.back().empty() && !folders.back().back().reference) {
                    folders.back().back().value += c;
                } else {
                    folders.back().push_back({nullptr, std::u16string(1, c)});
                }
            }
            continue;
        }
        std::u16string value = typicalValue(*part.reference, constants, programFile);
        // A build's text that looks like a path ("C:\ACME") is still one
        // folder's name, refused below naming its option.
        if (i > 0 && !textReference(*part.reference) && beginsAbsolute(value)) {
            const std::string said =
                "--target-dir " + spec + ": " + utf16ToUtf8(referenceText(*part.reference));
            const std::string example = quoteForMessage(utf16ToUtf8(value));
            throw PackError(part.reference->absoluteFolder
                                ? said + " expands to an absolute path (for a typical user " +
                                      example + "), which only the beginning of a spec can hold"
                                : said +
                                      " can expand to an absolute path (for a program "
                                      "started from Explorer " +
                                      example + "), which cannot lie inside another path");
        }
        folders.back().push_back({part.reference, std::move(value)});
    }
    // The absolute beginning is the system's: a folder reference or a drive
    // and what follows them up to the first separator, or a share's
    // "\\server\share".
    const bool share = parts.front().reference == nullptr && parts.front().literal.size() >= 2 &&
                       isSeparator(parts.front().literal[0]) &&
                       isSeparator(parts.front().literal[1]);
    const size_t rootFolders = std::min(folders.size(), size_t{share ? 4u : 1u});
    if (constants.targetMode == TargetMode::perRun) {
        requireDirectoryNameLast(folders, rootFolders, spec);
    } else {
        requireFolderOfItsOwn(folders, rootFolders, origins.spec);
    }
    for (size_t i = rootFolders; i < folders.size(); ++i) {
        const FolderName& folder = folders[i];
        const std::u16string text = judgedText(folder, nullptr);
        if (literalFolder(folder) && (text.empty() || text == u"." || text == u"..")) {
            continue; // the full path the bootstrap makes of it drops or resolves these
        }
        const std::string problem = folderNameProblem(text);
        if (problem.empty()) {
            continue;
        }
        const std::string shown = quoteForMessage(shownText(folder));
        if (const NamePiece* atFault = textAtFault(folder)) {
            throw PackError(*textOrigin(*atFault->reference, origins) + ": " +
                            utf16ToUtf8(referenceText(*atFault->reference)) +
                            " in the target directory " + spec + " gives the folder name " + shown +
                            "; that name " + problem);
        }
        throw PackError("--target-dir " + spec + ": the folder name " + shown + " " + problem);
    }
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
