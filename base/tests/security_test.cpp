// The owner check of a directory that a run takes over as its own: the
// token's user and its default owner are both the process's own. Wine's token
// has no elevation, so the token is played through the seam.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "base/seams.h"
#include "base/security.h"
#include "tests/support/process.h"

namespace {

std::vector<BYTE> sidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << toUtf8(text);
    std::vector<BYTE> bytes(static_cast<const BYTE*>(sid),
                            static_cast<const BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return bytes;
}

// The token the seam plays: its user and default owner; an empty owner is
// one the system will not tell.
struct Token {
    std::vector<BYTE> user, owner;
} token;

bool WINAPI playedTokenSid(TOKEN_INFORMATION_CLASS which, void* buffer, DWORD size) {
    const std::vector<BYTE>& sid = which == TokenUser ? token.user : token.owner;
    if (sid.empty() || size < sizeof(TOKEN_USER) + sid.size()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // TOKEN_USER and TOKEN_OWNER both begin with the SID they point to.
    BYTE* copy = static_cast<BYTE*>(buffer) + sizeof(TOKEN_USER);
    memcpy(copy, sid.data(), sid.size());
    *static_cast<PSID*>(buffer) = copy;
    return true;
}

TEST(OwnerCheck, TheTokensUserOrItsDefaultOwnerOwnsWhatTheRunMade) {
    std::wstring folder = makeTemporaryDirectory(L"onefile-owner");
    HANDLE handle = CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    // Whatever the system stamped on it, as a text for the cases below.
    PSID stamped = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &stamped, nullptr,
                              nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    wchar_t* stampedText = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(stamped, &stampedText));
    const std::vector<BYTE> owner = sidBytes(stampedText);
    LocalFree(stampedText);
    LocalFree(descriptor);
    const std::vector<BYTE> someoneElse = sidBytes(L"S-1-5-21-1-2-3-1001");
    const std::vector<BYTE> users = sidBytes(L"S-1-5-32-545");

    seamprocessTokenSid = playedTokenSid;
    struct Case {
        const char* what;
        Token token;
        bool own;
    };
    const Case cases[] = {
        {"the user, default owner another", {owner, users}, true},
        // An elevated administrator: new objects belong to
        // BUILTIN\Administrators, the token's default owner, not to its user.
        {"the default owner, user another", {someoneElse, owner}, true},
        {"neither", {someoneElse, users}, false},
        {"not the user, default owner unknown", {someoneElse, {}}, false},
        {"user unknown", {{}, owner}, false},
    };
    for (const Case& c : cases) {
        token = c.token;
        EXPECT_EQ(isOwnedByProcessUser(handle), c.own) << c.what;
    }
    seamprocessTokenSid = processTokenSid;
    CloseHandle(handle);
    removeTree(folder);
}

} // namespace
