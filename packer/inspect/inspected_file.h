// A file that onefile-pack made, opened for inspection: an executable or an
// attached-data file, its attached data and frame, and for an executable its
// image headers and build constants. The records are walked on demand.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packer/dependencies/dependency_check.h"
#include "packer/image/constant_slots.h"
#include "packer/pe/pe_file.h"
#include "packer/payload/archive_file.h"
#include "packer/payload/archive_path.h"

class InspectedFile {
  public:
    // Throws PackError naming the file when it holds no valid attached data.
    explicit InspectedFile(const std::filesystem::path& path);

    const std::filesystem::path& path() const { return path_; }
    std::string quotedName() const; // for messages
    const unsigned char* bytes() const { return mapped_.data(); }
    size_t size() const { return mapped_.size(); }
    const AttachedData& data() const { return data_; }
    const FrameInfo& frame() const { return frame_; }
    // An executable rather than an attached-data file.
    bool isExecutable() const { return data_.offset != 0; }
    // The executable's image headers, when they can be read.
    const std::optional<PeImage>& image() const { return image_; }
    // Why an executable's image headers cannot be read; "" when they can,
    // and for an attached-data file.
    const std::string& imageProblem() const { return imageProblem_; }
    // The executable's build constants, when they lie before its attached data.
    const std::optional<ConstantsSection>& constants() const { return constants_; }

  private:
    std::filesystem::path path_;
    MappedFile mapped_;
    AttachedData data_;
    FrameInfo frame_;
    std::optional<PeImage> image_;
    std::string imageProblem_;
    std::optional<ConstantsSection> constants_;
};

// The bytes of one record, read whole for a check: in memory when it is
// small, else set aside in a temporary file, so that what a check holds
// does not grow with the records that a small archive may decode to.
class HeldRecord {
  public:
    // For a record of `size` bytes.
    explicit HeldRecord(uint64_t size);
    void append(const unsigned char* data, size_t size);
    // All that was appended.
    const unsigned char* data();
    size_t size() const;

  private:
    std::vector<unsigned char> memory_;
    std::unique_ptr<SpillFile> spilled_;
};

// What a walk over the records found. When `checkNames` is set, every path
// must be one the packer would pack and Windows would create: each name one
// Windows can hold, no two names equal but for case, no name both a file
// and a directory; the first that is not ends the walk with a PackError.
// When `collectImages` is set, the programs and libraries among the records
// are read for the dependency check, one at a time.
class RecordSurvey : public RecordVisitor {
  public:
    struct Record {
        std::u16string path;
        uint64_t size = 0;
    };

    explicit RecordSurvey(bool checkNames, bool collectImages = false)
        : checkNames_(checkNames), collectImages_(collectImages) {}
    void record(const std::u16string& path, uint64_t size) override;
    void content(const unsigned char* data, size_t size) override;
    // After the last record: reads the last image.
    void finish();

    uint64_t count() const { return count_; }
    uint64_t totalSize() const { return totalSize_; }
    // The first record, the entry library: its path and size. Nothing
    // without records.
    const std::optional<Record>& entry() const { return entry_; }
    // Why the entry library cannot serve as one ("" when it can); only for
    // a survey that found one and is finished, so callers check entry() first.
    std::string entryProblem() const;
    // The programs and libraries among the records, when collected.
    const std::vector<PackagedImage>& images() const { return images_; }

  private:
    void decide();
    void finishRecord();

    bool checkNames_;
    bool collectImages_;
    // The current record: read on while it may be the entry or an image.
    enum class RecordState { undecided, holding, skipping } state_ = RecordState::skipping;
    std::string recordPath_; // UTF-8
    uint64_t recordSize_ = 0;
    unsigned char head_[2] = {}; // its first bytes, which tell
    size_t headSize_ = 0;
    std::optional<HeldRecord> held_; // while it may be an image
    std::vector<PackagedImage> images_;
    uint64_t count_ = 0;
    uint64_t totalSize_ = 0;
    std::optional<Record> entry_;
    std::string entryProblem_; // of an entry that is checked
    CaseFoldedTree names_;
};

// The records of `file`, surveyed; throws PackError naming the file for the
// first problem of the frame or, with `checkNames`, of a path.
struct Survey {
    RecordSurvey records;
    RecordStreamEnd end;
};
Survey surveyRecords(const InspectedFile& file, bool checkNames, bool collectImages = false);

// The survey of a file that verify finds sound: the frame with its content
// checksum, every path, nothing after the terminator, and an entry library
// that passes the entry check. Throws PackError naming the file for the
// first problem.
Survey verifiedRecords(const InspectedFile& file, bool collectImages = false);

// What the dependency check finds of the images of a survey that collected
// them; nothing for a survey without records.
std::optional<DependencyFindings> surveyDependencies(const RecordSurvey& records,
                                                     const std::vector<std::string>& allowMissing);
