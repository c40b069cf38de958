// Installation as one transaction, and the setup run around it. A run
// finishes what a stopped run left, tells what the package folder holds, and
// then checks, stages, swaps in, registers, records and commits; until the
// commit the earlier installation can always be put back.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

int RecordInstalledFile(Platform& os, const char* path) {
    platform::ScopedKey key(os);
    if (!OpenOrCreateKey(os, kFileListKey, key)) return 0;
    return SetStringValue(os, key.Get(), path, "");
}

std::int32_t RegisterControl(Platform& os, const char* controlPath) {
    std::uint32_t error = 0;
    platform::ScopedLibrary control(os, os.LoadLibraryFrom(controlPath, &error));
    if (!control.IsLoaded()) return -1;
    platform::ProcHandle registerServer = os.FindExport(control.Get(), kRegisterExport);
    if (registerServer == nullptr) return -1;
    return os.CallExport(registerServer);
}

namespace {

constexpr char kStagedSuffix[] = ".new";
// The backup names are the program's own: a file an administrator set aside
// as "name.old" is never taken for one.
constexpr char kBackupSuffix[] = ".sorvan-old";
constexpr char kDiscardedSuffix[] = ".sorvan-del";

// `folder` + "\" + `name` + `suffix`; 0, leaving `out` empty, when it would
// not fit.
int ComposeSuffixed(char (&out)[kPathSize], const char* folder, const char* name, const char* suffix) {
    if (!ComposePath(out, kPathSize, folder, name)) return 0;
    const std::size_t length = std::strlen(out);
    const std::size_t suffixSize = std::strlen(suffix) + 1;  // with its NUL
    if (length + suffixSize > kPathSize) {
        std::memset(out, 0, kPathSize);
        return 0;
    }
    std::memcpy(out + length, suffix, suffixSize);
    return 1;
}

bool IsAbsent(std::uint32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether two folder names are the same, as the file system compares ASCII
// letters: without regard to case.
bool SameFolder(const char* one, const char* other) {
    for (; FoldAscii(*one) == FoldAscii(*other); ++one, ++other) {
        if (*one == '\0') return true;
    }
    return false;
}

// Tells the user what to do about the two failures they can fix themselves:
// a file held by another program, or an account without the rights. Any
// other error ends the run silently.
void ReportCopyFailure(Platform& os, OwnerWindow owner, std::uint32_t error) {
    if (error == platform::kErrorSharingViolation) {
        os.ShowMessage(owner, kSharingViolationText, kMessageCaption);
    } else if (error == platform::kErrorAccessDenied) {
        os.ShowMessage(owner, kAccessDeniedText, kMessageCaption);
    }
}

// Notes the outcome for the log, once, as the installation ends.
SetupOutcome Ended(Platform& os, SetupOutcome outcome) {
    constexpr const char* kOutcomeNotes[] = {
        "installed",
        "already installed, nothing to do",
        "nothing was changed",
        "rolled back: the earlier installation is put back",
        "rolled back: nothing this run installed is left",
    };
    os.Note(kOutcomeNotes[static_cast<int>(outcome)], nullptr);
    return outcome;
}

SetupOutcome NothingChanged(Platform& os, const char* reason, const char* subject = nullptr) {
    os.Note(reason, subject);
    return Ended(os, SetupOutcome::NothingChanged);
}

// What a run has done to the installed files, slot by slot: which earlier
// file it keeps under the backup name, and where its new copy has taken the
// installed name.
struct Changes {
    bool kept[kComponentCount];
    bool replaced[kComponentCount];
};

bool AnyOf(const bool (&flags)[kComponentCount]) { return flags[0] || flags[1] || flags[2] || flags[3]; }

// Which components have an earlier file kept under its backup name.
void FindBackups(Platform& os, const RunPaths& paths, bool (&kept)[kComponentCount]) {
    for (int i = 0; i < kComponentCount; ++i) kept[i] = os.QueryFile(paths.backups[i]) == platform::kErrorSuccess;
}

// Lets a kept earlier file go for good: renamed out of the way first, where
// no start takes it for a stopped run's, then deleted. Windows lets a library
// another process has loaded be renamed but not deleted; such a file is
// deleted at the next restart instead. 0 when it could not even be renamed.
int LetGo(Platform& os, const RunPaths& paths, int slot) {
    if (os.MoveFileOver(paths.backups[slot], paths.discarded[slot]) != platform::kErrorSuccess) return 0;
    if (os.RemoveFile(paths.discarded[slot]) != platform::kErrorSuccess) {
        (void)os.DeleteAtRestart(paths.discarded[slot]);
    }
    return 1;
}

// The point of no return: the kept earlier files go, the control's first.
// Its backup is what marks a run as unfinished: a start that finds it puts
// the earlier installation back, and one that finds only the others' lets
// them go. 0, with nothing committed, when the control's cannot go; another
// one that cannot is left for the next start.
int Commit(Platform& os, const RunPaths& paths, const bool (&kept)[kComponentCount]) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (kept[i] && !LetGo(os, paths, i) && i == kControlSlot) return 0;
    }
    return 1;
}

