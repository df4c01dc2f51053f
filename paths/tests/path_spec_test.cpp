// Path spec expansion, watched from outside through the probe (results, the
// environment left behind, exit statuses) and, for the random string, in-process.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <regex>

#include "formats/handshake.h"
#include "paths/path_spec.h"
#include "paths/tests/paths_fixture.h"

using namespace paths_test;

namespace {

const std::string targetSpec = "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
const std::string urlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

ProcessResult expand(const std::vector<std::wstring>& arguments,
                     const ProcessOptions& options = cleanOptions()) {
    std::vector<std::wstring> all = {L"expand"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runProbe(all, options);
}

// One spec with a capacity: "ok <text>" or "failed <text>".
std::string expandOne(const std::wstring& spec, size_t capacity = 4096,
                      const ProcessOptions& options = cleanOptions()) {
    ProcessResult r = expand({std::to_wstring(capacity), spec}, options);
    if (r.exitCode != 0) {
        return "exit " + std::to_string(r.exitCode) + ": " + r.out;
    }
    std::vector<std::string> all = lines(r.out);
    return all.empty() ? "<nothing>" : all.front();
}

bool isRandomString(const std::string& text) {
    return text.size() == randomStringLength &&
           text.find_first_not_of(urlSafeAlphabet) == std::string::npos;
}

std::string folder(int id) {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return "<no folder>";
    }
    std::wstring text = path;
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return toUtf8(text);
}

TEST(ExpandPathSpec, EmptySpecAndPlainTextAreCopied) {
    EXPECT_EQ(expandOne(L""), "ok ");
    EXPECT_EQ(expandOne(L"C:\\plain\\path with spaces\\x.y"),
              "ok C:\\plain\\path with spaces\\x.y");
    // A closing brace outside a reference is plain text.
    EXPECT_EQ(expandOne(L"a}b}"), "ok a}b}");
    EXPECT_EQ(expandOne(L"caf\u00e9 \u4e2d"), "ok " + toUtf8(L"caf\u00e9 \u4e2d"));
}

TEST(ExpandPathSpec, UnknownNamesFailAndKeepWhatCameBefore) {
    EXPECT_EQ(expandOne(L"{NOPE}"), "failed ");
    EXPECT_EQ(expandOne(L"a{NOPE}"), "failed a");
    EXPECT_EQ(expandOne(L"a{NOPE}b{TEMP}"), "failed a");
    EXPECT_EQ(expandOne(L"ab{}c"), "failed ab");
    // Near misses of real names.
    EXPECT_EQ(expandOne(L"x{TEMP }"), "failed x");
    EXPECT_EQ(expandOne(L"x{TIMES}"), "failed x");
}

TEST(ExpandPathSpec, OpenReferencesAndRestartedNames) {
    const std::string temp = temporaryDirectoryText();
    // An unclosed reference is dropped and the expansion succeeds.
    EXPECT_EQ(expandOne(L"abc{TEMP"), "ok abc");
    EXPECT_EQ(expandOne(L"abc{NOPE"), "ok abc");
    // A second opening brace starts the name afresh.
    EXPECT_EQ(expandOne(L"{x{TEMP}"), "ok " + temp);
    EXPECT_EQ(expandOne(L"{NOPE{TEMP}\\y"), "ok " + temp + "\\y");
}

TEST(ExpandPathSpec, OverlongNamesMatchNothingAndNeverOverrun) {
    const std::string temp = temporaryDirectoryText();
    // 1023 characters fill the name buffer; 1024 and more are cut.
    for (size_t length : {1023u, 1024u, 1025u, 5000u}) {
        std::wstring name(length, L'A');
        EXPECT_EQ(expandOne(L"a{" + name + L"}"), "failed a") << length;
        // Names that begin like a real one do not become it when cut.
        EXPECT_EQ(expandOne(L"a{TEMP" + name + L"}"), "failed a") << length;
        // A brace after it starts a fresh name that works.
        EXPECT_EQ(expandOne(L"{" + name + L"{TEMP}"), "ok " + temp) << length;
        EXPECT_EQ(expandOne(L"b{" + name), "ok b") << length;
    }
}

TEST(ExpandPathSpec, EveryNameInAnyLetterCaseGivesItsValue) {
    const std::vector<std::wstring> names = {
        L"TEMP",         L"PROGRAM",         L"PROGRAM_BASE", L"PROGRAM_DIR", L"PID",
        L"HOME",         L"CACHE_DIR",       L"COMPANY",      L"PRODUCT",     L"VERSION",
        L"FILE_VERSION", L"PRODUCT_VERSION", L"RANDOM",       L"TIME_US",     L"TIME"};
    std::vector<std::wstring> arguments = {L"--argv0", L"X:\\Some Dir\\Tool.Exe",
                                           L"--show-environment", L"4096"};
    for (const std::wstring& name : names) {
        arguments.push_back(L"{" + name + L"}");
    }
    for (const std::wstring& name : names) {
        std::wstring lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
        arguments.push_back(L"<{" + lower + L"}>");
        std::wstring mixed = lower;
        mixed[0] = towupper(mixed[0]);
        arguments.push_back(L"{" + mixed + L"}");
    }
    ProcessResult r = expand(arguments);
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> results = fields(r.out, "ok");
    ASSERT_EQ(results.size(), 3 * names.size()) << r.out;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(results[names.size() + 2 * i], "<" + results[i] + ">") << toUtf8(names[i]);
        EXPECT_EQ(results[names.size() + 2 * i + 1], results[i]) << toUtf8(names[i]);
    }
    EXPECT_EQ(results[0], temporaryDirectoryText());
    EXPECT_EQ(results[1], "X:\\Some Dir\\Tool.Exe");
    EXPECT_EQ(results[2], "X:\\Some Dir\\Tool");
    EXPECT_EQ(results[3], "X:\\Some Dir");
    EXPECT_EQ(results[4], field(r.out, "pid"));
    EXPECT_EQ(results[5], folder(CSIDL_PROFILE));
    EXPECT_EQ(results[6], folder(CSIDL_LOCAL_APPDATA));
    EXPECT_EQ(results[7], "Test Company");
    EXPECT_EQ(results[8], "Test Product");
    EXPECT_EQ(results[9], "1.2.3.4");
    EXPECT_EQ(results[10], "1.2.3.4");
    EXPECT_EQ(results[11], "1.2.3.4");
    EXPECT_TRUE(isRandomString(results[12])) << results[12];
    EXPECT_TRUE(std::regex_match(results[13], std::regex("[0-9]{6}"))) << results[13];
    EXPECT_TRUE(std::regex_match(results[14], std::regex("[0-9]{17,20}"))) << results[14];
    // The fresh values are stored for the child; the own identifier is not.
    EXPECT_EQ(field(r.out, handshakeRandomVariable), results[12]);
    EXPECT_EQ(field(r.out, handshakeTimeUsVariable), results[13]);
    EXPECT_EQ(field(r.out, handshakeStartVariable), results[14]);
    EXPECT_EQ(field(r.out, handshakeParentVariable), "(none)");
}

