// Installation as one transaction, and the setup run around it. A run
// finishes what a stopped run left, tells what the package folder holds, and
// then checks, stages, swaps in (backing up each earlier file), registers,
// records and commits; until the commit a rollback can always restore the
// earlier installation.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

namespace {

// Another program's moment: a file it holds, or one pending deletion while
// it still has it open. A file step meeting one is tried again.
bool IsPassing(std::uint32_t error) {
    return error == platform::kErrorSharingViolation || error == platform::kErrorDeletePending;
}

// One try of a file step. The steps on one path are taken from a table, in
// the order of FileStep.
std::uint32_t Try(Platform& os, FileStep step, const char* path, const void* other, void* result) {
    const auto to = static_cast<const char*>(other);
    // An opened file, passed through `other` by the steps that read one.
    const auto opened = static_cast<platform::FileHandle>(const_cast<void*>(other));
    using PathStep = std::uint32_t (Platform::*)(const char*);
    constexpr PathStep kPathSteps[] = {&Platform::QueryFile, &Platform::RemoveFile, &Platform::ClearFileAttributes,
                                       &Platform::CheckReplaceable};
    switch (step) {
        case FileStep::Move: return os.MoveFileOver(path, to);
        case FileStep::Digest: return os.FileDigest(path, *static_cast<std::uint8_t(*)[32]>(result));
        case FileStep::Size: return os.FileSize(path, static_cast<std::uint64_t*>(result));
        case FileStep::Version: return os.ReadFileVersion(path, static_cast<platform::FileVersion*>(result));
        case FileStep::Load: {
            std::uint32_t error = 0;
            *static_cast<platform::LibraryHandle*>(result) = os.LoadLibraryFrom(path, &error);
            return error;
        }
        case FileStep::Open:
        case FileStep::OpenToDelete:
            return os.OpenComponent(path, step == FileStep::OpenToDelete, static_cast<platform::FileHandle*>(result));
        case FileStep::CopyOpened: return os.CopyOpened(opened, path, *static_cast<std::uint8_t(*)[32]>(result));
        case FileStep::Compare: return os.SameBytes(opened, path, static_cast<bool*>(result));
        default: return (os.*kPathSteps[static_cast<int>(step)])(path);
    }
}

}  // namespace

std::uint32_t Patiently(Platform& os, FileStep step, const char* path) {
    return Patiently(os, step, path, nullptr, nullptr);
}

std::uint32_t Patiently(Platform& os, FileStep step, const char* path, const void* other, void* result) {
    std::uint32_t error = Try(os, step, path, other, result);
    for (int tries = 0; tries < kFileRetries && IsPassing(error); ++tries) {
        os.Pause(kFileRetryIntervalMs);
        error = Try(os, step, path, other, result);
    }
    return error;
}

int RecordInstalledFile(Platform& os, const char* path) {
    platform::ScopedKey key(os);
    if (!OpenOrCreateKey(os, kFileListKey, key)) return 0;
    return SetStringValue(os, key.Get(), path, "");
}

platform::LibraryHandle LoadControl(Platform& os, const char* controlPath) {
    // Null unless it loaded: that is the result.
    platform::LibraryHandle control = nullptr;
    (void)Patiently(os, FileStep::Load, controlPath, nullptr, &control);
    return control;
}

