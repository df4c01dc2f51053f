// The command line as users meet it: every command's help and the README
// say the same, and operands are counted.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "packer/tests/support.h"

namespace {

struct Help {
    std::string usage;                   // after "usage: "
    std::vector<std::string> signatures; // "--entry REL_PATH"
};

std::vector<std::string> commandNames() {
    CommandResult r = runPacker({"--help"});
    EXPECT_TRUE(succeeded(r));
    std::vector<std::string> names;
    std::istringstream lines(r.out.substr(r.out.find("commands:\n")));
    std::string line;
    std::getline(lines, line);
    std::smatch match;
    while (std::getline(lines, line) && !line.empty()) {
        if (std::regex_search(line, match, std::regex("^  ([a-z]+) "))) {
            names.push_back(match[1]);
        }
    }
    return names;
}

Help helpOf(const std::string& command) {
    CommandResult r = runPacker({command, "--help"});
    EXPECT_EQ(r.exitCode, 0) << command;
    Help help;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    help.usage = line.substr(std::string("usage: ").size());
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, match, std::regex("^  (--[a-z-]+( [A-Z_.]+)?)  "))) {
            help.signatures.push_back(match[1]);
        }
    }
    return help;
}

// The README's section on the packer.
std::string packerSection() {
    std::string readme = readFile(std::string(ONEFILE_SOURCE_DIR) + "/README.md");
    size_t start = readme.find("## The packer, `onefile-pack`");
    EXPECT_NE(start, std::string::npos);
    size_t end = readme.find("\n## ", start + 1);
    return readme.substr(start, end - start);
}

TEST(Help, EveryCommandsUsageAndOptionsAreInTheReadmeAndNoOthers) {
    const std::string readme = packerSection();
    std::vector<std::string> names = commandNames();
    EXPECT_EQ(names,
              (std::vector<std::string>{"build", "archive", "list", "info", "extract", "verify"}));
    std::set<std::string> options = {"--help", "--version"};
    for (const std::string& name : names) {
        Help help = helpOf(name);
        EXPECT_EQ(help.usage.rfind("onefile-pack " + name + " ", 0), 0u) << help.usage;
        EXPECT_NE(readme.find("    " + help.usage + "\n"), std::string::npos)
            << "the README lacks the usage line: " << help.usage;
        for (const std::string& signature : help.signatures) {
            EXPECT_NE(readme.find("`" + signature + "`"), std::string::npos)
                << name << ": the README lacks `" << signature << "`";
            options.insert(signature.substr(0, signature.find(' ')));
        }
    }
    std::smatch match;
    for (auto it = readme.cbegin();
         std::regex_search(it, readme.cend(), match, std::regex("`(--[a-z-]+)"));
         it = match.suffix().first) {
        EXPECT_EQ(options.count(match[1]), 1u) << "the README names " << match[1];
    }
}

