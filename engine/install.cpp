// Installation: move the four components into the system folder, record each
// in the distribution unit, and let the control register itself.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

int RecordInstalledFile(Platform& os, const char* path) {
    platform::ScopedKey key(os);
    if (!OpenOrCreateKey(os, kFileListKey, key)) return 0;
    return SetStringValue(os, key.Get(), path, "");
}

namespace {

// Tells the user what to do about the two copy failures they can fix
// themselves; any other error is rolled back silently.
void ReportCopyFailure(Platform& os, OwnerWindow owner, std::uint32_t error) {
    if (error == platform::kErrorSharingViolation) {
        os.ShowMessage(owner, kSharingViolationText, kMessageCaption);
    } else if (error == platform::kErrorAccessDenied) {
        os.ShowMessage(owner, kAccessDeniedText, kMessageCaption);
    }
}

// Loads the installed control and calls its DllRegisterServer. A control
// without the export counts as failed (-1).
std::int32_t RegisterControl(Platform& os, const char* controlPath) {
    std::uint32_t error = 0;
    platform::ScopedLibrary control(os, os.LoadLibraryFrom(controlPath, &error));
    if (!control.IsLoaded()) return -1;
    platform::ProcHandle registerServer = os.FindExport(control.Get(), kRegisterExport);
    if (registerServer == nullptr) return -1;
    return os.CallExport(registerServer);
}

int RollBack(Platform& os, OwnerWindow owner) {
    os.Note("rollback", nullptr);
    (void)RemoveComponents(os, owner);
    return 0;
}

// Ends a run that changed nothing: an earlier installation stays exactly as
// it was.
int NothingChanged(Platform& os, const char* reason, const char* subject = nullptr) {
    os.Note(reason, subject);
    os.Note("nothing was changed", nullptr);
    return 0;
}

// What a new copy is called in the system folder until every component has
// been copied and checked: beside the file it replaces, on the same volume,
// so that the replacement is a rename.
constexpr char kStagedSuffix[] = ".new";

// Every path of one run, composed once.
struct RunPaths {
    char sources[kComponentCount][kPathSize];
    char destinations[kComponentCount][kPathSize];
    char staged[kComponentCount][kPathSize];
};

// Fills `paths`; 0 when one of them would not fit its buffer.
int ComposePaths(const Manifest& manifest, const char* sourceDirectory, const char* systemFolder, RunPaths& paths) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (!ComposePath(paths.sources[i], kPathSize, sourceDirectory, manifest[i]) ||
            !ComposePath(paths.destinations[i], kPathSize, systemFolder, manifest[i]) ||
            !ComposePath(paths.staged[i], kPathSize, systemFolder, manifest[i])) {
            return 0;
        }
        const std::size_t length = std::strlen(paths.staged[i]);
        // The suffix with its NUL after the path.
        if (length + sizeof kStagedSuffix > kPathSize) return 0;
        std::memcpy(paths.staged[i] + length, kStagedSuffix, sizeof kStagedSuffix);
    }
    return 1;
}

// Deletes the staged copies whenever the run ends: after a success they have
// become the installed files and nothing is left to delete; after a failure,
// or in the run after one that was stopped, they go.
class StagedCopies {
public:
    StagedCopies(Platform& os, const RunPaths& paths) : os_(os), paths_(paths) {}
    StagedCopies(const StagedCopies&) = delete;
    StagedCopies& operator=(const StagedCopies&) = delete;
    ~StagedCopies() {
        for (const char* path : paths_.staged) (void)os_.RemoveFile(path);
    }

private:
    Platform& os_;
    const RunPaths& paths_;
};

// 1 when the two files hold the same bytes, 0 when they differ, -1 when one
// of them cannot be read.
int SameContent(Platform& os, const char* one, const char* other) {
    std::uint8_t first[32] = {};
    std::uint8_t second[32] = {};
    if (os.FileDigest(one, first) != platform::kErrorSuccess ||
        os.FileDigest(other, second) != platform::kErrorSuccess) {
        return -1;
    }
    return std::memcmp(first, second, sizeof first) == 0 ? 1 : 0;
}

