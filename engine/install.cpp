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

int RollBack(Platform& os, OwnerWindow owner, bool loadControl = true) {
    os.Note("rollback");
    (void)RemoveComponents(os, owner, loadControl);
    return 0;
}

// Whether the copy at `path` is the component the program was made with.
// It is read back from the system folder, where only administrators write,
// so what is checked is what will be loaded.
bool MatchesDigest(Platform& os, const char* path, const std::uint8_t (&expected)[32]) {
    std::uint8_t actual[32] = {};
    if (os.FileDigest(path, actual) != platform::kErrorSuccess) return false;
    return std::memcmp(actual, expected, sizeof actual) == 0;
}

// Whether the source directory holds any of the components, each source path
// composed into `sources`. Only a definite "nothing there" counts as absent:
// a path that does not fit, or a file the system cannot tell about, is left
// to the copy, which reports it.
bool HoldsAnyComponent(Platform& os, const Manifest& manifest, const char* sourceDirectory,
                       char (&sources)[kComponentCount][kPathSize]) {
    for (int i = 0; i < kComponentCount; ++i) {
        if (!ComposePath(sources[i], kPathSize, sourceDirectory, manifest[i])) return true;
        const std::uint32_t error = os.QueryFile(sources[i]);
        if (error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound) return true;
    }
    return false;
}

}  // namespace

int InstallComponents(Platform& os, OwnerWindow owner, const ComponentDigests* digests) {
    Manifest manifest;
    BuildManifest(manifest);
    char sourceDirectory[kPathSize];
    const int haveSource = SourceDirectory(os, sourceDirectory);
    char systemFolder[kPathSize];
    SystemFolder(os, systemFolder, sizeof systemFolder);

    char sources[kComponentCount][kPathSize];
    char destinations[kComponentCount][kPathSize];
    std::memset(sources, 0, sizeof sources);
    std::memset(destinations, 0, sizeof destinations);

    // Without a source directory there is nothing to copy from, and without
    // the system folder no place to copy to (an empty folder would put the
    // components in the root of the current drive): a failed copy that the
    // user can do nothing about, so no message.
    if (!haveSource || systemFolder[0] == '\0') return RollBack(os, owner);

    // A folder that holds none of the components is no installation source:
    // typically the folder of an earlier, successful run, started again. There
    // is nothing to install and nothing of this run to undo, so an earlier
    // installation stays exactly as it is.
    if (!HoldsAnyComponent(os, manifest, sourceDirectory, sources)) return 0;

    for (int i = 0; i < kComponentCount; ++i) {
        if (!ComposePath(sources[i], kPathSize, sourceDirectory, manifest[i]) ||
            !ComposePath(destinations[i], kPathSize, systemFolder, manifest[i])) {
            return RollBack(os, owner);
        }
        std::uint32_t error = os.CopyFileOver(sources[i], destinations[i]);
        if (error != platform::kErrorSuccess) {
            ReportCopyFailure(os, owner, error);
            return RollBack(os, owner);
        }
        // A copy that is not what the program was made with was replaced in
        // the folder: neither message fits, and the rollback loads nothing
        // of this run, since the control would load its companions too.
        if (digests != nullptr && !MatchesDigest(os, destinations[i], digests->sha256[i])) {
            os.Note("the copy differs from the component this program was made with");
            return RollBack(os, owner, false);
        }
        (void)RecordInstalledFile(os, destinations[i]);
    }

    std::int32_t result = RegisterControl(os, destinations[kControlSlot]);
    if (result != platform::kHresultOk) return RollBack(os, owner);

    // Only now are the components moved rather than copied: until every step
    // has succeeded the source directory keeps them all, so that after any
    // failure the user can simply run the setup again.
    for (int i = 0; i < kComponentCount; ++i) (void)os.RemoveFile(sources[i]);
    return 1;
}

}  // namespace sorvan
