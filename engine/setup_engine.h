// The installation engine: moves the four components of the product into the
// Windows system folder, records them in Internet Explorer's Code Store
// Database, lets the control register itself, undoes all of it when any step
// fails, and writes the Add/Remove Programs entry and the product key.
//
// The engine holds no state between calls and takes no heap memory: every
// routine works in zero-filled fixed-size buffers on its own stack frame and
// reaches the system only through the Platform it is handed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/product.h"
#include "platform/platform.h"

namespace sorvan {

using platform::OwnerWindow;
using platform::Platform;
using platform::RegRoot;

// Sizes of the working buffers.
constexpr std::size_t kPathSize = 1024;         // a path: 1023 characters and the NUL
constexpr std::size_t kSlotSize = 128;          // one manifest slot
constexpr std::size_t kUninstallFolderSize = 512;
constexpr std::size_t kUninstallCommandSize = 550;
constexpr int kComponentCount = 4;

inline constexpr char kSetupExeName[] = SORVAN_SETUP_EXE;

// The manifest: control first, in the order every operation handles them.
inline constexpr const char* kComponentNames[kComponentCount] = {
    SORVAN_COMPONENT_1,
    SORVAN_COMPONENT_2,
    SORVAN_COMPONENT_3,
    SORVAN_COMPONENT_4,
};
constexpr int kControlSlot = 0;
constexpr int kUninstallerSlot = 3;

// Registry locations.
inline constexpr char kControlClsid[] = SORVAN_CONTROL_CLSID;
inline constexpr char kDistributionUnitKey[] =
    "Software\\Microsoft\\Code Store Database\\Distribution Units\\" SORVAN_CONTROL_CLSID;
inline constexpr char kFileListKey[] =
    "Software\\Microsoft\\Code Store Database\\Distribution Units\\" SORVAN_CONTROL_CLSID "\\Contains\\Files";
inline constexpr char kControlClassKey[] = "CLSID\\" SORVAN_CONTROL_CLSID;
inline constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUElmark";
inline constexpr char kProductKey[] = "SOFTWARE\\QUElmark\\SORVAN";

inline constexpr char kRegisterExport[] = "DllRegisterServer";
inline constexpr char kUnregisterExport[] = "DllUnregisterServer";

// The product's Korean texts, as code page 949 bytes.
// "휴대폰 인증서 서비스"
inline constexpr char kMessageCaption[] =
    "\xC8\xDE\xB4\xEB\xC6\xF9 \xC0\xCE\xC1\xF5\xBC\xAD \xBC\xAD\xBA\xF1\xBD\xBA";
// "휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n익스플로러를 모두 닫고 다시 실행해 주세요"
inline constexpr char kSharingViolationText[] =
    "\xC8\xDE\xB4\xEB\xC6\xF9 \xC0\xCE\xC1\xF5\xBC\xAD \xBC\xAD\xBA\xF1\xBD\xBA "
    "\xBC\xB3\xC4\xA1\xB8\xA6 \xBD\xC7\xC6\xD0\xC7\xCF\xBF\xB4\xBD\xC0\xB4\xCF\xB4\xD9.\r\n"
    "\xC0\xCD\xBD\xBA\xC7\xC3\xB7\xCE\xB7\xAF\xB8\xA6 \xB8\xF0\xB5\xCE \xB4\xDD\xB0\xED "
    "\xB4\xD9\xBD\xC3 \xBD\xC7\xC7\xE0\xC7\xD8 \xC1\xD6\xBC\xBC\xBF\xE4";
// "휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n관리자 권한이 있는 계정으로 로그인하고 다시 실행해 주세요"
inline constexpr char kAccessDeniedText[] =
    "\xC8\xDE\xB4\xEB\xC6\xF9 \xC0\xCE\xC1\xF5\xBC\xAD \xBC\xAD\xBA\xF1\xBD\xBA "
    "\xBC\xB3\xC4\xA1\xB8\xA6 \xBD\xC7\xC6\xD0\xC7\xCF\xBF\xB4\xBD\xC0\xB4\xCF\xB4\xD9.\r\n"
    "\xB0\xFC\xB8\xAE\xC0\xDA \xB1\xC7\xC7\xD1\xC0\xCC \xC0\xD6\xB4\xC2 \xB0\xE8\xC1\xA4\xC0\xB8\xB7\xCE "
    "\xB7\xCE\xB1\xD7\xC0\xCE\xC7\xCF\xB0\xED \xB4\xD9\xBD\xC3 \xBD\xC7\xC7\xE0\xC7\xD8 \xC1\xD6\xBC\xBC\xBF\xE4";
// "SORVan 휴대폰 인증서 서비스"
inline constexpr char kDisplayName[] =
    "SORVan \xC8\xDE\xB4\xEB\xC6\xF9 \xC0\xCE\xC1\xF5\xBC\xAD \xBC\xAD\xBA\xF1\xBD\xBA";

// The product key names the libraries with a lower-case v; the file system
// ignores the difference.
inline constexpr char kDllNameMfc[] = "Sorvan.dll";
inline constexpr char kDllNameWin32[] = "SorvanWin32.dll";

// What a release's program was made with: the SHA-256 of each component,
// in manifest order. The program carries them in its signed image, so a
// component replaced in the folder it runs from, which is writable by
// programs that are not administrators, is never installed nor run.
struct ComponentDigests {
    std::uint8_t sha256[kComponentCount][32];
};

// --- Manifest, locations and registry conventions -------------------------

using Manifest = char[kComponentCount][kSlotSize];

// Fills the four slots with the component names, each followed by zeros.
void BuildManifest(Manifest& manifest);

// The directory the setup program runs from: its module path up to the last
// backslash, whatever the program is called. Returns 0, leaving `directory`
// empty, when the module path cannot be read, did not fit the buffer, or has
// no backslash.
[[nodiscard]] int SourceDirectory(Platform& os, char (&directory)[kPathSize]);

// The Windows system folder. The query's status is not used: when it fails the
// zero-filled buffer stays the empty string.
void SystemFolder(Platform& os, char* folder, std::size_t size);

// `directory` + "\" + `name` into `out`. Returns 0, with `out` holding the
// empty string, when the result would not fit.
[[nodiscard]] int ComposePath(char* out, std::size_t size, const char* directory, const char* name);

// Opens HKEY_LOCAL_MACHINE\path with full access, else creates it together
// with any missing intermediate keys. Returns 1 with the key held in `key`.
[[nodiscard]] int OpenOrCreateKey(Platform& os, const char* path, platform::ScopedKey& key);

// Writes `text` as a REG_SZ value; 1 on success.
[[nodiscard]] int SetStringValue(Platform& os, platform::KeyHandle key, const char* name, const char* text,
                                 platform::TextCoding coding = platform::TextCoding::SystemAnsi);

// --- Installation and removal ---------------------------------------------

// --- Other programs' moments ---------------------------------------------

// A virus scanner opens a file the moment it is written or renamed, an
// indexer or a backup agent soon after, and each lets go within moments; a
// file deleted while another process still has it open answers as pending
// deletion until that process closes it. Every file step of a run waits
// either out, trying again every quarter of a second for five seconds in
// all; only a file that still holds after that is held.
constexpr std::uint32_t kFileRetryIntervalMs = 250;
constexpr int kFileRetries = 20;

// The file steps of a run, by the Platform operation each takes: on `path`,
// with `other` (a second path, or an opened file) and `result` where the
// operation has them.
enum class FileStep : std::uint8_t {
    Query,             // QueryFile(path)
    Remove,            // RemoveFile(path)
    ClearAttributes,   // ClearFileAttributes(path)
    CheckReplaceable,  // CheckReplaceable(path)
    Move,              // MoveFileOver(path, other), other a path
    Digest,            // FileDigest(path, *result), result a std::uint8_t[32]
    Size,              // FileSize(path, result), result a std::uint64_t
    Version,           // ReadFileVersion(path, result), result a FileVersion
    Load,              // LoadLibraryFrom(path), the module into *result, a LibraryHandle
    Open,              // OpenComponent(path, false, result), result a FileHandle
    OpenToDelete,      // OpenComponent(path, true, result)
    CopyOpened,        // CopyOpened(other, path, *result), other a FileHandle, result a std::uint8_t[32]
    Compare,           // SameBytes(other, path, result), other a FileHandle, result a bool
};

// The file step `step`, tried again while it meets a sharing violation or a
// file pending deletion: the one place a run waits for another program.
// Returns the last try's error code.
[[nodiscard]] std::uint32_t Patiently(Platform& os, FileStep step, const char* path, const void* other,
                                      void* result);
// The same for a step on one path.
[[nodiscard]] std::uint32_t Patiently(Platform& os, FileStep step, const char* path);

// Every path of one run, composed once. Beside each installed file in the
// system folder, on the same volume so that every replacement is a rename:
// its new copy until it takes the file's name ("name.new"), and its backup,
// the earlier file while the run may still need it back ("name.sorvan-old").
// A backup no longer needed while another process has it loaded is set
// aside under a name of its own ("name.sorvan-del", "name.sorvan-del1", …),
// which only a clean-up ever reads.
struct RunPaths {
    char sourceDirectory[kPathSize];
    char systemFolder[kPathSize];
    char sources[kComponentCount][kPathSize];
    char installed[kComponentCount][kPathSize];
    char staged[kComponentCount][kPathSize];
    char backups[kComponentCount][kPathSize];
};

// Fills `paths`. Returns 0 when the program cannot tell the folder it runs
// from or the system folder, or a path would not fit.
[[nodiscard]] int ComposeRunPaths(Platform& os, RunPaths& paths);

// The package's components, each opened once for the whole run and read
// only through its handle (none where it is absent or could not be opened,
// its error kept then), and whether they leave the folder at the end: only
// a download folder gives them up. Closed on every path.
class OpenedPackage {
public:
    explicit OpenedPackage(Platform& os) : os_(os) {}
    OpenedPackage(const OpenedPackage&) = delete;
    OpenedPackage& operator=(const OpenedPackage&) = delete;
    ~OpenedPackage() {
        for (platform::FileHandle file : files) {
            if (file != nullptr) os_.CloseFile(file);
        }
    }

