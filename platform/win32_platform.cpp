#include "platform/win32_platform.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>

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

}  // namespace

std::uint32_t Win32Platform::ModuleFileName(char* buffer, std::uint32_t size) {
    return GetModuleFileNameA(nullptr, buffer, size);
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

std::uint32_t Win32Platform::CopyFileOver(const char* source, const char* destination) {
    if (CopyFileA(source, destination, FALSE)) return ERROR_SUCCESS;
    return GetLastError();
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

void Win32Platform::ShowMessage(OwnerWindow owner, const char* text949, const char* caption949) {
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
