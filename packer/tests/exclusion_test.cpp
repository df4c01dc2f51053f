// What --exclude, --exclude-from and --exclude-vcs leave out of a pack, and
// what a dry run shows of the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "packer/payload/exclusions.h"
#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

// Whether `pattern` leaves out the path `slashed` ("a/b/c"), a folder when
// it ends in "/", or any folder above it.
bool leavesOut(const std::string& pattern, std::string slashed) {
    std::string problem;
    std::optional<ExclusionPattern> parsed = ExclusionPattern::parse(pattern, &problem);
    EXPECT_TRUE(parsed) << pattern << ": " << problem;
    if (!parsed) {
        return false;
    }
    const bool folder = !slashed.empty() && slashed.back() == '/';
    if (folder) {
        slashed.pop_back();
    }
    std::vector<std::string> names;
    for (size_t start = 0;;) {
        size_t end = slashed.find('/', start);
        names.push_back(slashed.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    Exclusions exclusions;
    exclusions.add(*parsed, pattern);
    return folder ? exclusions.excluding(names, true) != nullptr
                  : exclusions.excludingFile(names) != nullptr;
}

TEST(ExclusionPattern, MatchesNamesAtAnyDepthOrAnchoredPaths) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        // Without a separator: a name at any depth, a folder with what it holds.
        {"*.pdb", "app.pdb", true},
        {"*.pdb", "lib/deep/app.pdb", true},
        {"*.pdb", "app.pdb.txt", false},
        {"__pycache__", "pkg/__pycache__/m.pyc", true},
        {"__pycache__", "pkg/__pycache__x/m.pyc", false},
        {"app?.dll", "app1.dll", true},
        {"app?.dll", "app10.dll", false},
        {"[a-c]*.log", "b.log", true},
        {"[!a-c]*.log", "b.log", false},
        {"[!a-c]*.log", "d.log", true},
        {"[]x]", "]", true},
        // Without regard to case, as Windows compares names, also beyond ASCII.
        {"*.PDB", "lib/App.pdb", true},
        {"donn\xC3\xA9"
         "es",
         "x/DONN\xC3\x89"
         "ES/f",
         true},
        {"[A-Z].txt", "q.txt", true},
        // "?" takes a whole character, also one of two UTF-16 units.
        {"?.txt", "\xF0\x9F\x98\x80.txt", true},
        // With a separator: anchored at the input folder.
        {"tests/data/**", "tests/data/big.bin", true},
        {"tests/data/**", "tests/data/a/b/c.bin", true},
        {"tests/data/**", "sub/tests/data/big.bin", false},
        {"tests/data/**", "tests/database", false},
        {"/app.pdb", "app.pdb", true},
        {"/app.pdb", "lib/app.pdb", false},
        {"./build", "build/x", true},
        {"docs\\*.md", "docs/a.md", true},
        {"docs/*.md", "docs/sub/a.md", false},
        {"**/cache", "a/b/cache/x", true},
        {"**/cache", "cache", true},
        {"a/**/b", "a/b", true},
        {"a/**/**/b", "a/x/y/b", true},
        {"a/**/b", "a/x/c", false},
        // A trailing separator: folders alone.
        {"build/", "build/", true},
        {"build/", "src/build/out.o", true},
        {"build/", "build", false},
    };
    for (const auto& [pattern, path, expected] : cases) {
        EXPECT_EQ(leavesOut(pattern, path), expected) << pattern << " on " << path;
    }
}

TEST(ExclusionPattern, RefusesWhatNamesNothingOrLeavesTheInput) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "names nothing"},
        {"/", "names nothing"},
        {"./", "names nothing"},
        {"../x", "'..'"},
        {"a/../b", "'..'"},
        {"[abc", "'[' without its ']'"},
        {"x[!]", "'[' without its ']'"},
        {"bad\xFF", "not UTF-8"},
    };
    for (const auto& [text, problem] : cases) {
        std::string said;
        EXPECT_FALSE(ExclusionPattern::parse(text, &said)) << text;
        EXPECT_NE(said.find(problem), std::string::npos) << text << ": " << said;
    }
}

