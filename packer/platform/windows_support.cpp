#include "packer/platform/windows_support.h"

#include <cstdint>
#include <vector>

#include "packer/text.h"

namespace {

bool isHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

std::wstring wideFromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80                    ? 1
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xC2 && lead <= 0xDF ? 2
                                                       : 0;
        uint32_t code = length == 1   ? lead
                        : length == 2 ? lead & 0x1F
                        : length == 3 ? lead & 0x0F
                                      : lead & 0x07;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= smallest[length] && code <= 0x10FFFF;
        if (!valid) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code)); // an encoded surrogate too
        }
        i += length;
    }
    return out;
}

std::string utf8FromWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = static_cast<uint16_t>(text[i]);
        if (isHighSurrogate(code) && i + 1 < text.size() &&
            isLowSurrogate(static_cast<uint16_t>(text[i + 1]))) {
            code =
                0x10000 + ((code - 0xD800) << 10) + (static_cast<uint16_t>(text[i + 1]) - 0xDC00);
            ++i;
        }
        appendUtf8(out, code);
    }
    return out;
}

size_t wholeUtf8Length(std::string_view text) {
    size_t start = text.size();
    int continuation = 0;
    while (start > 0 && continuation < 3 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++continuation;
    }
    if (start == 0) {
        return text.size();
    }
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return continuation + 1 < length ? start - 1 : text.size();
}

std::string windowsErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer) {
        text = utf8FromWide(std::wstring_view(buffer, length));
    }
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(code) : text;
}

std::wstring systemPath(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    if (given.rfind(L"\\\\?\\", 0) == 0 || given.rfind(L"\\\\.\\", 0) == 0) {
        return given; // taken as it is by the system
    }
    // Relative to the working directory, "/" as "\", "." and ".." resolved.
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return given; // the call that takes it reports why
        }
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    if (full.rfind(L"\\\\.\\", 0) == 0) {
        return full; // a device, such as \\.\NUL
    }
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::wstring childPath(const std::wstring& folder, std::wstring_view name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return path.append(name);
}

std::wstring finalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

FileKind kindOfFound(const WIN32_FIND_DATAW& found) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        const DWORD tag = found.dwReserved0;
        if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
            return FileKind::junction;
        }
        if (tag == IO_REPARSE_TAG_SYMLINK || IsReparseTagNameSurrogate(tag)) {
            return FileKind::symbolicLink;
        }
        if (tag == static_cast<DWORD>(IO_REPARSE_TAG_AF_UNIX)) {
            return FileKind::other;
        }
        // Others (deduplicated, cloud or compressed files) read as what they hold.
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        return FileKind::directory;
    }
    return found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE ? FileKind::other : FileKind::file;
}

bool sameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}
