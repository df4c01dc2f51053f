// The spec scanner under seeded random input: braces in every arrangement,
// names that are cut, unknown or real, at every capacity. Only references
// whose values can never end the process are drawn, so each case runs in
// this process and its buffer can be watched for writes past the capacity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "paths/path_spec.h"

namespace {

uint32_t nextRandom(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Pieces a spec is made of.
const std::vector<std::wstring> pieces = {L"{",     L"}",     L"a",      L"\\",    L"{TEMP}",
                                          L"{temp", L"TEMP}", L"{NOPE}", L"{}",    L"x}y",
                                          L"{{",    L"}}",    L"\u00e9", L"{TeMp}"};

TEST(PathSpecScanner, NeverWritesPastTheCapacityAndAlwaysTerminates) {
    uint32_t state = 0x2545F491;
    for (int round = 0; round < 20000; ++round) {
        std::wstring spec;
        int count = nextRandom(state) % 12;
        for (int i = 0; i < count; ++i) {
            spec += pieces[nextRandom(state) % pieces.size()];
        }
        // A long name now and then, to cut at the name buffer.
        if (nextRandom(state) % 50 == 0) {
            spec += L"{" + std::wstring(1000 + nextRandom(state) % 60, L'N') + L"}";
        }
        size_t capacity = 1 + nextRandom(state) % 80;
        const size_t guard = 32;
        std::vector<wchar_t> buffer(capacity + guard, L'#');
        bool expanded = expandPathSpec(buffer.data(), spec.c_str(), capacity);
        for (size_t i = capacity; i < capacity + guard; ++i) {
            ASSERT_EQ(buffer[i], L'#') << "write past the capacity, round " << round;
        }
        size_t length = 0;
        while (length < capacity && buffer[length] != 0) {
            ++length;
        }
        ASSERT_LT(length, capacity) << "no terminator within the capacity, round " << round;
        // The same spec gives the same outcome again.
        std::vector<wchar_t> again(capacity + guard, L'#');
        ASSERT_EQ(expandPathSpec(again.data(), spec.c_str(), capacity), expanded);
        ASSERT_EQ(std::wstring(again.data()), std::wstring(buffer.data()));
    }
}

} // namespace