TEST(ExclusionPattern, FileLinesSkipCommentsAndBlanksAndTrailingSpace) {
    EXPECT_EQ(exclusionFileLines("# comment\n*.pdb  \r\n\n   \n  lead#ing\ndata/**"),
              (std::vector<std::pair<size_t, std::string>>{
                  {2, "*.pdb"}, {5, "  lead#ing"}, {6, "data/**"}}));
    // A file saved by Windows editors may begin with a byte order mark.
    EXPECT_EQ(exclusionFileLines("\xEF\xBB\xBF*.pdb\r\n"),
              (std::vector<std::pair<size_t, std::string>>{{1, "*.pdb"}}));
}

TEST(ExclusionPattern, ManyDoubleStarsTryEachPlaceInTheDepthOnce) {
    // Spreading 60 folders over six "**" in every way would take millions
    // of comparisons; each (pattern name, path name) pair once takes 12 x 61.
    std::string problem;
    const std::optional<ExclusionPattern> pattern =
        ExclusionPattern::parse("**/a/**/a/**/a/**/a/**/a/**/c", &problem);
    ASSERT_TRUE(pattern) << problem;
    const size_t patternNames = 12, depth = 60;
    std::vector<std::u16string> deep(depth - 1, foldedName("A"));
    struct Case {
        const char* last;
        bool folder;
        bool expected;
    };
    for (const Case& c : {Case{"b", false, false}, Case{"C", false, true}, Case{"c", true, true}}) {
        std::vector<std::u16string> path = deep;
        path.push_back(foldedName(c.last));
        const uint64_t before = pattern->matchSteps();
        EXPECT_EQ(pattern->matches(path, c.folder), c.expected) << c.last;
        EXPECT_LE(pattern->matchSteps() - before, patternNames * (depth + 1)) << c.last;
    }
    // Fewer than five folders named "a" above "c" leave nothing to match.
    std::vector<std::u16string> shallow = {foldedName("a"), foldedName("x"), foldedName("a"),
                                           foldedName("a"), foldedName("a"), foldedName("c")};
    EXPECT_FALSE(pattern->matches(shallow, false));
    shallow[1] = foldedName("a");
    EXPECT_TRUE(pattern->matches(shallow, false));
}

// A tree with something to leave out at every depth.
struct ExclusionTree : EntryTree {
    ExclusionTree() {
        for (const char* file : {"lib/helper.dll", "lib/helper.pdb", "app.pdb", "__pycache__/m.pyc",
                                 "pkg/__pycache__/n.pyc", "tests/data/big.bin", "tests/run.py",
                                 "pkg/tests/data/kept.bin", ".git/HEAD", "pkg/.hg/store",
                                 ".svn/entries", "sub/.bzr/x", "notes.txt"}) {
            writeFile(input / file, file);
        }
    }

    // The archive paths that a dry run lists, in order.
    std::vector<std::string> listed(const std::vector<std::string>& options) {
        CommandResult r = build(options, "archive", "data.bin");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::string> paths;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            paths.push_back(line.substr(line.find(' ') + 1));
        }
        return paths;
    }
};