TEST(ExpandPathSpec, TemporaryDirectoryLosesItsFinalBackslashesOnly) {
    const std::string temp = temporaryDirectoryText();
    EXPECT_EQ(expandOne(L"{TEMP}\\x"), "ok " + temp + "\\x");
    // Backslashes the spec itself writes after the value stay.
    EXPECT_EQ(expandOne(L"{TEMP}\\\\x\\"), "ok " + temp + "\\\\x\\");
    EXPECT_EQ(expandOne(L"{HOME}\\"), "ok " + folder(CSIDL_PROFILE) + "\\");
}

TEST(ExpandPathSpec, TemporaryDirectoryThatDoesNotFitIsLeftOut) {
    ASSERT_GT(temporaryDirectoryText().size(), 6u);
    // Room for "x" but not for the temporary path: nothing is inserted.
    EXPECT_EQ(expandOne(L"{TEMP}x", 3), "ok x");
    // Trailing backslashes go also when nothing was inserted.
    EXPECT_EQ(expandOne(L"a\\\\{TEMP}x", 6), "ok ax");
    // With exactly the room it needs, the path is there.
    const size_t room =
        temporaryDirectoryText().size() + 2; // its final backslash and the terminator
    EXPECT_EQ(expandOne(L"{TEMP}", room), "ok " + temporaryDirectoryText());
    EXPECT_EQ(expandOne(L"{TEMP}", room - 1), "ok ");
}

