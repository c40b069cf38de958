// The records that outlive the setup: the Add/Remove Programs entry and the
// product key.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

int WriteUninstallEntry(Platform& os) {
    platform::ScopedKey key(os);
    if (!OpenOrCreateKey(os, kUninstallKey, key)) return 0;
    // The display name is the product's own Korean text: it is decoded as code
    // page 949 so the list reads correctly on every system.
    if (!SetStringValue(os, key.Get(), "DisplayName", kDisplayName, platform::TextCoding::CodePage949)) return 0;

    // The uninstaller is started by 64-bit programs too (the Add/Remove
    // Programs list, deployment agents), for which "system32" is the 64-bit
    // folder: on 64-bit Windows it is named by the WOW64 folder, which every
    // process resolves to where it is.
    char systemFolder[kUninstallFolderSize];
    std::memset(systemFolder, 0, sizeof systemFolder);
    if (os.SystemWow64FolderPath(systemFolder, sizeof systemFolder) == 0) {
        SystemFolder(os, systemFolder, sizeof systemFolder);
    }
    char command[kUninstallCommandSize];
    std::memset(command, 0, sizeof command);
    // A 511-character folder and the 20-character file name fit the 550
    // bytes; a bounded composition keeps that true whatever the folder is.
    if (!ComposePath(command, sizeof command, systemFolder, "SorVanUninstall.exe")) return 0;
    return SetStringValue(os, key.Get(), "UnInstallString", command);
}

int WriteProductKey(Platform& os) {
    platform::ScopedKey key(os);
    if (!OpenOrCreateKey(os, kProductKey, key)) return 0;
    char systemFolder[kPathSize];
    SystemFolder(os, systemFolder, sizeof systemFolder);
    if (!SetStringValue(os, key.Get(), "DllPath", systemFolder)) return 0;
    if (!SetStringValue(os, key.Get(), "DllNameMFC", kDllNameMfc)) return 0;
    if (!SetStringValue(os, key.Get(), "DllNameWin32", kDllNameWin32)) return 0;
    return 1;
}

SetupOutcome RunSetup(Platform& os, OwnerWindow owner) {
    const int installed = InstallComponents(os, owner);
    if (installed) (void)WriteUninstallEntry(os);
    (void)WriteProductKey(os);
    return installed ? SetupOutcome::Installed : SetupOutcome::Failed;
}

}  // namespace sorvan
