// Removal: a control that unregisters itself, and a registry key deleted with
// everything below it.
#include <cstring>

#include "engine/setup_engine.h"

namespace sorvan {

namespace {

// Each level of the walk adds a backslash and at least one character to the
// path, so a path buffer of kPathSize bytes holds at most this many levels.
constexpr int kMaxTreeDepth = static_cast<int>(kPathSize / 2);

// One open key of the walk: its handle, how long its path is, and the next
// enumeration position still to visit (counting down to -1).
struct Level {
    platform::KeyHandle key;
    std::size_t pathLength;
    std::int32_t next;
};

// The keys the walk holds open; whatever is still open when the walk ends is
// closed here.
class OpenLevels {
public:
    explicit OpenLevels(Platform& os) : os_(os) {}
    OpenLevels(const OpenLevels&) = delete;
    OpenLevels& operator=(const OpenLevels&) = delete;
    ~OpenLevels() {
        while (depth_ > 0) Pop();
    }

    [[nodiscard]] int Depth() const { return depth_; }
    [[nodiscard]] bool Full() const { return depth_ == kMaxTreeDepth; }
    Level& Top() { return levels_[depth_ - 1]; }

    // Takes ownership of `key` and learns its number of sub-keys once. The
    // query's status is not tested: the count starts at zero, so a key that
    // cannot be queried is treated as a leaf.
    void Push(platform::KeyHandle key, std::size_t pathLength) {
        char className[kPathSize];
        std::memset(className, 0, sizeof className);
        std::uint32_t subKeys = 0;
        (void)os_.QueryKeyInfo(key, className, sizeof className, &subKeys);
        // Sub-keys are visited from the last position down to the first:
        // deleting one shifts only the positions after it, which have all been
        // visited, and one that cannot be deleted keeps its place without
        // being met again. The walk so reaches every sub-key present when it
        // began, in at most that many steps.
        const std::uint32_t limit = 0x7FFFFFFFu;
        levels_[depth_++] = Level{key, pathLength, static_cast<std::int32_t>(subKeys > limit ? limit : subKeys) - 1};
    }
    void Pop() {
        os_.CloseKey(levels_[--depth_].key);
    }

private:
    Platform& os_;
    Level levels_[kMaxTreeDepth] = {};
    int depth_ = 0;
};

}  // namespace

void UnregisterControl(Platform& os, const char* controlPath) {
    platform::ScopedLibrary control(os, LoadControl(os, controlPath));
    if (!control.IsLoaded()) return;
    // A control without DllUnregisterServer cannot clean up after itself.
    platform::ProcHandle unregisterServer = os.FindExport(control.Get(), kUnregisterExport);
    if (unregisterServer != nullptr) {
        (void)os.CallExport(unregisterServer);
    } else {
        (void)DeleteKeyTree(os, RegRoot::ClassesRoot, kControlClassKey);
    }
}

int DeleteKeyTree(Platform& os, RegRoot root, const char* path) {
    char keyPath[kPathSize];
    std::memset(keyPath, 0, sizeof keyPath);
    const std::size_t rootLength = std::strlen(path);
    if (rootLength >= kPathSize) return 0;  // such a key cannot be named here
    std::memcpy(keyPath, path, rootLength + 1);  // with its NUL

    platform::KeyHandle top = nullptr;
    if (os.OpenKey(root, keyPath, &top) != platform::kErrorSuccess) return 0;

    OpenLevels levels(os);
    levels.Push(top, rootLength);
    char name[kPathSize];
    while (levels.Depth() > 0) {
        Level& level = levels.Top();
        if (level.next < 0) {
            // Every sub-key has been walked: delete the key (its handle is
            // still open; it is closed afterwards) and go back up.
            (void)os.DeleteKey(root, keyPath);
            levels.Pop();
            if (levels.Depth() > 0) {
                const std::size_t parentLength = levels.Top().pathLength;
                std::memset(keyPath + parentLength, 0, sizeof keyPath - parentLength);
            }
            continue;
        }
        const std::uint32_t index = static_cast<std::uint32_t>(level.next--);
        std::memset(name, 0, sizeof name);
        // A name that cannot be read is passed over; the walk goes on.
        if (os.EnumSubKey(level.key, index, name, sizeof name) != platform::kErrorSuccess) continue;
        name[sizeof name - 1] = '\0';
        // A sub-key whose path would not fit the buffer, or that lies deeper
        // than the walk can hold, is skipped and stays in place.
        const std::size_t room = sizeof keyPath - level.pathLength;
        // An empty directory part gives "\name" after the parent's path.
        if (levels.Full() || !ComposePath(keyPath + level.pathLength, room, "", name)) {
            std::memset(keyPath + level.pathLength, 0, room);
            continue;
        }
        platform::KeyHandle child = nullptr;
        if (os.OpenKey(root, keyPath, &child) != platform::kErrorSuccess) {
            std::memset(keyPath + level.pathLength, 0, room);
            continue;
        }
        levels.Push(child, level.pathLength + 1 + std::strlen(name));
    }
    return 1;
}

}  // namespace sorvan