    platform::FileHandle files[kComponentCount] = {};
    std::uint32_t errors[kComponentCount] = {};
    bool linked = false;
    bool download = false;
    bool refused = false;  // a component is a link, has other names, or too long a path

private:
    Platform& os_;
};

// Looks at the package folder before anything of it is read, and opens each
// component without following a link. A folder whose path passes through a
// link is treated as a network share: its components are copied and stay,
// for the link could be pointed elsewhere while the run works. A component
// that is a link or has other names, or a path too long for the system
// calls, is noted and kept as the component's error.
void OpenPackage(Platform& os, const RunPaths& paths, OpenedPackage& package);

// What the folder the program runs from holds, measured against what is
// installed:
//  - Complete: all four components, not all the same as installed;
//  - AlreadyInstalled: the installation is in place (each file installed and
//    listed in the distribution unit, and in a release the one the program
//    was made with), and each component the folder holds is the same, byte
//    for byte, as its installed copy;
//  - AnotherBuild: some or none of the components, beside an installation
//    of another build than the release's;
//  - Empty: none of them, and no installation in place;
//  - Incomplete: some of them, and not those of the installation in place;
//  - Unreadable: some or none, and a file could not be read to tell, or a
//    component is a link, has other names, or has too long a path.
enum class PackageState { Complete, AlreadyInstalled, AnotherBuild, Empty, Incomplete, Unreadable };
[[nodiscard]] PackageState ClassifyPackage(Platform& os, const RunPaths& paths, const OpenedPackage& package,
                                           const ComponentDigests* digests);

// One empty-string value named `path` under the distribution unit's file list.
int RecordInstalledFile(Platform& os, const char* path);

// Installs the components from the folder the program runs from into the
// system folder, records them and has the control register itself, as one
// transaction: either the new installation is complete, or the machine keeps
// what it had. Returns 1 when the installation is in place at the end
// (installed by this run, or already there), 0 otherwise. RunSetup says
// which outcome it was.
int InstallComponents(Platform& os, OwnerWindow owner, const ComponentDigests* digests = nullptr);

// LoadLibrary of the control at `controlPath`, waiting out a passing hold.
// The module, or null.
[[nodiscard]] platform::LibraryHandle LoadControl(Platform& os, const char* controlPath);

// Loads the control at `controlPath` and calls its DllRegisterServer: its
// HRESULT, or -1 when it does not load or has no such export.
[[nodiscard]] std::int32_t RegisterControl(Platform& os, const char* controlPath);

// Lets the control at `controlPath` unregister itself; one that loads but
// has no DllUnregisterServer has its class key removed instead, and one that
// does not load is left alone.
void UnregisterControl(Platform& os, const char* controlPath);

// Deletes root\path with every key below it. 1 when the key could be opened,
// whatever the deletions then did; 0 when it could not (nothing is deleted).
int DeleteKeyTree(Platform& os, RegRoot root, const char* path);

// --- Records and the setup run --------------------------------------------

// The Add/Remove Programs entry: "DisplayName", then "UnInstallString", which
// names the uninstaller by the WOW64 folder where there is one (64-bit
// Windows) and by the system folder otherwise. 1 once these two are written;
// then, each where it can be written, "DisplayIcon" (the uninstaller),
// "DisplayVersion", "VersionMajor", "VersionMinor" and "Publisher" (from the
// installed control's version resource), "EstimatedSize" (the four installed
// files in KB), "InstallDate" (YYYYMMDD; with `keepInstallDate`, the one
// already there stays), "NoModify" and "NoRepair". A value this run cannot
// provide is deleted, never left from an earlier run.
int WriteUninstallEntry(Platform& os, bool keepInstallDate = false);

// The product key: "DllPath", "DllNameMFC", "DllNameWin32".
int WriteProductKey(Platform& os);

// How a run ended:
//  - Installed: the new installation is complete, its control registered;
//  - AlreadyInstalled: this package's installation was found in place, and
//    its control registered itself again (a repair);
//  - NothingChanged: the run ended before it changed anything;
//  - Restored: a step failed after earlier files were replaced, and the
//    rollback restored the earlier installation, its control registered;
//  - RolledBack: a step failed on a machine without an earlier
//    installation, and the rollback removed what the run installed;
//  - RollbackIncomplete: the rollback could not finish (an installed file
//    held, a step that failed); its backups stay and the next start takes
//    it up again;
//  - RepairFailed: the installation was in place, but its control did not
//    register again.
enum class SetupOutcome {
    Installed,
    AlreadyInstalled,
    NothingChanged,
    Restored,
    RolledBack,
    RollbackIncomplete,
    RepairFailed
};

[[nodiscard]] constexpr bool IsInPlace(SetupOutcome outcome) {
    return outcome == SetupOutcome::Installed || outcome == SetupOutcome::AlreadyInstalled;
}

// The process exit status for each outcome: 1603 is ERROR_INSTALL_FAILURE,
// what Windows installers report for a failed installation.
constexpr int kExitInstalled = 0;
constexpr int kExitInstallFailure = 1603;
[[nodiscard]] constexpr int ExitCodeFor(SetupOutcome outcome) {
    return IsInPlace(outcome) ? kExitInstalled : kExitInstallFailure;
}

// Flushes the keys a successful run wrote (the distribution unit's file
// list, the control's class, the Add/Remove Programs entry, the product key)
// to the disk. 1 when all of them were.
int FlushRecords(Platform& os);

// The whole job. First it finishes what a stopped run left: it deletes new
// copies and set-aside files, and rolls back to an earlier installation that
// a run backed up, once every file it would replace is free. Then, where
// this package is installed already, the control registers itself again.
// Otherwise, unless the package cannot be installed as it stands, it checks
// every installed file it would replace, copies and checks all four
// components beside them (against `digests`, when the program carries them),
// swaps each in by renames that back up the earlier file, has the control
// register itself, records the files, and only then commits, deleting the
// backups. A failure after the swap began rolls back what the run changed,
// and then tells the user where a message applies. After it, the Add/Remove
// Programs entry when the installation is in place, the product key in every
// case, and after a new installation, once all of it is on the disk, the
// components leave the package folder.
[[nodiscard]] SetupOutcome RunSetup(Platform& os, OwnerWindow owner, const ComponentDigests* digests = nullptr);

}  // namespace sorvan
