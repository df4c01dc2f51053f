// Environment access by narrow name: values read, set and removed, the name
// buffer's limit and the one-character-at-a-time widening of names.
#include <gtest/gtest.h>

#include "paths/tests/paths_fixture.h"

using namespace paths_test;

namespace {

ProcessOptions withVariable(const std::wstring& name, const std::optional<std::wstring>& value) {
    ProcessOptions options = cleanOptions();
    options.environment[name] = value;
    return options;
}

TEST(GetEnvironmentValue, ReturnsTheValueOrNothingWhenUnsetOrEmpty) {
    const std::wstring value = L"C:\\some dir;caf\u00e9 \u4e2d=x";
    ProcessResult r =
        runProbe({L"env-get", L"ZEBRIK_TEST_VALUE"}, withVariable(L"ZEBRIK_TEST_VALUE", value));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "value"), toUtf8(value));

    r = runProbe({L"env-get", L"ZEBRIK_TEST_VALUE"},
                 withVariable(L"ZEBRIK_TEST_VALUE", std::nullopt));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "value"), "(none)");

    r = runProbe({L"env-get", L"ZEBRIK_TEST_VALUE"}, withVariable(L"ZEBRIK_TEST_VALUE", L""));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "value"), "(none)");
}

TEST(GetEnvironmentValue, ReturnsTheLongestValueWhole) {
    // Wine keeps at most 32766 characters of a value (Windows 32767).
    std::wstring value(32766, L'v');
    value[0] = L'<';
    value.back() = L'>';
    ProcessResult r =
        runProbe({L"env-get", L"ZEBRIK_TEST_LONG"}, withVariable(L"ZEBRIK_TEST_LONG", value));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "value"), toUtf8(value));
}

TEST(SetEnvironmentValue, SetsAndRemovesUnderTheWidenedName) {
    const std::wstring value = L"new value \u00fc\u4e2d";
    ProcessResult r =
        runProbe({L"env-set", L"ZEBRIK_TEST_SET", value}, withVariable(L"ZEBRIK_TEST_SET", L"old"));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "set"), "1");
    EXPECT_EQ(field(r.out, "read"), toUtf8(value));
    EXPECT_EQ(field(r.out, "crt"), toUtf8(value));

    r = runProbe({L"env-remove", L"ZEBRIK_TEST_SET"}, withVariable(L"ZEBRIK_TEST_SET", L"old"));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "set"), "1");
    EXPECT_EQ(field(r.out, "read"), "(none)");
    EXPECT_EQ(field(r.out, "crt"), "(none)");

    // An empty value is set, not removed: the C runtime, which knows no
    // empty values and removes the variable, is told first.
    r = runProbe({L"env-set", L"ZEBRIK_TEST_SET", L""}, withVariable(L"ZEBRIK_TEST_SET", L"old"));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "set"), "1");
    EXPECT_EQ(field(r.out, "read"), "");
}

TEST(EnvironmentNames, ThirtyNineCharactersFitAndFortyEndTheProcess) {
    const std::wstring name39 = L"ZEBRIK_" + std::wstring(32, L'N');
    ASSERT_EQ(name39.size(), 39u);
    ProcessResult r = runProbe({L"env-get", name39}, withVariable(name39, L"fits"));
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "value"), "fits");
    r = runProbe({L"env-set", name39, L"set too"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "read"), "set too");

    for (size_t length : {40u, 41u, 200u}) {
        const std::wstring name = L"ZEBRIK_" + std::wstring(length - 7, L'N');
        for (const std::vector<std::wstring>& arguments :
             {std::vector<std::wstring>{L"env-get", name},
              std::vector<std::wstring>{L"env-set", name, L"x"},
              std::vector<std::wstring>{L"env-remove", name}}) {
            r = runProbe(arguments, withVariable(name, L"never read"));
            EXPECT_EQ(r.exitCode, endedAtOnce) << toUtf8(arguments[0]) << " " << length;
            EXPECT_EQ(r.out, "") << toUtf8(arguments[0]) << " " << length;
        }
    }
}

TEST(EnvironmentNames, EachCharacterMustWidenAloneToOneCharacter) {
    // In the runtime's default locale a byte widens to the character of the same value.
    const std::wstring name = L"ZEBRIK_\u0082X";
    ProcessResult r = runProbe({L"env-set", name, L"widened"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(field(r.out, "read"), "widened");
    // Where that byte only begins a character, it cannot be widened alone.
    r = runProbe({L"env-get", L"--locale", L".932", name});
    EXPECT_EQ(r.exitCode, endedAtOnce) << r.out;
    EXPECT_EQ(r.out, "");
    // Plain ASCII names are unaffected by that locale.
    r = runProbe({L"env-get", L"--locale", L".932", L"ZEBRIK_TEST_VALUE"},
                 withVariable(L"ZEBRIK_TEST_VALUE", L"ascii"));
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(field(r.out, "value"), "ascii");
}

} // namespace