TEST(ExpandPathSpec, ResultOfCapacityMinusOneFitsAndOneMoreFailsOrEnds) {
    // Literals.
    EXPECT_EQ(expandOne(L"abcd", 5), "ok abcd");
    EXPECT_EQ(expandOne(L"abcd", 4), "failed abc");
    EXPECT_EQ(expandOne(L"", 1), "ok ");
    EXPECT_EQ(expandOne(L"a", 1), "failed ");
    // Values: one character too many ends the process, with no output.
    EXPECT_EQ(expandOne(L"{COMPANY}", 13), "ok Test Company");
    EXPECT_EQ(expandOne(L"{COMPANY}", 12), "exit 3: ");
    EXPECT_EQ(expandOne(L"ab{VERSION}", 10), "ok ab1.2.3.4");
    EXPECT_EQ(expandOne(L"ab{VERSION}", 9), "exit 3: ");
    // A literal after a value that just fitted fails.
    EXPECT_EQ(expandOne(L"{VERSION}x", 9), "ok 1.2.3.4x");
    EXPECT_EQ(expandOne(L"{VERSION}x", 8), "failed 1.2.3.4");
    // The same at the size the bootstrap uses.
    std::wstring long4088(4088, L'p');
    EXPECT_EQ(expandOne(long4088 + L"{VERSION}", 4096), "ok " + toUtf8(long4088) + "1.2.3.4");
    EXPECT_EQ(expandOne(long4088 + L"{VERSION}", 4095), "exit 3: ");
    EXPECT_EQ(expandOne(long4088 + L"1234567", 4096), "ok " + toUtf8(long4088) + "1234567");
    EXPECT_EQ(expandOne(long4088 + L"12345678", 4096), "failed " + toUtf8(long4088) + "1234567");
}

struct ProgramCase {
    const wchar_t* argv0;
    const char* base;
    const char* directory;
};

TEST(ExpandPathSpec, ProgramBaseAndDirectoryComeFromElementZero) {
    const ProgramCase cases[] = {
        {L"X:\\d\\App.EXE", "X:\\d\\App", "X:\\d"},
        {L"app", "app", "app"},
        {L"app.exe", "app", "app.exe"},
        {L".exe", "", ".exe"},
        {L"exe", "exe", "exe"},
        {L"X:\\d.exe\\app.exe.exe", "X:\\d.exe\\app.exe", "X:\\d.exe"},
        {L"\\app.ExE", "\\app", ""},
    };
    for (const ProgramCase& c : cases) {
        ProcessResult r = expand({L"--argv0", c.argv0, L"4096", L"{PROGRAM}", L"{PROGRAM_BASE}",
                                  L"{PROGRAM_DIR}", L"[{PROGRAM_BASE}|{PROGRAM_DIR}]"});
        ASSERT_EQ(r.exitCode, 0u) << r.out;
        std::vector<std::string> results = fields(r.out, "ok");
        ASSERT_EQ(results.size(), 4u) << r.out;
        EXPECT_EQ(results[0], toUtf8(c.argv0));
        EXPECT_EQ(results[1], c.base) << toUtf8(c.argv0);
        EXPECT_EQ(results[2], c.directory) << toUtf8(c.argv0);
        EXPECT_EQ(results[3], std::string("[") + c.base + "|" + c.directory + "]");
    }
}

TEST(ExpandPathSpec, ProgramNameNeedsRoomForTheWholeNameAndElementZero) {
    // The whole name is inserted before ".exe" is cut, so it needs the room.
    ProcessResult r = expand({L"--argv0", L"app.exe", L"8", L"{PROGRAM_BASE}"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "ok"), "app");
    r = expand({L"--argv0", L"app.exe", L"7", L"{PROGRAM_BASE}"});
    EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    // No element 0 ends the process.
    r = expand({L"--no-argv0", L"4096", L"{PROGRAM_DIR}"});
    EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    EXPECT_EQ(r.out, "");
    // ...but only when it is asked for.
    r = expand({L"--no-argv0", L"4096", L"{VERSION}"});
    EXPECT_EQ(r.exitCode, 0u);
}

