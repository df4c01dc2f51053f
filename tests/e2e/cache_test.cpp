// Cached mode end to end: the example packed with --cache and a cache folder
// below the test's own TEMP, run as users run it.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "formats/handshake.h"
#include "tests/e2e/hello_output.h"
#include "tests/e2e/own_temporary_directory.h"
#include "tests/support/process.h"

namespace {

const char markerName[] = "onefile-cache-complete";

std::wstring helloCached() {
    return siblingProgram(L"hello_cached.exe");
}

// Another build of the same product, with a directory of its own beside.
std::wstring secondVersion() {
    return siblingProgram(L"hello_cached_v2.exe");
}

void runQuietly(const std::wstring& program) {
    ProcessResult r = runProcess(program, {L":quiet"});
    ASSERT_EQ(r.exitCode, 0u) << toUtf8(program) << ": " << r.err;
}

// The processes of the executable `name` that `parent` started and that
// still run (Wine may start its own services from any process).
std::vector<DWORD> processesStartedBy(DWORD parent, const wchar_t* name) {
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        const wchar_t* separator = wcsrchr(entry.szExeFile, L'\\');
        const wchar_t* exe = separator != nullptr ? separator + 1 : entry.szExeFile;
        if (entry.th32ParentProcessID == parent && _wcsicmp(exe, name) == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return found;
}

// The identifier the application printed for ":pid", 0 when none.
DWORD printedProcessId(const std::string& out) {
    size_t at = out.find("pid=");
    return at == std::string::npos ? 0 : std::stoul(out.substr(at + 4));
}

class Cache : public OwnTemporaryDirectory {
  protected:
    using Settled = std::function<bool(const std::vector<std::wstring>&)>;

    // Waits until the cache folder is as `settled` wants it, 60 s at most.
    bool folderSettles(const Settled& settled) const {
        for (int i = 0; i < 600; ++i) {
            if (settled(listDirectory(cacheFolder()))) {
                return true;
            }
            Sleep(100);
        }
        return false;
    }

    // Runs `program` with its application asleep until the removal of other
    // builds' directories, which runs beside the application, has left the
    // cache folder as `settled` wants it; the run is then ended.
    void runUntilSettled(const std::wstring& program, const Settled& settled) {
        RunningProcess run(program, commandLineFor(program, {L":quiet", L":sleep=600000"}));
        EXPECT_TRUE(folderSettles(settled)) << toUtf8(program) << ": the folder holds " << names();
        EXPECT_EQ(WaitForSingleObject(run.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << run.outputSoFar();
    }

    std::string names() const {
        std::string all;
        for (const std::wstring& name : listDirectory(cacheFolder())) {
            all += " " + toUtf8(name);
        }
        return all;
    }

    // Where the builds keep their caches: their spec is "{TEMP}\cache".
    std::wstring cacheFolder() const { return ownTemp + L"\\cache"; }

    // A copy of the build whose attached data is damaged at its first byte,
    // with the build's id (which names the directory) intact: it runs only
    // when the archive is not opened at all.
    std::wstring damagedCopy() const {
        std::string image = readFileBytes(helloCached());
        size_t start = image.find(std::string("QJY\x28\xB5\x2F\xFD", 7));
        if (start == std::string::npos) {
            ADD_FAILURE() << "no attached data in the build";
            return helloCached();
        }
        image[start] = static_cast<char>(image[start] ^ 0x55);
        std::wstring damaged = ownTemp + L"\\damaged_cached.exe";
        writeFileBytes(damaged, image);
        return damaged;
    }

    // The marker of the product's build `id` as a run of it writes it:
    // `marker` (one that a run of the product wrote) naming that build.
    static std::string markerNaming(std::string marker, const std::wstring& id) {
        const size_t build = marker.find(" build ");
        EXPECT_NE(build, std::string::npos) << marker;
        return build == std::string::npos ? marker : marker.replace(build + 7, 16, toUtf8(id));
    }

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

    // The archive is not read: a damaged copy still starts from the cache.
    ProcessResult fromCache = runProcess(damagedCopy(), {L":quiet", L":exit=3"});
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
    // The killed run's partial sibling goes beside a run's application, which
    // here must run long enough for it.
    runUntilSettled(program, [](const std::vector<std::wstring>& names) {
        return names.size() == 1 && names.front().find(L'.') == std::wstring::npos;
    });
    std::wstring cache = cacheDirectory();
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
             char& digit = text[text.find(" build ") + 7]; // of the id
             digit = digit == 'a' ? 'b' : 'a';
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

    // Without its marker nothing shows that a run of the product made it:
    // the run leaves it as it is, and runs from a copy of its own, which
    // goes with the run.
    ASSERT_TRUE(DeleteFileW(marker.c_str()));
    const auto files = snapshot(cache);
    r = runProcess(helloCached(), {L":plugin"});
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    const std::string library = HelloOutput(r.out).get("library");
    EXPECT_NE(library.find(toUtf8(cache.substr(cache.rfind(L'\\') + 1)) + ".partial-"),
              std::string::npos)
        << library;
    EXPECT_EQ(HelloOutput(r.out).get("plugin"), "greetings from plugins\\greeter.dll");
    EXPECT_EQ(snapshot(cache), files);
    EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u) << names();
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

TEST_F(Cache, AnotherVersionsDirectoryGoesOnceNoRunningInstanceHoldsIt) {
    runQuietly(helloCached());
    const std::wstring first = cacheDirectory();
    const auto firstFiles = snapshot(first);

    // The same build as the second version, keeping other versions.
    runQuietly(siblingProgram(L"hello_cached_v2_keep.exe"));
    EXPECT_EQ(listDirectory(cacheFolder()).size(), 2u);
    EXPECT_EQ(snapshot(first), firstFiles);

    {
        RunningProcess running(
            helloCached(), commandLineFor(helloCached(), {L":quiet", L":pid", L":sleep=600000"}));
        // Its application prints "pid=" and its process identifier.
        ASSERT_TRUE(running.waitForOutput("\n", 60000)) << running.outputSoFar();
        // Its own removal takes the directory the second version left, which
        // nothing holds: the second version's next run unpacks it again.
        ASSERT_TRUE(folderSettles([](const std::vector<std::wstring>& names) {
            return names.size() == 1;
        })) << names();
        // What an ended run left beside shows that the removal has been at work.
        const std::wstring ended = L"6666666666666666.partial-4294967292_000000_abc";
        ASSERT_TRUE(CreateDirectoryW((cacheFolder() + L"\\" + ended).c_str(), nullptr));
        writeFileBytes(cacheFolder() + L"\\" + ended + L"\\" + fromUtf8(markerName),
                       readFileBytes(first + L"\\" + fromUtf8(markerName)));
        runUntilSettled(secondVersion(), [&](const std::vector<std::wstring>& names) {
            return std::find(names.begin(), names.end(), ended) == names.end();
        });
        EXPECT_EQ(listDirectory(cacheFolder()).size(), 2u);
        EXPECT_EQ(snapshot(first), firstFiles);
        // The application ends, and the run with it.
        DWORD application = printedProcessId(running.outputSoFar());
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, application);
        ASSERT_NE(process, nullptr);
        TerminateProcess(process, 0);
        CloseHandle(process);
        running.wait(60000);
    }
    runUntilSettled(secondVersion(),
                    [](const std::vector<std::wstring>& names) { return names.size() == 1; });
    std::vector<std::wstring> left = listDirectory(cacheFolder());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(cacheFolder() + L"\\" + left.front(), first);
}

TEST_F(Cache, OnlyCompleteCopiesOfOtherBuildsAndWhatEndedRunsLeftGo) {
    runQuietly(helloCached());
    const std::wstring first = cacheDirectory();
    const std::string marker = readFileBytes(first + L"\\" + fromUtf8(markerName));
    // What a run of the product writes first into the copy it unpacks into.
    const std::string firstLine = marker.substr(0, marker.find(" files ")) + "\r\n";
    struct Entry {
        std::wstring name;
        std::string marker; // none when empty
    };
    const Entry stay[] = {
        {L"0123456789ABCDEF", markerNaming(marker, L"0123456789ABCDEF")}, // not an id: upper case
        {L"0123456789abcde", markerNaming(marker, L"0123456789abcde")},   // nor fifteen digits
        {L"2222222222222222", ""},                                        // an incomplete copy
        {L"3333333333333333", markerNaming(marker, L"4444444444444444")}, // another build's mark
        // A partial copy that a run still unpacks into: held below, as its
        // run holds it (the identifier in its name is nobody's here).
        {L"4444444444444444.partial-4294967292_000000_abc", firstLine},
    };
    const Entry go[] = {
        // Nothing holds it: its run has ended, whatever its identifier.
        {L"6666666666666666.partial-" + std::to_wstring(GetCurrentProcessId()) + L"_000000_abc",
         firstLine},
        {L"6666666666666666.aside-1_000000_abc", marker},
        {L"7777777777777777", markerNaming(marker, L"7777777777777777")},
    };
    for (const auto& entries : {std::vector<Entry>(std::begin(stay), std::end(stay)),
                                std::vector<Entry>(std::begin(go), std::end(go))}) {
        for (const Entry& entry : entries) {
            std::wstring directory = cacheFolder() + L"\\" + entry.name;
            ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr)) << toUtf8(entry.name);
            writeFileBytes(directory + L"\\file.txt", "kept");
            if (!entry.marker.empty()) {
                writeFileBytes(directory + L"\\" + fromUtf8(markerName), entry.marker);
            }
        }
    }
    writeFileBytes(cacheFolder() + L"\\5555555555555555", "a file");
    HANDLE hold = CreateFileW((cacheFolder() + L"\\" + stay[4].name).c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);

    runUntilSettled(secondVersion(), [&](const std::vector<std::wstring>& names) {
        return names.size() == std::size(stay) + 2;
    });
    CloseHandle(hold);
    // What stays, the file, and the second version's own directory.
    EXPECT_EQ(listDirectory(cacheFolder()).size(), std::size(stay) + 2);
    for (const Entry& entry : stay) {
        EXPECT_EQ(readFileBytes(cacheFolder() + L"\\" + entry.name + L"\\file.txt"), "kept")
            << toUtf8(entry.name);
    }
    EXPECT_EQ(readFileBytes(cacheFolder() + L"\\5555555555555555"), "a file");
    EXPECT_FALSE(pathExists(first));
    for (const Entry& entry : go) {
        EXPECT_FALSE(pathExists(cacheFolder() + L"\\" + entry.name)) << toUtf8(entry.name);
    }
}

TEST_F(Cache, WhatEndedRunsLeftGoesOnEveryRunAlsoWhenTheCacheIsCompleteOrOthersAreKept) {
    runQuietly(helloCached());
    const std::wstring first = cacheDirectory();
    const std::wstring id = first.substr(first.rfind(L'\\') + 1);
    const std::string marker = readFileBytes(first + L"\\" + fromUtf8(markerName));
    auto leaveCopies = [&] {
        for (const wchar_t* kind : {L".partial-1_000000_abc", L".aside-1_000000_abc"}) {
            std::wstring copy = first + kind;
            ASSERT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
            writeFileBytes(copy + L"\\hello.dll", "left by a run that was killed");
            writeFileBytes(copy + L"\\" + fromUtf8(markerName), marker);
        }
    };
    // A later run of the same build, which finds its directory complete.
    // Both go beside the application, which runs long enough for it.
    leaveCopies();
    runUntilSettled(helloCached(), [&](const std::vector<std::wstring>& names) {
        return names == std::vector<std::wstring>{id};
    });
    EXPECT_EQ(listDirectory(cacheFolder()), std::vector<std::wstring>{id});

    // A build that keeps the other builds' directories.
    runQuietly(siblingProgram(L"hello_cached_v2_keep.exe"));
    leaveCopies();
    runUntilSettled(siblingProgram(L"hello_cached_v2_keep.exe"),
                    [](const std::vector<std::wstring>& names) { return names.size() == 2; });
    std::vector<std::wstring> left = listDirectory(cacheFolder());
    EXPECT_EQ(left.size(), 2u);
    EXPECT_TRUE(std::find(left.begin(), left.end(), id) != left.end());
    for (const std::wstring& name : left) {
        EXPECT_EQ(name.size(), 16u) << toUtf8(name);
    }
}

TEST_F(Cache, ProductsThatShareAFolderLeaveEachOthersCopiesAlone) {
    // One product, then two others with the same files: one of another
    // name, and one of the same name by another company.
    const std::wstring products[] = {helloCached(), siblingProgram(L"hello_cached_viewer.exe"),
                                     siblingProgram(L"hello_cached_other_company.exe")};
    std::map<std::wstring, std::map<std::wstring, std::pair<ULONGLONG, ULONGLONG>>> copies;
    for (const std::wstring& program : products) {
        runQuietly(program);
        for (const std::wstring& name : listDirectory(cacheFolder())) {
            copies.emplace(name, snapshot(cacheFolder() + L"\\" + name));
        }
    }
    EXPECT_EQ(copies.size(), 3u) << names();
    // Each runs again, long enough for the removal beside its application:
    // the others' copies stay as they were, and it unpacks nothing.
    for (const std::wstring& program : products) {
        ProcessResult r = runProcess(program, {L":quiet", L":sleep=3000"});
        EXPECT_EQ(r.exitCode, 0u) << toUtf8(program) << ": " << r.err;
        EXPECT_EQ(listDirectory(cacheFolder()).size(), 3u) << toUtf8(program) << ":" << names();
        for (const auto& [name, files] : copies) {
            EXPECT_EQ(snapshot(cacheFolder() + L"\\" + name), files)
                << toUtf8(program) << ": " << toUtf8(name);
        }
    }
}

TEST_F(Cache, RunsOfTwoVersionsStartedOverAndOverAtOnceAllSucceed) {
    for (int round = 0; round < 6; ++round) {
        std::vector<std::unique_ptr<RunningProcess>> runs;
        for (int i = 0; i < 6; ++i) {
            std::wstring program = i % 2 == 0 ? helloCached() : secondVersion();
            // A plug-in that cannot be loaded from its directory makes the status 1.
            runs.push_back(std::make_unique<RunningProcess>(
                program,
                commandLineFor(program, {L":exit=" + std::to_wstring(10 + i), L":plugin"})));
        }
        for (int i = 0; i < 6; ++i) {
            ProcessResult r = runs[i]->wait(120000);
            EXPECT_EQ(r.exitCode, static_cast<DWORD>(10 + i)) << r.out << r.err;
        }
    }
    // A run's removal passes over what other runs hold at that moment (a
    // copy they unpack into or set aside): a later run removes it.
    // Nothing set aside or partly unpacked is left then; at most the two versions.
    runUntilSettled(secondVersion(), [](const std::vector<std::wstring>& names) {
        return std::all_of(names.begin(), names.end(),
                           [](const std::wstring& name) { return name.size() == 16; });
    });
    std::vector<std::wstring> left = listDirectory(cacheFolder());
    EXPECT_LE(left.size(), 2u);
    for (const std::wstring& name : left) {
        EXPECT_EQ(name.size(), 16u) << toUtf8(name);
    }
}

TEST_F(Cache, AnApplicationThatReturnsAtOnceStillLeavesTheFolderSwept) {
    // A command-line tool returns within milliseconds: the removal beside it
    // is finished before its process ends, on the first run after an update.
    runQuietly(helloCached());
    const std::wstring first = cacheDirectory();
    const std::string marker = readFileBytes(first + L"\\" + fromUtf8(markerName));
    for (const wchar_t* kind : {L".partial-1_000000_abc", L".aside-1_000000_abc"}) {
        ASSERT_TRUE(CreateDirectoryW((first + kind).c_str(), nullptr));
        writeFileBytes(first + kind + L"\\hello.dll", "left by a run that was killed");
        // The product's, as the marker that a run writes first shows.
        writeFileBytes(first + kind + L"\\" + fromUtf8(markerName),
                       marker.substr(0, marker.find(" files ")) + "\r\n");
    }
    runQuietly(secondVersion());
    std::vector<std::wstring> left = listDirectory(cacheFolder());
    ASSERT_EQ(left.size(), 1u) << names();
    EXPECT_NE(cacheFolder() + L"\\" + left.front(), first);

    // First runs at once, each of which returns at once: the copies of those
    // that lost the race to move theirs into place go too.
    ASSERT_TRUE(removeTree(cacheFolder()));
    std::vector<std::unique_ptr<RunningProcess>> runs;
    for (int i = 0; i < 10; ++i) {
        runs.push_back(std::make_unique<RunningProcess>(
            helloCached(), commandLineFor(helloCached(), {L":quiet"})));
    }
    for (auto& run : runs) {
        ProcessResult r = run->wait(120000);
        EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    }
    left = listDirectory(cacheFolder());
    ASSERT_EQ(left.size(), 1u) << names();
    EXPECT_EQ(left.front().size(), 16u) << names();
}

TEST_F(Cache, ACacheDamagedWhileAnInstanceRunsIsRunFromAPrivateCopyAndRepairedLater) {
    runQuietly(helloCached());
    const std::wstring cache = cacheDirectory();
    const std::wstring plugin = cache + L"\\plugins\\greeter.dll";
    const std::string pluginBytes = readFileBytes(plugin);
    {
        RunningProcess running(
            helloCached(), commandLineFor(helloCached(), {L":quiet", L":pid", L":sleep=600000"}));
        ASSERT_TRUE(running.waitForOutput("\n", 60000)) << running.outputSoFar();
        // A cleaner takes a file of the cache that the instance has not loaded.
        ASSERT_TRUE(DeleteFileW(plugin.c_str()));

        // The next start, and a program its application starts, run from a
        // copy of their own, which goes with the run.
        ProcessResult r =
            runProcess(helloCached(), {L":plugin", L":spawn=:plugin :exit=5", L":exit=7"});
        EXPECT_EQ(r.exitCode, 7u) << r.out << r.err;
        HelloOutput o(r.out);
        EXPECT_EQ(o.all("plugin"),
                  std::vector<std::string>(2, "greetings from plugins\\greeter.dll"))
            << r.out;
        EXPECT_NE(r.out.find("spawned status=5"), std::string::npos) << r.out;
        std::vector<std::string> libraries = o.all("library");
        ASSERT_EQ(libraries.size(), 2u) << r.out;
        EXPECT_EQ(libraries[0], libraries[1]);
        EXPECT_NE(libraries[0], toUtf8(cache) + "\\hello.dll");
        EXPECT_FALSE(pathExists(fromUtf8(libraries[0])));
        EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u) << names();
        EXPECT_FALSE(pathExists(plugin));

        // The instance ends; the run after it repairs the cache.
        TerminateProcess(running.handle(), 0);
        running.wait(60000);
    }
    ProcessResult r = runProcess(helloCached(), {L":plugin"});
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_EQ(HelloOutput(r.out).get("library"), toUtf8(cache) + "\\hello.dll");
    EXPECT_EQ(readFileBytes(plugin), pluginBytes);
}

