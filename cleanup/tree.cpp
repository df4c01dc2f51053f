#include "cleanup/tree.h"

#include <wchar.h>
#include <windows.h>

#include "formats/archive_layout.h"
#include "base/seams.h"

namespace {

// The entry itself, never what it points to (where the system knows links as
// such), and directories too.
constexpr DWORD openAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a handle's name query answers into: room for the longest name.
union NameAnswer {
    FILE_NAME_INFO info;
    unsigned char bytes[sizeof(FILE_NAME_INFO) + extendedPathCapacity * sizeof(wchar_t)];
};
// The walk runs on one thread at a time (the cleanup removes once), so one
// answer serves every query of the walk.
NameAnswer nameAnswer;

// The placeholder that takes a link's place before it is deleted.
wchar_t placeholderPath[extendedPathCapacity];
const wchar_t placeholderName[] = L"onefile-link-placeholder";

// How deep below the top the removal reaches: entries up to this many names
// below it; a folder that deep is left, with what it holds. Every tree an
// archive can hold is within reach: a record's path has at most 1023 code
// units, so at most 512 names, the last of them a file. The walk's frames
// (some 1.25 KiB a level, most of it a listing's batch) then take at most
// about 640 KiB of stack, within the 1 MiB that threads commonly get, on
// whichever thread removes.
constexpr int removalDepth = 512;

// A batch of a folder's entries as the system lists them through the
// folder's handle, on the stack of each level of the walk: room for one
// entry with the longest name (255 characters) and a few with short ones.
union ListingBatch {
    FILE_FULL_DIR_INFO first;
    unsigned char bytes[1024];
};

struct Walk {
    wchar_t* path;        // the entry at hand, extended-length
    size_t topLength;     // of the top directory's part of `path`
    const wchar_t* top;   // the system's name for the top directory; null: not known
    size_t topNameLength; //
    int depth;            // folders entered below the top
    bool leftLink;        // something that is or may be a link, or was never looked at, was left
};

bool sameLetters(wchar_t a, wchar_t b) {
    return a == b || towupper(a) == towupper(b);
}

// Whether the name in `answer` is `first` (of `firstLength` characters)
// followed by `rest`, letter case aside.
bool answerIs(const NameAnswer& answer, const wchar_t* first, size_t firstLength,
              const wchar_t* rest) {
    const wchar_t* name = answer.info.FileName;
    size_t length = answer.info.FileNameLength / sizeof(wchar_t);
    size_t restLength = wcslen(rest);
    if (length != firstLength + restLength) {
        return false;
    }
    for (size_t i = 0; i < firstLength; ++i) {
        if (!sameLetters(name[i], first[i])) {
            return false;
        }
    }
    for (size_t i = 0; i < restLength; ++i) {
        if (!sameLetters(name[firstLength + i], rest[i])) {
            return false;
        }
    }
    return true;
}

// Whether the system's name for `handle` is the top directory's name
// followed by `rest` (the entry's path below the top), letter case aside.
bool isEntryItself(HANDLE handle, const Walk& walk, const wchar_t* rest) {
    if (walk.top == nullptr) {
        return true;
    }
    return SYSTEM_CALL(GetFileInformationByHandleEx)(handle, FileNameInfo, &nameAnswer,
                                                     sizeof nameAnswer) &&
           answerIs(nameAnswer, walk.top, walk.topNameLength, rest);
}

HANDLE openToLookAt(const wchar_t* path) {
    return CreateFileW(path, FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING, openAsItself,
                       nullptr);
}

// A folder is listed through the handle whose name was checked, and that
// handle shares no delete access: while it is open nobody can move the
// folder away or put a link in its place, so what is listed, and every path
// below it, is what was checked. The folder is deleted through a handle of
// its own once it is empty and this one is closed.
HANDLE openToList(const wchar_t* path) {
    return CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, openAsItself,
                       nullptr);
}

HANDLE openForRemoval(const wchar_t* path) {
    return SYSTEM_CALL(CreateFileW)(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    shareAll, nullptr, OPEN_EXISTING, openAsItself, nullptr);
}

