// A build's own target directory, set with onefile-pack build --target-dir:
// each run unpacks where the spec built into the executable says, not at
// the default place, and removes it afterwards.
#include <gtest/gtest.h>

#include "formats/handshake.h"
#include "tests/e2e/hello_output.h"
#include "tests/e2e/own_temporary_directory.h"
#include "tests/support/process.h"

namespace {

// Built with the spec {TEMP}\elsewhere_{PRODUCT}_{PID}_{TIME_US} and the
// product name Elsewhere.
TEST(TargetDirectory, ASpecOfTheBuildsOwnIsWhereEachRunUnpacks) {
    ProcessResult r = runProcess(siblingProgram(L"hello_elsewhere.exe"), {L":plugin"});
    ASSERT_EQ(r.exitCode, 0u) << r.out << r.err;
    HelloOutput o(r.out);
    const std::string target = toUtf8(temporaryDirectory()) + "\\elsewhere_Elsewhere_" +
                               std::to_string(r.processId) + "_" + o.get(handshakeTimeUsVariable);
    EXPECT_EQ(o.get("library"), target + "\\hello.dll");
    EXPECT_EQ(o.get("plugin"), "greetings from plugins\\greeter.dll");
    // The spec has no {RANDOM}, so no run made one.
    EXPECT_NE(r.out.find(std::string(handshakeRandomVariable) + " unset"), std::string::npos)
        << r.out;
    EXPECT_FALSE(pathExists(fromUtf8(target)));
}

// Built with the company "Z\u00e9brik Co. Ltd", the product "Hello World 2.0",
// the version 2.1 and the spec {TEMP}\{COMPANY}\{PRODUCT} v{VERSION}_{PID}_{TIME_US}:
// texts the packer takes as folder names.
class TargetDirectoryTexts : public OwnTemporaryDirectory {};

TEST_F(TargetDirectoryTexts, TheBuildsTextsBecomeTheFoldersTheSpecNames) {
    ProcessResult r = runProcess(siblingProgram(L"hello_named.exe"), {L":plugin"});
    ASSERT_EQ(r.exitCode, 0u) << r.out << r.err;
    HelloOutput o(r.out);
    const std::string company = toUtf8(ownTemp) + "\\Z\xC3\xA9"
                                                  "brik Co. Ltd";
    const std::string target = company + "\\Hello World 2.0 v2.1.0.0_" +
                               std::to_string(r.processId) + "_" + o.get(handshakeTimeUsVariable);
    EXPECT_EQ(o.get("library"), target + "\\hello.dll");
    EXPECT_EQ(o.get("plugin"), "greetings from plugins\\greeter.dll");
    EXPECT_FALSE(pathExists(fromUtf8(target)));
    EXPECT_TRUE(pathExists(fromUtf8(company))) << "the folders above it stay";
}

} // namespace