TEST_F(Cache, CtrlCDuringARunFromAPrivateCopyLeavesNoCopyBehind) {
    runQuietly(helloCached());
    // The user's own folder at the cache's name: the run goes on from a copy
    // of its own beside it.
    const std::wstring cache = cacheDirectory();
    ASSERT_TRUE(removeTree(cache));
    ASSERT_TRUE(CreateDirectoryW(cache.c_str(), nullptr));
    writeFileBytes(cache + L"\\notes.txt", "mine");
    // The interrupt comes once that copy is there, while it unpacks or while
    // its application runs.
    ProcessResult r =
        runProcess(siblingProgram(L"console_harness.exe"),
                   {L"found:" + cacheFolder() + L"\\*.partial-*", helloCached(), L":sleep=30000"});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(listDirectory(cacheFolder()),
              std::vector<std::wstring>{cache.substr(cacheFolder().size() + 1)})
        << r.out;
    EXPECT_EQ(readFileBytes(cache + L"\\notes.txt"), "mine");
}

TEST_F(Cache, ForgedRunValuesLeadAChildNowhereButToACopyBesideTheCache) {
    // A live instance, and children of it with run values that it did not
    // publish: a child that inherits run values looks for its parent's own
    // copy beside the cache, by a name of the parent's form only.
    RunningProcess running(helloCached(),
                           commandLineFor(helloCached(), {L":quiet", L":pid", L":sleep=600000"}));
    ASSERT_TRUE(running.waitForOutput("\n", 60000)) << running.outputSoFar();
    const std::wstring cache = cacheDirectory();
    const std::string spec = "{TEMP}\\cache\\" + toUtf8(cache.substr(cache.rfind(L'\\') + 1)) +
                             ".partial-{PID}_{TIME_US}_{RANDOM}";
    struct Forgery {
        const wchar_t* timeUs;
        const wchar_t* random;
        DWORD status;
    };
    for (const Forgery& forgery :
         {Forgery{L"0\\..\\p", L"plantedDir0", 3}, Forgery{L"000001", L"x\\..\\plant", 3},
          Forgery{L"000001", L"noSuchCopy0", 2}}) {
        ProcessOptions options;
        options.environment[fromUtf8(handshakeParentVariable)] =
            std::to_wstring(running.processId());
        options.environment[fromUtf8(handshakeTimeUsVariable)] = forgery.timeUs;
        options.environment[fromUtf8(handshakeRandomVariable)] = forgery.random;
        ProcessResult r = runProcess(helloCached(), {}, options);
        EXPECT_EQ(r.exitCode, forgery.status) << toUtf8(forgery.random) << r.out << r.err;
        EXPECT_EQ(r.out, "") << toUtf8(forgery.random);
        EXPECT_EQ(r.err.rfind(forgery.status == 3
                                  ? "Error, couldn't runtime expand spec '" + spec + "'."
                                  : "Error, load DLL. ([Error ",
                              0),
                  0u)
            << r.err;
    }
    EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u) << names();
}