TEST(Exclude, LeavesOutNamesAtAnyDepthAnchoredPathsAndWholeFolders) {
    ExclusionTree tree;
    writeFile(tree.scratch / "patterns", "# what the build does not need\n*.PDB\n\n"
                                         "tests/data/**\n");
    // What is left out is not even looked at: a name Windows cannot hold
    // and a link inside it refuse nothing.
    writeFile(tree.input / "__pycache__" / "bad:name", "x");
    fs::create_symlink("/etc", tree.input / "pkg" / "__pycache__" / "link");
    EXPECT_EQ(tree.listed({"--dry-run", "--exclude", "__pycache__", "--exclude-from",
                           (tree.scratch / "patterns").string(), "--exclude", ".git", "--exclude",
                           ".hg", "--exclude", ".svn", "--exclude", ".bzr"}),
              (std::vector<std::string>{"app.dll", "lib\\helper.dll", "notes.txt",
                                        "pkg\\tests\\data\\kept.bin", "tests\\run.py"}));
    // --exclude-vcs leaves out the same four.
    EXPECT_EQ(tree.listed({"--dry-run", "--exclude-vcs", "--exclude", "__pycache__",
                           "--exclude-from", (tree.scratch / "patterns").string()}),
              tree.listed({"--dry-run", "--exclude", "__pycache__", "--exclude-from",
                           (tree.scratch / "patterns").string(), "--exclude", ".git", "--exclude",
                           ".hg", "--exclude", ".svn", "--exclude", ".bzr"}));
    // A trailing "/" leaves out a folder of the name, not a file.
    writeFile(tree.input / "build", "a file");
    writeFile(tree.input / "pkg" / "build" / "x.o", "in a folder");
    const std::vector<std::string> kept =
        tree.listed({"--dry-run", "--exclude", "__pycache__", "--exclude", "build/"});
    EXPECT_NE(std::find(kept.begin(), kept.end(), "build"), kept.end());
    EXPECT_EQ(std::find(kept.begin(), kept.end(), "pkg\\build\\x.o"), kept.end());
    EXPECT_TRUE(directoryNames(tree.out).empty()) << "a dry run writes nothing";
}

TEST(Exclude, TheEntryAndBadPatternsAreRefusedNamingTheOption) {
    ExclusionTree tree;
    writeFile(tree.scratch / "patterns", "ok\n\n*.DLL\n");
    writeFile(tree.scratch / "broken", "ok\n[oops\n");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--exclude", "*.dll"},
         1,
         "--entry 'app.dll': --exclude '*.dll' leaves it out, but the entry library is always "
         "packed"},
        {{"--exclude", "/"}, 2, "--exclude '/': the pattern names nothing"},
        {{"--exclude-from", (tree.scratch / "patterns").string()},
         1,
         "--exclude-from '" + (tree.scratch / "patterns").string() + "' line 3 '*.DLL' leaves it"},
        {{"--exclude-from", (tree.scratch / "broken").string()},
         1,
         "line 2 '[oops': the pattern has a '[' without its ']'"},
        {{"--exclude-from", (tree.scratch / "missing").string()}, 1, "missing' does not exist"},
    };
    for (const auto& [options, status, message] : cases) {
        CommandResult r = tree.build(options);
        EXPECT_EQ(r.exitCode, status) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    // Also when a folder above the entry is what matches.
    CommandResult r = tree.build({"--exclude", "LIB/"}, "build", "app.exe", "lib/helper.dll");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--exclude 'LIB/' leaves it out"), std::string::npos) << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

TEST(DryRun, ListsWhatBuildThenPacksAsListListsIt) {
    ExclusionTree tree;
    writeFile(tree.input / "d\xC3\xA9j\xC3\xA0 vu" / "caf\xC3\xA9.txt", "non-ASCII");
    const std::vector<std::string> options = {"--exclude-vcs", "--exclude", "*.pdb"};
    std::vector<std::string> dry = options;
    dry.push_back("--dry-run");
    CommandResult planned = tree.build(dry);
    ASSERT_EQ(planned.exitCode, 0) << planned.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
    EXPECT_NE(planned.err.find("onefile-pack: dry run: 9 files, "), std::string::npos)
        << planned.err;
    ASSERT_TRUE(succeeded(tree.build(options)));
    CommandResult listed = runPacker({"list", (tree.out / "app.exe").string()});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(planned.out, listed.out);
    // Its totals are those of what was built.
    const nlohmann::json records = infoOf(tree.out / "app.exe")["records"];
    EXPECT_NE(planned.err.find(records["count"].dump() + " files, " + records["totalSize"].dump() +
                               " bytes (record stream " + records["streamSize"].dump() + " bytes)"),
              std::string::npos)
        << planned.err;
}

} // namespace
