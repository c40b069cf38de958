// The one interface between the installation engine and the operating system.
//
// Every system call the engine makes goes through a Platform, so the engine can
// be built and exercised away from Windows and any single call can be made to
// fail. Each call reports its own error code: the Windows layer reads the
// thread's last error right after the call that failed, in exactly one place,
// and nothing else in the engine ever asks the system for an error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Opaque handles; the Windows layer stores HKEY, HMODULE, FARPROC and HWND in them.
struct OpaqueKey;
struct OpaqueLibrary;
struct OpaqueProc;
struct OpaqueWindow;
struct OpaqueFile;
using KeyHandle = OpaqueKey*;
using LibraryHandle = OpaqueLibrary*;
using ProcHandle = OpaqueProc*;
using OwnerWindow = OpaqueWindow*;
using FileHandle = OpaqueFile*;

// The predefined registry roots the engine uses, with their Win32 values.
enum class RegRoot : std::uint32_t {
    ClassesRoot = 0x80000000u,   // HKEY_CLASSES_ROOT
    LocalMachine = 0x80000002u,  // HKEY_LOCAL_MACHINE
};

// How the text of a string value is to be read. Paths and names that come from
// the system are in the system's ANSI code page; the product's Korean texts are
// stored as code page 949 bytes and must be decoded as such whatever the
// system's code page is.
// Text read from a version resource is kept as UTF-8, which spells every
// language.
enum class TextCoding { SystemAnsi, CodePage949, Utf8 };

// What a file's version resource says of it: the four parts of its file
// version, and its company name as UTF-8 (empty where the resource has none).
struct FileVersion {
    std::uint16_t parts[4];
    char company[128];
};

// Win32 error codes the engine and its tests tell apart.
constexpr std::uint32_t kErrorSuccess = 0;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorNoMoreItems = 259;
// A file deleted while another process still has it open: it keeps its
// name, and answers every open, until that process closes it. Windows
// reports it as ERROR_ACCESS_DENIED; the file operations below tell it
// apart as ERROR_DELETE_PENDING.
constexpr std::uint32_t kErrorDeletePending = 303;
constexpr std::uint32_t kErrorBadExeFormat = 193;
constexpr std::uint32_t kErrorModNotFound = 126;
constexpr std::uint32_t kErrorProcNotFound = 127;
constexpr std::uint32_t kErrorKeyDeleted = 1018;
// A package's component that is not a plain file of one name: a reparse
// point (a symbolic link, a junction), ERROR_CANT_ACCESS_FILE; a file with
// other names too (hard links), ERROR_TOO_MANY_LINKS.
constexpr std::uint32_t kErrorReparsePoint = 1920;
constexpr std::uint32_t kErrorOtherNames = 1142;
// ERROR_FILENAME_EXCED_RANGE: a path longer than kMaxFilePath.
constexpr std::uint32_t kErrorPathTooLong = 206;

// The longest path, without its NUL, that the ANSI file calls take (MAX_PATH
// less one): the program does not opt in to longer ones.
constexpr std::size_t kMaxFilePath = 259;

// GetDriveType's answers that the engine tells apart; 0 (DRIVE_UNKNOWN) and
// 1 (DRIVE_NO_ROOT_DIR) say it could not tell.
constexpr std::uint32_t kDriveRemovable = 2;
constexpr std::uint32_t kDriveFixed = 3;
constexpr std::uint32_t kDriveRemote = 4;
constexpr std::uint32_t kDriveCdRom = 5;

// S_OK; any other HRESULT from a registration export is a failure.
constexpr std::int32_t kHresultOk = 0;

