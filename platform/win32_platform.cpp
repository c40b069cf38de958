#include "platform/win32_platform.h"

#include <windows.h>
#include <shlobj.h>
#include <wincrypt.h>

#include "platform/win32_log.h"

// ntdll.dll, in every process before anything else: the NT status behind the
// thread's last error.
extern "C" LONG NTAPI RtlGetLastNtStatus();

#include <cstdio>
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

// One line of the log for a step on a file or key: what it did, to what,
// and how it ended. Returns the status.
std::uint32_t LogPathStep(const char* what, const char* path, std::uint32_t status) {
    LogStep(status, "%hs %s", what, WideText(path).text);
    return status;
}

std::uint32_t LogPathsStep(const char* what, const char* from, const char* to, std::uint32_t status) {
    LogStep(status, "%hs %s -> %s", what, WideText(from).text, WideText(to).text);
    return status;
}
std::uint32_t LogKeyStep(const char* what, RegRoot root, const char* path, std::uint32_t status) {
    LogStep(status, "%hs %hs\\%s", what, root == RegRoot::ClassesRoot ? "HKCR" : "HKLM", WideText(path).text);
    return status;
}

// The thread's last error after a file call that failed. Windows answers
// access denied for a file pending deletion too, which lets go once the
// process that still has it open closes it; its NT status tells the two
// apart.
std::uint32_t LastFileError() {
    const DWORD error = GetLastError();
    constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
    return error == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == kStatusDeletePending ? ERROR_DELETE_PENDING : error;
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

std::uint32_t Win32Platform::QueryFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    const std::uint32_t error = attributes == INVALID_FILE_ATTRIBUTES              ? LastFileError()
                                : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_FILE_NOT_FOUND
                                                                                : ERROR_SUCCESS;
    // Nothing there is the normal case of a first installation, and of a run
    // that no stopped run preceded.
    return error == ERROR_FILE_NOT_FOUND ? error : LogPathStep("find", path, error);
}

std::uint32_t Win32Platform::RemoveFile(const char* path) {
    const std::uint32_t error = DeleteFileA(path) ? ERROR_SUCCESS : LastFileError();
    // Deleting what is not there is the normal case of a clean-up.
    return error == ERROR_FILE_NOT_FOUND ? error : LogPathStep("delete", path, error);
}

std::uint32_t Win32Platform::ClearFileAttributes(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    // Nothing there is the normal case of a first installation.
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastFileError();
    constexpr DWORD kInTheWay = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & kInTheWay) == 0) return ERROR_SUCCESS;
    // An installed library needs none of the others (archive, not indexed)
    // either; what SetFileAttributes cannot set (compressed, encrypted) stays.
    return LogPathStep("clear attributes of", path,
                       SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) ? ERROR_SUCCESS : LastFileError());
}

std::uint32_t Win32Platform::CheckReplaceable(const char* path) {
    // Write access is refused while another process holds the file without
    // sharing it, or has it loaded as a library; delete access, which the
    // replacement needs, while one holds it without sharing that.
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::uint32_t error = file != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : LastFileError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return LogPathStep("open for writing", path, error);
}

std::uint32_t Win32Platform::MoveFileOver(const char* from, const char* to) {
    // Through to the disk: a rename that a power cut undoes after the
    // package folder was emptied would lose the component.
    const std::uint32_t error =
        MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS : LastFileError();
    // Nothing to rename is the normal case of a first installation.
    return error == ERROR_FILE_NOT_FOUND ? error : LogPathsStep("rename", from, to, error);
}

std::uint32_t Win32Platform::DeleteAtRestart(const char* path) {
    return LogPathStep("delete at the next restart", path,
                       MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? ERROR_SUCCESS : GetLastError());
}

std::uint32_t Win32Platform::FolderDriveType(const char* folder) {
    // The volume's root, at most as long as the folder, with a backslash;
    // written only on success.
    char root[kModulePathCount + 1];
    return GetVolumePathNameA(folder, root, sizeof root) ? GetDriveTypeA(root) : DRIVE_UNKNOWN;
}

std::uint32_t Win32Platform::FileSize(const char* path, std::uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return LogPathStep("size", path, GetLastError());
    *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return ERROR_SUCCESS;
}

namespace {

// The thread's last error after a call that failed; a failure that set none
// is still a failure.
std::uint32_t FailureCode() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
}

