#include "platform/win32_platform.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

namespace platform {

namespace {

// The predefined keys are integer values, as winreg.h defines them.
HKEY ToHkey(RegRoot root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root));  // NOLINT(performance-no-int-to-ptr)
}
HKEY ToHkey(KeyHandle key) { return reinterpret_cast<HKEY>(key); }

// The product's texts are code page 949 bytes, decoded explicitly so that
// they read as written whatever the system's ANSI code page is. Returns the
// number of wide characters written including the NUL, or 0.
int Decode949(const char* text, wchar_t* out, int outCount) {
    return MultiByteToWideChar(949, 0, text, -1, out, outCount);
}

// Room for the longest product text (102 bytes of code page 949 decode to at
// most 102 characters) with ample margin.
constexpr int kWideTextCount = 512;

// A module path, in UTF-16 or in the ANSI code page: as long as the engine's
// path buffer, 1023 characters and the NUL.
constexpr DWORD kModulePathCount = 1024;

// `wide` in the system's ANSI code page, into `buffer` only when it converts
// exactly: a character the code page cannot spell would come out as "?", or
// "best fit" as a look-alike (a fullwidth backslash as "\"), and name another
// folder. Returns the bytes without the NUL; `size` when they would not fit;
// 0, with `buffer` untouched, when the code page cannot spell the path.
std::uint32_t ToAnsiExactly(const wchar_t* wide, char* buffer, std::uint32_t size) {
    // UTF-8 spells every character, and its conversion takes no such flag.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    char ansi[kModulePathCount];
    const int bytes = WideCharToMultiByte(CP_ACP, flags, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
    if (bytes == 0) return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? size : 0;
    // Read back, the path must be the same characters.
    wchar_t back[kModulePathCount];
    const int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, bytes, back, kModulePathCount);
    if (count == 0 || std::wcscmp(back, wide) != 0) return 0;
    // `bytes` counts the NUL.
    if (static_cast<std::uint32_t>(bytes) > size) return size;
    std::memcpy(buffer, ansi, static_cast<std::size_t>(bytes));
    return static_cast<std::uint32_t>(bytes - 1);
}

}  // namespace

std::uint32_t Win32Platform::ModuleFileName(char* buffer, std::uint32_t size) {
    // Read as Unicode: the ANSI call would hand on a folder the code page
    // cannot spell (a Korean folder on an English system) with its letters
    // replaced, naming a folder that does not exist.
    wchar_t wide[kModulePathCount];
    const DWORD count = GetModuleFileNameW(nullptr, wide, kModulePathCount);
    if (count == 0) return 0;
    if (count >= kModulePathCount) return size;  // cut short
    const std::uint32_t length = ToAnsiExactly(wide, buffer, size);
    if (length != 0) return length;
    // The path's short form names the same file in characters the ANSI calls
    // reach, where the volume keeps short names; where it does not, the path
    // cannot be read at all.
    wchar_t shortPath[kModulePathCount];
    const DWORD shortCount = GetShortPathNameW(wide, shortPath, kModulePathCount);
    if (shortCount == 0 || shortCount >= kModulePathCount) return 0;
    return ToAnsiExactly(shortPath, buffer, size);
}

std::int32_t Win32Platform::SystemFolderPath(char* buffer, std::size_t size) {
    // SHGetFolderPathA writes up to MAX_PATH characters; a smaller buffer gets
    // the result only when it fits.
    char path[MAX_PATH + 1];
    std::memset(path, 0, sizeof path);
    HRESULT hr = SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) return hr;
    std::size_t length = std::strlen(path);
    if (length >= size) return E_NOT_SUFFICIENT_BUFFER;
    std::memcpy(buffer, path, length + 1);
    return hr;
}

std::uint32_t Win32Platform::SystemWow64FolderPath(char* buffer, std::size_t size) {
    char path[MAX_PATH + 1];
    std::memset(path, 0, sizeof path);
    // 0: no such folder (ERROR_CALL_NOT_IMPLEMENTED on 32-bit Windows) or a
    // failure; MAX_PATH or more: the size it would need, with its NUL.
    const UINT length = GetSystemWow64DirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || length >= size) return 0;
    std::memcpy(buffer, path, length + 1);
    return length;
}

std::uint32_t Win32Platform::CopyFileOver(const char* source, const char* destination) {
    if (CopyFileA(source, destination, FALSE)) return ERROR_SUCCESS;
    return GetLastError();
}

std::uint32_t Win32Platform::QueryFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

std::uint32_t Win32Platform::RemoveFile(const char* path) {
    if (DeleteFileA(path)) return ERROR_SUCCESS;
    return GetLastError();
}