TEST_F(Cache, EachRunIsOneProcessThatRunsTheApplicationAsAChildWould) {
    const std::wstring program = helloCached();
    const std::vector<std::wstring> arguments = {L"two words", L"quote\"inside", L"trailing\\", L"",
                                                 L"\u00e9t\u00e9"};
    std::wstring commandLine = L"typed\\name";
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + quoteArgument(argument);
    }
    std::vector<std::string> expected = {toUtf8(program)};
    for (const std::wstring& argument : arguments) {
        expected.push_back(toUtf8(argument));
    }
    for (const char* run : {"the first run", "a run from the cache"}) {
        ProcessOptions options;
        options.input = "through standard input\n";
        RunningProcess running(
            program, commandLine + L" :pid :sleep=1000 :stdin :stderr=on-error :exit=0x12345678",
            options);
        ASSERT_TRUE(running.waitForOutput("pid=", 60000)) << run << running.outputSoFar();
        // The application runs in the process that was started, which starts no other.
        EXPECT_EQ(printedProcessId(running.outputSoFar()), running.processId()) << run;
        EXPECT_EQ(processesStartedBy(running.processId(), L"hello_cached.exe"),
                  std::vector<DWORD>{})
            << run;
        ProcessResult r = running.wait(60000);
        EXPECT_EQ(r.exitCode, 0x12345678u) << run << r.err;
        EXPECT_EQ(r.err, "on-error\r\n") << run;
        HelloOutput o(r.out);
        std::vector<std::string> given = o.arguments();
        ASSERT_GE(given.size(), 5u) << run << r.out;
        given.resize(given.size() - 5); // the commands
        EXPECT_EQ(given, expected) << run;
        EXPECT_EQ(o.get("stdin"), options.input) << run;
        EXPECT_EQ(o.get(handshakeOriginalArgv0Variable), "typed\\name") << run;
        EXPECT_EQ(o.get(handshakeDirectoryVariable), toUtf8(testProgramDirectory())) << run;
        EXPECT_EQ(o.get("library"), toUtf8(cacheDirectory()) + "\\hello.dll") << run;
    }
    for (DWORD status : {0ul, 300ul, 0xC0000005ul, 0xFFFFFFFFul}) {
        ProcessResult r = runProcess(program, {L":quiet", L":exit=" + std::to_wstring(status)});
        EXPECT_EQ(r.exitCode, status) << r.err;
    }
}