// Hashes `file` from where it stands to its end, writing each piece to
// `copy` too unless that is INVALID_HANDLE_VALUE. The digest into `digest`
// only on success. The cryptographic provider is acquired at the first
// digest, into `provider`, for every later one: the AES provider is the one
// that has SHA-256 (Windows XP SP3 on); a verification context needs no key
// container.
std::uint32_t HashFrom(std::uintptr_t& provider, HANDLE file, HANDLE copy, std::uint8_t (&digest)[32]) {
    HCRYPTPROV acquired = 0;
    if (provider == 0 &&
        CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        provider = acquired;
    }
    // Without a provider there is no hash either.
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) return FailureCode();
    BYTE buffer[16384];
    DWORD got = 0;
    DWORD put = 0;
    bool done = true;
    while (done) {
        done = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE;
        if (!done || got == 0) break;
        done = CryptHashData(hash, buffer, got, 0) &&
               (copy == INVALID_HANDLE_VALUE || (WriteFile(copy, buffer, got, &put, nullptr) && put == got));
    }
    // A SHA-256 value is 32 bytes; a smaller buffer would fail the call.
    BYTE value[32];
    DWORD size = sizeof value;
    done = done && CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0);
    // Read before the clean-up call can change it.
    const std::uint32_t error = done ? ERROR_SUCCESS : FailureCode();
    CryptDestroyHash(hash);
    if (done) std::memcpy(digest, value, sizeof value);
    return error;
}

HANDLE OpenToRead(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

}  // namespace

std::uint32_t Win32Platform::FileDigest(const char* path, std::uint8_t (&digest)[32]) {
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) return LogPathStep("digest of", path, LastFileError());
    const std::uint32_t error = HashFrom(provider_, file, INVALID_HANDLE_VALUE, digest);
    CloseHandle(file);
    // What a digest is compared with is the engine's to say.
    return error == ERROR_SUCCESS ? error : LogPathStep("digest of", path, error);
}

std::uint32_t Win32Platform::FindLinkInPath(const char* folder) {
    char path[kModulePathCount];
    const std::size_t length = std::strlen(folder);
    if (length >= sizeof path) return ERROR_FILENAME_EXCED_RANGE;
    std::memcpy(path, folder, length + 1);  // with its NUL
    // A network share keeps its components whatever its path passes
    // through; elsewhere each folder below the root ("C:\\") is looked at.
    if (path[0] == '\\' && path[1] == '\\') return ERROR_SUCCESS;
    for (std::size_t at = 3; at <= length; ++at) {
        if (path[at] != '\\' && path[at] != '\0') continue;
        const char separator = path[at];
        path[at] = '\0';
        const DWORD attributes = GetFileAttributesA(path);
        const std::uint32_t error = attributes == INVALID_FILE_ATTRIBUTES             ? LastFileError()
                                    : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ERROR_CANT_ACCESS_FILE
                                                                                      : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) return LogPathStep("look at", path, error);
        path[at] = separator;
    }
    return ERROR_SUCCESS;
}

std::uint32_t Win32Platform::OpenComponent(const char* path, bool deletable, FileHandle* file) {
    // Shared for reading only: nobody else writes, renames or deletes it
    // while the run holds it. A link is opened as itself, never followed.
    HANDLE opened = CreateFileA(path, GENERIC_READ | (deletable ? DELETE : 0), FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const std::uint32_t error = LastFileError();
        // A component that is not there is the normal case of an emptied folder.
        return error == ERROR_FILE_NOT_FOUND ? error : LogPathStep("open", path, error);
    }
    // Its attributes by its name, which nobody can rename or delete while it
    // is open (a link's own, not its target's; none read count as a link),
    // and its number of names by the handle. Under Wine,
    // GetFileInformationByHandle's whole answer crashed a process with a
    // second thread now and then.
    FILE_STANDARD_INFO standard;
    const std::uint32_t error =
        (GetFileAttributesA(path) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ERROR_CANT_ACCESS_FILE
        : !GetFileInformationByHandleEx(opened, FileStandardInfo, &standard, sizeof standard) ? FailureCode()
        : standard.NumberOfLinks > 1                                                          ? ERROR_TOO_MANY_LINKS
                                                                                              : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS) {
        *file = reinterpret_cast<FileHandle>(opened);
    } else {
        CloseHandle(opened);
    }
    return LogPathStep("open", path, error);
}

