// Where the dependency check looks for what a package imports, as the
// loader looks in the child: packages described by their linkage alone.
#include <gtest/gtest.h>

#include <algorithm>

#include "packer/dependencies/dependency_check.h"

namespace {

constexpr uint16_t x86_64 = 0x8664;
constexpr uint16_t x86 = 0x14C;

// "name" imports a function by name, "#5" by ordinal; a library name ending
// in "!" is delay-loaded.
struct Image {
    std::string path;
    std::vector<std::pair<std::string, std::vector<std::string>>> imports;
    std::vector<std::string> exports = {};
    bool dll = true;
    uint16_t machine = x86_64;
};

std::vector<PackagedImage> package(const std::vector<Image>& images) {
    std::vector<PackagedImage> out;
    for (const Image& image : images) {
        ImageLinkage linkage;
        linkage.machine = image.machine;
        linkage.subsystem = 2;
        linkage.dll = image.dll;
        for (const auto& [library, functions] : image.imports) {
            LibraryImport& entry = linkage.imports.emplace_back();
            entry.delayLoaded = library.back() == '!';
            entry.library = entry.delayLoaded ? library.substr(0, library.size() - 1) : library;
            for (const std::string& function : functions) {
                if (function[0] == '#') {
                    entry.functions.push_back(
                        {static_cast<uint16_t>(std::stoi(function.substr(1))), ""});
                } else {
                    entry.functions.push_back({std::nullopt, function});
                }
            }
        }
        linkage.ordinalBase = 1;
        linkage.exportedOrdinals.assign(image.exports.size(), true);
        linkage.exportedNames.insert(image.exports.begin(), image.exports.end());
        out.push_back({image.path, linkage, ""});
    }
    return out;
}

DependencyFindings check(const std::vector<Image>& images,
                         const std::vector<std::string>& allowed = {}) {
    return checkDependencies(package(images), images.front().path, allowed);
}

std::string problems(const DependencyFindings& findings) {
    std::string out;
    for (const std::string& line : dependencyProblemLines(findings)) {
        out += line + "\n";
    }
    return out;
}

std::string warnings(const DependencyFindings& findings) {
    std::string out;
    for (const std::string& line : warningLines(findings)) {
        out += line + "\n";
    }
    return out;
}

TEST(DependencyCheck, TheEntryFindsItsFolderTheTopAndTheSystemButNoOtherFolder) {
    DependencyFindings findings =
        check({{"bin\\app.dll", {{"near.dll", {}}, {"top.dll", {}}, {"deep.dll", {}}}},
               {"bin\\near.dll", {{"KERNEL32.dll", {"Sleep"}}}},
               // What the entry's libraries import is searched the same way.
               {"top.dll", {{"nested.dll", {}}, {"beside-top.dll", {}}}},
               {"bin\\nested.dll", {}},
               {"lib\\deep.dll", {}},
               {"lib\\beside-top.dll", {}}});
    EXPECT_EQ(problems(findings),
              "deep.dll, imported by bin\\app.dll (the package has lib\\deep.dll, where Windows "
              "does not look for it)\n"
              "beside-top.dll, imported by top.dll (the package has lib\\beside-top.dll, where "
              "Windows does not look for it)\n");
    EXPECT_EQ(warnings(findings), "");
}

TEST(DependencyCheck, SystemLibrariesAndApiSetsAreThereRuntimesWindowsLacksAreNot) {
    DependencyFindings findings = check({{"app.dll",
                                          {{"KERNEL32.DLL", {}},
                                           {"msvcrt", {}},
                                           {"User32.dll", {}},
                                           {"api-ms-win-crt-runtime-l1-1-0.dll", {}},
                                           {"API-MS-WIN-CORE-SYNCH-L1-2-0.DLL", {}},
                                           {"ext-ms-win-ntuser-window-l1-1-0.dll", {}},
                                           {"ucrtbase.dll", {}},
                                           {"vcruntime140.dll", {}},
                                           {"msvcp140.dll", {}},
                                           {"ucrtbased.dll", {}},
                                           {"libgcc_s_seh-1.dll", {}}}}});
    EXPECT_EQ(problems(findings), "vcruntime140.dll, imported by app.dll\n"
                                  "msvcp140.dll, imported by app.dll\n"
                                  "ucrtbased.dll, imported by app.dll\n"
                                  "libgcc_s_seh-1.dll, imported by app.dll\n");
}

TEST(DependencyCheck, NamesCompareWithoutRegardToCase) {
    EXPECT_TRUE(check({{"App.dll", {{"HELPER.DLL", {"greet"}}}},
                       {"Helper.Dll", {{"app.DLL", {}}}, {"greet"}}})
                    .sound());
}

TEST(DependencyCheck, EveryImporterOfAMissingLibraryIsNamedOnce) {
    DependencyFindings findings = check({{"app.dll", {{"gone.dll", {"a", "b"}}, {"x.dll", {}}}},
                                         {"x.dll", {{"GONE.dll", {}}, {"gone.dll!", {}}}}});
    EXPECT_EQ(problems(findings),
              "gone.dll, imported by app.dll, x.dll and x.dll (delay-loaded)\n");
    std::string refusal = dependencyRefusal(findings);
    EXPECT_NE(refusal.find("--allow-missing NAME"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("-static -static-libgcc -static-libstdc++"), std::string::npos);
}

TEST(DependencyCheck, FunctionsAPackagedLibraryDoesNotExportAreNamed) {
    DependencyFindings findings =
        check({{"app.dll", {{"helper.dll", {"greet", "greet_loudly", "#1", "#2"}}}},
               {"helper.dll", {}, {"greet"}}});
    EXPECT_EQ(problems(findings),
              "helper.dll does not export greet_loudly, which app.dll imports from it\n"
              "helper.dll does not export ordinal 2, which app.dll imports from it\n");
    EXPECT_NE(dependencyRefusal(findings).find("linked against"), std::string::npos);
    // Each file that imports from it has its own imports looked up, not
    // only the first file's.
    findings = check({{"app.dll", {{"helper.dll", {"greet"}}, {"core.dll", {}}}},
                      {"core.dll", {{"helper.dll", {"greet", "farewell"}}}},
                      {"helper.dll", {}, {"greet"}}});
    EXPECT_EQ(problems(findings),
              "helper.dll does not export farewell, which core.dll imports from it\n");
}

TEST(DependencyCheck, AllowedLibrariesMayBeMissingAndAnAllowanceForNothingIsWarnedOf) {
    // A name without an extension stands for the .dll the loader looks for.
    DependencyFindings findings =
        check({{"app.dll", {{"nvcuda.dll", {}}, {"libstdc++-6.dll", {}}, {"OpenCL.dll", {}}}}},
              {"NVCUDA.DLL", "libstdc++-6.dll", "opencl", "typo.dll"});
    EXPECT_TRUE(findings.sound()) << problems(findings);
    EXPECT_EQ(findings.allowedMissing,
              (std::vector<std::string>{"nvcuda.dll", "libstdc++-6.dll", "OpenCL.dll"}));
    EXPECT_EQ(warnings(findings),
              "--allow-missing 'typo.dll': no file of the package misses it [allow-missing]\n");
}

TEST(DependencyCheck, APlugInsLibrariesAreWarnedOfOnlyWhereAPlainLoadDoesNotFindThem) {
    DependencyFindings findings =
        check({{"app.dll", {{"core.dll", {}}}},
               {"core.dll", {}},
               // Beside itself, at the top, loaded by the entry already, nowhere.
               {"plugins\\a.dll",
                {{"beside.dll", {}}, {"top.dll", {}}, {"core.dll", {}}, {"gone.dll", {}}}},
               {"plugins\\beside.dll", {}},
               {"top.dll", {}},
               // A plug-in at the top finds both ways what lies beside it.
               {"b.dll", {{"top.dll", {}}}},
               // Loaded by name at its first call: how the plug-in was loaded
               // does not matter then.
               {"plugins\\c.dll", {{"late.dll!", {}}}},
               {"plugins\\late.dll", {}}});
    EXPECT_EQ(problems(findings), "gone.dll, imported by plugins\\a.dll\n");
    // The child's plain LoadLibraryW searches the top: only the library
    // beside the plug-in depends on how the application loads it.
    EXPECT_EQ(warnings(findings),
              "plugins\\a.dll finds beside.dll only beside itself, where a plain LoadLibraryW "
              "with its full path does not look: load it with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | "
              "LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or LOAD_WITH_ALTERED_SEARCH_PATH, or put "
              "beside.dll at the top of the package [plugin-search]\n"
              "plugins\\c.dll delay-loads late.dll from the package, which Windows finds only "
              "when already loaded, or when the application has put the folder on the search "
              "path (SetDllDirectoryW, or AddDllDirectory with SetDefaultDllDirectories) "
              "[delay-load]\n");
}

TEST(DependencyCheck, PlugInsThatShareAProblemAreOneWarningThatCountsThem) {
    std::vector<Image> images = {{"app.dll", {}}, {"libstdc++-6.dll", {}}};
    for (const char* folder : {"codecs\\", "filters\\"}) {
        for (int i = 1; i <= 5; ++i) {
            images.push_back({folder + std::to_string(i) + ".dll",
                              {{"helper.dll", {}}, {"libstdc++-6.dll", {}}}});
        }
    }
    images.push_back({"codecs\\helper.dll", {}});
    images.push_back({"filters\\helper.dll", {}});
    // Four are named whole, rather than three and "1 more".
    for (int i = 1; i <= 4; ++i) {
        images.push_back({"inputs\\" + std::to_string(i) + ".dll", {{"reader.dll", {}}}});
    }
    images.push_back({"inputs\\reader.dll", {}});
    images.push_back({"filters\\6.dll", {{"helper.dll", {}}, {"extra.dll", {}}}});
    images.push_back({"filters\\extra.dll", {}});
    DependencyFindings findings = check(images);
    EXPECT_TRUE(findings.sound()) << problems(findings);
    EXPECT_EQ(warnings(findings),
              "10 plug-ins (codecs\\1.dll, codecs\\2.dll, codecs\\3.dll and 7 more) find "
              "helper.dll only beside themselves, where a plain LoadLibraryW with their full path "
              "does not look: load them with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | "
              "LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or LOAD_WITH_ALTERED_SEARCH_PATH, or put "
              "helper.dll at the top of the package [plugin-search]\n"
              "filters\\6.dll finds extra.dll and helper.dll only beside itself, where a plain "
              "LoadLibraryW with its full path does not look: load it with "
              "LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or "
              "LOAD_WITH_ALTERED_SEARCH_PATH, or put extra.dll and helper.dll at the top of the "
              "package [plugin-search]\n"
              "4 plug-ins (inputs\\1.dll, inputs\\2.dll, inputs\\3.dll and inputs\\4.dll) find "
              "reader.dll only beside themselves, where a plain LoadLibraryW with their full path "
              "does not look: load them with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | "
              "LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or LOAD_WITH_ALTERED_SEARCH_PATH, or put "
              "reader.dll at the top of the package [plugin-search]\n");
}

TEST(DependencyCheck, APlugInTakesTheLibraryBesideItBeforeTheOneAtTheTop) {
    // Whichever way the application loads it, a plug-in's own folder comes
    // first; the older helper.dll at the top is not the one checked.
    DependencyFindings findings = check({{"app.dll", {}},
                                         {"plugins\\a.dll", {{"helper.dll", {"greet_loudly"}}}},
                                         {"plugins\\helper.dll", {}, {"greet", "greet_loudly"}},
                                         {"helper.dll", {}, {"greet"}}});
    EXPECT_TRUE(findings.sound()) << problems(findings);
    EXPECT_EQ(warnings(findings), "");
}

TEST(DependencyCheck, ALibraryTheLoadsOfTwoPlugInsShareIsCheckedAgainstWhatEachFindsBesideIt) {
    // common.dll at the top is loaded with either plug-in, and finds
    // helper.dll beside whichever plug-in brought it in: a\helper.dll serves,
    // b\helper.dll lacks the function.
    DependencyFindings findings = check({{"app.dll", {}},
                                         {"a\\p.dll", {{"common.dll", {}}}},
                                         {"b\\q.dll", {{"common.dll", {}}}},
                                         {"common.dll", {{"helper.dll", {"greet"}}}},
                                         {"a\\helper.dll", {}, {"greet"}},
                                         {"b\\helper.dll", {}, {}}});
    EXPECT_EQ(problems(findings),
              "b\\helper.dll does not export greet, which common.dll imports from it\n");
}

TEST(DependencyCheck, DelayLoadedLibrariesAreFoundAtThePackagesTopOrOnceLoaded) {
    // Loaded by name at the first call, where the child searches the top of
    // the package and the system: bin\\late.dll beside the entry is not found
    // then, late.dll at the top is, and is checked like any import.
    DependencyFindings findings =
        check({{"bin\\app.dll", {{"late.dll!", {"f", "g"}}, {"early.dll", {}}, {"side.dll!", {}}}},
               {"late.dll", {}, {"f"}},
               {"early.dll", {{"app.dll!", {}}}},
               {"bin\\side.dll", {}}});
    EXPECT_EQ(problems(findings),
              "late.dll does not export g, which bin\\app.dll imports from it\n");
    EXPECT_EQ(warnings(findings),
              "bin\\app.dll delay-loads side.dll from the package, which Windows finds only when "
              "already loaded, or when the application has put the folder on the search path "
              "(SetDllDirectoryW, or AddDllDirectory with SetDefaultDllDirectories) "
              "[delay-load]\n");
}

TEST(DependencyCheck, AProgramRunsAsItsOwnProcessAndFindsOnlyWhatLiesBesideIt) {
    DependencyFindings findings =
        check({{"app.dll", {}},
               {"tools\\tool.exe", {{"near.dll", {}}, {"app.dll", {}}}, {}, false},
               {"tools\\near.dll", {{"late.dll!", {}}}},
               {"tools\\late.dll", {}}});
    EXPECT_EQ(problems(findings), "app.dll, imported by tools\\tool.exe (the package has "
                                  "app.dll, where Windows does not look for it)\n");
    EXPECT_EQ(warnings(findings), "");
}

TEST(DependencyCheck, ALibraryWhoseTablesCannotBeReadIsNamedOnceAsSuch) {
    std::vector<PackagedImage> images = package({{"app.dll", {{"broken.dll", {"f"}}}}});
    images.push_back({"broken.dll", std::nullopt,
                      "is a damaged PE file: its import table lies "
                      "outside the file"});
    DependencyFindings findings = checkDependencies(images, "app.dll", {});
    EXPECT_EQ(problems(findings),
              "broken.dll is a damaged PE file: its import table lies outside the file\n");
    EXPECT_NE(dependencyRefusal(findings).find("Replace the damaged files."), std::string::npos);
}

TEST(DependencyCheck, ALibraryForAnotherMachineDoesNotServe) {
    DependencyFindings findings =
        check({{"app.dll", {{"helper.dll", {}}, {"core.dll", {}}}},
               {"helper.dll", {}, {}, true, x86},
               {"core.dll", {}},
               // What the entry loaded is no help to a plug-in of another machine.
               {"x86\\plugin.dll", {{"core.dll", {}}}, {}, true, x86},
               // Nor can the application load it: said once, unlike the
               // library that a program of its own machine loads.
               {"x86\\other.dll", {}, {}, true, x86},
               {"tools\\tool.exe", {{"used.dll", {}}}, {}, false, x86},
               {"tools\\used.dll", {}, {}, true, x86}});
    EXPECT_EQ(problems(findings),
              "helper.dll is built for x86, but app.dll, which imports it, for x86-64\n"
              "core.dll is built for x86-64, but x86\\plugin.dll, which imports it, for x86\n");
    EXPECT_EQ(warnings(findings),
              "2 libraries (x86\\plugin.dll and x86\\other.dll) are built for x86, which the "
              "x86-64 application cannot load (only a program of the package built for x86 "
              "could) [other-machine]\n");
}

TEST(DependencyCheck, LooksUpEachImageAndImportedFunctionAFewTimesWhateverThePackage) {
    // 400 plug-ins in folders of their own, each missing four libraries of
    // its own and one they all miss, each loading shared.dll from the top,
    // which imports 100 functions of base.dll.
    const size_t plugins = 400, functions = 100;
    std::vector<std::string> imported, exported;
    for (size_t i = 0; i < functions; ++i) {
        imported.push_back("f" + std::to_string(i));
    }
    exported = imported;
    exported.pop_back();
    std::vector<Image> images = {
        {"app.dll", {}}, {"shared.dll", {{"base.dll", imported}}}, {"base.dll", {}, exported}};
    for (size_t i = 0; i < plugins; ++i) {
        const std::string id = std::to_string(i);
        images.push_back(
            {"p" + id + "\\plugin" + id + ".dll", {{"shared.dll", {}}, {"common.dll", {}}}});
        for (int k = 0; k < 4; ++k) {
            images.back().imports.push_back({"m" + id + "_" + std::to_string(k) + ".dll", {}});
        }
    }
    // And copies of a missing one where no search looks.
    images.push_back({"elsewhere\\common.dll", {}});
    images.push_back({"more\\common.dll", {}});
    const DependencyFindings findings = check(images);

    ASSERT_EQ(findings.missing.size(), 1 + 4 * plugins);
    EXPECT_EQ(findings.missing[0].library, "common.dll");
    EXPECT_EQ(findings.missing[0].importers.size(), plugins);
    EXPECT_EQ(findings.missing[0].elsewhere,
              (std::vector<std::string>{"elsewhere\\common.dll", "more\\common.dll"}));
    EXPECT_EQ(findings.missing.back().importers.size(), 1u);
    ASSERT_EQ(findings.missingFunctions.size(), 1u);
    EXPECT_EQ(importedNameText(findings.missingFunctions[0].function), imported.back());
    // Walking each image and imported function once or twice is a few
    // thousand; looking through every image for each missing library, or
    // every function again for each plug-in, millions.
    const size_t imports = 1 + 6 * plugins;
    EXPECT_LE(findings.lookups, 2 * (images.size() + imports + functions));
}

} // namespace