// Deletes what `handle` names when it is closed; a read-only file first loses
// that attribute, which would refuse the deletion.
void deleteThroughHandle(HANDLE handle, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {}; // zero times: left as they are
        basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0) {
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

void removeBelow(Walk& walk, size_t length, HANDLE folder);

// Deletes the entry at walk.path, opened as `entry`, once its name shows
// that it is the very entry; leaves it otherwise.
void deleteIfItself(Walk& walk, HANDLE entry, DWORD attributes) {
    if (isEntryItself(entry, walk, walk.path + walk.topLength)) {
        deleteThroughHandle(entry, attributes);
    } else {
        walk.leftLink = true;
    }
    CloseHandle(entry);
}

// A link to a file that the system follows when it is opened: a rename of an
// empty file of our own over it replaces the link itself, and that file can
// then go like any other.
void replaceLink(Walk& walk, size_t length) {
    size_t directoryLength = length;
    while (directoryLength > walk.topLength && walk.path[directoryLength - 1] != L'\\') {
        --directoryLength;
    }
    size_t nameLength = sizeof placeholderName / sizeof placeholderName[0] - 1;
    if (directoryLength + nameLength + 1 > extendedPathCapacity) {
        walk.leftLink = true;
        return;
    }
    wmemcpy(placeholderPath, walk.path, directoryLength);
    wmemcpy(placeholderPath + directoryLength, placeholderName, nameLength + 1);
    // CREATE_NEW: never a file, or a link, that was there before.
    HANDLE placeholder = CreateFileW(placeholderPath, GENERIC_WRITE | DELETE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (placeholder == INVALID_HANDLE_VALUE) {
        walk.leftLink = true;
        return;
    }
    // The folder may have been swapped for a link since it was listed: a
    // placeholder made elsewhere goes again at once, and the link stays.
    if (!isEntryItself(placeholder, walk, placeholderPath + walk.topLength)) {
        deleteThroughHandle(placeholder, FILE_ATTRIBUTE_NORMAL);
        CloseHandle(placeholder);
        walk.leftLink = true;
        return;
    }
    CloseHandle(placeholder);
    if (!MoveFileExW(placeholderPath, walk.path, MOVEFILE_REPLACE_EXISTING)) {
        walk.leftLink = true;
        DeleteFileW(placeholderPath);
        return;
    }
    // Once: what is at the name now and is not our file is left for a later attempt.
    HANDLE replaced = openForRemoval(walk.path);
    if (replaced == INVALID_HANDLE_VALUE) {
        walk.leftLink = true;
        return;
    }
    deleteIfItself(walk, replaced, FILE_ATTRIBUTE_NORMAL);
}

// Removes the entry at walk.path (`length` characters) whose listed
// attributes are `attributes`.
void removeEntry(Walk& walk, size_t length, DWORD attributes) {
    // A real folder is entered; anything else, a link (reparse point) to a
    // folder included, is deleted as itself.
    bool folder =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    HANDLE entry = folder ? openToList(walk.path) : openForRemoval(walk.path);
    if (entry == INVALID_HANDLE_VALUE) {
        return; // gone, or held by someone: a later attempt tries again
    }
    if (!isEntryItself(entry, walk, walk.path + walk.topLength)) {
        // Opened as something else: a link the system followed.
        CloseHandle(entry);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            walk.leftLink = true;
        } else {
            replaceLink(walk, length);
        }
        return;
    }
    if (folder) {
        if (walk.depth == removalDepth) {
            CloseHandle(entry);
            walk.leftLink = true;
            return;
        }
        removeBelow(walk, length, entry);
        CloseHandle(entry);
        entry = openForRemoval(walk.path);
        if (entry == INVALID_HANDLE_VALUE) {
            return;
        }
        // Checked again: the folder may have been swapped for a link meanwhile.
        deleteIfItself(walk, entry, attributes);
        return;
    }
    deleteThroughHandle(entry, attributes);
    CloseHandle(entry);
}

// Removes everything in the folder open as `folder`, whose path walk.path
// holds (`length` characters), listing it through that handle; what cannot
// be listed stays for a later attempt.
void removeBelow(Walk& walk, size_t length, HANDLE folder) {
    ++walk.depth;
    ListingBatch batch;
    FILE_INFO_BY_HANDLE_CLASS next = FileFullDirectoryRestartInfo;
    while (SYSTEM_CALL(GetFileInformationByHandleEx)(folder, next, &batch, sizeof batch)) {
        next = FileFullDirectoryInfo;
        const unsigned char* at = batch.bytes;
        for (;;) {
            const FILE_FULL_DIR_INFO* found = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const wchar_t* name = found->FileName;
            size_t nameLength = found->FileNameLength / sizeof(wchar_t);
            bool dots =
                name[0] == L'.' && (nameLength == 1 || (nameLength == 2 && name[1] == L'.'));
            if (!dots && length + 1 + nameLength + 1 <= extendedPathCapacity) {
                walk.path[length] = L'\\';
                wmemcpy(walk.path + length + 1, name, nameLength);
                walk.path[length + 1 + nameLength] = 0;
                removeEntry(walk, length + 1 + nameLength, found->FileAttributes);
                walk.path[length] = 0;
            }
            if (found->NextEntryOffset == 0) {
                break;
            }
            at += found->NextEntryOffset;
        }
    }
    --walk.depth;
}

// Starts listing the directory whose pattern ("\\*" appended) is `pattern`.
HANDLE findFirst(const wchar_t* pattern, Listing listing, WIN32_FIND_DATAW* found) {
    if (listing == Listing::full) {
        return SYSTEM_CALL(FindFirstFileW)(pattern, found);
    }
    DWORD flags = listing == Listing::basicBatch ? FIND_FIRST_EX_LARGE_FETCH : 0;
    return SYSTEM_CALL(FindFirstFileExW)(pattern, FindExInfoBasic, found, FindExSearchNameMatch,
                                         nullptr, flags);
}

// What the system calls the file or folder open as `handle`, into `name`
// (capacity in wide characters); empty when it cannot tell. An answer of its
// own: the main thread notes a name while a console handler's walk may be
// using the shared one.
void handleName(HANDLE handle, wchar_t* name, size_t capacity) {
    name[0] = 0;
    NameAnswer answer;
    if (GetFileInformationByHandleEx(handle, FileNameInfo, &answer, sizeof answer)) {
        size_t length = answer.info.FileNameLength / sizeof(wchar_t);
        if (length < capacity) {
            wmemcpy(name, answer.info.FileName, length);
            name[length] = 0;
        }
    }
}

// "X:\name", "\\server\share" or either as "\\?\X:\name", "\\?\UNC\server".
bool isFullPath(const wchar_t* path) {
    bool extended = wcsncmp(path, L"\\\\?\\", 4) == 0;
    const wchar_t* rest = extended ? path + 4 : path;
    bool letter = (rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z');
    if (letter && rest[1] == L':' && rest[2] == L'\\' && rest[3] != 0) {
        return true;
    }
    if (extended) {
        return wcsncmp(rest, L"UNC\\", 4) == 0 && rest[4] != 0 && rest[4] != L'\\';
    }
    return wcsncmp(path, L"\\\\", 2) == 0 && path[2] != 0 && path[2] != L'\\' && path[2] != L'?' &&
           path[2] != L'.';
}

} // namespace

// `path` in its extended-length form, which no path limit applies to;
// returns its length, or 0 when it does not fit or is not a full path. A
// relative or empty path would resolve against whatever folder the process
// happens to be in, which is never the target directory.
size_t extendedForm(const wchar_t* path, wchar_t* extended) {
    size_t length = wcsnlen(path, pathCapacity);
    if (length >= pathCapacity) {
        return 0;
    }
    if (!isFullPath(path)) {
        return 0;
    }
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        wmemcpy(extended, path, length + 1);
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        // \\server\share becomes \\?\UNC\server\share
        wmemcpy(extended, L"\\\\?\\UNC", 7);
        wmemcpy(extended + 7, path + 1, length);
        length += 6;
    } else {
        wmemcpy(extended, L"\\\\?\\", 4);
        wmemcpy(extended + 4, path, length + 1);
        length += 4;
    }
    return length;
}

