// Cached mode end to end: the example packed with --cache and a cache folder
// below the test's own TEMP, run as users run it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "tests/e2e/hello_output.h"
#include "tests/e2e/own_temporary_directory.h"
#include "tests/support/process.h"

namespace {

const char markerName[] = "onefile-cache-complete";

std::wstring helloCached() {
    return siblingProgram(L"hello_cached.exe");
}

class Cache : public OwnTemporaryDirectory {
  protected:
    // Where the builds keep their caches: their spec is "{TEMP}\cache".
    std::wstring cacheFolder() const { return ownTemp + L"\\cache"; }

    // The one cache directory, once a run has made it.
    std::wstring cacheDirectory() const {
        std::vector<std::wstring> names = listDirectory(cacheFolder());
        EXPECT_EQ(names.size(), 1u) << toUtf8(names.empty() ? L"" : names.back());
        return names.empty() ? L"" : cacheFolder() + L"\\" + names.front();
    }
};

// Every file below `directory` with its size and last write time: what a
// run that writes nothing leaves as it was.
std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>> snapshot(const std::wstring& directory) {
    std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>> files;
    std::vector<std::wstring> pending = {L""};
    while (!pending.empty()) {
        std::wstring relative = pending.back();
        pending.pop_back();
        forEachEntry(directory + relative, [&](const WIN32_FIND_DATAW& found) {
            std::wstring path = relative + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(path);
            }
            ULONGLONG size = static_cast<ULONGLONG>(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
            ULONGLONG written = static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32 |
                                found.ftLastWriteTime.dwLowDateTime;
            files[path] = {size, written};
        });
    }
    return files;
}

// What the application saw, without the values that change from run to run.
std::string steadyOutput(const std::string& out) {
    HelloOutput o(out);
    std::ostringstream steady;
    for (const std::string& argument : o.arguments()) {
        steady << argument << '\n';
    }
    steady << o.get("library") << '\n' << o.get("support") << '\n' << o.get("plugin") << '\n';
    return steady.str();
}

TEST_F(Cache, ASecondRunWritesNothingReadsNoArchiveAndSeesTheSame) {
    ProcessResult first = runProcess(helloCached(), {L"one", L":plugin", L":exit=7"});
    ASSERT_EQ(first.exitCode, 7u) << first.out << first.err;
    std::wstring cache = cacheDirectory();
    ASSERT_TRUE(pathExists(cache + L"\\" + fromUtf8(markerName)));
    EXPECT_EQ(HelloOutput(first.out).get("library"), toUtf8(cache) + "\\hello.dll");
    auto before = snapshot(cache);

    Sleep(50); // a write now would show in the times
    ProcessResult second = runProcess(helloCached(), {L"one", L":plugin", L":exit=7"});
    EXPECT_EQ(second.exitCode, 7u) << second.err;
    EXPECT_EQ(steadyOutput(second.out), steadyOutput(first.out));
    EXPECT_EQ(snapshot(cache), before);
    EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u);

    // No record is read: a copy whose frame is damaged (the build's id, which
    // names the directory, stays) still starts from the cache.
    std::string image = readFileBytes(helloCached());
    size_t frame = image.find(std::string("QJY\x28\xB5\x2F\xFD", 7));
    ASSERT_NE(frame, std::string::npos);
    image[frame + 200] = static_cast<char>(image[frame + 200] ^ 0x55);
    std::wstring damaged = ownTemp + L"\\damaged_cached.exe";
    writeFileBytes(damaged, image);
    ProcessResult fromCache = runProcess(damaged, {L":quiet", L":exit=3"});
    EXPECT_EQ(fromCache.exitCode, 3u) << fromCache.out << fromCache.err;
}

TEST_F(Cache, TwentyFirstRunsAtOnceAllSucceedFromOneCompleteDirectory) {
    std::vector<std::unique_ptr<RunningProcess>> runs;
    for (int i = 0; i < 20; ++i) {
        runs.push_back(std::make_unique<RunningProcess>(
            helloCached(), commandLineFor(helloCached(), {L":exit=" + std::to_wstring(i)})));
    }
    std::vector<std::string> libraries;
    for (int i = 0; i < 20; ++i) {
        ProcessResult r = runs[i]->wait(120000);
        EXPECT_EQ(r.exitCode, static_cast<DWORD>(i)) << r.out << r.err;
        libraries.push_back(HelloOutput(r.out).get("library"));
    }
    std::wstring cache = cacheDirectory();
    for (const std::string& library : libraries) {
        EXPECT_EQ(library, toUtf8(cache) + "\\hello.dll");
    }
    // No partial sibling is left, and the one directory is complete.
    EXPECT_EQ(listDirectory(cacheFolder()),
              std::vector<std::wstring>{cache.substr(cache.rfind(L'\\') + 1)});
    EXPECT_EQ(listDirectory(cache), (std::vector<std::wstring>{L"hello.dll", fromUtf8(markerName),
                                                               L"plugins", L"support.dll"}));
}