class Platform {
public:
    // The running program's full path in the ANSI code page, as
    // GetModuleFileNameA(NULL, buffer, size) gives it where the code page can
    // spell it exactly; otherwise its short form, or failure. Returns the
    // number of characters copied without the NUL; 0 on failure; `size` when
    // the path did not fit.
    [[nodiscard]] virtual std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) = 0;

    // SHGetFolderPathA(NULL, CSIDL_SYSTEM, NULL, SHGFP_TYPE_CURRENT, buffer):
    // the system folder without a trailing backslash. On failure the buffer is
    // left as it was. Returns the HRESULT.
    [[nodiscard]] virtual std::int32_t SystemFolderPath(char* buffer, std::size_t size) = 0;

    // GetSystemWow64DirectoryA: on 64-bit Windows the folder that a 32-bit
    // process sees as its system folder, by the name every process resolves
    // to it (SysWOW64). Returns its length without the NUL; 0, leaving the
    // buffer as it was, where there is none (32-bit Windows), on failure, or
    // when it does not fit.
    [[nodiscard]] virtual std::uint32_t SystemWow64FolderPath(char* buffer, std::size_t size) = 0;

    // GetFileAttributesA(path): 0 when a file is at `path`. Otherwise the
    // error code: ERROR_FILE_NOT_FOUND when there is none (a folder of that
    // name is no file either), ERROR_PATH_NOT_FOUND when its folder is missing,
    // anything else when the system could not tell.
    [[nodiscard]] virtual std::uint32_t QueryFile(const char* path) = 0;

    // DeleteFileA(path). Returns 0 or the error code.
    virtual std::uint32_t RemoveFile(const char* path) = 0;

    // Takes a read-only, hidden or system attribute off the file at `path`:
    // Windows neither replaces nor deletes a read-only file, and CopyFile
    // refuses to write over a hidden one. A file without them, or a folder,
    // is left as it is. Returns 0, or the error code (ERROR_FILE_NOT_FOUND or
    // ERROR_PATH_NOT_FOUND where there is nothing at `path`).
    virtual std::uint32_t ClearFileAttributes(const char* path) = 0;

    // Whether the existing file at `path` could be replaced now: it is opened
    // for writing and deleting, sharing everything, without being changed,
    // and closed at once. Returns 0, or the error code: ERROR_SHARING_VIOLATION
    // while another process holds it or has it loaded, ERROR_ACCESS_DENIED
    // where it cannot be written, ERROR_FILE_NOT_FOUND where there is none.
    [[nodiscard]] virtual std::uint32_t CheckReplaceable(const char* path) = 0;

    // MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH):
    // within one volume the name `to` passes to the file at `from` in one
    // step, with its contents, replacing the file that had it. A library that
    // a process has loaded may be renamed; a file of that name loaded or
    // read-only at `to` is not replaced (ERROR_ACCESS_DENIED). Returns 0 or
    // the error code.
    [[nodiscard]] virtual std::uint32_t MoveFileOver(const char* from, const char* to) = 0;

    // MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT): the file is
    // deleted when Windows next starts, for one that cannot be deleted now (a
    // library another process has loaded). Returns 0 or the error code.
    virtual std::uint32_t DeleteAtRestart(const char* path) = 0;

    // Whether the path of `folder` passes through a reparse point: a junction,
    // a symbolic link, a folder a volume is mounted on. Each folder of the
    // path below its root is looked at. Returns 0 where none is one,
    // ERROR_CANT_ACCESS_FILE where one is, else the error of a folder that
    // could not be looked at.
    [[nodiscard]] virtual std::uint32_t FindLinkInPath(const char* folder) = 0;

    // Opens the package's component at `path` for the rest of the run: for
    // reading (and with `deletable` for deleting, DeleteOpened), without
    // following a reparse point, sharing reading only, so that until
    // CloseFile nobody else can write, rename or delete it. Returns 0 with
    // `*file`, or the error code: ERROR_FILE_NOT_FOUND or
    // ERROR_PATH_NOT_FOUND where there is none, ERROR_CANT_ACCESS_FILE where
    // it is a reparse point, ERROR_TOO_MANY_LINKS where it has other names
    // too. `*file` is written only on success.
    [[nodiscard]] virtual std::uint32_t OpenComponent(const char* path, bool deletable, FileHandle* file) = 0;

    // Copies the data of the opened `file`, read from where it stands (its
    // start: a run reads each opened file once), into a new file at
    // `destination` (replacing one there) and onto the disk, taking its
    // SHA-256 on the way, into `digest` only on success. Only the data
    // arrives: the mark of the web stays behind. Returns 0 or the error code.
    [[nodiscard]] virtual std::uint32_t CopyOpened(FileHandle file, const char* destination,
                                                   std::uint8_t (&digest)[32]) = 0;

    // Whether the opened `file` holds the same bytes as the file at `path`:
    // the sizes first, then the bytes. Into `*same` only on success. Returns
    // 0 or the error code (ERROR_FILE_NOT_FOUND where there is none at `path`).
    [[nodiscard]] virtual std::uint32_t SameBytes(FileHandle file, const char* path, bool* same) = 0;

    // SetFileInformationByHandle(FileDispositionInfo): the opened `file`,
    // opened `deletable`, is deleted once it is closed. Returns 0 or the
    // error code.
    [[nodiscard]] virtual std::uint32_t DeleteOpened(FileHandle file) = 0;

    // CloseHandle(file).
    virtual void CloseFile(FileHandle file) = 0;

    // GetDriveTypeA of the root of the volume that holds `folder`, as
    // GetVolumePathNameA finds it (a drive's root, a UNC share, a folder a
    // volume is mounted on). 0 (DRIVE_UNKNOWN) when it cannot be told.
    [[nodiscard]] virtual std::uint32_t FolderDriveType(const char* folder) = 0;

    // The size in bytes of the file at `path`, into `*size` only on success.
    // Returns 0 or the error code.
    [[nodiscard]] virtual std::uint32_t FileSize(const char* path, std::uint64_t* size) = 0;

    // The SHA-256 of the file at `path`, computed by the system's own
    // cryptography (its provider acquired once a run), into `digest` only on
    // success. Returns 0 or the error code.
    [[nodiscard]] virtual std::uint32_t FileDigest(const char* path, std::uint8_t (&digest)[32]) = 0;

    // The version resource of the file at `path`, read without running any
    // of its code, into `*version` only on success. Returns 0 or the error
    // code (ERROR_RESOURCE_TYPE_NOT_FOUND for a file without one).
    [[nodiscard]] virtual std::uint32_t ReadFileVersion(const char* path, FileVersion* version) = 0;

    // LoadLibraryA(path). Returns the module, or null with `*error` set.
    [[nodiscard]] virtual LibraryHandle LoadLibraryFrom(const char* path, std::uint32_t* error) = 0;

    // GetProcAddress(library, name). Returns the export or null.
    [[nodiscard]] virtual ProcHandle FindExport(LibraryHandle library, const char* name) = 0;

    // Calls an export taking no arguments and returning an HRESULT
    // (DllRegisterServer, DllUnregisterServer).
    [[nodiscard]] virtual std::int32_t CallExport(ProcHandle proc) = 0;

    // FreeLibrary(library).
    virtual void FreeLibraryHandle(LibraryHandle library) = 0;

    // RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, key). Returns the status;
    // `*key` is written only on success.
    [[nodiscard]] virtual std::uint32_t OpenKey(RegRoot root, const char* path, KeyHandle* key) = 0;

    // RegCreateKeyExA(root, path, 0, NULL, REG_OPTION_NON_VOLATILE,
    // KEY_ALL_ACCESS, NULL, key, &disposition): missing intermediate keys are
    // created, the disposition is not reported. `*key` is written only on success.
    [[nodiscard]] virtual std::uint32_t CreateKey(RegRoot root, const char* path, KeyHandle* key) = 0;

    // RegSetValueExA(key, name, 0, REG_SZ, text, strlen(text) + 1), or for
    // CodePage949 and Utf8 text the same value written as Unicode
    // (RegSetValueExW) after decoding the text from its code page.
    [[nodiscard]] virtual std::uint32_t SetString(KeyHandle key, const char* name, const char* text,
                                                     TextCoding coding) = 0;

    // RegSetValueExA(key, name, 0, REG_DWORD, &value, 4).
    [[nodiscard]] virtual std::uint32_t SetDword(KeyHandle key, const char* name, std::uint32_t value) = 0;

    // RegQueryValueExA(key, name) without reading the data: 0 when the value
    // exists, else the error code (ERROR_FILE_NOT_FOUND where it does not).
    [[nodiscard]] virtual std::uint32_t QueryValue(KeyHandle key, const char* name) = 0;

    // RegDeleteValueA(key, name). Returns 0 or the error code
    // (ERROR_FILE_NOT_FOUND where there was none).
    virtual std::uint32_t DeleteValue(KeyHandle key, const char* name) = 0;

    // RegQueryInfoKeyA(key, classBuffer, &classSize, ...): the number of
    // sub-keys in `*subKeys`, written only on success.
    [[nodiscard]] virtual std::uint32_t QueryKeyInfo(KeyHandle key, char* classBuffer, std::uint32_t classSize,
                                                        std::uint32_t* subKeys) = 0;

    // RegEnumKeyExA(key, index, name, &size, NULL, NULL, NULL, NULL).
    [[nodiscard]] virtual std::uint32_t EnumSubKey(KeyHandle key, std::uint32_t index, char* name,
                                                   std::uint32_t size) = 0;

    // RegDeleteKeyA(root, path): refuses a key that still has sub-keys.
    virtual std::uint32_t DeleteKey(RegRoot root, const char* path) = 0;

    // RegFlushKey(key): what was written under the key is on the disk when
    // this returns 0. Otherwise the error code.
    virtual std::uint32_t FlushKey(KeyHandle key) = 0;

    // RegCloseKey(key).
    virtual void CloseKey(KeyHandle key) = 0;

    // A modal message box owned by `owner`, MB_OK | MB_ICONINFORMATION, whose
    // text and caption are the product's own code page 949 texts. Returns once
    // the user has dismissed it, or at once where no one can see it (a window
    // station without WSF_VISIBLE, as a SYSTEM deployment runs on).
    virtual void ShowMessage(OwnerWindow owner, const char* text949, const char* caption949) = 0;

    // Lets go of what the layer kept for the run, once it has read all it
    // reads: the cryptographic provider of its digests.
    virtual void EndRun() = 0;

    // Sleep(milliseconds): the run waits for another program's moment.
    virtual void Pause(std::uint32_t milliseconds) = 0;

    // Today's local date as the number YYYYMMDD.
    [[nodiscard]] virtual std::uint32_t LocalDate() = 0;

    // Marks a turn in the run that no single call shows (the start of a
    // rollback, a decision and its reason) for whoever records the run,
    // followed by `subject` (a path) unless it is null; changes nothing.
    virtual void Note(const char* event, const char* subject) = 0;

