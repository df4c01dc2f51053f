// What the packer puts into the executable, seen from Windows: the product
// texts at run time and in the version resource, and a payload unpacked
// far below the target directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

// As resources/CMakeLists.txt gives them to the packer for unicode_names.exe.
const wchar_t* const unicodeCompany = L"Z\u00e9brik \u00dcn\u00efcode \u516c\u53f8 \U0001F600";
const wchar_t* const unicodeProduct = L"Mini \u0108e\u0125o \u88fd\u54c1";

// The output without the carriage returns of text-mode streams.
std::string plain(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

ProcessOptions quick() {
    ProcessOptions options;
    options.timeoutMilliseconds = 60000;
    return options;
}

// The part of the entry's output that follows "directory ": the name of the
// folder it was unpacked into.
std::string directoryLine(const std::string& output) {
    std::istringstream lines(plain(output));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("directory ", 0) == 0) {
            return line.substr(10);
        }
    }
    return {};
}

TEST(ProductTexts, ReachTheBootstrapsSpecExpansionAsGiven) {
    // unicode_names.exe unpacks into
    // {COMPANY}#{PRODUCT}#{VERSION}#{FILE_VERSION}#{PRODUCT_VERSION}#{RANDOM}.
    ProcessResult r = runProcess(siblingProgram(L"unicode_names.exe"), {}, quick());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    std::wstring name = fromUtf8(directoryLine(r.out));
    const std::wstring texts =
        std::wstring(unicodeCompany) + L"#" + unicodeProduct + L"#1.2.3.0#1.2.3.0#1.2.3.0#";
    ASSERT_EQ(name.size(), texts.size() + 11) << r.out;
    EXPECT_EQ(name.substr(0, texts.size()), texts);
}

class VersionResource : public testing::Test {
  protected:
    void SetUp() override {
        std::wstring file = siblingProgram(L"unicode_names.exe");
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "error " << GetLastError();
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, data_.data()));
    }

    std::wstring text(const std::wstring& key) {
        std::wstring path = L"\\StringFileInfo\\000004b0\\" + key;
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), path.c_str(), &value, &length) || value == nullptr) {
            ADD_FAILURE() << "no " << toUtf8(key);
            return {};
        }
        return static_cast<const wchar_t*>(value);
    }

    std::vector<unsigned char> data_;
};

TEST_F(VersionResource, HoldsTheNamesAndVersionAsWindowsReadsThem) {
    EXPECT_EQ(text(L"CompanyName"), unicodeCompany);
    EXPECT_EQ(text(L"ProductName"), unicodeProduct);
    EXPECT_EQ(text(L"FileDescription"), std::wstring(unicodeProduct) + L" (onefile executable)");
    EXPECT_EQ(text(L"OriginalFilename"), std::wstring(unicodeProduct) + L".exe");
    EXPECT_EQ(text(L"InternalName"), unicodeProduct);
    EXPECT_EQ(text(L"FileVersion"), L"1.2.3.0");
    EXPECT_EQ(text(L"ProductVersion"), L"1.2.3.0");

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00030000u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    ASSERT_TRUE(VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], 0u);
    EXPECT_EQ(translation[1], 1200u);
}

TEST(ProductTexts, DoNotKeepTheExecutableFromRunning) {
    // The loader reads the manifest before anything runs; the entry lists
    // the one file it was packed with.
    ProcessResult r = runProcess(siblingProgram(L"unicode_names.exe"), {}, quick());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_NE(plain(r.out).find(" tree_entry.dll\n"), std::string::npos) << r.out;
}

struct ListedFile {
    size_t fullLength = 0;
    std::string path;
};

TEST(DeepPayload, UnpacksPastTheClassicPathLimitAndRuns) {
    ProcessResult r = runProcess(siblingProgram(L"deep_paths.exe"), {}, quick());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    std::vector<ListedFile> files;
    std::istringstream lines(plain(r.out));
    std::string line;
    std::vector<std::string> texts, values;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "file") {
            ListedFile file;
            words >> file.fullLength >> file.path;
            files.push_back(file);
        } else if (kind == "text") {
            texts.push_back(line.substr(5));
        } else if (kind == "deep_value") {
            values.push_back(line.substr(11));
        }
    }
    ASSERT_EQ(files.size(), 3u) << r.out;
    // The listing comes in the file system's order.
    std::sort(files.begin(), files.end(),
              [](const ListedFile& a, const ListedFile& b) { return a.path < b.path; });
    std::string deep;
    for (int level = 10; level <= 21; ++level) {
        deep += "level-" + std::to_string(level) + "-of-a-deep-tree\\";
    }
    EXPECT_EQ(files[0].path, deep + "deep.txt");
    EXPECT_EQ(files[1].path, deep + "deep_library.dll");
    EXPECT_EQ(files[2].path, "tree_entry.dll");
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_GT(files[i].fullLength, 260u) << files[i].path;
    }
    // The text was written whole, the library loads and runs from there.
    EXPECT_EQ(texts, std::vector<std::string>{"from the bottom of a deep tree"});
    EXPECT_EQ(values, std::vector<std::string>{"4242"});
}

} // namespace