bool hasSystemName(HANDLE handle, const wchar_t* name) {
    // An answer of its own: a cleanup's walk on another thread may be using the shared one.
    NameAnswer answer;
    return name[0] != 0 &&
           GetFileInformationByHandleEx(handle, FileNameInfo, &answer, sizeof answer) &&
           answerIs(answer, name, wcslen(name), L"");
}

void noteDirectoryName(const wchar_t* path, wchar_t* name, size_t capacity) {
    name[0] = 0;
    wchar_t extended[extendedPathCapacity];
    if (extendedForm(path, extended) == 0) {
        return;
    }
    HANDLE handle = CreateFileW(extended, FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                openAsItself, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    handleName(handle, name, capacity);
    CloseHandle(handle);
}

WalkEnd walkDirectory(wchar_t* path, size_t length, Listing listing, WalkVisitor visit,
                      void* context) {
    if (length + 3 > extendedPathCapacity) {
        return WalkEnd::unlisted;
    }
    wmemcpy(path + length, L"\\*", 3);
    WIN32_FIND_DATAW found;
    HANDLE find = findFirst(path, listing, &found);
    path[length] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        return WalkEnd::unlisted;
    }
    WalkEnd end = WalkEnd::whole;
    do {
        const wchar_t* name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        size_t nameLength = wcslen(name);
        if (length + 1 + nameLength + 1 > extendedPathCapacity) {
            end = WalkEnd::partial;
            continue;
        }
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        bool more = visit({path, length + 1 + nameLength, length, &found}, context);
        path[length] = 0;
        if (!more) {
            end = WalkEnd::stopped;
            break;
        }
    } while (SYSTEM_CALL(FindNextFileW)(find, &found));
    FindClose(find);
    return end;
}