TEST_F(Cache, AProgramTheApplicationStartsRunsFromTheCacheAsItIs) {
    runQuietly(helloCached());
    const std::wstring cache = cacheDirectory();
    const auto files = snapshot(cache);
    // From a copy that cannot unpack: neither run opens the archive. The program
    // the application starts (itself again) gets the environment the
    // application has, the name the user typed included.
    const std::wstring program = damagedCopy();
    RunningProcess run(program, L"typed\\name :quiet \":spawn=:exit=5 :plugin\"");
    ProcessResult r = run.wait(60000);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    HelloOutput o(r.out);
    EXPECT_EQ(o.get("plugin"), "greetings from plugins\\greeter.dll") << r.out;
    EXPECT_EQ(o.get("library"), toUtf8(cache) + "\\hello.dll");
    EXPECT_EQ(o.get(handshakeOriginalArgv0Variable), "typed\\name") << r.out;
    EXPECT_EQ(o.get(handshakeDirectoryVariable), toUtf8(ownTemp)) << r.out;
    EXPECT_NE(r.out.find("spawned status=5"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(cache), files);
    EXPECT_EQ(listDirectory(cacheFolder()).size(), 1u) << names();
}

TEST_F(Cache, TheRemovalBesideTheApplicationLeavesItsEnvironmentAlone) {
    runQuietly(helloCached());
    const std::wstring first = cacheDirectory();
    // The second version's application starts a program once the removal of
    // the first version's directory has had its time; that program prints
    // what it inherited.
    ProcessResult r = runProcess(secondVersion(), {L":quiet", L":sleep=3000", L":spawn=:exit=5"});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.out.find("spawned status=5"), std::string::npos) << r.out;
    EXPECT_FALSE(pathExists(first)) << names();
    for (const char* variable : {handshakeTimeUsVariable, handshakeRandomVariable}) {
        EXPECT_NE(r.out.find(std::string(variable) + " unset"), std::string::npos) << r.out;
    }
}

