// The failure dialog of --error-dialog builds: every report that reaches a
// standard stream also goes to a message box titled with the product's
// name, and a build without the option never asks for one.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace {

ProcessResult probe(const wchar_t* program, const std::vector<std::wstring>& arguments) {
    return runProcess(siblingProgram(program), arguments);
}

// The probe of a build with the dialog, and of one without.
const wchar_t* const withDialog = L"errors_dialog_probe.exe";
const wchar_t* const withoutDialog = L"errors_probe.exe";

// MB_OK | MB_ICONERROR | MB_SETFOREGROUND
const std::string boxType = " (type 0x10010)\r\n";
// What the box says below the line when the application's files are not
// all there: for the person who started it, not on the streams.
const std::string incomplete = "\r\n\r\nThis application is incomplete or damaged on this "
                               "computer. Reinstall it, or ask its vendor for help.";

TEST(ErrorDialog, EachReportAlsoGoesToABoxTitledWithTheProduct) {
    const std::string loadFailure = "Error, load DLL. ([Error 2] " + systemErrorText(2) + ")";
    struct Case {
        std::vector<std::wstring> arguments;
        std::string out;
        std::string err;
        DWORD status;
    };
    const Case cases[] = {
        {{L"fatal-error"},
         "Error, couldn't find attached data header.\r\n"
         "box [Test Product] Error, couldn't find attached data header." +
             incomplete + boxType,
         "",
         2},
        {{L"with-code", L"2"},
         "box [Test Product] " + loadFailure + incomplete + boxType,
         loadFailure + "\r\n",
         2},
        {{L"with-detail", L"2"},
         "box [Test Product] " + loadFailure + " app.dll imports gone.dll, which cannot be found." +
             incomplete + boxType,
         loadFailure + " app.dll imports gone.dll, which cannot be found.\r\n",
         2},
        // A failure that says nothing of the application's files: no advice.
        {{L"launch-failure", L"5"},
         "box [Test Product] Error, couldn't launch child ([Error 5] " + systemErrorText(5) + ")" +
             boxType,
         "Error, couldn't launch child ([Error 5] " + systemErrorText(5) + ")\r\n",
         2},
        {{L"open", L"C:\\t\\caf\u00e9.dll"},
         "box [Test Product] Error, failed to open 'C:\\t\\caf\xc3\xa9.dll' for writing." + boxType,
         "Error, failed to open 'C:\\t\\caf\xe9.dll' for writing.\r\n",
         2},
        {{L"spec", L"{NOPE}"},
         "box [Test Product] Error, couldn't runtime expand spec '{NOPE}'." + boxType,
         "Error, couldn't runtime expand spec '{NOPE}'.\r\n",
         3},
    };
    for (const Case& c : cases) {
        ProcessResult r = probe(withDialog, c.arguments);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitCode, c.status);
        // Without the option the streams carry the same and no box is asked for.
        ProcessResult without = probe(withoutDialog, c.arguments);
        EXPECT_EQ(without.out.find("box"), std::string::npos) << without.out;
        EXPECT_EQ(without.err, c.err);
        EXPECT_EQ(without.exitCode, c.status);
    }
}

TEST(ErrorDialog, AnEndWithoutAMessageShowsNoBox) {
    ProcessResult r = probe(withDialog, {L"terminate"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.out + r.err, "");
}

} // namespace