TEST(ExpandPathSpec, ProcessIdentifierComesFromTheParentVariable) {
    ProcessOptions options = cleanOptions();
    options.environment[fromUtf8(handshakeParentVariable)] = L"1234";
    EXPECT_EQ(expandOne(L"p{PID}q", 4096, options), "ok p1234q");
    options.environment[fromUtf8(handshakeParentVariable)] = L"000017";
    EXPECT_EQ(expandOne(L"{PID}", 4096, options), "ok 000017");
    for (const wchar_t* planted :
         {L"12a", L" 12", L"+12", L"-1", L"12 ", L"1\\..\\x", L"\u0661\u0662", L"\uff11\uff12"}) {
        options.environment[fromUtf8(handshakeParentVariable)] = planted;
        ProcessResult r = expand({L"4096", L"{PID}"}, options);
        EXPECT_EQ(r.exitCode, endedAtOnce) << toUtf8(planted);
        EXPECT_EQ(r.out, "") << toUtf8(planted);
    }
    // Unset or empty: the own identifier, which is not stored.
    for (bool empty : {false, true}) {
        options.environment[fromUtf8(handshakeParentVariable)] =
            empty ? std::optional<std::wstring>(L"") : std::nullopt;
        ProcessResult r = expand({L"--show-environment", L"4096", L"{PID}"}, options);
        ASSERT_EQ(r.exitCode, 0u);
        EXPECT_EQ(field(r.out, "ok"), field(r.out, "pid"));
        EXPECT_TRUE(std::regex_match(field(r.out, "pid"), std::regex("[1-9][0-9]*")));
        EXPECT_EQ(field(r.out, handshakeParentVariable), "(none)");
    }
}

TEST(ExpandPathSpec, RandomStringIsMadeOnceStoredAndReused) {
    ProcessResult r = expand({L"--show-environment", L"4096", L"{RANDOM}-{RANDOM}", L"{random}"});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> results = fields(r.out, "ok");
    ASSERT_EQ(results.size(), 2u);
    const std::string first = results[0].substr(0, randomStringLength);
    EXPECT_TRUE(isRandomString(first)) << results[0];
    EXPECT_EQ(results[0], first + "-" + first);
    EXPECT_EQ(results[1], first);
    EXPECT_EQ(field(r.out, handshakeRandomVariable), first);

    // Another run makes another string.
    ProcessResult other = expand({L"4096", L"{RANDOM}"});
    EXPECT_TRUE(isRandomString(field(other.out, "ok")));
    EXPECT_NE(field(other.out, "ok"), first);

    // An inherited value of the right form is used as it is.
    ProcessOptions options = cleanOptions();
    options.environment[fromUtf8(handshakeRandomVariable)] = L"handMade-_9";
    EXPECT_EQ(expandOne(L"{RANDOM}|{RANDOM}", 4096, options), "ok handMade-_9|handMade-_9");
}

TEST(ExpandPathSpec, InheritedRunValuesOfAnyOtherFormFailTheExpansion) {
    // Anyone can set them before starting the program; joined to a folder
    // unchecked, "x\\..\\elsewhere" made a child load from elsewhere.
    struct Forged {
        const char* variable;
        const wchar_t* reference;
        std::vector<std::wstring> values;
    };
    const Forged forged[] = {
        {handshakeRandomVariable,
         L"{RANDOM}",
         {L"x\\..\\elsewhere", L"..", L"\\..\\planted", L"handMadeDi", L"handMadeDir0",
          L"handMade.ir", L"handMade\\ir", L"handMade/ir", L"handMade:ir", L"handMad\u00e9ir",
          L"handMade ir"}},
        {handshakeTimeUsVariable,
         L"{TIME_US}",
         {L"0\\..\\p", L"12345", L"1234567", L"12345a", L"-12345", L" 12345",
          L"\uff11\uff12\uff13\uff14\uff15\uff16"}},
        {handshakeStartVariable,
         L"{TIME}",
         {L"12a", L"-1", L"+1", L"1\\..\\x", L"1 ", L"\u0661\u0662"}},
    };
    for (const Forged& f : forged) {
        for (const std::wstring& value : f.values) {
            ProcessOptions options = cleanOptions();
            options.environment[fromUtf8(f.variable)] = value;
            EXPECT_EQ(
                expandOne(L"C:\\base\\" + std::wstring(f.reference) + L"\\app", 4096, options),
                "failed C:\\base\\")
                << f.variable << " " << toUtf8(value);
        }
    }
    // A child of the real driver reports it and ends with status 3.
    ProcessResult r = runProbe({L"driver", L"--with-child", L"--child-environment",
                                fromUtf8(handshakeRandomVariable) + L"=x\\..\\elsewhere"});
    EXPECT_EQ(fields(r.out, "role"), (std::vector<std::string>{"parent"})) << r.out;
    EXPECT_EQ(field(r.out, "child-status"), std::to_string(endedAtOnce));
    EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '" + targetSpec + "'.\r\n");
}