std::int32_t RegisterControl(Platform& os, const char* controlPath) {
    platform::ScopedLibrary control(os, LoadControl(os, controlPath));
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
// An earlier file whose backup is no longer needed, set aside while another
// process still has it loaded: "name.sorvan-del", then "name.sorvan-del1" to
// "name.sorvan-del9", so that upgrades before the next restart each find a
// name of their own.
constexpr char kSetAsideSuffix[] = ".sorvan-del";
constexpr int kSetAsideNames = 10;

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

// The `number`-th set-aside name of the installed file in `slot`.
int ComposeSetAside(char (&out)[kPathSize], const RunPaths& paths, int slot, int number) {
    // The suffix, one digit and the NUL.
    char suffix[sizeof kSetAsideSuffix + 1];
    std::memcpy(suffix, kSetAsideSuffix, sizeof kSetAsideSuffix);
    suffix[sizeof kSetAsideSuffix - 1] = number > 0 ? static_cast<char>('0' + number) : '\0';
    suffix[sizeof kSetAsideSuffix] = '\0';
    return ComposeSuffixed(out, paths.systemFolder, kComponentNames[slot], suffix);
}

// Why a component is not read at all, by the error its opening gave; null
// for every other error.
const char* WhyNotRead(std::uint32_t error) {
    return error == platform::kErrorReparsePoint ? "a link, not a file:"
           : error == platform::kErrorOtherNames ? "a file with other names:"
           : error == platform::kErrorPathTooLong ? "path too long:"
                                                  : nullptr;
}

bool IsAbsent(std::uint32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

// A file another process holds, or has loaded, or cannot be written.
bool IsHeld(std::uint32_t error) {
    return IsPassing(error) || error == platform::kErrorAccessDenied;
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
void ReportFailure(Platform& os, OwnerWindow owner, std::uint32_t error) {
    if (IsPassing(error)) {
        os.ShowMessage(owner, kSharingViolationText, kMessageCaption);
    } else if (error == platform::kErrorAccessDenied) {
        os.ShowMessage(owner, kAccessDeniedText, kMessageCaption);
    }
}

// Logs the outcome, once, as the installation ends.
SetupOutcome LogOutcome(Platform& os, SetupOutcome outcome) {
    constexpr const char* kOutcomeNotes[] = {
        "installed",
        "already installed: its control registered again",
        "nothing was changed",
        "rolled back: the earlier installation is put back",
        "rolled back: nothing this run installed is left",
        "rollback incomplete: the next start takes it up again",
        "already installed, but its control did not register again",
    };
    os.Note(kOutcomeNotes[static_cast<int>(outcome)], nullptr);
    return outcome;
}

SetupOutcome NothingChanged(Platform& os, const char* reason, const char* subject = nullptr) {
    os.Note(reason, subject);
    return LogOutcome(os, SetupOutcome::NothingChanged);
}

// What a run has done to the installed files, slot by slot: which earlier
// file is backed up under the backup name, and where a new copy has taken
// the installed name.
struct Changes {
    bool backedUp[kComponentCount];
    bool replaced[kComponentCount];
};

bool AnyOf(const bool (&flags)[kComponentCount]) { return flags[0] || flags[1] || flags[2] || flags[3]; }

// Which components have an earlier file backed up.
void FindBackups(Platform& os, const RunPaths& paths, bool (&backedUp)[kComponentCount]) {
    for (int i = 0; i < kComponentCount; ++i) {
        backedUp[i] = Patiently(os, FileStep::Query, paths.backups[i]) == platform::kErrorSuccess;
    }
}

// Deletes a backup that is no longer needed: renamed out of the way first,
// under a set-aside name no start takes for a stopped run's, then deleted.
// Windows lets a library another process has loaded be renamed but not
// deleted; such a file is deleted at the next restart instead. A set-aside
// name whose file is still loaded refuses the rename, and the next name is
// tried; one whose file is not is replaced, its file as good as deleted. 0
// when the backup could not even be renamed.
int DeleteBackup(Platform& os, const RunPaths& paths, int slot) {
    char setAside[kPathSize];
    std::uint32_t error = platform::kErrorAccessDenied;
    for (int number = 0; (error == platform::kErrorAccessDenied || error == platform::kErrorDeletePending) &&
                         number < kSetAsideNames;
         ++number) {
        if (!ComposeSetAside(setAside, paths, slot, number)) return 0;
        error = Patiently(os, FileStep::Move, paths.backups[slot], setAside, nullptr);
    }
    if (error != platform::kErrorSuccess) return 0;
    if (Patiently(os, FileStep::Remove, setAside) != platform::kErrorSuccess) {
        (void)os.DeleteAtRestart(setAside);  // best effort: the next start tries again
    }
    return 1;
}

// Deletes what earlier runs set aside; one still loaded is deleted at the
// next restart. The names are taken lowest first, so the walk ends at the
// first that is not there: one above a gap was already scheduled for the
// restart by the start that met it.
void DeleteSetAsideFiles(Platform& os, const RunPaths& paths) {
    char setAside[kPathSize];
    for (int i = 0; i < kComponentCount; ++i) {
        for (int number = 0; number < kSetAsideNames && ComposeSetAside(setAside, paths, i, number); ++number) {
            const std::uint32_t error = Patiently(os, FileStep::Remove, setAside);
            if (IsAbsent(error)) break;
            if (error != platform::kErrorSuccess) (void)os.DeleteAtRestart(setAside);
        }
    }
}

// The point of no return: the backups go, the control's first. Its backup
// is what marks a run as unfinished: a start that finds it rolls back, and
// one that finds only the others' deletes them. 0, with nothing committed,
// when the control's cannot go; another one that cannot is left for the
// next start.
int Commit(Platform& os, const RunPaths& paths, const bool (&backedUp)[kComponentCount]) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (!backedUp[i] || DeleteBackup(os, paths, i)) continue;
        if (i == kControlSlot) return 0;
        os.Note("left for a later start:", paths.backups[i]);
    }
    return 1;
}

// Before a rollback touches anything, every installed file it would replace
// or delete must be free: a browser that loaded the new control since would
// keep it, and the rollback would leave the earlier companions beside it, its
// registration gone. Returns 0, or the error of the first one held, in
// `*slot`.
std::uint32_t CheckRollback(Platform& os, const RunPaths& paths, const Changes& changes, int* slot) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (!changes.backedUp[i] && !changes.replaced[i]) continue;
        const std::uint32_t error = Patiently(os, FileStep::CheckReplaceable, paths.installed[i]);
        if (IsHeld(error)) {
            *slot = i;
            return error;
        }
    }
    return platform::kErrorSuccess;
}

