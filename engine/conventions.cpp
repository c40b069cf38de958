// Manifest, source and system folders, path composition and the registry
// conventions shared by every writer.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

// cppcheck-suppress constParameter ; the slots are written through strncpy
void BuildManifest(Manifest& manifest) {
    std::memset(manifest, 0, sizeof manifest);
    for (int i = 0; i < kComponentCount; ++i) {
        // Every name is far shorter than a slot; the copy keeps the final NUL.
        std::strncpy(manifest[i], kComponentNames[i], kSlotSize - 1);
    }
}

int SourceDirectory(Platform& os, char (&directory)[kPathSize]) {
    std::memset(directory, 0, sizeof directory);
    std::uint32_t length = os.ModuleFileName(directory, kPathSize);
    // GetModuleFileNameA returns the buffer size when it had to truncate; a
    // path cut short would name some other directory.
    if (length == 0 || length >= kPathSize) {
        std::memset(directory, 0, sizeof directory);
        return 0;
    }
    directory[length] = '\0';
    // The directory is everything before the last backslash, whatever the
    // program's own file name is (a browser may have saved it as
    // "SORVanActiveXSetup (1).exe").
    char* separator = std::strrchr(directory, '\\');
    if (separator == nullptr) {
        std::memset(directory, 0, sizeof directory);
        return 0;
    }
    std::memset(separator, 0, static_cast<std::size_t>(directory + kPathSize - separator));
    return 1;
}

void SystemFolder(Platform& os, char* folder, std::size_t size) {
    std::memset(folder, 0, size);
    (void)os.SystemFolderPath(folder, size);
    folder[size - 1] = '\0';
}

int ComposePath(char* out, std::size_t size, const char* directory, const char* name) {
    const std::size_t directoryLength = std::strlen(directory);
    const std::size_t nameLength = std::strlen(name);
    // The directory, the backslash, the name and the terminating NUL.
    if (size == 0 || directoryLength >= size || nameLength >= size - directoryLength - 1) {
        // A truncated path would name a different file: give nothing at all.
        if (size > 0) std::memset(out, 0, size);
        return 0;
    }
    std::memcpy(out, directory, directoryLength);
    out[directoryLength] = '\\';
    std::memcpy(out + directoryLength + 1, name, nameLength);
    out[directoryLength + 1 + nameLength] = '\0';
    return 1;
}

int OpenOrCreateKey(Platform& os, const char* path, platform::ScopedKey& key) {
    if (os.OpenKey(RegRoot::LocalMachine, path, key.Receive()) == platform::kErrorSuccess) return 1;
    if (os.CreateKey(RegRoot::LocalMachine, path, key.Receive()) == platform::kErrorSuccess) return 1;
    return 0;
}

int SetStringValue(Platform& os, platform::KeyHandle key, const char* name, const char* text,
                   platform::TextCoding coding) {
    return os.SetString(key, name, text, coding) == platform::kErrorSuccess ? 1 : 0;
}

}  // namespace sorvan
