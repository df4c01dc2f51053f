#include "packer/dependencies/system_libraries.h"

#include <algorithm>
#include <string>

namespace {

// The list is written down from what the system directory of a 64-bit
// Windows 10 (version 1607 and later) and Windows 11 installation holds, as
// Microsoft documents the library of each API, kept to what an application
// may rely on finding on every one of them:
// - the known DLLs (the session manager's KnownDLLs list of those versions),
//   which the loader maps from the system directory before it looks anywhere
//   else, and ntdll and kernelbase, which every process has loaded;
// - the libraries of the documented Win32 APIs that every edition carries.
// Left out on purpose: what an optional feature or a server role brings, what
// the N editions lack (Media Foundation, Windows Media, DirectShow's
// renderers), private libraries of the system's own, and every runtime that
// Windows does not ship (vcruntime140, msvcp140, concrt140, the debug
// ucrtbased, MinGW's libstdc++-6, libgcc_s_seh-1 and libwinpthread-1, the
// DirectX and XNA redistributables such as d3dx9_43 and xinput1_3). A library
// missing here refuses a build that imports it until --allow-missing names it.
const char* const knownDlls[] = {
    "advapi32.dll", "clbcatq.dll", "combase.dll",  "comdlg32.dll", "coml2.dll",    "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",    "kernel32.dll", "kernelbase.dll",
    "msctf.dll",    "msvcrt.dll",  "normaliz.dll", "nsi.dll",      "ntdll.dll",    "ole32.dll",
    "oleaut32.dll", "psapi.dll",   "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",
    "shell32.dll",  "shlwapi.dll", "user32.dll",   "wldap32.dll",  "ws2_32.dll",   "xmllite.dll",
};

const char* const systemDirectoryLibraries[] = {
    "activeds.dll",      "adsldpc.dll",
    "advpack.dll",       "apphelp.dll",
    "authz.dll",         "avicap32.dll",
    "avifil32.dll",      "avrt.dll",
    "bcrypt.dll",        "bcryptprimitives.dll",
    "bluetoothapis.dll", "cabinet.dll",
    "cfgmgr32.dll",      "comctl32.dll",
    "comsvcs.dll",       "credui.dll",
    "crypt32.dll",       "cryptbase.dll",
    "cryptnet.dll",      "cryptsp.dll",
    "cryptui.dll",       "cryptxml.dll",
    "d2d1.dll",          "d3d10.dll",
    "d3d10_1.dll",       "d3d10core.dll",
    "d3d11.dll",         "d3d12.dll",
    "d3d9.dll",          "d3dcompiler_47.dll",
    "dbgcore.dll",       "dbghelp.dll",
    "dciman32.dll",      "dcomp.dll",
    "ddraw.dll",         "devobj.dll",
    "dhcpcsvc.dll",      "dhcpcsvc6.dll",
    "dinput8.dll",       "dnsapi.dll",
    "dpapi.dll",         "dsound.dll",
    "dsparse.dll",       "dsrole.dll",
    "dwmapi.dll",        "dwrite.dll",
    "dxgi.dll",          "esent.dll",
    "faultrep.dll",      "fltlib.dll",
    "fontsub.dll",       "fwpuclnt.dll",
    "glu32.dll",         "hid.dll",
    "hlink.dll",         "httpapi.dll",
    "icmp.dll",          "iertutil.dll",
    "iphlpapi.dll",      "ktmw32.dll",
    "loadperf.dll",      "logoncli.dll",
    "magnification.dll", "mlang.dll",
    "mpr.dll",           "mprapi.dll",
    "msacm32.dll",       "msasn1.dll",
    "mscms.dll",         "mscoree.dll",
    "msdelta.dll",       "msftedit.dll",
    "msi.dll",           "msimg32.dll",
    "mspatcha.dll",      "msvfw32.dll",
    "mswsock.dll",       "msxml3.dll",
    "msxml6.dll",        "ncrypt.dll",
    "netapi32.dll",      "netutils.dll",
    "newdev.dll",        "ninput.dll",
    "ntdsapi.dll",       "ntmarta.dll",
    "odbc32.dll",        "oleacc.dll",
    "oledlg.dll",        "olepro32.dll",
    "opengl32.dll",      "pdh.dll",
    "powrprof.dll",      "profapi.dll",
    "propsys.dll",       "prntvpt.dll",
    "rasapi32.dll",      "rasdlg.dll",
    "riched20.dll",      "rstrtmgr.dll",
    "rtutils.dll",       "samcli.dll",
    "samlib.dll",        "secur32.dll",
    "sensapi.dll",       "shdocvw.dll",
    "shfolder.dll",      "slc.dll",
    "spoolss.dll",       "srvcli.dll",
    "sspicli.dll",       "sti.dll",
    "t2embed.dll",       "tapi32.dll",
    "tbs.dll",           "tdh.dll",
    "traffic.dll",       "txfw32.dll",
    "ucrtbase.dll",      "uiautomationcore.dll",
    "urlmon.dll",        "userenv.dll",
    "usp10.dll",         "uxtheme.dll",
    "version.dll",       "virtdisk.dll",
    "vssapi.dll",        "webservices.dll",
    "wer.dll",           "wevtapi.dll",
    "windowscodecs.dll", "winhttp.dll",
    "wininet.dll",       "winmm.dll",
    "winscard.dll",      "winspool.drv",
    "winsta.dll",        "wintrust.dll",
    "winusb.dll",        "wkscli.dll",
    "wlanapi.dll",       "wsock32.dll",
    "wtsapi32.dll",      "xaudio2_9.dll",
    "xinput1_4.dll",     "xinput9_1_0.dll",
};

std::string lowerCase(std::string_view name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

template <size_t count> bool listed(const char* const (&list)[count], const std::string& name) {
    return std::any_of(list, list + count, [&name](const char* entry) { return name == entry; });
}

} // namespace

SystemLibrary systemLibrary(std::string_view name) {
    const std::string lower = lowerCase(name);
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-win-", 0) == 0) {
        return SystemLibrary::apiSet;
    }
    if (listed(knownDlls, lower)) {
        return SystemLibrary::knownDll;
    }
    return listed(systemDirectoryLibraries, lower) ? SystemLibrary::inSystem : SystemLibrary::none;
}