bool removeDirectoryTree(const wchar_t* path, const wchar_t* name) {
    wchar_t extended[extendedPathCapacity];
    size_t length = extendedForm(path, extended);
    if (length == 0) {
        return false;
    }
    // The handle whose name is checked is the one the top is listed through.
    // Without listing access it is still looked at: a file that cannot be
    // read, or a folder that cannot be listed, at the top's name.
    HANDLE top = openToList(extended);
    if (top == INVALID_HANDLE_VALUE) {
        top = openToLookAt(extended);
    }
    if (top == INVALID_HANDLE_VALUE) {
        return true; // nothing there to walk
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(top, &information)) {
        CloseHandle(top);
        return false;
    }
    DWORD attributes = information.dwFileAttributes;

    // The top's own name is the start of every entry's name below it.
    wchar_t topName[extendedPathCapacity];
    Walk walk = {extended, length, nullptr, 0, 0, false};
    if (name != nullptr && name[0] != 0) {
        walk.top = name;
        walk.topNameLength = wcslen(name);
        if (!isEntryItself(top, walk, L"")) {
            // Replaced by a link: what it points to is not ours.
            CloseHandle(top);
            return false;
        }
    } else {
        handleName(top, topName, extendedPathCapacity);
        if (topName[0] != 0) {
            walk.top = topName;
            walk.topNameLength = wcslen(topName);
        }
    }

    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // Not a directory (any more): deleted as itself when its name shows
        // that it is the very entry; without a name to tell, a Unix link
        // under Wine could not be told from the file it leads to.
        CloseHandle(top);
        if (walk.top != name) {
            return false;
        }
        top = openForRemoval(extended);
        if (top == INVALID_HANDLE_VALUE) {
            return false;
        }
        bool itself = isEntryItself(top, walk, L"");
        if (itself) {
            deleteThroughHandle(top, attributes);
        }
        CloseHandle(top);
        return itself && GetFileAttributesW(extended) == INVALID_FILE_ATTRIBUTES;
    }
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link && (name == nullptr || name[0] == 0)) {
        // A link in the directory's place, and no name to tell whether this
        // handle is the link or what it points to: leave it.
        CloseHandle(top);
        return false;
    }
    if (!link) {
        removeBelow(walk, length, top);
    }
    CloseHandle(top);
    // A link in the directory's place goes as itself; a directory swapped
    // for a link meanwhile does not take what the link points to along.
    top = openForRemoval(extended);
    if (top != INVALID_HANDLE_VALUE) {
        if (isEntryItself(top, walk, L"")) {
            deleteThroughHandle(top, attributes);
        } else {
            walk.leftLink = true;
        }
        CloseHandle(top);
    }
    return !walk.leftLink && !link;
}