TEST(CommandLine, OperandsAreCountedAndOptionsBelongToTheirCommands) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"extract", "file.exe"}, "onefile-pack: extract takes FILE and DIR"},
        {{"extract", "a", "b", "c"}, "onefile-pack: extract takes FILE and DIR"},
        {{"verify"}, "onefile-pack: verify takes one FILE"},
        {{"info", "a", "b"}, "onefile-pack: info takes one FILE"},
        {{"verify", "a", "--json"}, "onefile-pack: verify has no option '--json'"},
        {{"info", "a", "--force"}, "onefile-pack: info has no option '--force'"},
        {{"archive", "in", "--no-entry-check"}, "onefile-pack: archive has no option"},
        {{"info", "a", "--json=yes"}, "--json takes no value"},
        {{"nope"}, "no command 'nope' (build, archive, list, info, extract, verify)"},
        // A short option is named, not taken for a second INPUT_DIR.
        {{"build", "../app", "-e", "app.dll", "-o", "x.exe"},
         "onefile-pack: build has no option '-e'; its options are spelled out"},
        // The command's own help is the one that lists what it needs.
        {{"build", "in", "--output", "x.exe"},
         "onefile-pack: build needs --entry REL_PATH\n(onefile-pack build --help tells more)"},
        {{"nope"}, "(onefile-pack --help tells more)"},
    };
    for (const auto& [arguments, message] : cases) {
        CommandResult r = runPacker(arguments);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(CommandLine, AnOutputThatDoesNotEndInExeIsBuiltWithAWarning) {
    EntryTree tree;
    for (const char* name : {"noext", "app.EXE"}) {
        CommandResult r = tree.build({}, "build", name);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const bool warned = r.err.find("warning: --output '" + (tree.out / name).string() +
                                       "' does not end in .exe") != std::string::npos;
        EXPECT_EQ(warned, std::string(name) == "noext") << r.err;
        EXPECT_TRUE(std::filesystem::exists(tree.out / name));
    }
}

TEST(CommandLine, WarningsAreNamedSilencedByNameAndCountedWhenQuiet) {
    EntryTree tree;
    const std::string outputWarning = "onefile-pack: warning: --output '" +
                                      (tree.out / "noext").string() +
                                      "' does not end in .exe; Windows starts programs by "
                                      "double-click or by name only when they do [output-name]\n";
    const std::string unusedWarning = "onefile-pack: warning: --allow-missing 'x.dll': no file of "
                                      "the package misses it [allow-missing]\n";
    const std::vector<std::string> twoWarnings = {"--allow-missing", "x.dll", "--allow-missing",
                                                  "y.dll"};
    auto warnings = [&](std::vector<std::string> options) {
        options.insert(options.end(), twoWarnings.begin(), twoWarnings.end());
        CommandResult r = tree.build(options, "build", "noext");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string shown;
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("warning: ") != std::string::npos) {
                shown += line + "\n";
            }
        }
        return shown;
    };
    const std::string all = outputWarning + unusedWarning +
                            "onefile-pack: warning: --allow-missing 'y.dll': no file of the "
                            "package misses it [allow-missing]\n";
    EXPECT_EQ(warnings({}), all);
    // Silencing one warning leaves the others.
    EXPECT_EQ(warnings({"--no-warn", "path-length"}), all);
    EXPECT_EQ(warnings({"--no-warn", "output-name"}), all.substr(outputWarning.size()));
    EXPECT_EQ(warnings({"--no-warn", "allow-missing", "--no-warn", "output-name"}), "");
    EXPECT_EQ(warnings({"--quiet"}),
              "onefile-pack: warning: 3 warnings (2 allow-missing, 1 output-name), shown without "
              "--quiet\n");
    EXPECT_EQ(warnings({"--quiet", "--no-warn", "allow-missing"}),
              "onefile-pack: warning: 1 warning (1 output-name), shown without --quiet\n");
    CommandResult r = tree.build({"--no-warn", "typo"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--no-warn takes the name of a warning (plugin-search, delay-load, "
                         "other-machine, allow-missing, path-length or output-name), not 'typo'"),
              std::string::npos)
        << r.err;
}

TEST(Help, TheBuildOptionsStandUnderTheirHeadingsOnce) {
    CommandResult r = runPacker({"build", "--help"});
    ASSERT_EQ(r.exitCode, 0);
    std::vector<std::string> headings;
    std::istringstream lines(r.out.substr(r.out.find("\n\nwhat to pack")));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == ':' && line[0] != ' ') {
            headings.push_back(line);
        }
    }
    EXPECT_EQ(headings, (std::vector<std::string>{
                            "what to pack and where:", "compression:", "the executable:",
                            "where each run unpacks:", "checks:", "messages:"}));
    // And the README's table groups them alike.
    const std::string readme = packerSection();
    for (const std::string& heading : headings) {
        EXPECT_NE(readme.find("| **" + heading.substr(0, heading.size() - 1) + "** |"),
                  std::string::npos)
            << heading;
    }
}

} // namespace