TEST(ExpandPathSpec, TimesAreReadOnceAndStored) {
    ProcessResult r =
        expand({L"--show-environment", L"4096", L"{TIME_US}-{TIME_US}", L"{TIME}-{TIME}"});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> results = fields(r.out, "ok");
    ASSERT_EQ(results.size(), 2u);
    const std::string micro = field(r.out, handshakeTimeUsVariable);
    const std::string start = field(r.out, handshakeStartVariable);
    EXPECT_EQ(results[0], micro + "-" + micro);
    EXPECT_EQ(results[1], start + "-" + start);

    ProcessOptions options = cleanOptions();
    options.environment[fromUtf8(handshakeTimeUsVariable)] = L"000042";
    options.environment[fromUtf8(handshakeStartVariable)] = L"42";
    EXPECT_EQ(expandOne(L"{TIME_US}/{TIME}", 4096, options), "ok 000042/42");
}

// Checks one "sample <before> <after> <TIME_US> <TIME>" line against the clock.
void checkTimeSample(const std::string& sample) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(sample, m, std::regex("([0-9]+) ([0-9]+) ([0-9]+) ([0-9]+)")))
        << sample;
    const unsigned long long before = std::stoull(m[1]), after = std::stoull(m[2]);
    const std::string micro = m[3];
    const unsigned long long time = std::stoull(m[4]);
    EXPECT_EQ(micro.size(), 6u) << sample;
    EXPECT_LE(before, time) << sample;
    EXPECT_LE(time, after) << sample;
    // The microseconds within the second of some moment during the expansion.
    const unsigned long long first = before / 10, last = after / 10, value = std::stoull(micro);
    EXPECT_LE((value + 1000000 - first % 1000000) % 1000000, last - first) << sample;
}

TEST(ExpandPathSpec, MicrosecondsAreSixDigitsOfTheCurrentSecond) {
    ProcessResult r = runProbe({L"time-samples", L"50"});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> samples = fields(r.out, "sample");
    ASSERT_EQ(samples.size(), 50u);
    for (const std::string& sample : samples) {
        checkTimeSample(sample);
    }
    // Right after a whole second the value has leading zeros, still six digits.
    r = runProbe({L"time-samples", L"3", L"--near-second"});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    samples = fields(r.out, "sample");
    ASSERT_EQ(samples.size(), 3u);
    int belowTenthOfSecond = 0;
    for (const std::string& sample : samples) {
        checkTimeSample(sample);
        std::string micro = sample.substr(sample.find(' ', sample.find(' ') + 1) + 1, 6);
        belowTenthOfSecond += micro[0] == '0';
    }
    EXPECT_GT(belowTenthOfSecond, 0) << r.out;
}

TEST(ExpandPathSpec, TargetSpecGivesTheSameTextTwiceAndInTheChild) {
    const std::wstring spec = fromUtf8(targetSpec);
    // --as-parent does what the driver does first: fresh values, own identifier.
    ProcessResult r =
        expand({L"--as-parent", L"--show-environment", L"--then-child", L"4096", spec, spec});
    ASSERT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "child-status"), "0");
    std::vector<std::string> results = fields(r.out, "ok");
    ASSERT_EQ(results.size(), 4u) << r.out;
    const std::string pid = field(r.out, "pid");
    const std::string expected = temporaryDirectoryText() + "\\onefile_" + pid + "_" +
                                 field(r.out, handshakeTimeUsVariable) + "_" +
                                 field(r.out, handshakeRandomVariable);
    for (const std::string& result : results) {
        EXPECT_EQ(result, expected);
    }
    EXPECT_TRUE(std::regex_match(expected.substr(temporaryDirectoryText().size()),
                                 std::regex("\\\\onefile_[0-9]+_[0-9]{6}_[-_A-Za-z0-9]{11}")))
        << expected;
}

