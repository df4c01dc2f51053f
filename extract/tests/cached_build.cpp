// The build-time constants of a cached build, for the programs of the
// cached-mode tests. The bootstrap reads them as constants; here they are
// defined writable (a C name carries no type, so the two meet), so that
// each case can be a build of its own. This file therefore does not see the
// bootstrap's declarations.
#include "extract/tests/cached_build.h"

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <stdexcept>

namespace {
constexpr size_t attachedCapacity = 1 << 20;
}

extern "C" {
unsigned char onefileAttachedData[attachedCapacity];
uint64_t onefileAttachedDataLength;
extern const wchar_t onefileCompanyName[] = L"Test Company";
extern const wchar_t onefileProductName[] = L"Test Product";
extern const wchar_t onefileVersionString[] = L"1.2.3.4";
extern const wchar_t onefileTargetDirectorySpec[] = L"{TEMP}\\cache";
wchar_t onefileCacheId[17];
wchar_t onefileCacheEntryName[1024];
uint64_t onefileCacheRecordCount;
uint64_t onefileCacheContentSize;
}

void setCachedBuild(const std::vector<TestRecord>& records, const std::wstring& id,
                    const std::wstring& entryName) {
    std::string attached = buildAttachedData(records);
    std::wstring entry = entryName.empty() ? records.front().name : entryName;
    if (attached.size() > attachedCapacity || id.size() >= 17 || entry.size() >= 1024) {
        throw std::length_error("a cached build too large for the test's constants");
    }
    memcpy(onefileAttachedData, attached.data(), attached.size());
    onefileAttachedDataLength = attached.size();
    wcscpy(onefileCacheId, id.c_str());
    wcscpy(onefileCacheEntryName, entry.c_str());
    onefileCacheRecordCount = records.size();
    onefileCacheContentSize = 0;
    for (const TestRecord& record : records) {
        onefileCacheContentSize += record.content.size();
    }
}