std::uint32_t Win32Platform::CopyOpened(FileHandle file, const char* destination, std::uint8_t (&digest)[32]) {
    // A new file of the data alone: the source's attributes and its other
    // streams, the mark of the web among them, stay behind.
    HANDLE copy = CreateFileA(destination, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) return LogPathStep("copy to", destination, LastFileError());
    std::uint8_t value[32];
    std::uint32_t error = HashFrom(provider_, ToHandle(file), copy, value);
    if (error == ERROR_SUCCESS && !FlushFileBuffers(copy)) error = GetLastError();
    CloseHandle(copy);
    if (error == ERROR_SUCCESS) std::memcpy(digest, value, sizeof value);
    return LogPathStep("copy to", destination, error);
}

namespace {

// The whole of `file` mapped for reading, or null.
const void* MapWhole(HANDLE file) {
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return nullptr;
    // The view keeps the mapping open.
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    return view;
}

}  // namespace

std::uint32_t Win32Platform::SameBytes(FileHandle file, const char* path, bool* same) {
    HANDLE other = OpenToRead(path);
    if (other == INVALID_HANDLE_VALUE) {
        const std::uint32_t error = LastFileError();
        // Nothing installed there is the normal case of a first installation.
        return error == ERROR_FILE_NOT_FOUND ? error : LogPathStep("compare with", path, error);
    }
    // The sizes first, then the bytes of files of one size. A component is
    // far below 4 GB, and never empty: sizes that cannot be read (both
    // INVALID_FILE_SIZE), or files of nothing, fail the mapping.
    const DWORD size = GetFileSize(ToHandle(file), nullptr);
    bool equal = size == GetFileSize(other, nullptr);
    std::uint32_t error = ERROR_SUCCESS;
    if (equal) {
        const void* mine = MapWhole(ToHandle(file));
        const void* theirs = MapWhole(other);
        if (mine == nullptr || theirs == nullptr) {
            error = FailureCode();
        } else {
            equal = std::memcmp(mine, theirs, size) == 0;
        }
        // Unmapping nothing fails harmlessly.
        UnmapViewOfFile(mine);
        UnmapViewOfFile(theirs);
    }
    CloseHandle(other);
    if (error == ERROR_SUCCESS) *same = equal;
    return error == ERROR_SUCCESS ? error : LogPathStep("compare with", path, error);
}

std::uint32_t Win32Platform::DeleteOpened(FileHandle file) {
    // Marked through the handle it was read by, the component goes when the
    // handle closes: no name is looked up again.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    const std::uint32_t error =
        SetFileInformationByHandle(ToHandle(file), FileDispositionInfo, &disposition, sizeof disposition)
            ? ERROR_SUCCESS
            : GetLastError();
    LogStep(error, "delete through its handle");
    return error;
}

void Win32Platform::CloseFile(FileHandle file) { CloseHandle(ToHandle(file)); }

bool SystemFilePath(char* path, std::size_t size, const char* name) {
    const std::size_t nameSize = std::strlen(name) + 1;  // with its NUL
    // The folder gets what the name leaves; it is copied only when it fits.
    if (size <= nameSize || SystemPlatform().SystemFolderPath(path, size - nameSize) != S_OK) return false;
    std::memcpy(path + std::strlen(path), name, nameSize);
    return true;
}

