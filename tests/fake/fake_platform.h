// A working stand-in for Windows: an in-memory registry and file system with
// the real ones' rules, loadable stand-in controls, and fault injection.
//
// Rules kept from the real registry: key and value names compare without
// regard to case; sub-keys enumerate in name order, so deleting one shifts the
// positions after it; RegDeleteKey refuses a key that still has sub-keys; a
// handle to a deleted key answers ERROR_KEY_DELETED; a sub-key name longer than
// 256 characters is refused; RegEnumKeyEx answers ERROR_MORE_DATA when the
// name does not fit; REG_SZ data is stored exactly as given.
//
// Rules kept from the real file system: a copy from an opened component is a
// new file of its data alone, and refuses (access denied) to write over a
// read-only or hidden file; MoveFileEx and DeleteFile refuse a read-only one;
// a file loaded as a library cannot be written (sharing violation) nor
// replaced or deleted (access denied), but can be renamed, and stays loaded
// under its new name; a rename keeps the file's contents and attributes; an
// opened component cannot be written, renamed or deleted by its name
// (sharing violation), and one marked for deletion goes when it is closed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

using platform::RegRoot;
using platform::TextCoding;

enum class Op {
    ModuleFileName,
    SystemFolderPath,
    SystemWow64FolderPath,
    QueryFile,
    RemoveFile,
    ClearFileAttributes,
    CheckReplaceable,
    MoveFileOver,
    DeleteAtRestart,
    FolderDriveType,
    FileSize,
    FileDigest,
    ReadFileVersion,
    FindLinkInPath,
    OpenComponent,
    CopyOpened,
    SameBytes,
    DeleteOpened,
    CloseFile,
    LoadLibraryFrom,
    FindExport,
    CallExport,
    FreeLibraryHandle,
    OpenKey,
    CreateKey,
    SetString,
    SetDword,
    QueryValue,
    DeleteValue,
    QueryKeyInfo,
    EnumSubKey,
    DeleteKey,
    FlushKey,
    CloseKey,
    ShowMessage,
    Pause,
    LocalDate,
    Note,
};
const char* OpName(Op op);

class FakePlatform;

// What a stand-in control does when it is loaded and asked to (un)register.
struct FakeControl {
    bool hasRegister = true;
    bool hasUnregister = true;
    std::int32_t registerResult = 0;
    std::int32_t unregisterResult = 0;
    // Run inside DllRegisterServer / DllUnregisterServer, with the control's path.
    std::function<void(FakePlatform&, const std::string& path)> onRegister;
    std::function<void(FakePlatform&, const std::string& path)> onUnregister;
};
// A control that registers its class key (with an InprocServer32 sub-key
// naming itself) and removes it again on unregistration.
std::shared_ptr<FakeControl> WellBehavedControl();

struct Value {
    std::string data;  // the bytes as given, without the NUL
    TextCoding coding = TextCoding::SystemAnsi;
    bool isDword = false;
    std::uint32_t dword = 0;
};

struct Message {
    platform::OwnerWindow owner;
    std::string text;
    std::string caption;
};

struct Call {
    Op op;
    std::string argument;
};

class FakePlatform final : public platform::Platform {
public:
    FakePlatform();
    ~FakePlatform();

    // --- Setting up the machine --------------------------------------
    std::string modulePath = "C:\\Pkg\\SORVanActiveXSetup.exe";
    std::string systemFolder = "C:\\WINDOWS\\system32";
    // Empty: a 32-bit Windows, which has no WOW64 folder.
    std::string wow64Folder;
    void AddDirectory(const std::string& path);
    void AddFile(const std::string& path, const std::string& content = "data",
                 std::shared_ptr<FakeControl> library = nullptr);
    // File attributes, as Windows numbers them.
    static constexpr std::uint32_t kReadOnly = 1, kHidden = 2, kSystem = 4;
    void SetAttributes(const std::string& path, std::uint32_t attributes);
    // The file at `path` is a reparse point (a symbolic link), or has
    // `names` names (hard links); a folder of `linkedFolders` is one.
    void SetLinks(const std::string& path, bool reparsePoint, int names);
    std::set<std::string> linkedFolders;
    [[nodiscard]] std::uint32_t AttributesOf(const std::string& path) const;
    // The drive type of every folder under a root (E:, or \\server\share for a
    // share), by the root; a folder under no root given here is on a fixed drive.
    std::map<std::string, std::uint32_t> driveTypes;
    // The version resource of the file at `path`; a copy carries it along.
    void SetFileVersion(const std::string& path, const platform::FileVersion& version);
    std::uint32_t today = 20261209;
    // The next copies onto `path` fail with `error` (a held-open file, a
    // read-only one, a directory standing at that name).
    void BlockDestination(const std::string& path, std::uint32_t error);
    void UnblockDestination(const std::string& path);

