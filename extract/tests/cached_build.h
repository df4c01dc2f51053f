// Cached-mode tests stand in for the packer: they choose the build-time
// constants of a cached build (its attached data, id, entry and counts) per
// case, and unpack and check as a packed executable would.
#pragma once

#include <string>
#include <vector>

#include "tests/support/archive_builder.h"

// The id that tests give their cached build.
constexpr wchar_t testCacheId[] = L"0123456789abcdef";

// Makes the running program a cached build of `records` with `id`, whose
// caches go to "{TEMP}\cache"; the first record is its entry, unless
// `entryName` names another.
void setCachedBuild(const std::vector<TestRecord>& records, const std::wstring& id = testCacheId,
                    const std::wstring& entryName = L"");
