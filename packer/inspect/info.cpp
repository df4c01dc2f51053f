#include <iostream>
#include <nlohmann/json.hpp>

#include "packer/image/build_constants.h"
#include "packer/pe/subsystem.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/inspect/json_output.h"
#include "packer/platform/files.h"
#include "packer/text.h"

using json = nlohmann::ordered_json;

namespace {

// Everything info reports, in the shape of its JSON output; the text form
// is made from the same object.
json dependencyReport(const DependencyFindings& findings) {
    json missing = json::array();
    for (const auto& library : findings.missing) {
        json importers = json::array();
        for (const auto& importer : library.importers) {
            importers.push_back({{"path", importer.path}, {"delayLoaded", importer.delayLoaded}});
        }
        missing.push_back({{"library", library.library},
                           {"importers", importers},
                           {"elsewhere", library.elsewhere}});
    }
    json functions = json::array();
    for (const auto& function : findings.missingFunctions) {
        functions.push_back(
            {{"library", function.library},
             {"importer", function.importer},
             {"function", function.function.ordinal ? json() : json(function.function.name)},
             {"ordinal", function.function.ordinal ? json(*function.function.ordinal) : json()}});
    }
    return {{"sound", findings.sound()},
            {"missing", missing},
            {"missingFunctions", functions},
            {"allowedMissing", findings.allowedMissing},
            {"problems", dependencyProblemLines(findings)},
            {"warnings", warningLines(findings)}};
}

json describe(const InspectedFile& file, const std::vector<std::string>& allowMissing) {
    const FrameInfo& frame = file.frame();
    Survey survey = surveyRecords(file, false, true);
    json info = {
        {"file", pathToUtf8(file.path())},
        {"kind", file.isExecutable() ? "executable" : "attached data"},
        {"size", file.size()},
        {"attachedData", {{"offset", file.data().offset}, {"size", file.data().length}}},
        {"frame",
         {{"size", file.data().frameSize},
          {"windowSize", frame.windowSize},
          {"windowLog", frame.singleSegment ? json() : json(frame.windowLog)},
          {"checksum", frame.checksum},
          {"contentSize", frame.contentSize ? json(*frame.contentSize) : json()}}},
        {"records",
         {{"count", survey.records.count()},
          {"totalSize", survey.records.totalSize()},
          {"streamSize", survey.end.contentSize}}},
        {"entry", nullptr},
        {"image", nullptr},
        {"product", nullptr},
        {"targetDirectory", nullptr},
        {"signature", nullptr},
        {"options", nullptr},
        {"dependencies", nullptr},
    };
    if (std::optional<DependencyFindings> findings =
            surveyDependencies(survey.records, allowMissing)) {
        info["dependencies"] = dependencyReport(*findings);
    }
    if (const auto& entry = survey.records.entry()) {
        std::string problem = survey.records.entryProblem();
        info["entry"] = {{"path", utf16ToUtf8(entry->path)},
                         {"size", entry->size},
                         {"sound", problem.empty()},
                         {"problem", problem.empty() ? json() : json(problem)}};
    }
    if (const auto& image = file.image()) {
        info["image"] = {{"format", image->magic == pe::magicPe32Plus ? "PE32+" : "PE32"},
                         {"machine", machineName(image->machine)},
                         {"subsystem", subsystemName(image->subsystem)}};
        std::optional<CertificateTable> certificates = certificateTable(*image, file.size());
        info["signature"] = {{"present", certificates.has_value()},
                             {"size", certificates ? json(certificates->size) : json()}};
    }
    if (const auto& constants = file.constants()) {
        const TargetMode mode = constants->cache ? TargetMode::cached : TargetMode::perRun;
        // Without a spec of its own an image uses the bootstrap library's.
        const std::u16string spec =
            constants->targetDirectorySpec.value_or(defaultTargetDirectorySpec(TargetMode::perRun));
        info["options"] = buildOptionList(constants->options);
        info["product"] = {{"company", utf16ToUtf8(constants->companyName)},
                           {"name", utf16ToUtf8(constants->productName)},
                           {"version", utf16ToUtf8(constants->versionString)}};
        info["targetDirectory"] = {{"spec", utf16ToUtf8(spec)},
                                   {"default", spec == defaultTargetDirectorySpec(mode)},
                                   {"mode", targetModeName(mode)}};
        if (constants->cache) {
            info["targetDirectory"]["cache"] = {
                {"id", utf16ToUtf8(constants->cache->id)},
                {"directory", utf16ToUtf8(spec + u"\\" + constants->cache->id)}};
        }
    }
    return info;
}

std::string bytes(const json& value) {
    return std::to_string(value.get<uint64_t>()) + " bytes";
}

std::string text(const json& value) {
    return value.get<std::string>();
}

// `imageProblem` is why an executable's image headers, and so its
// signature, are missing from `info`.
void printText(const json& info, const std::string& imageProblem) {
    std::cout << "file: " << text(info["file"]) << "\nkind: " << text(info["kind"])
              << "\nsize: " << bytes(info["size"]) << '\n';
    if (const json& image = info["image"]; !image.is_null()) {
        std::cout << "image: " << text(image["format"]) << " for " << text(image["machine"]) << ", "
                  << text(image["subsystem"]) << " subsystem\n";
    } else if (!imageProblem.empty()) {
        std::cout << "image: unreadable, as the file " << imageProblem << '\n';
    }
    const json& frame = info["frame"];
    std::cout << "attached data: " << bytes(info["attachedData"]["size"]) << " at offset "
              << info["attachedData"]["offset"].get<uint64_t>() << '\n'
              << "frame: " << bytes(frame["size"]) << ", window " << bytes(frame["windowSize"])
              << (frame["windowLog"].is_null()
                      ? std::string(" (single segment: the content size)")
                      : " (log " + std::to_string(frame["windowLog"].get<unsigned>()) + ")")
              << (frame["checksum"].get<bool>() ? ", content checksum" : ", no content checksum")
              << (frame["contentSize"].is_null() ? std::string(", no content size")
                                                 : ", content size " + bytes(frame["contentSize"]))
              << '\n';
    const json& records = info["records"];
    std::cout << "records: " << records["count"].get<uint64_t>() << ", "
              << bytes(records["totalSize"]) << " in all (record stream "
              << bytes(records["streamSize"]) << ")\n";
    if (const json& entry = info["entry"]; !entry.is_null()) {
        std::cout << "entry: " << quoteForMessage(text(entry["path"])) << ", "
                  << bytes(entry["size"]) << ", "
                  << (entry["sound"].get<bool>() ? soundEntryDescription()
                                                 : "which " + text(entry["problem"]))
                  << '\n';
    } else {
        std::cout << "entry: none, as there are no records\n";
    }
    if (const json& product = info["product"]; !product.is_null()) {
        std::cout << "company: " << quoteForMessage(text(product["company"]))
                  << "\nproduct: " << quoteForMessage(text(product["name"]))
                  << "\nversion: " << text(product["version"]) << '\n';
        const json& target = info["targetDirectory"];
        std::cout << "target directory: " << text(target["spec"])
                  << (target["default"].get<bool>() ? " (the default)" : "")
                  << "\nmode: " << text(target["mode"]) << '\n';
        // A per-run build has no "cache" key, and a const json's [] must
        // not be asked for a missing one.
        if (target.contains("cache")) {
            std::cout << "cache directory: " << text(target["cache"]["directory"])
                      << " (unpacked once, kept between runs)\n";
        }
    } else if (info["kind"] == "executable") {
        std::cout << "build constants: not found before the attached data\n";
    }
    if (const json& options = info["options"]; !options.is_null()) {
        std::string names;
        for (const json& name : options) {
            names += (names.empty() ? "" : ", ") + text(name);
        }
        std::cout << "options: " << (names.empty() ? "none" : names) << '\n';
    }
    if (const json& signature = info["signature"]; !signature.is_null()) {
        std::cout << "signature: "
                  << (signature["present"].get<bool>() ? "Authenticode, " + bytes(signature["size"])
                                                       : std::string("none"))
                  << '\n';
    }
    if (const json& dependencies = info["dependencies"]; !dependencies.is_null()) {
        const json& problems = dependencies["problems"];
        if (problems.empty()) {
            std::cout << "imports: Windows will find what the files import\n";
        } else {
            std::cout << "imports: Windows will not find what the files import:\n";
            for (const json& line : problems) {
                std::cout << "  " << text(line) << '\n';
            }
        }
        for (const json& name : dependencies["allowedMissing"]) {
            std::cout << "allowed to be missing: " << text(name) << '\n';
        }
        for (const json& warning : dependencies["warnings"]) {
            std::cout << "imports warning: " << text(warning) << '\n';
        }
    }
}

} // namespace

void runInfoCommand(const std::filesystem::path& file, bool json,
                    const std::vector<std::string>& allowMissing) {
    InspectedFile inspected(file);
    nlohmann::ordered_json info = describe(inspected, allowMissing);
    if (json) {
        printJson(info);
    } else {
        printText(info, inspected.imageProblem());
    }
}
