#include "packer/inspect/inspected_file.h"

#include <cstring>

#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace {

// An entry library or image beyond this is not read to be checked.
constexpr uint64_t entryCheckLimit = uint64_t{1} << 30;
// One beyond this is set aside in a temporary file rather than held in
// memory; libraries are seldom larger.
constexpr uint64_t heldInMemoryLimit = uint64_t{16} << 20;

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

HeldRecord::HeldRecord(uint64_t size) {
    if (size <= heldInMemoryLimit) {
        memory_.reserve(static_cast<size_t>(size));
    } else {
        spilled_ = std::make_unique<SpillFile>();
    }
}

void HeldRecord::append(const unsigned char* data, size_t size) {
    if (spilled_) {
        spilled_->write(data, size);
    } else {
        memory_.insert(memory_.end(), data, data + size);
    }
}

const unsigned char* HeldRecord::data() {
    return spilled_ ? spilled_->map() : memory_.data();
}

size_t HeldRecord::size() const {
    return spilled_ ? spilled_->size() : memory_.size();
}

void RecordSurvey::record(const std::u16string& path, uint64_t size) {
    finishRecord();
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
    // The entry is read for its check, and what may be an image for the
    // dependency check.
    if (count_ == 1 || collectImages_) {
        state_ = RecordState::undecided;
        recordPath_ = utf16ToUtf8(path);
        recordSize_ = size;
        headSize_ = 0;
    }
}

void RecordSurvey::content(const unsigned char* data, size_t size) {
    if (state_ == RecordState::undecided) {
        while (headSize_ < sizeof head_ && size > 0) {
            head_[headSize_++] = *data++;
            --size;
        }
        if (headSize_ == sizeof head_) {
            decide();
        }
    }
    if (state_ == RecordState::holding) {
        held_->append(data, size);
    }
}

void RecordSurvey::decide() {
    // Only what begins like a program is read whole.
    if (head_[0] != 'M' || head_[1] != 'Z') {
        state_ = RecordState::skipping;
    } else if (recordSize_ > entryCheckLimit) {
        if (collectImages_) {
            images_.push_back({recordPath_, std::nullopt,
                               "is " + std::to_string(recordSize_) + " bytes, more than the " +
                                   std::to_string(entryCheckLimit) + " that are checked"});
        }
        state_ = RecordState::skipping;
    } else {
        state_ = RecordState::holding;
        held_.emplace(recordSize_);
        held_->append(head_, headSize_);
    }
}

void RecordSurvey::finishRecord() {
    if (state_ == RecordState::holding) {
        const unsigned char* bytes = held_->data();
        const size_t size = held_->size();
        if (count_ == 1) {
            entryProblem_ = entryLibraryDiagnosis(bytes, size);
        }
        if (collectImages_) {
            if (std::optional<PackagedImage> image = packagedImage(recordPath_, bytes, size)) {
                images_.push_back(std::move(*image));
            }
        }
    } else if (count_ == 1) {
        // Not beginning with "MZ", or too short to: its first bytes tell why
        // (what is too large to be checked, entryProblem tells).
        entryProblem_ = entryLibraryDiagnosis(head_, headSize_);
    }
    state_ = RecordState::skipping;
    held_.reset();
}

void RecordSurvey::finish() {
    finishRecord();
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
    return entryProblem_;
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