    // Registry set-up and inspection, outside the call log.
    void PutKey(RegRoot root, const std::string& path);
    void PutValue(RegRoot root, const std::string& path, const std::string& name, const std::string& data);
    void EraseKey(RegRoot root, const std::string& path);  // with everything below it
    [[nodiscard]] bool KeyExists(RegRoot root, const std::string& path) const;
    [[nodiscard]] bool ValueOf(RegRoot root, const std::string& path, const std::string& name, Value* out) const;
    [[nodiscard]] std::vector<std::string> ValueNames(RegRoot root, const std::string& path) const;
    [[nodiscard]] std::vector<std::string> SubKeyNames(RegRoot root, const std::string& path) const;
    [[nodiscard]] std::size_t KeyCount(RegRoot root) const;

    [[nodiscard]] bool FileExists(const std::string& path) const;
    [[nodiscard]] std::string FileContent(const std::string& path) const;

    // --- Fault injection ---------------------------------------------
    // The `occurrence`-th call (1-based) of `op` fails with `error`.
    void FailCall(Op op, int occurrence, std::uint32_t error);
    // The `n`-th platform call of the run (1-based), whatever it is, fails,
    // and so do the next `times` - 1 calls that repeat it (the same operation
    // on the same argument), as a file another program holds for a moment.
    void FailNthCall(int n, std::uint32_t error, int times = 1);
    // Every call of `op` whose argument equals `argument` (case-insensitive) fails.
    void FailCallsOn(Op op, const std::string& argument, std::uint32_t error);
    // The process is stopped just before its `n`-th call (1-based), as by a
    // power cut or Task Manager: that call and every later one fail and
    // change nothing, and whatever the program still does after it, clean-up
    // and destructors included, never reaches the machine.
    void StopBeforeCall(int n);
    // The process has ended: its loaded libraries and open keys are gone, as
    // Windows closes them, and the next call is a new process's.
    void EndProcess();
    // Another process (a browser) loads the file at `path` as a library and
    // keeps it loaded across this program's runs, until LetGoElsewhere.
    void LoadElsewhere(const std::string& path);
    void LetGoElsewhere();

    // Files to be deleted when Windows next starts, in the order asked.
    std::vector<std::string> deletesAtRestart;
    // The names of the files directly in `folder`.
    [[nodiscard]] std::vector<std::string> FilesIn(const std::string& folder) const;

    // --- What happened -----------------------------------------------
    std::vector<Call> calls;
    std::vector<Message> messages;
    std::vector<std::string> deletedKeys;     // in deletion order, "root\path"
    [[nodiscard]] std::size_t OpenKeyHandles() const { return keyHandles_.size(); }
    [[nodiscard]] std::size_t OpenFiles() const { return fileHandles_.size(); }
    [[nodiscard]] std::size_t LoadedLibraries() const;
    int badHandleUses = 0;  // closes or uses of handles that were never open
    [[nodiscard]] std::vector<Op> Ops() const;
    [[nodiscard]] int CountOf(Op op) const;

    // --- Platform ------------------------------------------------------
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
    std::uint32_t OpenComponent(const char* path, bool deletable, platform::FileHandle* file) override;
    std::uint32_t CopyOpened(platform::FileHandle file, const char* destination, std::uint8_t (&digest)[32]) override;
    std::uint32_t SameBytes(platform::FileHandle file, const char* path, bool* same) override;
    std::uint32_t DeleteOpened(platform::FileHandle file) override;
    void CloseFile(platform::FileHandle file) override;
    std::uint32_t FolderDriveType(const char* folder) override;
    std::uint32_t FileSize(const char* path, std::uint64_t* size) override;
    std::uint32_t FileDigest(const char* path, std::uint8_t (&digest)[32]) override;
    std::uint32_t ReadFileVersion(const char* path, platform::FileVersion* version) override;
    platform::LibraryHandle LoadLibraryFrom(const char* path, std::uint32_t* error) override;
    platform::ProcHandle FindExport(platform::LibraryHandle library, const char* name) override;
    std::int32_t CallExport(platform::ProcHandle proc) override;
    void FreeLibraryHandle(platform::LibraryHandle library) override;
    std::uint32_t OpenKey(RegRoot root, const char* path, platform::KeyHandle* key) override;
    std::uint32_t CreateKey(RegRoot root, const char* path, platform::KeyHandle* key) override;
    std::uint32_t SetString(platform::KeyHandle key, const char* name, const char* text,
                            TextCoding coding) override;
    std::uint32_t SetDword(platform::KeyHandle key, const char* name, std::uint32_t value) override;
    std::uint32_t QueryValue(platform::KeyHandle key, const char* name) override;
    std::uint32_t DeleteValue(platform::KeyHandle key, const char* name) override;
    std::uint32_t QueryKeyInfo(platform::KeyHandle key, char* classBuffer, std::uint32_t classSize,
                               std::uint32_t* subKeys) override;
    std::uint32_t EnumSubKey(platform::KeyHandle key, std::uint32_t index, char* name,
                             std::uint32_t size) override;
    std::uint32_t DeleteKey(RegRoot root, const char* path) override;
    std::uint32_t FlushKey(platform::KeyHandle key) override;
    void CloseKey(platform::KeyHandle key) override;
    void ShowMessage(platform::OwnerWindow owner, const char* text949, const char* caption949) override;
    void EndRun() override {}
    void Pause(std::uint32_t milliseconds) override;
    std::uint32_t LocalDate() override;
    void Note(const char* event, const char* subject) override;