// Rolls back what a run changed. Where earlier files are backed up, the
// earlier installation is restored: the control in place unregisters itself,
// each earlier file takes its name again and each new one without an earlier
// file goes, then the earlier control registers itself again. The control is
// copied back, not renamed, and its backup goes last, once everything else
// is back and it has registered: until then a start takes the rollback up
// again from the beginning. On a machine without an earlier installation,
// the components are removed: the control unregisters itself, each file the
// run put in place goes, and so does the distribution unit, with whatever an
// earlier download left in it. Nothing is touched while an installed file is
// held (its error in `*held`, else 0).
SetupOutcome Rollback(Platform& os, const RunPaths& paths, const Changes& changes, std::uint32_t* held) {
    int slot = 0;
    *held = CheckRollback(os, paths, changes, &slot);
    if (*held != platform::kErrorSuccess) {
        os.Note("cannot roll back, held by another program:", paths.installed[slot]);
        return SetupOutcome::RollbackIncomplete;
    }
    const char* control = paths.installed[kControlSlot];
    if (changes.backedUp[kControlSlot] || changes.replaced[kControlSlot]) UnregisterControl(os, control);
    bool complete = true;
    for (int i = kComponentCount - 1; i >= kControlSlot; --i) {
        if (changes.backedUp[i]) {
            if (i != kControlSlot) {
                complete = Patiently(os, FileStep::Move, paths.backups[i], paths.installed[i], nullptr) ==
                               platform::kErrorSuccess && complete;
            }
        } else if (changes.replaced[i]) {
            complete = !IsHeld(Patiently(os, FileStep::Remove, paths.installed[i])) && complete;
        }
    }
    if (changes.backedUp[kControlSlot]) {
        // Copied as a component is, onto the disk, from a handle that lets
        // nobody change the backup meanwhile. An earlier control that does
        // not register again keeps its backup too: the next start tries again.
        platform::FileHandle backup = nullptr;
        std::uint8_t digest[32];
        bool back = Patiently(os, FileStep::Open, paths.backups[kControlSlot], nullptr, &backup) ==
                        platform::kErrorSuccess &&
                    Patiently(os, FileStep::CopyOpened, control, backup, &digest) == platform::kErrorSuccess;
        if (backup != nullptr) os.CloseFile(backup);
        back = back && RegisterControl(os, control) == platform::kHresultOk;
        complete = back && complete && DeleteBackup(os, paths, kControlSlot);
    }
    // Only a run that put components in place removes them: one that changed
    // nothing leaves a distribution unit it found as it was.
    const bool earlier = AnyOf(changes.backedUp);
    if (!earlier && AnyOf(changes.replaced)) (void)DeleteKeyTree(os, RegRoot::LocalMachine, kDistributionUnitKey);
    return !complete ? SetupOutcome::RollbackIncomplete : earlier ? SetupOutcome::Restored : SetupOutcome::RolledBack;
}