TEST_F(Cache, TheApplicationsRuntimeSeesTheRunsValuesNotThoseInherited) {
    std::vector<std::wstring> names;
    for (const char* name :
         {handshakeParentVariable, handshakeStartVariable, handshakeTimeUsVariable,
          handshakeRandomVariable, handshakeDirectoryVariable, handshakeOriginalArgv0Variable}) {
        names.push_back(fromUtf8(name));
    }
    // Values that whoever started the program may have had, none of them
    // this run's; and none at all.
    ProcessOptions inherited;
    for (const std::wstring& name : names) {
        inherited.environment[name] = L"0";
    }
    inherited.environment[fromUtf8(handshakeRandomVariable)] = L"AAAAAAAAAAA";
    inherited.environment[fromUtf8(handshakeDirectoryVariable)] = L"C:\\elsewhere";
    ProcessOptions none;
    for (const std::wstring& name : names) {
        none.environment[name] = std::nullopt;
    }
    for (const wchar_t* runtime : {L"msvcrt", L"ucrt"}) {
        const std::wstring program =
            siblingProgram(L"environment_cached_" + std::wstring(runtime) + L".exe");
        std::wstring commandLine = L"typed\\name";
        for (const std::wstring& name : names) {
            commandLine += L" " + name;
        }
        // The first run unpacks, the others start from the cache.
        for (const ProcessOptions* options : {&inherited, &none, &inherited}) {
            ProcessResult r = runCommandLine(program, commandLine, *options);
            ASSERT_EQ(r.exitCode, 0u) << toUtf8(runtime) << r.out << r.err;
            std::map<std::string, std::string> seen;
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);) {
                size_t sign = line.find('=');
                seen[line.substr(0, sign)] = sign == std::string::npos ? "" : line.substr(sign + 1);
            }
            std::string context = toUtf8(runtime) + "\n" + r.out;
            EXPECT_EQ(seen["runtime"],
                      runtime == std::wstring(L"msvcrt") ? "msvcrt.dll" : "ucrtbase.dll")
                << context;
            for (const char* call : {"getenv ", "_wgetenv "}) {
                EXPECT_EQ(seen[call + std::string(handshakeParentVariable)], seen["pid"])
                    << context;
                EXPECT_EQ(seen[call + std::string(handshakeDirectoryVariable)],
                          toUtf8(testProgramDirectory()))
                    << context;
                EXPECT_EQ(seen[call + std::string(handshakeOriginalArgv0Variable)], "typed\\name")
                    << context;
                for (const char* unset : handshakeRunValueVariables) {
                    EXPECT_EQ(seen.count(call + std::string(unset) + " unset"), 1u) << context;
                }
            }
        }
    }
}

