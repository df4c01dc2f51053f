#include <iostream>

#include "packer/error.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/platform/console.h"
#include "packer/text.h"

Survey verifiedRecords(const InspectedFile& file, bool collectImages) {
    auto refuse = [&file](const std::string& problem) {
        throw PackError(file.quotedName() + ": " + problem);
    };
    if (!file.frame().checksum) {
        refuse("the frame carries no content checksum, so its content cannot be checked");
    }
    Survey survey = surveyRecords(file, true, collectImages);
    if (survey.end.bytesAfterTerminator > 0) {
        refuse(std::to_string(survey.end.bytesAfterTerminator) +
               " decoded bytes follow the record stream's terminator");
    }
    const auto& entry = survey.records.entry();
    if (!entry) {
        refuse("it holds no records, so no entry library");
    }
    std::string problem = survey.records.entryProblem();
    if (!problem.empty()) {
        refuse("the entry library " + quoteForMessage(utf16ToUtf8(entry->path)) + " " + problem);
    }
    return survey;
}

void runVerifyCommand(const std::filesystem::path& file,
                      const std::vector<std::string>& allowMissing,
                      const std::set<Warning>& silenced) {
    InspectedFile inspected(file);
    Survey survey = verifiedRecords(inspected, true);
    DependencyFindings dependencies = *surveyDependencies(survey.records, allowMissing);
    if (!dependencies.sound()) {
        throw PackError(inspected.quotedName() + ": " + dependencyRefusal(dependencies));
    }
    WarningReport warnings(false, silenced);
    for (const WarningMessage& warning : dependencies.warnings) {
        warnings.add(warning);
    }
    std::cout << inspected.quotedName() << " is sound: " << survey.records.count() << " records, "
              << survey.records.totalSize() << " bytes, the checksum matches; the entry "
              << quoteForMessage(utf16ToUtf8(survey.records.entry()->path)) << " is "
              << soundEntryDescription() << ", and Windows will find what its files import\n";
}
