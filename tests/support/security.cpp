#include "tests/support/security.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>

#include <utility>

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

// The entries of `dacl` that allow, as (entry, SID text) pairs; null entries for other types.
std::vector<std::pair<ACCESS_ALLOWED_ACE*, std::string>> allowedEntries(PACL dacl) {
    std::vector<std::pair<ACCESS_ALLOWED_ACE*, std::string>> entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
            entries.push_back({nullptr, "<unreadable entry>"});
        } else if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            entries.push_back({nullptr, "<entry of type " + std::to_string(ace->AceType) + ">"});
        } else {
            auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            entries.push_back({allowed, sidText(&allowed->SidStart)});
        }
    }
    return entries;
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

std::string daclSummary(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return "<unreadable descriptor>";
    }
    if (!present || dacl == nullptr) {
        return "no DACL: everyone has access";
    }
    std::string text = control & SE_DACL_PROTECTED ? "protected" : "inherits";
    for (const auto& [allowed, sid] : allowedEntries(dacl)) {
        if (allowed == nullptr) {
            text += "; " + sid;
            continue;
        }
        char mask[16];
        snprintf(mask, sizeof mask, "%#lx", static_cast<unsigned long>(allowed->Mask));
        std::string flags;
        for (auto [flag, name] : {std::pair<BYTE, const char*>{OBJECT_INHERIT_ACE, "OI"},
                                  {CONTAINER_INHERIT_ACE, "CI"},
                                  {INHERIT_ONLY_ACE, "IO"},
                                  {NO_PROPAGATE_INHERIT_ACE, "NP"},
                                  {INHERITED_ACE, "ID"}}) {
            if (allowed->Header.AceFlags & flag) {
                flags += name;
            }
        }
        text += std::string("; allow ") + mask + " " + (flags.empty() ? "-" : flags) + " " + sid;
    }
    return text;
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
    } else {
        for (const auto& entry : allowedEntries(dacl)) {
            sids.push_back(entry.second);
        }
    }
    LocalFree(descriptor);
    return sids;
}
