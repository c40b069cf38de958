// The records that outlive the setup: the Add/Remove Programs entry and the
// product key.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

namespace {

// Room for "65535.65535.65535.65535" and the NUL.
constexpr std::size_t kVersionTextSize = 24;
// The values of the entry that only the installed files provide, in the
// order of the bits that say which this run provided.
constexpr const char* kProvidedValues[] = {"DisplayVersion", "VersionMajor", "VersionMinor",
                                           "Publisher",      "EstimatedSize", "InstallDate"};

// `value` in decimal at `out + at`, bounded by `size` with room kept for the
// NUL. Returns the position after it.
std::size_t AppendDecimal(char* out, std::size_t size, std::size_t at, std::uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && at + 1 < size) out[at++] = digits[--count];
    return at;
}

// The values an inventory reads besides the name and the command, each
// written where the installed files in `systemFolder` provide it. A value
// that cannot be written is left out; the entry stands without it. A value
// this run cannot provide is deleted: one of an earlier installation would
// tell an inventory, or a detection rule, something untrue.
void WriteInventoryValues(Platform& os, platform::KeyHandle key, const char* systemFolder, const char* uninstaller,
                          bool keepInstallDate) {
    (void)SetStringValue(os, key, "DisplayIcon", uninstaller);

    char path[kPathSize];
    std::memset(path, 0, sizeof path);

    unsigned provided = 0;
    // The version and publisher are the installed control's.
    platform::FileVersion version = {};
    if (systemFolder[0] != '\0' && ComposePath(path, sizeof path, systemFolder, kComponentNames[kControlSlot]) &&
        Patiently(os, FileStep::Version, path, nullptr, &version) == platform::kErrorSuccess) {
        char text[kVersionTextSize];
        std::memset(text, 0, sizeof text);
        std::size_t at = 0;
        for (int i = 0; i < 4; ++i) {
            if (i > 0) text[at++] = '.';
            at = AppendDecimal(text, sizeof text, at, version.parts[i]);
        }
        (void)SetStringValue(os, key, "DisplayVersion", text);
        (void)os.SetDword(key, "VersionMajor", version.parts[0]);
        (void)os.SetDword(key, "VersionMinor", version.parts[1]);
        provided |= 7u;
    }
    // Left empty where the version or its company name could not be read.
    version.company[sizeof version.company - 1] = '\0';
    if (version.company[0] != '\0') {
        (void)SetStringValue(os, key, "Publisher", version.company, platform::TextCoding::Utf8);
        provided |= 8u;
    }

    // The four installed files in KB, rounded up; left out unless every size
    // is known.
    std::uint64_t bytes = 0;
    int sized = 0;
    for (int i = 0; systemFolder[0] != '\0' && i < kComponentCount; ++i) {
        std::uint64_t size = 0;
        if (!ComposePath(path, sizeof path, systemFolder, kComponentNames[i]) ||
            Patiently(os, FileStep::Size, path, nullptr, &size) != platform::kErrorSuccess) {
            break;
        }
        bytes += size;
        ++sized;
    }
    if (sized == kComponentCount) {
        const std::uint64_t kilobytes = (bytes + 1023) / 1024;
        (void)os.SetDword(key, "EstimatedSize",
                          kilobytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(kilobytes));
        provided |= 16u;
    }

    // YYYYMMDD: eight digits and the NUL. A repair keeps the date the
    // installation was made; an entry without one gets today's.
    const std::uint32_t today = os.LocalDate();
    if (keepInstallDate && os.QueryValue(key, "InstallDate") == platform::kErrorSuccess) {
        provided |= 32u;
    } else if (today >= 10000101u && today <= 99991231u) {
        char date[9] = {};
        (void)AppendDecimal(date, sizeof date, 0, today);
        (void)SetStringValue(os, key, "InstallDate", date);
        provided |= 32u;
    }
    for (unsigned i = 0; i < sizeof kProvidedValues / sizeof kProvidedValues[0]; ++i) {
        if ((provided & (1u << i)) == 0) (void)os.DeleteValue(key, kProvidedValues[i]);
    }
    // The uninstaller can only remove.
    (void)os.SetDword(key, "NoModify", 1);
    (void)os.SetDword(key, "NoRepair", 1);
}

}  // namespace

int WriteUninstallEntry(Platform& os, bool keepInstallDate) {
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
    if (!ComposePath(command, sizeof command, systemFolder, kComponentNames[kUninstallerSlot])) return 0;
    if (!SetStringValue(os, key.Get(), "UnInstallString", command)) return 0;
    // The WOW64 folder is the 32-bit system folder by its other name: the
    // installed files are read there too.
    WriteInventoryValues(os, key.Get(), systemFolder, command, keepInstallDate);
    return 1;
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

int FlushRecords(Platform& os) {
    struct Record {
        RegRoot root;
        const char* path;
    };
    constexpr Record kRecords[] = {{RegRoot::LocalMachine, kFileListKey},
                                   {RegRoot::ClassesRoot, kControlClassKey},
                                   {RegRoot::LocalMachine, kUninstallKey},
                                   {RegRoot::LocalMachine, kProductKey}};
    int flushed = 1;
    for (const Record& record : kRecords) {
        platform::ScopedKey key(os);
        const std::uint32_t status = os.OpenKey(record.root, record.path, key.Receive());
        // A key that is not there has nothing to flush: a control may keep
        // its class elsewhere, and a record may have failed to be written.
        if (status == platform::kErrorFileNotFound) continue;
        if (status != platform::kErrorSuccess || os.FlushKey(key.Get()) != platform::kErrorSuccess) flushed = 0;
    }
    return flushed;
}

}  // namespace sorvan
