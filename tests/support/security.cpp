#include "tests/support/security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

std::string sidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return "<unreadable SID>";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

} // namespace

std::string processUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return "<no token>";
    }
    alignas(8) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    BOOL known = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    return known ? sidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : "<no user>";
}

std::string daclText(PSECURITY_DESCRIPTOR descriptor) {
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return "<unreadable descriptor>";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

std::vector<std::string> storedAllowedSids(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return {"<not readable: " + std::to_string(status) + ">"};
    }
    std::vector<std::string> sids;
    if (dacl == nullptr) {
        sids.push_back("<no DACL: everyone>");
    }
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
            sids.push_back("<unreadable entry>");
        } else if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            sids.push_back("<entry of type " + std::to_string(ace->AceType) + ">");
        } else {
            sids.push_back(sidText(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
        }
    }
    LocalFree(descriptor);
    return sids;
}