TEST_F(Cache, AFirstRunKilledWhileUnpackingIsNeverUsedAndTheNextUnpacksAfresh) {
    std::wstring program = siblingProgram(L"many_files_cached.exe");
    {
        RunningProcess first(program, commandLineFor(program, {L":quiet"}));
        // Killed once its partial sibling holds some of the files.
        bool partway = false;
        bool ended = false;
        for (int i = 0; i < 60000 && !partway && !ended; ++i) {
            for (const std::wstring& name : listDirectory(cacheFolder())) {
                partway |= name.find(L".partial-") != std::wstring::npos &&
                           listDirectory(cacheFolder() + L"\\" + name).size() >= 5;
            }
            ended = WaitForSingleObject(first.handle(), 0) == WAIT_OBJECT_0;
            Sleep(1);
        }
        ASSERT_TRUE(partway) << (ended ? "the first run ended before it was partway: "
                                       : "no partial sibling with five entries within 60 s: ")
                             << first.outputSoFar();
        TerminateProcess(first.handle(), 9);
        first.wait(60000);
    }
    std::vector<std::wstring> left = listDirectory(cacheFolder());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left.front().find(L".partial-"), std::wstring::npos);

    ProcessResult next = runProcess(program, {L":exit=5"});
    EXPECT_EQ(next.exitCode, 5u) << next.err;
    std::wstring cache = cacheDirectory(); // the killed run's partial sibling is gone too
    EXPECT_EQ(HelloOutput(next.out).get("library"), toUtf8(cache) + "\\hello.dll");
    EXPECT_EQ(cache.find(L".partial-"), std::wstring::npos);
    EXPECT_TRUE(pathExists(cache + L"\\folder7\\file7.txt"));
}

TEST_F(Cache, AnIncompleteOrForeignCacheIsRebuilt) {
    ProcessResult r = runProcess(helloCached(), {L":quiet"});
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    const std::wstring cache = cacheDirectory();
    const std::wstring marker = cache + L"\\" + fromUtf8(markerName);
    const std::string markerText = readFileBytes(marker);
    const std::string support = readFileBytes(cache + L"\\support.dll");
    ASSERT_FALSE(support.empty());

    struct Damage {
        const char* what;
        void (*apply)(const std::wstring& cache, const std::wstring& marker);
    };
    const Damage damages[] = {
        {"marker removed",
         [](const std::wstring&, const std::wstring& m) { DeleteFileW(m.c_str()); }},
        {"file removed",
         [](const std::wstring& c, const std::wstring&) {
             DeleteFileW((c + L"\\plugins\\greeter.dll").c_str());
         }},
        {"file cut short", [](const std::wstring& c,
                              const std::wstring&) { writeFileBytes(c + L"\\support.dll", "MZ"); }},
        {"file added",
         [](const std::wstring& c, const std::wstring&) {
             writeFileBytes(c + L"\\plugins\\extra.dll", "not of the build");
         }},
        {"another build's marker",
         [](const std::wstring&, const std::wstring& m) {
             std::string text = readFileBytes(m);
             text[14] = text[14] == 'a' ? 'b' : 'a'; // a digit of the id
             writeFileBytes(m, text);
         }},
    };
    for (const Damage& damage : damages) {
        damage.apply(cache, marker);
        r = runProcess(helloCached(), {L":plugin"});
        EXPECT_EQ(r.exitCode, 0u) << damage.what << ": " << r.err;
        EXPECT_EQ(HelloOutput(r.out).get("plugin"), "greetings from plugins\\greeter.dll")
            << damage.what;
        EXPECT_EQ(readFileBytes(marker), markerText) << damage.what;
        EXPECT_EQ(readFileBytes(cache + L"\\support.dll"), support) << damage.what;
        EXPECT_FALSE(pathExists(cache + L"\\plugins\\extra.dll")) << damage.what;
        EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u)
            << damage.what; // nothing set aside is left
    }
}

TEST_F(Cache, CtrlCDuringAFirstRunLeavesNeitherAPartialSiblingNorACache) {
    std::wstring program = siblingProgram(L"many_files_cached.exe");
    ProcessResult r =
        runProcess(siblingProgram(L"console_harness.exe"),
                   {L"found:" + cacheFolder() + L"\\*.partial-*", program, L":sleep=30000"});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.out.find("hello from the packaged application"), std::string::npos) << r.out;
    EXPECT_EQ(listDirectory(cacheFolder()), std::vector<std::wstring>{}) << r.out;
}

} // namespace