// Puts back what a run replaced: the control in place unregisters itself,
// each earlier file takes its name again and each new one without an earlier
// file goes, then the earlier control registers itself again. The control is
// copied back, not renamed, and its backup goes last, once everything else is
// back and it has registered: until then a start takes the undo up again from
// the beginning.
SetupOutcome Undo(Platform& os, const RunPaths& paths, const bool (&kept)[kComponentCount],
                  const bool (&replaced)[kComponentCount]) {
    if (kept[kControlSlot] || replaced[kControlSlot]) UnregisterControl(os, paths.installed[kControlSlot]);
    bool restored = true;
    for (int i = kComponentCount - 1; i > kControlSlot; --i) {
        if (kept[i]) {
            restored = os.MoveFileOver(paths.backups[i], paths.installed[i]) == platform::kErrorSuccess && restored;
        } else if (replaced[i]) {
            (void)os.RemoveFile(paths.installed[i]);
        }
    }
    if (kept[kControlSlot]) {
        const char* control = paths.installed[kControlSlot];
        if (os.CopyFileOver(paths.backups[kControlSlot], control) == platform::kErrorSuccess &&
            os.FlushFile(control) == platform::kErrorSuccess) {
            // An earlier control that does not register again keeps its
            // backup too: the next start tries again.
            if (RegisterControl(os, control) == platform::kHresultOk && restored) (void)LetGo(os, paths, kControlSlot);
        }
    } else if (replaced[kControlSlot]) {
        (void)os.RemoveFile(paths.installed[kControlSlot]);
    }
    return AnyOf(kept) ? SetupOutcome::Restored : SetupOutcome::RolledBack;
}

// Deletes the new copies, read-only ones too: after a successful run they
// have taken their names and none is left.
void DeleteStagedCopies(Platform& os, const RunPaths& paths) {
    for (const char* staged : paths.staged) {
        if (!IsAbsent(os.ClearFileAttributes(staged))) (void)os.RemoveFile(staged);
    }
}

// Finishes what a stopped run left in the system folder, before anything
// else: its new copies go (a copy from a disc stays read-only until the run
// clears it), so does what it set aside, and the earlier files it kept are
// put back while the control's is among them, or let go when it is not.
// 0 when kept files are still there: a run must not write over them.
int FinishStoppedRun(Platform& os, const RunPaths& paths) {
    DeleteStagedCopies(os, paths);
    for (int i = 0; i < kComponentCount; ++i) {
        // Set aside while another process had it loaded: gone once that
        // process lets go, else at the next restart, as its run asked.
        const std::uint32_t error = os.RemoveFile(paths.discarded[i]);
        if (error != platform::kErrorSuccess && !IsAbsent(error)) (void)os.DeleteAtRestart(paths.discarded[i]);
    }
    bool kept[kComponentCount] = {};
    FindBackups(os, paths, kept);
    if (!AnyOf(kept)) return 1;
    os.Note(kept[kControlSlot] ? "a stopped run left the earlier installation: putting it back"
                               : "a stopped run had committed: letting its earlier files go",
            nullptr);
    if (kept[kControlSlot]) {
        (void)Undo(os, paths, kept, kept);
    } else {
        (void)Commit(os, paths, kept);
    }
    FindBackups(os, paths, kept);
    return AnyOf(kept) ? 0 : 1;
}