// Deletes the new copies, read-only ones too: after a successful run they
// have taken their names and none is left.
void DeleteStagedCopies(Platform& os, const RunPaths& paths) {
    for (const char* staged : paths.staged) {
        if (!IsAbsent(Patiently(os, FileStep::ClearAttributes, staged))) {
            (void)Patiently(os, FileStep::Remove, staged);  // best effort: the next start tries again
        }
    }
}

// Finishes what a stopped run left in the system folder, before anything
// else: its new copies go (a copy from a disc stays read-only until the run
// clears it), so do the files it set aside, and where the control's backup
// is among the backups it left, the earlier installation is restored; where
// it is not, the stopped run had committed and the other backups are
// deleted. A stopped run's backups name the slots it changed: each of them
// has its new file in place, if any. A new file without an earlier one
// stays. Returns the outcome of the stopped run's rollback, NothingChanged
// when there was none; `*held` as Rollback gives it.
SetupOutcome FinishStoppedRun(Platform& os, const RunPaths& paths, std::uint32_t* held) {
    *held = platform::kErrorSuccess;
    DeleteStagedCopies(os, paths);
    DeleteSetAsideFiles(os, paths);
    Changes changes = {};
    FindBackups(os, paths, changes.backedUp);
    if (!AnyOf(changes.backedUp)) return SetupOutcome::NothingChanged;
    if (!changes.backedUp[kControlSlot]) {
        // What such backups hold is older than the committed installation:
        // one that cannot go now is replaced by the next run's own backup.
        os.Note("a stopped run had committed: deleting its backups", nullptr);
        return Commit(os, paths, changes.backedUp) ? SetupOutcome::NothingChanged : SetupOutcome::RollbackIncomplete;
    }
    os.Note("a stopped run left the earlier installation backed up: restoring it", nullptr);
    // Each backed-up slot may have its new file in place: rolling back one
    // whose new file never arrived is the same, checking, unregistering and
    // replacing nothing that is not there.
    for (int i = 0; i < kComponentCount; ++i) changes.replaced[i] = changes.backedUp[i];
    return Rollback(os, paths, changes, held);
}

// How the installation in place stands to this package.
enum class InPlace { AsPackaged, Not, AnotherBuild, Unreadable };

// As packaged: each file installed and listed in the distribution unit, in a
// release the one the program was made with, and each component the folder
// holds the same as its installed copy, by size and then byte for byte.
InPlace CompareWithInstalled(Platform& os, const RunPaths& paths, const OpenedPackage& package,
                             const bool (&inFolder)[kComponentCount], const ComponentDigests* digests) {
    platform::ScopedKey list(os);
    if (os.OpenKey(RegRoot::LocalMachine, kFileListKey, list.Receive()) != platform::kErrorSuccess) {
        return InPlace::Not;
    }
    bool another = false;
    for (int i = 0; i < kComponentCount; ++i) {
        const char* installed = paths.installed[i];
        if (os.QueryValue(list.Get(), installed) != platform::kErrorSuccess) return InPlace::Not;
        std::uint32_t error = platform::kErrorSuccess;
        if (digests != nullptr) {
            // Written only on success, and read only then.
            std::uint8_t digest[32];
            error = Patiently(os, FileStep::Digest, installed, nullptr, &digest);
            another = another || (error == platform::kErrorSuccess && std::memcmp(digest, digests->sha256[i], 32) != 0);
        } else if (!inFolder[i]) {
            error = Patiently(os, FileStep::Query, installed);
        }
        bool same = true;
        if (error == platform::kErrorSuccess && inFolder[i]) {
            error = package.files[i] == nullptr ? package.errors[i]
                                                : Patiently(os, FileStep::Compare, installed, package.files[i], &same);
        }
        if (IsAbsent(error) || !same) return InPlace::Not;
        if (error != platform::kErrorSuccess) return InPlace::Unreadable;
    }
    return another ? InPlace::AnotherBuild : InPlace::AsPackaged;
}