    struct Key;

private:
    struct File {
        std::string content;
        std::shared_ptr<FakeControl> library;
        bool hasVersion = false;
        platform::FileVersion version = {};
        std::uint32_t attributes = 0;
        bool reparsePoint = false;
        int names = 1;
    };
    struct OpenFile {
        std::string folded;
        bool deletable;
        bool deleting;
    };
    struct Library {
        std::string path;
        std::shared_ptr<FakeControl> control;
        int references = 0;
        bool elsewhere = false;  // loaded by another process
    };
    struct Fault {
        Op op;
        int occurrence;  // 0: by argument
        std::string argument;
        std::uint32_t error;
    };

    // Whether the process has been stopped (StopBeforeCall).
    [[nodiscard]] bool Stopped() const;
    // Logs the call and answers whether an injected fault hits it, or the
    // process is stopped.
    bool Intercept(Op op, const std::string& argument, std::uint32_t* error);
    std::uint32_t Lookup(RegRoot root, const std::string& path, bool create, std::shared_ptr<Key>* out);
    std::shared_ptr<Key> Find(RegRoot root, const std::string& path) const;
    Key* Handle(platform::KeyHandle key);
    // Why there is no file at `folded`: its folder is missing, or it is.
    [[nodiscard]] std::uint32_t AbsentError(const std::string& folded) const;
    // Why nothing may be written at `folded` (its folder missing, a folder or
    // a blocked file in the way), or 0.
    [[nodiscard]] std::uint32_t TargetRefusal(const std::string& folded) const;
    // Whether `folded` is a file loaded as a library.
    [[nodiscard]] bool IsLoaded(const std::string& folded) const;
    // Whether `folded` is a component this run holds open, which it shares
    // with nobody for writing, renaming or deleting.
    [[nodiscard]] bool IsOpened(const std::string& folded) const;
    OpenFile* Opened(platform::FileHandle file);

    std::shared_ptr<Key> classesRoot_;
    std::shared_ptr<Key> localMachine_;
    std::map<std::uintptr_t, std::shared_ptr<Key>> keyHandles_;
    std::uintptr_t nextHandle_ = 0x100;
    std::map<std::string, File> files_;            // by folded path
    std::set<std::string> directories_;            // folded
    std::map<std::string, std::uint32_t> blocked_;  // folded destination -> error
    std::map<std::uintptr_t, Library> libraries_;
    std::map<std::uintptr_t, OpenFile> fileHandles_;
    std::uintptr_t nextFile_ = 0x40;
    std::map<std::uintptr_t, std::pair<std::uintptr_t, bool>> procs_;  // proc -> (library, register?)
    std::uintptr_t nextLibrary_ = 0x10000;
    std::vector<Fault> faults_;
    int failNth_ = 0;
    std::uint32_t failNthError_ = 0;
    int failNthRepeats_ = 0;  // further failures of the same call
    Call failNthCall_ = {};
    int stopAt_ = 0;  // 0: runs to its end
    std::map<Op, int> opCounts_;
};

std::string Fold(const std::string& text);  // ASCII lower case, as the registry compares

// The stand-in's file digest: 32 bytes that change with every byte of the
// content (no cryptography; the stand-in only needs what tells files apart).
void DigestOf(const std::string& content, std::uint8_t (&digest)[32]);

}  // namespace fake