std::uint32_t ReadVersionOf(const wchar_t* path, FileVersion* version) {
    // version.dll is loaded by its full path in the system folder: a copy
    // planted beside the program, in a download folder, is never the one run.
    char dll[MAX_PATH + 16] = {};
    if (!SystemFilePath(dll, sizeof dll, "\\version.dll")) return ERROR_MOD_NOT_FOUND;
    struct Library {
        HMODULE module;
        ~Library() {
            if (module != nullptr) FreeLibrary(module);
        }
    } library{LoadLibraryExA(dll, nullptr, 0)};
    if (library.module == nullptr) return FailureCode();
    using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    auto sizeOf = reinterpret_cast<SizeFn>(
        reinterpret_cast<void*>(GetProcAddress(library.module, "GetFileVersionInfoSizeW")));
    auto infoOf = reinterpret_cast<InfoFn>(
        reinterpret_cast<void*>(GetProcAddress(library.module, "GetFileVersionInfoW")));
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(library.module, "VerQueryValueW")));
    if (sizeOf == nullptr || infoOf == nullptr || query == nullptr) return ERROR_PROC_NOT_FOUND;

    // A control's version resource takes a few KB; a larger one is not read.
    alignas(4) BYTE data[16384];
    DWORD ignored = 0;
    const DWORD size = sizeOf(path, &ignored);
    if (size == 0) return FailureCode();
    if (size > sizeof data) return ERROR_INSUFFICIENT_BUFFER;
    if (!infoOf(path, 0, size, data)) return FailureCode();
    void* found = nullptr;
    UINT length = 0;
    if (!query(data, L"\\", &found, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(found);
    FileVersion read = {{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                         HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)},
                        {}};
    // The company name in the resource's first language, converted by its
    // stated length (a NUL is not relied on) with the last byte kept for the
    // NUL; left empty where there is none, or where it does not fit.
    if (query(data, L"\\VarFileInfo\\Translation", &found, &length) && length >= 4) {
        const WORD* translation = static_cast<const WORD*>(found);
        // "\StringFileInfo\" and eight hex digits and "\CompanyName": 41 with the NUL.
        wchar_t name[48] = {};
        (void)_snwprintf(name, 47, L"\\StringFileInfo\\%04x%04x\\CompanyName", translation[0], translation[1]);
        if (query(data, name, &found, &length) && length > 0 &&
            WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(found), static_cast<int>(length),
                                read.company, sizeof read.company - 1, nullptr, nullptr) == 0) {
            read.company[0] = '\0';
        }
    }
    *version = read;
    return ERROR_SUCCESS;
}

std::uint32_t Win32Platform::ReadFileVersion(const char* path, FileVersion* version) {
    // What was read shows in the log as the values written from it. A path
    // that does not convert reads as "?", which names no file.
    return LogPathStep("read version of", path, ReadVersionOf(WideText(path).text, version));
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
    *error = LogPathStep("load", path, module != nullptr ? ERROR_SUCCESS : LastFileError());
    return reinterpret_cast<LibraryHandle>(module);
}

ProcHandle Win32Platform::FindExport(LibraryHandle library, const char* name) {
    FARPROC proc = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    exportName_ = name;
    if (proc == nullptr) LogPathStep("export", name, GetLastError());
    return reinterpret_cast<ProcHandle>(proc);
}

std::int32_t Win32Platform::CallExport(ProcHandle proc) {
    using RegistrationExport = HRESULT(STDAPICALLTYPE*)();
    const HRESULT result = reinterpret_cast<RegistrationExport>(reinterpret_cast<void*>(proc))();
    LogLine("%s: 0x%08lX", WideText(exportName_ != nullptr ? exportName_ : "export").text, result);
    return result;
}

void Win32Platform::FreeLibraryHandle(LibraryHandle library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

std::uint32_t Win32Platform::OpenKey(RegRoot root, const char* path, KeyHandle* key) {
    HKEY opened = nullptr;
    const auto status = static_cast<std::uint32_t>(RegOpenKeyExA(ToHkey(root), path, 0, KEY_ALL_ACCESS, &opened));
    if (status == ERROR_SUCCESS) *key = reinterpret_cast<KeyHandle>(opened);
    // A key that is not there is the normal case of a first installation.
    if (status != ERROR_FILE_NOT_FOUND) LogKeyStep("open key", root, path, status);
    return status;
}

std::uint32_t Win32Platform::CreateKey(RegRoot root, const char* path, KeyHandle* key) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    const auto status = static_cast<std::uint32_t>(RegCreateKeyExA(
        ToHkey(root), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &created, &disposition));
    if (status == ERROR_SUCCESS) *key = reinterpret_cast<KeyHandle>(created);
    return LogKeyStep("create key", root, path, status);
}

std::uint32_t Win32Platform::SetString(KeyHandle key, const char* name, const char* text, TextCoding coding) {
    // The text as the log shows it, and as Unicode text is written.
    const WideText wide(text, coding == TextCoding::SystemAnsi ? CP_ACP : coding == TextCoding::Utf8 ? CP_UTF8 : 949);
    // Value names of this program are plain ASCII, the same in every code page.
    const WideText wideName(name);
    std::uint32_t status = ERROR_NO_UNICODE_TRANSLATION;
    if (coding == TextCoding::SystemAnsi) {
        // REG_SZ data is the text with its NUL: strlen + 1 bytes.
        status = static_cast<std::uint32_t>(RegSetValueExA(ToHkey(key), name, 0, REG_SZ,
                                                           reinterpret_cast<const BYTE*>(text),
                                                           static_cast<DWORD>(std::strlen(text)) + 1));
    } else if (wide.count != 0) {
        // Unicode REG_SZ data is counted in bytes, the NUL included.
        status = static_cast<std::uint32_t>(RegSetValueExW(ToHkey(key), wideName.text, 0, REG_SZ,
                                                           reinterpret_cast<const BYTE*>(wide.text),
                                                           static_cast<DWORD>(wide.count) * sizeof(wchar_t)));
    }
    LogStep(status, "set \"%s\" = \"%s\"", wideName.text, wide.text);
    return status;
}

