// A TEMP of the test's own for end-to-end tests, made fresh and removed
// afterwards: Wine reuses process identifiers, so a directory that an earlier
// run or test left under the same identifier must not decide this test. The
// programs a test starts inherit it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

template <typename Base> class WithOwnTemporaryDirectory : public Base {
  protected:
    void SetUp() override {
        ownTemp = makeTemporaryDirectory(L"onefile-e2e");
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            wchar_t value[32768];
            DWORD length = GetEnvironmentVariableW(name, value, 32768);
            saved.push_back(length == 0 ? std::nullopt : std::optional<std::wstring>(value));
            SetEnvironmentVariableW(name, ownTemp.c_str());
        }
    }
    void TearDown() override {
        const wchar_t* names[] = {L"TMP", L"TEMP"};
        for (size_t i = 0; i < saved.size(); ++i) {
            SetEnvironmentVariableW(names[i], saved[i] ? saved[i]->c_str() : nullptr);
        }
        removeTree(ownTemp);
    }
    std::wstring ownTemp;
    std::vector<std::optional<std::wstring>> saved;
};

class OwnTemporaryDirectory : public WithOwnTemporaryDirectory<testing::Test> {};
