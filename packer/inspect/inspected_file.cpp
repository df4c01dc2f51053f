#include "packer/inspect/inspected_file.h"

#include <cstring>

#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace {

// An entry library beyond this is not held in memory to be checked.
constexpr uint64_t entryCheckLimit = uint64_t{1} << 30;

} // namespace

InspectedFile::InspectedFile(const std::filesystem::path& path)
    : path_(path), mapped_(path),
      data_(locateAttachedData(mapped_.data(), mapped_.size(), pathToUtf8(path))) {
    try {
        frame_ = inspectFrame(data_.frame(), data_.frameSize);
    } catch (const PackError& error) {
        throw PackError(quotedName() + ": " + error.what());
    }
    if (isExecutable()) {
        image_ = readPeImage(mapped_.data(), mapped_.size(), &imageProblem_);
        constants_ =
            readConstantsSection(mapped_.data(), mapped_.size(), data_.offset, data_.length);
    }
}

std::string InspectedFile::quotedName() const {
    return quoteForMessage(pathToUtf8(path_));
}

void RecordSurvey::record(const std::u16string& path, uint64_t size) {
    finishImage();
    if (collectImages_) {
        imageState_ = ImageState::undecided;
        imagePath_ = utf16ToUtf8(path);
        imageSize_ = size;
    }
    ++count_;
    totalSize_ += size;
    if (checkNames_) {
        std::string utf8 = utf16ToUtf8(path);
        // Unpaired surrogates do not survive the round trip through UTF-8.
        std::optional<std::u16string> back = utf8ToUtf16(utf8);
        if (!back || *back != path) {
            throw PackError("record " + std::to_string(count_) + ", " + quoteForMessage(utf8) +
                            ": its path is not valid UTF-16");
        }
        try {
            makeArchivePath(archivePathComponents(utf8), utf8);
            std::string clash = names_.addFile(path, utf8);
            if (!clash.empty()) {
                throw PackError(clash);
            }
        } catch (const PackError& error) {
            throw PackError("record " + std::to_string(count_) + ", " + error.what());
        }
    }
    if (count_ == 1) {
        entry_ = Record{path, size};
    }
}

void RecordSurvey::content(const unsigned char* data, size_t size) {
    if (count_ == 1 && entry_->size <= entryCheckLimit) {
        entryBytes_.insert(entryBytes_.end(), data, data + size);
    }
    if (imageState_ == ImageState::skipping) {
        return;
    }
    imageBytes_.insert(imageBytes_.end(), data, data + size);
    if (imageState_ == ImageState::undecided && imageBytes_.size() >= 2) {
        // Only what begins like a program is kept whole.
        if (imageBytes_[0] != 'M' || imageBytes_[1] != 'Z') {
            imageState_ = ImageState::skipping;
        } else if (imageSize_ > entryCheckLimit) {
            images_.push_back({imagePath_, std::nullopt,
                               "is " + std::to_string(imageSize_) + " bytes, more than the " +
                                   std::to_string(entryCheckLimit) + " that are checked"});
            imageState_ = ImageState::skipping;
        } else {
            imageState_ = ImageState::collecting;
        }
        if (imageState_ == ImageState::skipping) {
            imageBytes_ = {};
        }
    }
}

void RecordSurvey::finishImage() {
    if (imageState_ == ImageState::collecting) {
        if (std::optional<PackagedImage> image =
                packagedImage(imagePath_, imageBytes_.data(), imageBytes_.size())) {
            images_.push_back(std::move(*image));
        }
    }
    imageState_ = ImageState::skipping;
    imageBytes_ = {};
}

void RecordSurvey::finish() {
    finishImage();
}

std::optional<DependencyFindings> surveyDependencies(const RecordSurvey& records,
                                                     const std::vector<std::string>& allowMissing) {
    if (!records.entry()) {
        return std::nullopt;
    }
    return checkDependencies(records.images(), utf16ToUtf8(records.entry()->path), allowMissing);
}

std::string RecordSurvey::entryProblem() const {
    if (entry_->size > entryCheckLimit) {
        return "is " + std::to_string(entry_->size) + " bytes, more than the " +
               std::to_string(entryCheckLimit) + " that are checked";
    }
    return entryLibraryDiagnosis(entryBytes_.data(), entryBytes_.size());
}

Survey surveyRecords(const InspectedFile& file, bool checkNames, bool collectImages) {
    Survey survey{RecordSurvey(checkNames, collectImages), {}};
    try {
        survey.end = readRecords(file.data(), survey.records);
    } catch (const PackError& error) {
        throw PackError(file.quotedName() + ": " + error.what());
    }
    survey.records.finish();
    return survey;
}