// How the installation in place stands to this package.
enum class InPlace { AsPackaged, Not, AnotherBuild, Unreadable };

// As packaged: each file installed and listed in the distribution unit, in a
// release the one the program was made with, and each component the folder
// holds the same, byte for byte, as its installed copy.
InPlace CompareWithInstalled(Platform& os, const RunPaths& paths, const bool (&inFolder)[kComponentCount],
                             const ComponentDigests* digests) {
    platform::ScopedKey list(os);
    if (os.OpenKey(RegRoot::LocalMachine, kFileListKey, list.Receive()) != platform::kErrorSuccess) {
        return InPlace::Not;
    }
    bool another = false;
    for (int i = 0; i < kComponentCount; ++i) {
        if (os.QueryValue(list.Get(), paths.installed[i]) != platform::kErrorSuccess) return InPlace::Not;
        // Written only on success, and read only then.
        std::uint8_t installed[32];
        const std::uint32_t error = os.FileDigest(paths.installed[i], installed);
        if (IsAbsent(error)) return InPlace::Not;
        if (error != platform::kErrorSuccess) return InPlace::Unreadable;
        if (digests != nullptr && std::memcmp(installed, digests->sha256[i], sizeof installed) != 0) another = true;
        if (!inFolder[i]) continue;
        std::uint8_t packaged[32];
        if (os.FileDigest(paths.sources[i], packaged) != platform::kErrorSuccess) return InPlace::Unreadable;
        if (std::memcmp(packaged, installed, sizeof packaged) != 0) return InPlace::Not;
    }
    return another ? InPlace::AnotherBuild : InPlace::AsPackaged;
}

// The components leave the folder they were started from only where it is on
// a local fixed drive, a download folder. A package on a USB stick, a disc or
// a network share serves the next machine too: there they are copied and
// stay. A drive whose type cannot be told counts as fixed.
void TakeSources(Platform& os, const RunPaths& paths) {
    const std::uint32_t drive = os.FolderDriveType(paths.sourceDirectory);
    if (drive == platform::kDriveRemovable || drive == platform::kDriveRemote || drive == platform::kDriveCdRom) {
        os.Note("kept: removable, optical or network drive", nullptr);
        return;
    }
    os.Note("moved: local drive", nullptr);
    for (const char* source : paths.sources) {
        // The installation stands: a later start from this folder finds the
        // same bytes as installed and changes nothing.
        if (os.RemoveFile(source) != platform::kErrorSuccess) os.Note("left in the package folder:", source);
    }
}

// Before anything changes, each installed file this run would replace must be
// free to be replaced. Returns 0, or the error of the first one held by
// another process (a browser that has the control loaded) or that cannot be
// written, in `*slot`.
std::uint32_t CheckInstalledFiles(Platform& os, const RunPaths& paths, int* slot) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (IsAbsent(os.ClearFileAttributes(paths.installed[i]))) continue;
        const std::uint32_t error = os.CheckReplaceable(paths.installed[i]);
        if (error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied) {
            *slot = i;
            return error;
        }
    }
    return platform::kErrorSuccess;
}

// Copies each component beside the file it replaces, takes off what it took
// of its source's attributes (one from a disc is read-only: an installed file
// must not be, or no later run could replace it) and, in a
// release, reads it back from the system folder, where only administrators
// write, and checks it against its digest: what is checked is what will be
// loaded. Each copy is on the disk before it takes its name. False, with the
// reason noted, when one fails; nothing installed has changed then.
bool Stage(Platform& os, OwnerWindow owner, const RunPaths& paths, const ComponentDigests* digests) {
    for (int i = 0; i < kComponentCount; ++i) {
        std::uint32_t error = os.CopyFileOver(paths.sources[i], paths.staged[i]);
        if (error == platform::kErrorSuccess) error = os.ClearFileAttributes(paths.staged[i]);
        if (error == platform::kErrorSuccess) error = os.FlushFile(paths.staged[i]);
        if (error != platform::kErrorSuccess) {
            ReportCopyFailure(os, owner, error);
            os.Note("cannot copy", paths.sources[i]);
            return false;
        }
        if (digests == nullptr) continue;
        // A copy that cannot be read back is no match either (the read's
        // error is logged on its own).
        std::uint8_t actual[32] = {};
        if (os.FileDigest(paths.staged[i], actual) != platform::kErrorSuccess ||
            std::memcmp(actual, digests->sha256[i], sizeof actual) != 0) {
            os.Note("not what this program was made with:", paths.sources[i]);
            return false;
        }
    }
    return true;
}

