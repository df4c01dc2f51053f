// A build's own target directory, set with onefile-pack build --target-dir:
// each run unpacks where the spec built into the executable says, not at
// the default place, and removes it afterwards.
#include <gtest/gtest.h>

#include "bootstrap/handshake.h"
#include "tests/e2e/hello_output.h"
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

} // namespace