// The components leave the folder they were started from only where it is a
// download folder, through the handles they were read by.
void DeleteSources(Platform& os, const RunPaths& paths, const OpenedPackage& package) {
    if (!package.download) {
        os.Note(package.linked ? "kept: reached through a link" : "kept: removable, optical or network drive", nullptr);
        return;
    }
    os.Note("moved: local drive", nullptr);
    for (int i = 0; i < kComponentCount; ++i) {
        // The installation stands: a later start from this folder finds the
        // same bytes as installed and changes nothing.
        if (os.DeleteOpened(package.files[i]) != platform::kErrorSuccess) {
            os.Note("left in the package folder:", paths.sources[i]);
        }
    }
}

// Before anything changes, each installed file this run would replace must be
// free to be replaced. Returns 0, or the error of the first one held by
// another process (a browser that has the control loaded) or that cannot be
// written, in `*slot`.
std::uint32_t CheckInstalledFiles(Platform& os, const RunPaths& paths, int* slot) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (IsAbsent(Patiently(os, FileStep::ClearAttributes, paths.installed[i]))) continue;
        const std::uint32_t error = Patiently(os, FileStep::CheckReplaceable, paths.installed[i]);
        if (IsHeld(error)) {
            *slot = i;
            return error;
        }
    }
    return platform::kErrorSuccess;
}