// Each new copy takes its installed file's name, the earlier file first
// taking its backup name. Returns 0, or the error of the rename that failed
// in `*slot`.
std::uint32_t SwapIn(Platform& os, const RunPaths& paths, Changes& changes, int* slot) {
    for (int i = 0; i < kComponentCount; ++i) {
        *slot = i;
        std::uint32_t error = os.MoveFileOver(paths.installed[i], paths.backups[i]);
        changes.kept[i] = error == platform::kErrorSuccess;
        // Nothing to keep only where nothing is there: the rename that
        // follows replaces whatever is.
        if (!changes.kept[i] && (!IsAbsent(error) || !IsAbsent(os.QueryFile(paths.installed[i])))) return error;
        error = os.MoveFileOver(paths.staged[i], paths.installed[i]);
        if (error != platform::kErrorSuccess) return error;
        changes.replaced[i] = true;
    }
    return platform::kErrorSuccess;
}

// The installation proper, once the package is known whole and every file
// it replaces free: stage, swap in, register, record, commit. Any failure
// after the swap began puts back what it replaced.
SetupOutcome Replace(Platform& os, OwnerWindow owner, const ComponentDigests* digests, const RunPaths& paths) {
    if (!Stage(os, owner, paths, digests)) return SetupOutcome::NothingChanged;

    Changes changes = {};
    int slot = 0;
    std::uint32_t error = SwapIn(os, paths, changes, &slot);
    if (error != platform::kErrorSuccess) {
        // A library another process loaded since the check cannot be
        // replaced; Windows calls that access denied. It is a held file.
        if (error == platform::kErrorAccessDenied &&
            os.CheckReplaceable(paths.installed[slot]) == platform::kErrorSharingViolation) {
            error = platform::kErrorSharingViolation;
        }
        ReportCopyFailure(os, owner, error);
        os.Note("cannot replace", paths.installed[slot]);
        return Undo(os, paths, changes.kept, changes.replaced);
    }

    if (RegisterControl(os, paths.installed[kControlSlot]) != platform::kHresultOk) {
        os.Note("the control did not register", nullptr);
        return Undo(os, paths, changes.kept, changes.replaced);
    }
    for (const char* path : paths.installed) (void)RecordInstalledFile(os, path);

    if (!Commit(os, paths, changes.kept)) {
        os.Note("cannot let the earlier control go", nullptr);
        return Undo(os, paths, changes.kept, changes.replaced);
    }
    return SetupOutcome::Installed;
}

SetupOutcome Install(Platform& os, OwnerWindow owner, const ComponentDigests* digests, RunPaths& paths) {
    if (!ComposeRunPaths(os, paths)) return NothingChanged(os, "no package or system folder");
    // Started from among the installed files, the program would take them
    // for its package and delete them after installing them.
    char wow64Folder[kPathSize];
    std::memset(wow64Folder, 0, sizeof wow64Folder);
    if (SameFolder(paths.sourceDirectory, paths.systemFolder) ||
        (os.SystemWow64FolderPath(wow64Folder, sizeof wow64Folder) != 0 &&
         SameFolder(paths.sourceDirectory, wow64Folder))) {
        return NothingChanged(os, "started from the system folder:", paths.sourceDirectory);
    }
    if (!FinishStoppedRun(os, paths)) return NothingChanged(os, "a stopped run's earlier files are still there");

    switch (ClassifyPackage(os, paths, digests)) {
        case PackageState::Complete:
            break;
        case PackageState::AlreadyInstalled:
            return Ended(os, SetupOutcome::AlreadyInstalled);
        case PackageState::AnotherBuild:
            return NothingChanged(os, "another build is installed");
        case PackageState::Empty:
            return NothingChanged(os, "the folder holds none of the components");
        case PackageState::Incomplete:
            for (const char* source : paths.sources) {
                if (IsAbsent(os.QueryFile(source))) os.Note("missing from the package:", source);
            }
            return NothingChanged(os, "incomplete package");
        case PackageState::Unreadable:
            return NothingChanged(os, "cannot compare with the installed files");
    }

    int slot = 0;
    std::uint32_t error = CheckInstalledFiles(os, paths, &slot);
    if (error != platform::kErrorSuccess) {
        ReportCopyFailure(os, owner, error);
        return NothingChanged(os, "cannot replace", paths.installed[slot]);
    }

    const SetupOutcome outcome = Replace(os, owner, digests, paths);
    DeleteStagedCopies(os, paths);
    return Ended(os, outcome);
}

}  // namespace