LibraryHandle Win32Platform::LoadLibraryFrom(const char* path, std::uint32_t* error) {
    // The control's own dependencies are looked up beside it and in the system
    // folder, never in the folder the setup was started from. Systems without
    // the LOAD_LIBRARY_SEARCH flags refuse them as an invalid parameter; there
    // the altered search path gives the control's folder first too.
    HMODULE module =
        LoadLibraryExA(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    *error = module != nullptr ? ERROR_SUCCESS : GetLastError();
    return reinterpret_cast<LibraryHandle>(module);
}

ProcHandle Win32Platform::FindExport(LibraryHandle library, const char* name) {
    return reinterpret_cast<ProcHandle>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

std::int32_t Win32Platform::CallExport(ProcHandle proc) {
    using RegistrationExport = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<RegistrationExport>(reinterpret_cast<void*>(proc))();
}

void Win32Platform::FreeLibraryHandle(LibraryHandle library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

std::uint32_t Win32Platform::OpenKey(RegRoot root, const char* path, KeyHandle* key) {
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(ToHkey(root), path, 0, KEY_ALL_ACCESS, &opened);
    if (status == ERROR_SUCCESS) *key = reinterpret_cast<KeyHandle>(opened);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t Win32Platform::CreateKey(RegRoot root, const char* path, KeyHandle* key) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(ToHkey(root), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &created, &disposition);
    if (status == ERROR_SUCCESS) *key = reinterpret_cast<KeyHandle>(created);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t Win32Platform::SetString(KeyHandle key, const char* name, const char* text, TextCoding coding) {
    if (coding == TextCoding::SystemAnsi) {
        // REG_SZ data is the text with its NUL: strlen + 1 bytes.
        const std::size_t bytes = std::strlen(text) + 1;
        return static_cast<std::uint32_t>(RegSetValueExA(ToHkey(key), name, 0, REG_SZ,
                                                         reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(bytes)));
    }
    wchar_t wideName[kWideTextCount];
    wchar_t wideText[kWideTextCount];
    // Value names of this program are plain ASCII, the same in every code page.
    const int nameCount = MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, kWideTextCount);
    const int textCount = Decode949(text, wideText, kWideTextCount);
    if (nameCount == 0 || textCount == 0) return GetLastError();
    // Unicode REG_SZ data is counted in bytes, the NUL included.
    const DWORD bytes = static_cast<DWORD>(textCount) * sizeof(wchar_t);
    return static_cast<std::uint32_t>(
        RegSetValueExW(ToHkey(key), wideName, 0, REG_SZ, reinterpret_cast<const BYTE*>(wideText), bytes));
}

std::uint32_t Win32Platform::QueryKeyInfo(KeyHandle key, char* classBuffer, std::uint32_t classSize,
                                          std::uint32_t* subKeys) {
    DWORD classCount = classSize;
    DWORD count = 0;
    LONG status = RegQueryInfoKeyA(ToHkey(key), classBuffer, &classCount, nullptr, &count, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) *subKeys = count;
    return static_cast<std::uint32_t>(status);
}

std::uint32_t Win32Platform::EnumSubKey(KeyHandle key, std::uint32_t index, char* name, std::uint32_t size) {
    DWORD count = size;
    return static_cast<std::uint32_t>(
        RegEnumKeyExA(ToHkey(key), index, name, &count, nullptr, nullptr, nullptr, nullptr));
}

std::uint32_t Win32Platform::DeleteKey(RegRoot root, const char* path) {
    return static_cast<std::uint32_t>(RegDeleteKeyA(ToHkey(root), path));
}

void Win32Platform::CloseKey(KeyHandle key) { RegCloseKey(ToHkey(key)); }

namespace {

// Whether anyone can see this process's windows. A deployment tool or a
// service that runs the setup as SYSTEM puts it on a window station nobody
// sees, where a message box would wait for ever for its OK. When the system
// cannot tell, the station is taken to be the user's.
bool StationIsVisible() {
    HWINSTA station = GetProcessWindowStation();  // not to be closed
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void Win32Platform::ShowMessage(OwnerWindow owner, const char* text949, const char* caption949) {
    if (!StationIsVisible()) return;
    wchar_t text[kWideTextCount];
    wchar_t caption[kWideTextCount];
    if (Decode949(text949, text, kWideTextCount) == 0 || Decode949(caption949, caption, kWideTextCount) == 0) {
        // Without the code page the texts cannot be shown as written; the
        // system's own decoding is better than no message at all.
        MessageBoxA(reinterpret_cast<HWND>(owner), text949, caption949, MB_OK | MB_ICONINFORMATION);
        return;
    }
    MessageBoxW(reinterpret_cast<HWND>(owner), text, caption, MB_OK | MB_ICONINFORMATION);
}

namespace {
struct SystemInstance final : Win32Platform {};
// Constant-initialised: the program runs no static constructors.
SORVAN_CONSTINIT SystemInstance g_systemPlatform;
}  // namespace

Win32Platform& SystemPlatform() { return g_systemPlatform; }

}  // namespace platform