// Copies each component, from its handle, beside the file it replaces and
// onto the disk, and in a release checks it against its digest, taken from
// the very bytes the copy was written from, which nobody could change while
// the handle is held. A copy is a new file of the data alone: a read-only
// attribute from a disc, or the mark of the web, stays behind. False, with
// the reason noted and `*error` set, when one fails; nothing installed has
// changed then.
bool Stage(Platform& os, const RunPaths& paths, const OpenedPackage& package, const ComponentDigests* digests,
           std::uint32_t* error) {
    for (int i = 0; i < kComponentCount; ++i) {
        std::uint8_t digest[32] = {};
        *error = package.files[i] == nullptr
                     ? package.errors[i]
                     : Patiently(os, FileStep::CopyOpened, paths.staged[i], package.files[i], &digest);
        if (*error != platform::kErrorSuccess) {
            os.Note("cannot copy", paths.sources[i]);
            return false;
        }
        if (digests != nullptr && std::memcmp(digest, digests->sha256[i], sizeof digest) != 0) {
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
        std::uint32_t error = Patiently(os, FileStep::Move, paths.installed[i], paths.backups[i], nullptr);
        changes.backedUp[i] = error == platform::kErrorSuccess;
        // Nothing to back up only where nothing is there: the rename that
        // follows replaces whatever is.
        if (!changes.backedUp[i] &&
            (!IsAbsent(error) || !IsAbsent(Patiently(os, FileStep::Query, paths.installed[i])))) {
            return error;
        }
        error = Patiently(os, FileStep::Move, paths.staged[i], paths.installed[i], nullptr);
        if (error != platform::kErrorSuccess) return error;
        changes.replaced[i] = true;
    }
    return platform::kErrorSuccess;
}

// The installation proper, once the package is known whole and every file
// it replaces free: stage, swap in, register, record, commit. Any failure
// after the swap began rolls back what it changed first, and only then
// tells the user.
SetupOutcome Replace(Platform& os, OwnerWindow owner, const ComponentDigests* digests, const RunPaths& paths,
                     const OpenedPackage& package) {
    std::uint32_t error = platform::kErrorSuccess;
    if (!Stage(os, paths, package, digests, &error)) {
        ReportFailure(os, owner, error);
        return SetupOutcome::NothingChanged;
    }

    Changes changes = {};
    int slot = 0;
    error = SwapIn(os, paths, changes, &slot);
    if (error != platform::kErrorSuccess) {
        // A library another process loaded since the check cannot be
        // replaced; Windows calls that access denied. It is a held file.
        if (error == platform::kErrorAccessDenied &&
            Patiently(os, FileStep::CheckReplaceable, paths.installed[slot]) == platform::kErrorSharingViolation) {
            error = platform::kErrorSharingViolation;
        }
        os.Note("cannot replace", paths.installed[slot]);
    } else if (RegisterControl(os, paths.installed[kControlSlot]) != platform::kHresultOk) {
        os.Note("the control did not register", nullptr);
    } else {
        for (const char* path : paths.installed) (void)RecordInstalledFile(os, path);  // listed again by a repair
        if (Commit(os, paths, changes.backedUp)) return SetupOutcome::Installed;
        os.Note("cannot delete the earlier control's backup", nullptr);
    }
    std::uint32_t held = platform::kErrorSuccess;
    const SetupOutcome outcome = Rollback(os, paths, changes, &held);
    ReportFailure(os, owner, held != platform::kErrorSuccess ? held : error);
    return outcome;
}

SetupOutcome Install(Platform& os, OwnerWindow owner, const ComponentDigests* digests, RunPaths& paths,
                     OpenedPackage& package) {
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
    std::uint32_t held = platform::kErrorSuccess;
    const SetupOutcome stopped = FinishStoppedRun(os, paths, &held);
    if (held != platform::kErrorSuccess) {
        ReportFailure(os, owner, held);
        return NothingChanged(os, "the earlier installation is not restored yet");
    }
    if (stopped != SetupOutcome::NothingChanged) {
        (void)LogOutcome(os, stopped);
        // A rollback that could not finish leaves its backups: no run may
        // write over them.
        if (stopped == SetupOutcome::RollbackIncomplete) return stopped;
    }

    OpenPackage(os, paths, package);
    switch (ClassifyPackage(os, paths, package, digests)) {
        case PackageState::Complete:
            break;
        case PackageState::AlreadyInstalled:
            // A repair: a clean-up tool or "regsvr32 /u" may have taken the
            // control's registration away. Registering opens no file for
            // writing, so a browser that has the control loaded is no
            // obstacle.
            return LogOutcome(os, RegisterControl(os, paths.installed[kControlSlot]) == platform::kHresultOk
                                      ? SetupOutcome::AlreadyInstalled
                                      : SetupOutcome::RepairFailed);
        case PackageState::AnotherBuild:
            return NothingChanged(os, "another build is installed");
        case PackageState::Empty:
            return NothingChanged(os, "the folder holds none of the components");
        case PackageState::Incomplete:
            for (int i = 0; i < kComponentCount; ++i) {
                if (IsAbsent(package.errors[i])) os.Note("missing from the package:", paths.sources[i]);
            }
            return NothingChanged(os, "incomplete package");
        case PackageState::Unreadable:
            return NothingChanged(os, "the package cannot be read");
    }

    int slot = 0;
    const std::uint32_t error = CheckInstalledFiles(os, paths, &slot);
    if (error != platform::kErrorSuccess) {
        ReportFailure(os, owner, error);
        return NothingChanged(os, "cannot replace", paths.installed[slot]);
    }

    const SetupOutcome outcome = Replace(os, owner, digests, paths, package);
    DeleteStagedCopies(os, paths);
    return LogOutcome(os, outcome);
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
    constexpr Named kInSystemFolder[] = {
        {&RunPaths::installed, ""}, {&RunPaths::staged, kStagedSuffix}, {&RunPaths::backups, kBackupSuffix}};
    int fits = paths.systemFolder[0] != '\0';
    for (int i = 0; fits && i < kComponentCount; ++i) {
        fits = ComposePath(paths.sources[i], kPathSize, paths.sourceDirectory, manifest[i]);
        for (int n = 0; fits && n < 3; ++n) {
            const Named& named = kInSystemFolder[n];
            fits = ComposeSuffixed((paths.*named.paths)[i], paths.systemFolder, manifest[i], named.suffix);
        }
    }
    return fits;
}

void OpenPackage(Platform& os, const RunPaths& paths, OpenedPackage& package) {
    // A folder whose path cannot be looked at counts as reached through a
    // link: nothing leaves it.
    package.linked = os.FindLinkInPath(paths.sourceDirectory) != platform::kErrorSuccess;
    // A package on a USB stick, a disc or a network share serves the next
    // machine too. A drive whose type cannot be told counts as fixed.
    const std::uint32_t drive = os.FolderDriveType(paths.sourceDirectory);
    package.download = !package.linked && drive != platform::kDriveRemovable && drive != platform::kDriveRemote &&
                       drive != platform::kDriveCdRom;
    for (int i = 0; i < kComponentCount; ++i) {
        const char* source = paths.sources[i];
        std::uint32_t& error = package.errors[i];
        error = std::strlen(source) > platform::kMaxFilePath
                    ? platform::kErrorPathTooLong
                    : Patiently(os, package.download ? FileStep::OpenToDelete : FileStep::Open, source, nullptr,
                                &package.files[i]);
        if (const char* why = WhyNotRead(error)) {
            os.Note(why, source);
            package.refused = true;
        }
    }
}

PackageState ClassifyPackage(Platform& os, const RunPaths& paths, const OpenedPackage& package,
                             const ComponentDigests* digests) {
    // Only a definite "nothing there" counts as absent: a file that could
    // not be opened is left to the copy, which reports it.
    if (package.refused) return PackageState::Unreadable;
    bool inFolder[kComponentCount] = {};
    int found = 0;
    for (int i = 0; i < kComponentCount; ++i) {
        inFolder[i] = !IsAbsent(package.errors[i]);
        found += inFolder[i] ? 1 : 0;
    }
    const InPlace inPlace = CompareWithInstalled(os, paths, package, inFolder, digests);
    if (inPlace == InPlace::AsPackaged) return PackageState::AlreadyInstalled;
    if (found == kComponentCount) return PackageState::Complete;
    if (inPlace == InPlace::Unreadable) return PackageState::Unreadable;
    if (inPlace == InPlace::AnotherBuild) return PackageState::AnotherBuild;
    return found == 0 ? PackageState::Empty : PackageState::Incomplete;
}

int InstallComponents(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    RunPaths paths;  // NOLINT(cppcoreguidelines-pro-type-member-init): ComposeRunPaths fills it
    OpenedPackage package(os);
    const int installed = IsInPlace(Install(os, owner, digests, paths, package)) ? 1 : 0;
    os.EndRun();
    return installed;
}

SetupOutcome RunSetup(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    RunPaths paths;  // NOLINT(cppcoreguidelines-pro-type-member-init): ComposeRunPaths fills it
    OpenedPackage package(os);
    const SetupOutcome outcome = Install(os, owner, digests, paths, package);
    os.EndRun();  // every digest is taken
    // A repair keeps the date of the installation it found.
    if (IsInPlace(outcome)) (void)WriteUninstallEntry(os, outcome == SetupOutcome::AlreadyInstalled);
    (void)WriteProductKey(os);
    if (outcome != SetupOutcome::Installed) return outcome;
    // Everything this run wrote is on the disk before the package folder
    // gives up its copies: after a power cut the components are always
    // somewhere.
    if (FlushRecords(os)) {
        DeleteSources(os, paths, package);
    } else {
        os.Note("kept: the records are not yet on the disk", nullptr);
    }
    return outcome;
}

}  // namespace sorvan
