// The dependency check as users meet it: packages of real MinGW-w64
// libraries built, refused or warned of by onefile-pack build, and the same
// findings from verify and info; --allow-missing and --error-dialog.
#include <gtest/gtest.h>

#include <algorithm>

#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

const char* const runtime[] = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"};

class DependencyBuild : public testing::Test {
  protected:
    ScratchDirectory scratch;
    fs::path input = scratch / "in";
    fs::path output = scratch / "app.exe";

    // A library of tests/libraries as the Windows build made it, packed
    // under `path`.
    void put(const std::string& library, const std::string& path) {
        writeFile(input / path, readFile(fs::path(ONEFILE_TEST_LIBRARIES) / library));
    }
    void putRuntime(const std::string& folder, bool upperCase = false) {
        for (std::string name : runtime) {
            std::string packed = name;
            if (upperCase) {
                std::transform(packed.begin(), packed.end(), packed.begin(), ::toupper);
            }
            put("runtime/" + name, folder + packed);
        }
    }
    CommandResult build(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = {"build",    input.string(),  "--entry", "app.dll",
                                              "--output", output.string(), "--level", "1"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPacker(arguments);
    }
    std::vector<std::string> allowRuntime() {
        std::vector<std::string> options;
        for (const char* name : runtime) {
            options.insert(options.end(), {"--allow-missing", name});
        }
        return options;
    }
};

TEST_F(DependencyBuild, ACxxEntryWithoutItsRuntimeIsRefusedNamingAllThreeAndHowToMendIt) {
    put("cxx_entry.dll", "app.dll");
    CommandResult r = build();
    EXPECT_EQ(r.exitCode, 1);
    for (const char* name : runtime) {
        EXPECT_NE(r.err.find(std::string("  ") + name + ", imported by app.dll\n"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_NE(r.err.find("-static -static-libgcc -static-libstdc++"), std::string::npos);
    EXPECT_NE(r.err.find("--allow-missing NAME"), std::string::npos);
    EXPECT_FALSE(fs::exists(output));

    // Only in a folder the loader does not search: refused, and the copies named.
    putRuntime("lib/");
    r = build();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("libstdc++-6.dll, imported by app.dll (the package has "
                         "lib\\libstdc++-6.dll, where Windows does not look for it)"),
              std::string::npos)
        << r.err;
}

TEST_F(DependencyBuild, ACxxEntryWithItsRuntimeBesideItPacksInAnyCaseAndVerifies) {
    put("cxx_entry.dll", "app.dll");
    putRuntime("", true);
    CommandResult r = build({"--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no warning either
    r = runPacker({"verify", output.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Windows will find what its files import"), std::string::npos) << r.out;
    nlohmann::json dependencies = infoOf(output)["dependencies"];
    EXPECT_EQ(dependencies["sound"], true);
    EXPECT_EQ(dependencies["problems"], nlohmann::json::array());
}

TEST_F(DependencyBuild, AllowedMissingLibrariesPackAndInspectingNamesThem) {
    put("cxx_entry.dll", "app.dll");
    CommandResult r = build(allowRuntime());
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // Without the allowance, verify refuses it as build did, and info tells.
    r = runPacker({"verify", output.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("libwinpthread-1.dll, imported by app.dll"), std::string::npos) << r.err;
    nlohmann::json dependencies = infoOf(output)["dependencies"];
    EXPECT_EQ(dependencies["sound"], false);
    ASSERT_EQ(dependencies["missing"].size(), 3u);
    EXPECT_EQ(dependencies["missing"][2]["library"], "libstdc++-6.dll");
    EXPECT_EQ(dependencies["missing"][2]["importers"][0]["path"], "app.dll");
    r = runPacker({"info", output.string()});
    EXPECT_NE(r.out.find("imports: Windows will not find what the files import:\n"
                         "  libwinpthread-1.dll, imported by app.dll\n"),
              std::string::npos)
        << r.out;

    std::vector<std::string> verify = {"verify", output.string()};
    std::vector<std::string> allowed = allowRuntime();
    verify.insert(verify.end(), allowed.begin(), allowed.end());
    EXPECT_TRUE(succeeded(runPacker(verify)));
    // info takes the allowance too.
    std::vector<std::string> info = {"info", output.string(), "--json"};
    info.insert(info.end(), allowed.begin(), allowed.end());
    r = runPacker(info);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    dependencies = nlohmann::json::parse(r.out)["dependencies"];
    EXPECT_EQ(dependencies["sound"], true);
    EXPECT_EQ(dependencies["allowedMissing"].size(), 3u);
}

TEST_F(DependencyBuild, AnImportThePackagedLibraryDoesNotExportIsRefusedByNameAndOrdinal) {
    put("lite/helper.dll", "helper.dll");
    for (const auto& [entry, missing] :
         {std::pair<std::string, std::string>{"uses_helper.dll", "greet_loudly"},
          {"uses_helper_by_ordinal.dll", "ordinal 2"}}) {
        put(entry, "app.dll");
        CommandResult r = build();
        EXPECT_EQ(r.exitCode, 1) << entry;
        EXPECT_NE(
            r.err.find("helper.dll does not export " + missing + ", which app.dll imports from it"),
            std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("linked against"), std::string::npos);
    }
    // Packed all the same for a test of the bootstrap, info names it.
    ASSERT_TRUE(succeeded(build({"--no-entry-check"})));
    nlohmann::json functions = infoOf(output)["dependencies"]["missingFunctions"];
    ASSERT_EQ(functions.size(), 1u);
    EXPECT_EQ(functions[0]["ordinal"], 2);
    EXPECT_EQ(functions[0]["library"], "helper.dll");

    put("helper.dll", "helper.dll");
    EXPECT_TRUE(succeeded(build()));
}

TEST_F(DependencyBuild, APlugInsLibraryBesideItIsWarnedOfAndOneMissingRefused) {
    writeFile(input / "app.dll", readFile(testImage("entry.dll")));
    put("plugin.dll", "plugins/plugin.dll");
    CommandResult r = build();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("helper.dll, imported by plugins\\plugin.dll"), std::string::npos)
        << r.err;

    put("helper.dll", "plugins/helper.dll");
    r = build();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "onefile-pack: warning: plugins\\plugin.dll finds helper.dll only beside itself, "
              "where a plain LoadLibraryW with its full path does not look: load it with "
              "LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or "
              "LOAD_WITH_ALTERED_SEARCH_PATH, or put helper.dll at the top of the package "
              "[plugin-search]\n");
    // verify says the same, unless told not to.
    r = runPacker({"verify", output.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("warning: plugins\\plugin.dll finds helper.dll only beside itself"),
              std::string::npos)
        << r.err;
    r = runPacker({"verify", output.string(), "--no-warn", "plugin-search"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("warning:"), std::string::npos) << r.err;
}

TEST_F(DependencyBuild, TheErrorDialogIsAGuiBuildsOptionThatInfoReports) {
    writeFile(input / "app.dll", readFile(testImage("entry.dll")));
    CommandResult r = build({"--error-dialog", "--console"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--error-dialog is for GUI programs"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(output));

    ASSERT_TRUE(succeeded(build()));
    EXPECT_EQ(infoOf(output)["options"], nlohmann::json::array());
    EXPECT_NE(runPacker({"info", output.string()}).out.find("\noptions: none\n"),
              std::string::npos);
    ASSERT_TRUE(succeeded(build({"--error-dialog"})));
    EXPECT_EQ(infoOf(output)["options"], nlohmann::json::array({"error-dialog"}));
    EXPECT_NE(runPacker({"info", output.string()}).out.find("\noptions: error-dialog\n"),
              std::string::npos);
}

} // namespace
