// Shared helpers of the path tests: running the probe and reading its lines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "formats/handshake.h"
#include "tests/support/process.h"

namespace paths_test {

// Status of a process that a bootstrap operation ended at once.
const DWORD endedAtOnce = 3;

// The handshake variables, absent unless a test sets them.
inline ProcessOptions cleanOptions() {
    ProcessOptions options;
    options.environment[fromUtf8(handshakeParentVariable)] = std::nullopt;
    for (const char* name : handshakeRunValueVariables) {
        options.environment[fromUtf8(name)] = std::nullopt;
    }
    return options;
}

inline ProcessResult runProbe(const std::vector<std::wstring>& arguments,
                              const ProcessOptions& options = cleanOptions()) {
    return runProcess(siblingProgram(L"paths_probe.exe"), arguments, options);
}

inline ProcessResult runSeamProbe(const std::vector<std::wstring>& arguments,
                                  const ProcessOptions& options = cleanOptions()) {
    return runProcess(siblingProgram(L"paths_seam_probe.exe"), arguments, options);
}

inline std::vector<std::string> lines(const std::string& out) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            end = out.size();
        }
        std::string line = out.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
        start = end + 1;
    }
    return result;
}

// The text after "<label> " on every line that starts so.
inline std::vector<std::string> fields(const std::string& out, const std::string& label) {
    std::vector<std::string> result;
    for (const std::string& line : lines(out)) {
        if (line.rfind(label + " ", 0) == 0) {
            result.push_back(line.substr(label.size() + 1));
        }
    }
    return result;
}

// The first such field, or "<missing>".
inline std::string field(const std::string& out, const std::string& label) {
    std::vector<std::string> all = fields(out, label);
    return all.empty() ? "<missing>" : all.front();
}

// The temporary directory as the probe sees it, without its final backslash.
inline std::string temporaryDirectoryText() {
    return toUtf8(temporaryDirectory());
}

// The system's short form of an existing path.
inline std::wstring shortForm(const std::wstring& path) {
    DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) {
        return L"<no short form of " + path + L">";
    }
    std::wstring text(size, L'\0');
    DWORD length = GetShortPathNameW(path.c_str(), text.data(), size);
    text.resize(length);
    return text;
}

} // namespace paths_test