TEST_F(Cache, LoadsByNameNeverSearchTheExecutablesFolder) {
    // A copy in a folder of its own, as in a Downloads folder, with a
    // library planted beside it under the name the application asks for.
    const std::wstring folder = ownTemp + L"\\downloads";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\hello_cached.exe";
    ASSERT_TRUE(CopyFileW(helloCached().c_str(), program.c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(siblingProgram(L"greeter.dll").c_str(),
                          (folder + L"\\greeter.dll").c_str(), TRUE));
    for (int run = 0; run < 2; ++run) {
        ProcessResult r =
            runProcess(program, {L":quiet", L":load=greeter.dll", L":load=support.dll"});
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_NE(r.out.find("load failed: error 126"), std::string::npos) << r.out;
        // What the package holds is found where it was unpacked.
        EXPECT_EQ(HelloOutput(r.out).all("loaded"),
                  std::vector<std::string>{toUtf8(cacheDirectory()) + "\\support.dll"});
    }
}

TEST_F(Cache, AnEntryThatCannotLoadIsReportedAsAChildReportsIt) {
    // Packed with --allow-missing for the C++ runtime, on a machine without it.
    const std::wstring program = siblingProgram(L"cxx_runtime_missing_cached.exe");
    for (int run = 0; run < 2; ++run) {
        ProcessResult r = runProcess(program, {L"abcd"});
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "Error, load DLL. ([Error 126] " + systemErrorText(126) +
                      ") cxx_entry.dll imports libwinpthread-1.dll, which cannot be found.\r\n");
    }
    // The cache stays whole for the next run.
    EXPECT_TRUE(pathExists(cacheDirectory() + L"\\cxx_entry.dll"));
}

} // namespace