protected:
    ~Platform() = default;
};

// An open registry key, closed when the object goes out of scope on every path.
class ScopedKey {
public:
    explicit ScopedKey(Platform& os) : os_(&os) {}
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    ScopedKey(ScopedKey&& other) noexcept : os_(other.os_), key_(other.key_) { other.key_ = nullptr; }
    ~ScopedKey() { Reset(); }

    [[nodiscard]] KeyHandle Get() const { return key_; }
    [[nodiscard]] bool IsOpen() const { return key_ != nullptr; }
    // The slot that OpenKey/CreateKey fill; any key held is closed first.
    [[nodiscard]] KeyHandle* Receive() {
        Reset();
        return &key_;
    }
    void Reset() {
        if (key_ != nullptr) {
            os_->CloseKey(key_);
            key_ = nullptr;
        }
    }

private:
    Platform* os_;
    KeyHandle key_ = nullptr;
};

// A loaded library, freed when the object goes out of scope on every path.
class ScopedLibrary {
public:
    ScopedLibrary(Platform& os, LibraryHandle library) : os_(&os), library_(library) {}
    ScopedLibrary(const ScopedLibrary&) = delete;
    ScopedLibrary& operator=(const ScopedLibrary&) = delete;
    ~ScopedLibrary() { Reset(); }

    [[nodiscard]] LibraryHandle Get() const { return library_; }
    [[nodiscard]] bool IsLoaded() const { return library_ != nullptr; }
    void Reset() {
        if (library_ != nullptr) {
            os_->FreeLibraryHandle(library_);
            library_ = nullptr;
        }
    }

private:
    Platform* os_;
    LibraryHandle library_;
};

}  // namespace platform