std::uint32_t Win32Platform::SetDword(KeyHandle key, const char* name, std::uint32_t value) {
    const DWORD data = value;
    const auto status = static_cast<std::uint32_t>(
        RegSetValueExA(ToHkey(key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data));
    LogStep(status, "set \"%s\" = %u", WideText(name).text, value);
    return status;
}

std::uint32_t Win32Platform::QueryValue(KeyHandle key, const char* name) {
    return static_cast<std::uint32_t>(RegQueryValueExA(ToHkey(key), name, nullptr, nullptr, nullptr, nullptr));
}

std::uint32_t Win32Platform::DeleteValue(KeyHandle key, const char* name) {
    const auto status = static_cast<std::uint32_t>(RegDeleteValueA(ToHkey(key), name));
    // A value that was never written is the normal case.
    return status == ERROR_FILE_NOT_FOUND ? status : LogPathStep("delete value", name, status);
}

std::uint32_t Win32Platform::QueryKeyInfo(KeyHandle key, char* classBuffer, std::uint32_t classSize,
                                          std::uint32_t* subKeys) {
    DWORD classCount = classSize;
    DWORD count = 0;
    const auto status = static_cast<std::uint32_t>(RegQueryInfoKeyA(
        ToHkey(key), classBuffer, &classCount, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr));
    if (status == ERROR_SUCCESS) {
        *subKeys = count;
    } else {
        LogStep(status, "query key");
    }
    return status;
}

std::uint32_t Win32Platform::EnumSubKey(KeyHandle key, std::uint32_t index, char* name, std::uint32_t size) {
    DWORD count = size;
    const auto status = static_cast<std::uint32_t>(
        RegEnumKeyExA(ToHkey(key), index, name, &count, nullptr, nullptr, nullptr, nullptr));
    if (status != ERROR_SUCCESS) LogStep(status, "list sub-key %u", index);
    return status;
}

std::uint32_t Win32Platform::DeleteKey(RegRoot root, const char* path) {
    return LogKeyStep("delete key", root, path, static_cast<std::uint32_t>(RegDeleteKeyA(ToHkey(root), path)));
}

std::uint32_t Win32Platform::FlushKey(KeyHandle key) {
    const auto status = static_cast<std::uint32_t>(RegFlushKey(ToHkey(key)));
    if (status != ERROR_SUCCESS) LogStep(status, "flush key");
    return status;
}

void Win32Platform::CloseKey(KeyHandle key) { RegCloseKey(ToHkey(key)); }

// A deployment tool or a service that runs the setup as SYSTEM puts it on a
// window station nobody sees, where a message box would wait for ever for its
// OK. When the system cannot tell, the station is taken to be the user's.
bool StationIsVisible() {
    HWINSTA station = GetProcessWindowStation();  // not to be closed
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void Win32Platform::ShowMessage(OwnerWindow owner, const char* text949, const char* caption949) {
    const bool visible = StationIsVisible();
    LogLine("message %hs: %s", visible ? "shown" : "skipped, no one sees this window station",
            WideText(text949, 949).text);
    if (!visible) return;
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

void Win32Platform::EndRun() {
    // A provider kept to the process's end can hang its exit under Wine.
    // Releasing none fails, harmlessly.
    CryptReleaseContext(provider_, 0);
    provider_ = 0;
}

void Win32Platform::Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint32_t Win32Platform::LocalDate() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return now.wYear * 10000u + now.wMonth * 100u + now.wDay;
}

void Win32Platform::Note(const char* event, const char* subject) {
    // The engine's events are plain ASCII; a subject is a path.
    LogLine("%hs%hs%s", event, subject != nullptr ? " " : "", WideText(subject != nullptr ? subject : "").text);
}

namespace {
struct SystemInstance final : Win32Platform {};
// Constant-initialised: the program runs no static constructors.
SORVAN_CONSTINIT SystemInstance g_systemPlatform;
}  // namespace

Win32Platform& SystemPlatform() { return g_systemPlatform; }

}  // namespace platform
