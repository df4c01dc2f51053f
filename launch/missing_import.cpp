#include "launch/missing_import.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "base/state.h"
#include "errors/errors.h"
#include "formats/image_tables.h"

namespace {

// Longest library name looked for; file names are far shorter.
constexpr size_t nameCapacity = 256;
// Libraries of the package that one walk takes in; a package whose entry
// brings in more at once is walked as far as this.
constexpr size_t moduleCapacity = 256;

// Where a library of the package lies, as the child's load searched: the
// entry library's own folder first, then the target directory.
enum Folder : unsigned char { entryItself, entryFolder, targetFolder };

struct PackageModule {
    Folder folder;
    char name[nameCapacity]; // as the importer names it
};

PackageModule modules[moduleCapacity];
size_t moduleCount;
wchar_t entryFolderPath[pathCapacity];
wchar_t importerPath[pathCapacity];
wchar_t exporterPath[pathCapacity];
wchar_t wideName[nameCapacity + 4]; // room for ".dll"
char importerText[pathCapacity];
char exporterText[pathCapacity];
char libraryText[nameCapacity];

struct MappedImage {
    const unsigned char* view;
    ImageTables tables;
};

// Maps the file at `path` for reading and opens its tables; false when it
// cannot be read or is no PE image.
bool mapImage(const wchar_t* path, MappedImage* image) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size = {};
    HANDLE mapping = nullptr;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    }
    CloseHandle(file);
    if (mapping == nullptr) {
        return false;
    }
    image->view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    CloseHandle(mapping);
    if (image->view == nullptr) {
        return false;
    }
    if (!openImageTables(&image->tables, image->view, static_cast<size_t>(size.QuadPart))) {
        UnmapViewOfFile(image->view);
        return false;
    }
    return true;
}

// `folder`, a backslash and `name` into `out`; false when that does not fit.
bool joinPath(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    size_t folderLength = wcslen(folder);
    size_t nameLength = wcslen(name);
    if (folderLength + 1 + nameLength >= pathCapacity) {
        return false;
    }
    wmemcpy(out, folder, folderLength);
    out[folderLength] = L'\\';
    wmemcpy(out + folderLength + 1, name, nameLength + 1);
    return true;
}

// The file name the loader looks for: the name widened one byte a
// character, with ".dll" when it has no extension. False for a name too long.
bool loaderName(const char* name, size_t length) {
    if (length >= nameCapacity) {
        return false;
    }
    bool extension = false;
    for (size_t i = 0; i < length; ++i) {
        wideName[i] = static_cast<unsigned char>(name[i]);
        extension = extension || name[i] == '.';
    }
    wideName[length] = 0;
    if (!extension) {
        wcscat(wideName, L".dll");
    }
    return true;
}

// The path of a module of the package into `out`.
bool modulePath(const PackageModule& module, const wchar_t* libraryPath, wchar_t* out) {
    if (module.folder == entryItself) {
        wcscpy(out, libraryPath); // no longer than a path: checked on the way in
        return true;
    }
    return loaderName(module.name, strlen(module.name)) &&
           joinPath(out, module.folder == entryFolder ? entryFolderPath : targetDirectoryPath,
                    wideName);
}

// A path as the message shows it: below the target directory, without it.
void shownPath(const wchar_t* path, char* out) {
    size_t length = wcslen(targetDirectoryPath);
    if (wcsncmp(path, targetDirectoryPath, length) == 0 && path[length] == L'\\') {
        path += length + 1;
    }
    narrowForMessage(path, out, pathCapacity);
}

// Where the package holds the library `wideName`, searched in the order of
// the child's load; false when it does not.
bool findInPackage(Folder* folder) {
    const Folder folders[] = {entryFolder, targetFolder};
    for (Folder candidate : folders) {
        const wchar_t* path = candidate == entryFolder ? entryFolderPath : targetDirectoryPath;
        if (!joinPath(exporterPath, path, wideName)) {
            continue;
        }
        DWORD attributes = GetFileAttributesW(exporterPath);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *folder = candidate;
            return true;
        }
    }
    return false;
}

void enqueue(Folder folder, const ImportedLibrary& library) {
    for (size_t i = 0; i < moduleCount; ++i) {
        if (modules[i].folder == folder &&
            _strnicmp(modules[i].name, library.name, library.nameLength) == 0 &&
            modules[i].name[library.nameLength] == 0) {
            return;
        }
    }
    if (moduleCount < moduleCapacity && library.nameLength < nameCapacity) {
        PackageModule& module = modules[moduleCount++];
        module.folder = folder;
        memcpy(module.name, library.name, library.nameLength);
        module.name[library.nameLength] = 0;
    }
}

