// An executable made by onefile_add_executable runs its packed entry
// library with the user's arguments and returns run_code's result.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

TEST(PackedExecutable, RunsTheEntryLibraryWithItsArgumentsAndPackedFiles) {
    ProcessOptions options;
    options.timeoutMilliseconds = 60000;
    ProcessResult r =
        runProcess(siblingProgram(L"packed_smoke.exe"), {L"one", L"two words"}, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 42u) << r.out << r.err;
    EXPECT_EQ(r.out, "argc=3\r\narg 1: one\r\narg 2: two words\r\n"
                     "data: hello from the packed tree\r\n");
    EXPECT_EQ(r.err, "");
}

} // namespace