bool IsAbsent(std::uint32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

// Whether the package folder is what an earlier run of this package left
// over an installation that is in place: each component the folder still
// holds (one that run could not delete) is the same, byte for byte, as its
// installed copy, and each one it lacks is in the system folder and listed
// in the distribution unit. For a folder that holds none: whether the
// installation is in place. 1 yes, 0 no, -1 when a component cannot be read
// to tell.
int LeftByEarlierRun(Platform& os, const RunPaths& paths, const bool (&inFolder)[kComponentCount]) {
    platform::ScopedKey list(os);
    const bool listed = os.OpenKey(RegRoot::LocalMachine, kFileListKey, list.Receive()) == platform::kErrorSuccess;
    for (int i = 0; i < kComponentCount; ++i) {
        if (os.QueryFile(paths.destinations[i]) != platform::kErrorSuccess) return 0;
        if (inFolder[i]) {
            const int same = SameContent(os, paths.sources[i], paths.destinations[i]);
            if (same != 1) return same;
        } else if (!listed || os.QueryValue(list.Get(), paths.destinations[i]) != platform::kErrorSuccess) {
            return 0;
        }
    }
    return 1;
}

// The components leave the folder they were started from only where it is on
// a local fixed drive, a download folder. A package on a USB stick, a disc or
// a network share serves the next machine too: there they are copied and
// stay. A drive whose type cannot be told counts as fixed.
void TakeSources(Platform& os, const char* sourceDirectory, const RunPaths& paths) {
    const std::uint32_t drive = os.FolderDriveType(sourceDirectory);
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

}  // namespace

int InstallComponents(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    Manifest manifest;
    BuildManifest(manifest);
    char sourceDirectory[kPathSize];
    const int haveSource = SourceDirectory(os, sourceDirectory);
    char systemFolder[kPathSize];
    SystemFolder(os, systemFolder, sizeof systemFolder);
    RunPaths paths = {};

    // Without its own folder the program has nothing to install from, and
    // without the system folder no place to install to (an empty folder
    // would name the root of the current drive).
    if (!haveSource || systemFolder[0] == '\0' || !ComposePaths(manifest, sourceDirectory, systemFolder, paths)) {
        return NothingChanged(os, "no package or system folder");
    }
    const StagedCopies staged(os, paths);

    // Only a definite "nothing there" counts as absent: a file the system
    // cannot tell about is left to the copy, which reports it.
    bool inFolder[kComponentCount] = {};
    int found = 0;
    for (int i = 0; i < kComponentCount; ++i) {
        inFolder[i] = !IsAbsent(os.QueryFile(paths.sources[i]));
        found += inFolder[i] ? 1 : 0;
    }

    // A folder that an earlier run of this package emptied, or partly
    // emptied, is no new package: there is nothing to install, and an
    // installation in place is left exactly as it is.
    if (found < kComponentCount) {
        const int earlier = LeftByEarlierRun(os, paths, inFolder);
        if (earlier == 1) {
            os.Note("already installed, nothing to do", nullptr);
            return 1;
        }
        if (earlier == -1) return NothingChanged(os, "cannot compare with the installed files");
        if (found == 0) return NothingChanged(os, "the folder holds none of the components");
    }

    // Before anything changes, each installed file this run would replace
    // must be free to be replaced. One held by another process (a browser
    // that has the control loaded) or that cannot be written ends the run
    // here, with its message, and the earlier installation keeps working.
    for (const char* destination : paths.destinations) {
        if (IsAbsent(os.ClearFileAttributes(destination))) continue;
        const std::uint32_t error = os.CheckReplaceable(destination);
        if (error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied) {
            ReportCopyFailure(os, owner, error);
            return NothingChanged(os, "cannot replace", destination);
        }
    }

    // Some components are missing and the rest are not an earlier run's: an
    // incomplete package, and the leftovers of an earlier installation go.
    if (found < kComponentCount) {
        os.Note("incomplete package", nullptr);
        return RollBack(os, owner);
    }

    // Each component is copied beside the file it replaces and, in a release,
    // read back from the system folder, where only administrators write, and
    // checked against its digest: what is checked is what will be loaded.
    // Until all four are there, nothing installed has changed.
    for (int i = 0; i < kComponentCount; ++i) {
        const std::uint32_t error = os.CopyFileOver(paths.sources[i], paths.staged[i]);
        if (error != platform::kErrorSuccess) {
            ReportCopyFailure(os, owner, error);
            return NothingChanged(os, "cannot copy", paths.sources[i]);
        }
        // A copy takes its source's attributes: one from a disc is read-only.
        (void)os.ClearFileAttributes(paths.staged[i]);
        if (digests == nullptr) continue;
        // A copy that cannot be read back is no match either (the read's
        // error is logged on its own).
        std::uint8_t actual[32] = {};
        if (os.FileDigest(paths.staged[i], actual) != platform::kErrorSuccess ||
            std::memcmp(actual, digests->sha256[i], sizeof actual) != 0) {
            return NothingChanged(os, "not what this program was made with:", paths.sources[i]);
        }
    }

    // Each copy takes its installed file's name in one step. A file that has
    // become held since the check fails here, as a copy over it would.
    for (int i = 0; i < kComponentCount; ++i) {
        const std::uint32_t error = os.MoveFileOver(paths.staged[i], paths.destinations[i]);
        if (error != platform::kErrorSuccess) {
            ReportCopyFailure(os, owner, error);
            return RollBack(os, owner);
        }
        (void)RecordInstalledFile(os, paths.destinations[i]);
    }

    const std::int32_t result = RegisterControl(os, paths.destinations[kControlSlot]);
    if (result != platform::kHresultOk) return RollBack(os, owner);

    // Only now may the components leave the package folder: until every step
    // has succeeded it keeps them all, so that after any failure the user can
    // simply run the setup again.
    TakeSources(os, sourceDirectory, paths);
    return 1;
}

}  // namespace sorvan