// Writes the sentence for a function of `library` that `exporter` (shown as
// `exporterShown`) lacks, asking `exported` of each; true when one is missing.
template <typename Exported>
bool missingFunction(const MappedImage& importer, const ImportedLibrary& library,
                     const char* exporterShown, Exported exported, char* detail, size_t capacity) {
    uint32_t index = 0;
    ImportedFunction function;
    while (nextImportedFunction(importer.tables, library, &index, &function) == TableStep::item) {
        if (exported(function)) {
            continue;
        }
        if (function.byOrdinal) {
            snprintf(detail, capacity, detailMissingOrdinal, importerText,
                     static_cast<unsigned>(function.ordinal), exporterShown);
        } else {
            snprintf(detail, capacity, detailMissingFunction, importerText, function.name,
                     exporterShown);
        }
        detail[capacity - 1] = 0;
        return true;
    }
    return false;
}

bool missingFromModule(const MappedImage& importer, const ImportedLibrary& library, HMODULE module,
                       const char* shown, char* detail, size_t capacity) {
    return missingFunction(
        importer, library, shown,
        [module](const ImportedFunction& function) {
            const char* name = function.byOrdinal
                                   ? reinterpret_cast<const char*>(uintptr_t{function.ordinal})
                                   : function.name;
            return GetProcAddress(module, name) != nullptr;
        },
        detail, capacity);
}

bool missingFromPackage(const MappedImage& importer, const ImportedLibrary& library, char* detail,
                        size_t capacity) {
    MappedImage exporter;
    if (!mapImage(exporterPath, &exporter)) {
        return false;
    }
    shownPath(exporterPath, exporterText);
    ExportTable table;
    bool missing = openExportTable(exporter.tables, &table) &&
                   missingFunction(
                       importer, library, exporterText,
                       [&exporter, &table](const ImportedFunction& function) {
                           return function.byOrdinal
                                      ? exportsOrdinal(exporter.tables, table, function.ordinal)
                                      : exportsName(exporter.tables, table, function.name,
                                                    function.nameLength);
                       },
                       detail, capacity);
    UnmapViewOfFile(exporter.view);
    return missing;
}

// Looks for each library that `importer` imports at load time, as the
// loader did; true once the detail is written.
bool walkImports(const MappedImage& importer, char* detail, size_t capacity) {
    ImportCursor cursor = {};
    ImportedLibrary library;
    // Delay-loaded libraries come last and play no part in the load.
    while (nextImportedLibrary(importer.tables, &cursor, &library) == TableStep::item &&
           !library.delayLoaded) {
        if (!loaderName(library.name, library.nameLength)) {
            continue;
        }
        memcpy(libraryText, library.name, library.nameLength); // shorter: loaderName took it
        libraryText[library.nameLength] = 0;
        // The load's order: a name loaded already (the bootstrap's own
        // libraries and what this walk took from the system; the failed
        // load has unloaded what it brought in), then the package's folders,
        // then the system directory, which also resolves API sets. A known
        // DLL would come from the system even when the package holds a copy:
        // a package that names its files so is not worth the registry read.
        HMODULE module = GetModuleHandleW(wideName);
        Folder folder;
        if (module == nullptr && findInPackage(&folder)) {
            if (missingFromPackage(importer, library, detail, capacity)) {
                return true;
            }
            enqueue(folder, library);
            continue;
        }
        if (module == nullptr) {
            module = LoadLibraryExW(wideName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        }
        if (module == nullptr) {
            snprintf(detail, capacity, detailMissingLibrary, importerText, libraryText);
            detail[capacity - 1] = 0;
            return true;
        }
        if (missingFromModule(importer, library, module, libraryText, detail, capacity)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool importMayBeMissing(DWORD code) {
    return code == ERROR_MOD_NOT_FOUND || code == ERROR_PROC_NOT_FOUND ||
           code == ERROR_INVALID_ORDINAL;
}

void describeMissingImport(const wchar_t* libraryPath, char* detail, size_t capacity) {
    detail[0] = 0;
    if (wcslen(libraryPath) >= pathCapacity) {
        return;
    }
    wcscpy(entryFolderPath, libraryPath);
    wchar_t* separator = wcsrchr(entryFolderPath, L'\\');
    if (separator == nullptr) {
        return;
    }
    *separator = 0;
    modules[0].folder = entryItself;
    moduleCount = 1;
    for (size_t i = 0; i < moduleCount; ++i) {
        MappedImage importer;
        if (!modulePath(modules[i], libraryPath, importerPath) ||
            !mapImage(importerPath, &importer)) {
            continue;
        }
        shownPath(importerPath, importerText);
        bool found = walkImports(importer, detail, capacity);
        UnmapViewOfFile(importer.view);
        if (found) {
            return;
        }
    }
}
