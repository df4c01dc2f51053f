#include "fuzz/host_windows.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <shlobj.h>

#include "formats/archive_layout.h"
#include "base/security.h"
#include "base/shell.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"

// The build's product texts, which a packed executable holds in slots of
// its read-only data. Declared const for the bootstrap's code, and written
// here, in a file that does not see that declaration, between inputs only.
extern "C" {
wchar_t onefileCompanyName[productTextCapacity];
wchar_t onefileProductName[productTextCapacity];
wchar_t onefileVersionString[productTextCapacity];
}

namespace {

// What the file system keeps of files' bytes, all files together; past it
// only their sizes grow, so that a frame that decodes to gigabytes costs
// time but not memory.
constexpr uint64_t storedBytesLimit = uint64_t{64} << 20;

struct Handle {
    std::wstring key;
    bool open = false;
};

struct State {
    hostWindows::Machine machine;
    std::map<std::wstring, hostWindows::Node> nodes;
    std::vector<Handle> handles;
    std::wstring confinement;
    DWORD lastError = 0;
    uint64_t storedBytes = 0;
    std::vector<wchar_t*> allocations; // the bootstrap frees nothing; reset does
} state;

[[noreturn]] void breach(const char* what, const wchar_t* path) {
    std::fprintf(stderr, "host_windows: %s: %ls\n", what, path ? path : L"(null)");
    std::abort();
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::vector<std::wstring> components(const std::wstring& path) {
    std::vector<std::wstring> names(1);
    for (wchar_t c : path) {
        if (isSeparator(c)) {
            names.emplace_back();
        } else {
            names.back() += c;
        }
    }
    return names;
}

// A device whatever folder it is in: the part before the first dot,
// without the spaces Windows drops, in any ASCII case.
bool isDeviceName(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    for (wchar_t& c : stem) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        const wchar_t digit = stem[3];
        return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

// Whether Windows creates a file or folder of exactly this name, in the
// folder it is joined to.
bool isLiteralName(const std::wstring& name) {
    if (name.empty() || name.back() == L'.' || name.back() == L' ') {
        return false; // also "." and ".."
    }
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"<>:\"|?*", c) != nullptr) {
            return false;
        }
    }
    return !isDeviceName(name);
}

// The path as Windows resolves it: "/" as "\", no empty names, "." and ".."
// resolved, trailing dots and spaces dropped, ASCII letters in upper case.
std::wstring resolvedKey(const std::wstring& path) {
    std::vector<std::wstring> kept;
    for (std::wstring name : components(path)) {
        while (!name.empty() && (name.back() == L'.' || name.back() == L' ') && name != L"." &&
               name != L"..") {
            name.pop_back();
        }
        if (name.empty() || name == L".") {
            continue;
        }
        if (name == L"..") {
            if (kept.size() > 1) {
                kept.pop_back();
            }
            continue;
        }
        for (wchar_t& c : name) {
            if (c >= L'a' && c <= L'z') {
                c = static_cast<wchar_t>(c - L'a' + L'A');
            }
        }
        kept.push_back(name);
    }
    std::wstring key;
    for (const std::wstring& name : kept) {
        key += (key.empty() ? L"" : L"\\") + name;
    }
    return key;
}

std::wstring parentKey(const std::wstring& key) {
    const size_t separator = key.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : key.substr(0, separator);
}

bool isDirectory(const std::wstring& key) {
    auto it = state.nodes.find(key);
    return it != state.nodes.end() && it->second.directory;
}

// A creation must name a path strictly below the confining directory, each
// name below it literal; only a folder at or above it (which exists) may
// be asked for besides.
void watchCreation(const wchar_t* path, bool directory) {
    if (path == nullptr) {
        breach("a creation without a path", path);
    }
    const std::wstring& top = state.confinement;
    if (top.empty()) {
        return;
    }
    const std::wstring text = path;
    if (text.size() > top.size() && text.compare(0, top.size(), top) == 0 &&
        text[top.size()] == L'\\') {
        for (const std::wstring& name : components(text.substr(top.size() + 1))) {
            if (!isLiteralName(name)) {
                breach("a name below the target directory that Windows would not take literally",
                       path);
            }
        }
        return;
    }
    const std::wstring key = resolvedKey(text), topKey = resolvedKey(top);
    const bool above =
        key == topKey || (topKey.size() > key.size() && topKey.compare(0, key.size(), key) == 0 &&
                          topKey[key.size()] == L'\\');
    if (!directory || !above || !isDirectory(key)) {
        breach("a creation outside the target directory", path);
    }
}

