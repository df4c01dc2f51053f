#include "packer/payload/input_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "archive/layout.h"
#include "packer/error.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> componentsOf(const fs::path& relative) {
    std::vector<std::string> components;
    for (const fs::path& part : relative) {
        components.push_back(part.string());
    }
    return components;
}

// The entry as given on the command line, as components below the input
// directory; "." parts and doubled slashes are dropped, ".." is refused.
std::vector<std::string> entryComponents(const std::string& entry) {
    fs::path given(entry);
    if (entry.empty() || given.is_absolute()) {
        throw PackError("--entry " + quoteForMessage(entry) +
                        ": give the entry library as a path relative to INPUT_DIR");
    }
    std::vector<std::string> components;
    for (const fs::path& part : given) {
        std::string text = part.string();
        if (text.empty() || text == ".") {
            continue;
        }
        if (text == "..") {
            throw PackError("--entry " + quoteForMessage(entry) +
                            ": the entry library must lie inside INPUT_DIR (no '..')");
        }
        components.push_back(text);
    }
    if (components.empty()) {
        throw PackError("--entry " + quoteForMessage(entry) + ": names no file");
    }
    return components;
}

void refuseCaseCollisions(const std::vector<InputFile>& files) {
    CaseFoldedTree tree;
    for (const InputFile& file : files) {
        tree.addFile(file.archivePath.utf16, file.archivePath.utf8);
    }
}

} // namespace

std::vector<InputFile> scanInputTree(const fs::path& inputDirectory, const std::string& entry) {
    std::error_code error;
    fs::file_status rootStatus = fs::status(inputDirectory, error);
    if (error || !fs::is_directory(rootStatus)) {
        throw PackError(quoteForMessage(inputDirectory.string()) + " is not a directory" +
                        (error ? " (" + error.message() + ")" : std::string()));
    }
    std::vector<std::string> entryParts = entryComponents(entry);

    std::vector<InputFile> files;
    fs::recursive_directory_iterator it(inputDirectory, fs::directory_options::none, error);
    if (error) {
        throw PackError("cannot read the directory " + quoteForMessage(inputDirectory.string()) +
                        ": " + error.message());
    }
    fs::path lastPath = inputDirectory;
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        const fs::path& source = it->path();
        lastPath = source;
        fs::path relative = source.lexically_relative(inputDirectory);
        std::string shown = relative.string();
        struct stat info;
        if (lstat(source.c_str(), &info) != 0) {
            throw PackError("cannot examine " + quoteForMessage(source.string()) + ": " +
                            systemErrorText(errno));
        }
        if (S_ISLNK(info.st_mode)) {
            throw PackError(quoteForMessage(source.string()) +
                            " is a symbolic link; links are not packed (Windows would not "
                            "recreate them): copy what it points to into the directory instead");
        }
        if (S_ISDIR(info.st_mode)) {
            continue; // implied by the paths of the files below it
        }
        if (!S_ISREG(info.st_mode)) {
            throw PackError(quoteForMessage(source.string()) +
                            " is neither a regular file nor a directory (a device, socket or "
                            "pipe cannot be packed)");
        }
        InputFile file;
        file.source = source;
        file.archivePath = makeArchivePath(componentsOf(relative), shown);
        file.size = static_cast<uint64_t>(info.st_size);
        files.push_back(std::move(file));
    }
    if (error) {
        throw PackError("cannot read the directory tree at " + quoteForMessage(lastPath.string()) +
                        ": " + error.message());
    }

    std::sort(files.begin(), files.end(), [](const InputFile& a, const InputFile& b) {
        return a.archivePath.utf8 < b.archivePath.utf8; // std::string compares bytes as unsigned
    });
    refuseCaseCollisions(files);

    std::string entryPath;
    for (const std::string& part : entryParts) {
        entryPath += (entryPath.empty() ? "" : "\\") + part;
    }
    auto found = std::find_if(files.begin(), files.end(), [&entryPath](const InputFile& file) {
        return file.archivePath.utf8 == entryPath;
    });
    if (found == files.end()) {
        fs::path onDisk = inputDirectory;
        for (const std::string& part : entryParts) {
            onDisk /= part;
        }
        std::error_code statError;
        bool exists = fs::exists(fs::symlink_status(onDisk, statError));
        throw PackError("--entry " + quoteForMessage(entry) + ": " +
                        quoteForMessage(onDisk.string()) +
                        (exists ? " is not a regular file" : " does not exist"));
    }
    std::rotate(files.begin(), found, found + 1);
    return files;
}

uint64_t recordStreamSize(const std::vector<InputFile>& files) {
    uint64_t total = 2; // terminator
    for (const InputFile& file : files) {
        total += 2 * (file.archivePath.utf16.size() + 1) + recordSizeFieldSize + file.size;
    }
    return total;
}
