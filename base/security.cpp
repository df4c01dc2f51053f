#include "base/security.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/bounded.h"
#include "base/seams.h"

namespace {

typedef BOOL(WINAPI* OpenProcessTokenFunction)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* GetTokenInformationFunction)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                                  PDWORD);
typedef BOOL(WINAPI* SidToStringFunction)(PSID, LPWSTR*);
typedef BOOL(WINAPI* StringToDescriptorFunction)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);

// The token's user: a TOKEN_USER and the SID it points to.
alignas(8) unsigned char tokenUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
// "D:P(A;OICI;FA;;;" + the user's SID as text + ")".
wchar_t descriptorText[256];
// Made once by the conversion (LocalAlloc), never freed.
PSECURITY_DESCRIPTOR privateDescriptor;

// From the system directory only, never from wherever the process started.
void* advapiFunction(const char* name) {
    HMODULE advapi = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return advapi == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(advapi, name));
}

typedef DWORD(WINAPI* GetSecurityInfoFunction)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*,
                                               PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR*);
typedef BOOL(WINAPI* EqualSidFunction)(PSID, PSID);

// The token's user, read once; null when the system will not tell.
PSID processUserSid() {
    static bool known = false;
    if (!known) {
        known = processTokenSid(TokenUser, tokenUser, sizeof tokenUser);
    }
    return known ? reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid : nullptr;
}

bool makePrivateDescriptor() {
    auto sidToString =
        reinterpret_cast<SidToStringFunction>(advapiFunction("ConvertSidToStringSidW"));
    auto stringToDescriptor = reinterpret_cast<StringToDescriptorFunction>(
        advapiFunction("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
    if (sidToString == nullptr || stringToDescriptor == nullptr) {
        return false;
    }
    PSID user = processUserSid();
    if (user == nullptr) {
        return false;
    }
    wchar_t* sidText = nullptr;
    if (!sidToString(user, &sidText)) {
        return false;
    }
    // "P" keeps the entries of the folder above out; OICI hands the one entry
    // on to every file and folder created below.
    copyBounded(descriptorText, sizeof descriptorText / sizeof descriptorText[0],
                L"D:P(A;OICI;FA;;;");
    appendBounded(descriptorText, sizeof descriptorText / sizeof descriptorText[0], sidText);
    appendBounded(descriptorText, sizeof descriptorText / sizeof descriptorText[0], L")");
    LocalFree(sidText);
    return stringToDescriptor(descriptorText, SDDL_REVISION_1, &privateDescriptor, nullptr) != 0;
}

} // namespace

bool processTokenSid(TOKEN_INFORMATION_CLASS which, void* buffer, DWORD size) {
    auto openProcessToken =
        reinterpret_cast<OpenProcessTokenFunction>(advapiFunction("OpenProcessToken"));
    auto getTokenInformation =
        reinterpret_cast<GetTokenInformationFunction>(advapiFunction("GetTokenInformation"));
    if (openProcessToken == nullptr || getTokenInformation == nullptr) {
        return false;
    }
    // The process's token, not a thread's: the directory is the process's.
    HANDLE token = nullptr;
    if (!openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD written = 0;
    bool read = getTokenInformation(token, which, buffer, size, &written) != 0;
    DWORD tokenError = GetLastError();
    CloseHandle(token);
    SetLastError(tokenError);
    return read;
}

bool privateSecurityAttributes(SECURITY_ATTRIBUTES* attributes, DWORD* error) {
    if (privateDescriptor == nullptr && !makePrivateDescriptor()) {
        *error = GetLastError();
        privateDescriptor = nullptr;
        return false;
    }
    attributes->nLength = sizeof *attributes;
    attributes->lpSecurityDescriptor = privateDescriptor;
    attributes->bInheritHandle = FALSE;
    return true;
}

bool isOwnedByProcessUser(HANDLE handle) {
    auto getSecurityInfo =
        reinterpret_cast<GetSecurityInfoFunction>(advapiFunction("GetSecurityInfo"));
    auto equalSid = reinterpret_cast<EqualSidFunction>(advapiFunction("EqualSid"));
    // Windows stamps what the process creates with the token's default owner:
    // its user, or for an elevated administrator BUILTIN\Administrators. Both
    // are read afresh; each starts with the SID it points to.
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char defaultOwner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    if (getSecurityInfo == nullptr || equalSid == nullptr ||
        !SYSTEM_CALL(processTokenSid)(TokenUser, user, sizeof user)) {
        return false;
    }
    bool ownerKnown = SYSTEM_CALL(processTokenSid)(TokenOwner, defaultOwner, sizeof defaultOwner);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (getSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool own =
        owner != nullptr &&
        (equalSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) ||
         (ownerKnown && equalSid(owner, reinterpret_cast<TOKEN_OWNER*>(defaultOwner)->Owner)));
    LocalFree(descriptor);
    return own;
}