Handle* handleOf(HANDLE handle) {
    const uintptr_t number = reinterpret_cast<uintptr_t>(handle);
    if (number < 0x1000 || number - 0x1000 >= state.handles.size() ||
        !state.handles[number - 0x1000].open) {
        return nullptr;
    }
    return &state.handles[number - 0x1000];
}

} // namespace

namespace hostWindows {

void reset(const Machine& machine) {
    for (wchar_t* allocation : state.allocations) {
        std::free(allocation);
    }
    state = State();
    state.machine = machine;
    makeDirectories(machine.temp);
    makeDirectories(machine.home);
    makeDirectories(machine.localAppData);
}

void confineTo(const std::wstring& directory) {
    state.confinement = directory;
}

void makeDirectories(const std::wstring& path) {
    std::wstring key;
    std::wstring shown;
    for (const std::wstring& name : components(path)) {
        shown += (shown.empty() ? L"" : L"\\") + name;
        key = resolvedKey(shown);
        Node& node = state.nodes[key];
        node.directory = true;
        node.path = shown;
    }
}

const std::map<std::wstring, Node>& fileSystem() {
    return state.nodes;
}

std::wstring pathKey(const std::wstring& path) {
    return resolvedKey(path);
}

std::vector<void*> openHandles() {
    std::vector<void*> open;
    for (size_t i = 0; i < state.handles.size(); ++i) {
        if (state.handles[i].open) {
            open.push_back(reinterpret_cast<void*>(uintptr_t{0x1000} + i));
        }
    }
    return open;
}

void closeAfterFailure(void* handle) {
    if (Handle* open = handleOf(handle)) {
        open->open = false;
    }
}

void setProductTexts(const std::wstring& company, const std::wstring& product,
                     const std::wstring& version) {
    const std::pair<wchar_t*, const std::wstring*> slots[] = {{onefileCompanyName, &company},
                                                              {onefileProductName, &product},
                                                              {onefileVersionString, &version}};
    for (const auto& [slot, text] : slots) {
        if (text->size() >= productTextCapacity) {
            breach("a product text longer than its slot", text->c_str());
        }
        std::wmemcpy(slot, text->c_str(), text->size() + 1);
    }
}

} // namespace hostWindows

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition,
                   DWORD, HANDLE) {
    watchCreation(path, false);
    if (access != GENERIC_WRITE || disposition != CREATE_ALWAYS) {
        breach("a file opened otherwise than to be written afresh", path);
    }
    const std::wstring key = resolvedKey(path);
    if (!isDirectory(parentKey(key))) {
        state.lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    hostWindows::Node& node = state.nodes[key];
    if (node.directory) {
        state.lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    state.storedBytes -= node.content.size();
    node = hostWindows::Node();
    node.path = path;
    state.handles.push_back({key, true});
    return reinterpret_cast<HANDLE>(uintptr_t{0x1000} + state.handles.size() - 1);
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void*) {
    Handle* handle = handleOf(file);
    if (handle == nullptr) {
        breach("a write to a handle that is not open", nullptr);
    }
    hostWindows::Node& node = state.nodes[handle->key];
    const uint64_t room = storedBytesLimit - state.storedBytes;
    const size_t stored = size < room ? size : static_cast<size_t>(room);
    node.content.append(static_cast<const char*>(data), stored);
    state.storedBytes += stored;
    node.truncated |= stored < size;
    node.size += size;
    *written = size;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Handle* open = handleOf(handle);
    if (open == nullptr) {
        breach("a handle closed that is not open", nullptr);
    }
    open->open = false;
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES*) {
    watchCreation(path, true);
    const std::wstring key = resolvedKey(path);
    if (state.nodes.count(key) != 0) {
        state.lastError = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (!isDirectory(parentKey(key))) {
        state.lastError = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    hostWindows::Node& node = state.nodes[key];
    node.directory = true;
    node.path = path;
    return TRUE;
}

DWORD GetLastError() {
    return state.lastError;
}

void SetLastError(DWORD error) {
    state.lastError = error;
}

DWORD GetTempPathW(DWORD capacity, LPWSTR path) {
    const std::wstring temp = state.machine.temp + L"\\";
    if (temp.size() + 1 > capacity) {
        return static_cast<DWORD>(temp.size() + 1);
    }
    std::wmemcpy(path, temp.c_str(), temp.size() + 1);
    return static_cast<DWORD>(temp.size());
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR value, DWORD capacity) {
    auto it = state.machine.environment.find(name);
    if (it == state.machine.environment.end()) {
        state.lastError = 203; // ERROR_ENVVAR_NOT_FOUND
        return 0;
    }
    const std::wstring& text = it->second;
    if (text.size() + 1 > capacity) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::wmemcpy(value, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
    if (value == nullptr) {
        state.machine.environment.erase(name);
    } else {
        state.machine.environment[name] = value;
    }
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR) {
    return nullptr;
}

FARPROC GetProcAddress(HMODULE, const char*) {
    return nullptr;
}

int _wputenv(const wchar_t* assignment) {
    const wchar_t* sign = std::wcschr(assignment, L'=');
    if (sign == nullptr || sign == assignment) {
        return -1;
    }
    const std::wstring name(assignment, sign);
    if (sign[1] == 0) {
        state.machine.runtimeEnvironment.erase(name);
    } else {
        state.machine.runtimeEnvironment[name] = sign + 1;
    }
    return 0;
}

void GetSystemTimeAsFileTime(FILETIME* time) {
    const uint64_t value = 133500000000000000u; // in 2024
    time->dwLowDateTime = static_cast<DWORD>(value);
    time->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = 123456789;
    return TRUE;
}

DWORD GetCurrentProcessId() {
    return 4242;
}

wchar_t* _wcsdup(const wchar_t* text) {
    const size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(std::malloc(bytes));
    if (copy != nullptr) {
        std::memcpy(copy, text, bytes);
        state.allocations.push_back(copy);
    }
    return copy;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = *a >= L'A' && *a <= L'Z' ? *a - L'A' + L'a' : *a;
        wchar_t y = *b >= L'A' && *b <= L'Z' ? *b - L'A' + L'a' : *b;
        if (x != y || x == 0) {
            return x < y ? -1 : x > y ? 1 : 0;
        }
    }
}

HRESULT shellGetFolderPath(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
    const std::wstring& value = folder == CSIDL_PROFILE         ? state.machine.home
                                : folder == CSIDL_LOCAL_APPDATA ? state.machine.localAppData
                                                                : std::wstring();
    if (value.empty() || value.size() + 1 > MAX_PATH) {
        return E_FAIL;
    }
    std::wmemcpy(path, value.c_str(), value.size() + 1);
    return S_OK;
}

bool privateSecurityAttributes(SECURITY_ATTRIBUTES* attributes, DWORD*) {
    *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    return true;
}

// Nothing asks for the removal while a fuzz target runs.
void holdIfRemovalRequested() {}

// The bootstrap's ends, thrown to the target, which catches them where the
// process would have ended.
void fatalError(const char* message) {
    throw BootstrapExit{BootstrapExit::failure, message};
}

void fatalErrorWithCode(const char* message, DWORD) {
    throw BootstrapExit{BootstrapExit::failure, message};
}

void fatalErrorWithCode(const char* message, DWORD, const char*) {
    throw BootstrapExit{BootstrapExit::failure, message};
}

void fatalSpecExpansionError(const wchar_t*) {
    throw BootstrapExit{BootstrapExit::failure, "a spec could not be expanded"};
}

void fatalOpenFailure(const wchar_t*) {
    throw BootstrapExit{BootstrapExit::failure, "a file of the archive could not be created"};
}

void terminateImmediately() {
    throw BootstrapExit{BootstrapExit::immediate, {}};
}