int ComposeRunPaths(Platform& os, RunPaths& paths) {
    std::memset(&paths, 0, sizeof paths);
    Manifest manifest;
    BuildManifest(manifest);
    // Without the system folder there is no place to install to: an empty
    // folder would name the root of the current drive.
    if (!SourceDirectory(os, paths.sourceDirectory)) return 0;
    SystemFolder(os, paths.systemFolder, sizeof paths.systemFolder);
    struct Named {
        char (RunPaths::*paths)[kComponentCount][kPathSize];
        const char* suffix;
    };
    constexpr Named kInSystemFolder[] = {{&RunPaths::installed, ""},
                                         {&RunPaths::staged, kStagedSuffix},
                                         {&RunPaths::backups, kBackupSuffix},
                                         {&RunPaths::discarded, kDiscardedSuffix}};
    int fits = paths.systemFolder[0] != '\0';
    for (int i = 0; fits && i < kComponentCount; ++i) {
        fits = ComposePath(paths.sources[i], kPathSize, paths.sourceDirectory, manifest[i]);
        for (int n = 0; fits && n < 4; ++n) {
            const Named& named = kInSystemFolder[n];
            fits = ComposeSuffixed((paths.*named.paths)[i], paths.systemFolder, manifest[i], named.suffix);
        }
    }
    return fits;
}

PackageState ClassifyPackage(Platform& os, const RunPaths& paths, const ComponentDigests* digests) {
    // Only a definite "nothing there" counts as absent: a file the system
    // cannot tell about is left to the copy, which reports it.
    bool inFolder[kComponentCount] = {};
    int found = 0;
    for (int i = 0; i < kComponentCount; ++i) {
        inFolder[i] = !IsAbsent(os.QueryFile(paths.sources[i]));
        found += inFolder[i] ? 1 : 0;
    }
    const InPlace inPlace = CompareWithInstalled(os, paths, inFolder, digests);
    if (inPlace == InPlace::AsPackaged) return PackageState::AlreadyInstalled;
    if (found == kComponentCount) return PackageState::Complete;
    if (inPlace == InPlace::Unreadable) return PackageState::Unreadable;
    if (inPlace == InPlace::AnotherBuild) return PackageState::AnotherBuild;
    return found == 0 ? PackageState::Empty : PackageState::Incomplete;
}

int InstallComponents(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    RunPaths paths;  // NOLINT(cppcoreguidelines-pro-type-member-init): ComposeRunPaths fills it
    return IsInPlace(Install(os, owner, digests, paths)) ? 1 : 0;
}

SetupOutcome RunSetup(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    RunPaths paths;  // NOLINT(cppcoreguidelines-pro-type-member-init): ComposeRunPaths fills it
    const SetupOutcome outcome = Install(os, owner, digests, paths);
    if (IsInPlace(outcome)) (void)WriteUninstallEntry(os);
    (void)WriteProductKey(os);
    if (outcome != SetupOutcome::Installed) return outcome;
    // Everything this run wrote is on the disk before the package folder
    // gives up its copies: after a power cut the components are always
    // somewhere.
    if (FlushRecords(os)) {
        TakeSources(os, paths);
    } else {
        os.Note("kept: the records are not yet on the disk", nullptr);
    }
    return outcome;
}

}  // namespace sorvan
