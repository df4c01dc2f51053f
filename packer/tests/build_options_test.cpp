// --progress-window: the bit it sets, as info reports it beside the others,
// and the console builds that refuse it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "packer/tests/support.h"

using nlohmann::json;

namespace {

TEST(ProgressWindowOption, ReachesTheImageBesideTheOtherOptions) {
    EntryTree tree;
    ASSERT_TRUE(succeeded(tree.build({"--progress-window", "--error-dialog"})));
    EXPECT_EQ(infoOf(tree.out / "app.exe")["options"], json({"error-dialog", "progress-window"}));
    CommandResult text = runPacker({"info", (tree.out / "app.exe").string()});
    EXPECT_NE(text.out.find("\noptions: error-dialog, progress-window\n"), std::string::npos)
        << text.out;
}

TEST(ProgressWindowOption, IsForGuiBuildsOnly) {
    EntryTree tree;
    CommandResult r = tree.build({"--console", "--progress-window"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--progress-window is for GUI programs: a console program shows no "
                         "window of its own; drop --console or --progress-window"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(directoryNames(tree.out).empty());
}

} // namespace