// The real driver in a probe without an archive: it computes the target
// directory, then ends at the missing archive; the probe reports on the way out.
TEST(Driver, ParentAndChildComputeTheSameFreshTargetDirectory) {
    ProcessOptions options = cleanOptions();
    options.environment[fromUtf8(handshakeStartVariable)] = L"5";
    options.environment[fromUtf8(handshakeTimeUsVariable)] = L"999999";
    options.environment[fromUtf8(handshakeRandomVariable)] = L"staleRANDOM";
    ProcessResult r = runProbe({L"driver", L"--with-child"}, options);
    EXPECT_EQ(r.exitCode, 2u) << r.out << r.err;
    std::vector<std::string> roles = fields(r.out, "role");
    std::vector<std::string> targets = fields(r.out, "target");
    std::vector<std::string> parents = fields(r.out, handshakeParentVariable);
    std::vector<std::string> pids = fields(r.out, "pid");
    ASSERT_EQ(roles, (std::vector<std::string>{"parent", "child"})) << r.out;
    ASSERT_EQ(targets.size(), 2u);
    const std::string micro = field(r.out, handshakeTimeUsVariable);
    const std::string random = field(r.out, handshakeRandomVariable);
    EXPECT_TRUE(std::regex_match(micro, std::regex("[0-9]{6}"))) << micro;
    EXPECT_NE(micro, "999999");
    EXPECT_TRUE(isRandomString(random)) << random;
    // A full path below the temporary directory, named by the parent's values.
    EXPECT_EQ(targets[0],
              temporaryDirectoryText() + "\\onefile_" + pids[0] + "_" + micro + "_" + random);
    EXPECT_EQ(targets[1], targets[0]);
    // The parent published its own identifier; the child changed nothing.
    EXPECT_EQ(parents, (std::vector<std::string>{pids[0], pids[0]}));
    EXPECT_NE(pids[1], pids[0]);
    EXPECT_EQ(fields(r.out, handshakeStartVariable),
              (std::vector<std::string>{"(none)", "(none)"}));
    EXPECT_EQ(fields(r.out, handshakeTimeUsVariable), (std::vector<std::string>{micro, micro}));
    EXPECT_EQ(fields(r.out, handshakeRandomVariable), (std::vector<std::string>{random, random}));
}

TEST(Driver, AParentFindsNoLibraryNextToTheExecutableByNameItsChildDoes) {
    // The search a program starts with looks next to the executable first.
    ProcessResult r = runProbe({L"try-load", L"onefile_planted.dll"});
    EXPECT_EQ(field(r.out, "try-load"), "found") << r.out;
    // The parent's search is the system directory's alone; the child keeps
    // the search the application would have if it were unpacked by hand.
    r = runProbe({L"driver", L"--with-child", L"--try-load", L"onefile_planted.dll"});
    EXPECT_EQ(fields(r.out, "role"), (std::vector<std::string>{"parent", "child"})) << r.out;
    EXPECT_EQ(fields(r.out, "try-load"), (std::vector<std::string>{"not-found", "found"}));
}

TEST(MakeRandomString, KnownSeedsGiveKnownStrings) {
    // Expected strings from an independent xorshift and RFC 4648 encoder.
    const std::pair<uint32_t, const wchar_t*> cases[] = {
        {1, L"IQHFT9HQGrI"},          {2, L"QgKCBhojWbY"},          {0xDEADBEEF, L"t0JYO0gbXLM"},
        {0xFFFFFFFF, L"H_9D2pHssPs"}, {0x80000000, L"AIRIlEGeIMI"},
    };
    for (const auto& [seed, expected] : cases) {
        wchar_t text[randomStringLength + 4];
        wmemset(text, L'#', randomStringLength + 4);
        makeRandomString(seed, text);
        EXPECT_STREQ(text, expected) << seed;
        EXPECT_EQ(text[randomStringLength + 1], L'#');
    }
}

TEST(MakeRandomString, LastCharacterCarriesOnlyFourBits) {
    for (uint32_t seed = 1; seed < 2000; seed += 7) {
        wchar_t text[randomStringLength + 1];
        makeRandomString(seed, text);
        std::string narrow = toUtf8(text);
        ASSERT_TRUE(isRandomString(narrow)) << narrow;
        EXPECT_EQ(urlSafeAlphabet.find(narrow.back()) % 4, 0u) << narrow;
    }
}

} // namespace
