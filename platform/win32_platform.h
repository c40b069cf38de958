// The Platform on a real Windows: each operation is the documented Win32 call,
// in its ANSI variant, with the arguments the engine relies on. The module
// path is read as Unicode, so that a folder the code page cannot spell is
// still found, and so are version resources, whose texts are Unicode. Each
// step of the installation, and every failure, is written to the setup log
// (win32_log.h).
#pragma once

#include "platform/platform.h"

namespace platform {

class Win32Platform : public Platform {
public:
    std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) override;
    std::int32_t SystemFolderPath(char* buffer, std::size_t size) override;
    std::uint32_t SystemWow64FolderPath(char* buffer, std::size_t size) override;
    std::uint32_t QueryFile(const char* path) override;
    std::uint32_t RemoveFile(const char* path) override;
    std::uint32_t ClearFileAttributes(const char* path) override;
    std::uint32_t CheckReplaceable(const char* path) override;
    std::uint32_t MoveFileOver(const char* from, const char* to) override;
    std::uint32_t DeleteAtRestart(const char* path) override;
    std::uint32_t FindLinkInPath(const char* folder) override;
    std::uint32_t OpenComponent(const char* path, bool deletable, FileHandle* file) override;
    std::uint32_t CopyOpened(FileHandle file, const char* destination, std::uint8_t (&digest)[32]) override;
    std::uint32_t SameBytes(FileHandle file, const char* path, bool* same) override;
    std::uint32_t DeleteOpened(FileHandle file) override;
    void CloseFile(FileHandle file) override;
    std::uint32_t FolderDriveType(const char* folder) override;
    std::uint32_t FileSize(const char* path, std::uint64_t* size) override;
    std::uint32_t FileDigest(const char* path, std::uint8_t (&digest)[32]) override;
    std::uint32_t ReadFileVersion(const char* path, FileVersion* version) override;
    LibraryHandle LoadLibraryFrom(const char* path, std::uint32_t* error) override;
    ProcHandle FindExport(LibraryHandle library, const char* name) override;
    std::int32_t CallExport(ProcHandle proc) override;
    void FreeLibraryHandle(LibraryHandle library) override;
    std::uint32_t OpenKey(RegRoot root, const char* path, KeyHandle* key) override;
    std::uint32_t CreateKey(RegRoot root, const char* path, KeyHandle* key) override;
    std::uint32_t SetString(KeyHandle key, const char* name, const char* text, TextCoding coding) override;
    std::uint32_t SetDword(KeyHandle key, const char* name, std::uint32_t value) override;
    std::uint32_t QueryValue(KeyHandle key, const char* name) override;
    std::uint32_t DeleteValue(KeyHandle key, const char* name) override;
    std::uint32_t QueryKeyInfo(KeyHandle key, char* classBuffer, std::uint32_t classSize,
                               std::uint32_t* subKeys) override;
    std::uint32_t EnumSubKey(KeyHandle key, std::uint32_t index, char* name, std::uint32_t size) override;
    std::uint32_t DeleteKey(RegRoot root, const char* path) override;
    std::uint32_t FlushKey(KeyHandle key) override;
    void CloseKey(KeyHandle key) override;
    void ShowMessage(OwnerWindow owner, const char* text949, const char* caption949) override;
    void EndRun() override;
    void Pause(std::uint32_t milliseconds) override;
    std::uint32_t LocalDate() override;
    void Note(const char* event, const char* subject) override;

protected:
    ~Win32Platform() = default;

private:
    // The export last looked up, named in the log when it is called.
    const char* exportName_ = nullptr;
    // The cryptographic provider of every digest, acquired at the first.
    std::uintptr_t provider_ = 0;  // HCRYPTPROV
};

// Marks a global object that must be constant-initialised: the program runs
// no static constructors.
#if defined(__clang__)
#define SORVAN_CONSTINIT [[clang::require_constant_initialization]]
#else
#define SORVAN_CONSTINIT __constinit
#endif

// The program's one instance.
Win32Platform& SystemPlatform();

// "<system folder>\name" into `path` (`name` begins with the backslash).
// False, with nothing of it composed, when the folder cannot be had or the
// whole does not fit `size`.
bool SystemFilePath(char* path, std::size_t size, const char* name);

// The version resource of the file at `path`, as ReadFileVersion reads it.
std::uint32_t ReadVersionOf(const wchar_t* path, FileVersion* version);

// Whether anyone can see this process's windows: false on a window station
// without WSF_VISIBLE, where a deployment running as SYSTEM puts it.
bool StationIsVisible();

}  // namespace platform
