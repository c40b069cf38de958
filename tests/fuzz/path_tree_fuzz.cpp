// libFuzzer target over the path and key-tree routines. The input is lines:
//   1: the program's module path     (SourceDirectory, ComposePath)
//   2: the system folder             (ComposePath)
//   3...: sub-keys to create below "T" (DeleteKeyTree), at most 64
// Whatever the bytes, nothing may be written past a buffer (the sanitizers
// watch), a path is either composed whole or not at all, and the walk closes
// every key it opened and removes every key it can name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/setup_engine.h"
#include "tests/fake/fake_platform.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// The input split into lines; NUL bytes are dropped, since no path or name
// the system hands over can hold one.
std::vector<std::string> Lines(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') continue;
        if (data[i] == '\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(static_cast<char>(data[i]));
        }
    }
    return lines;
}

void CheckSourceDirectory(const std::string& modulePath) {
    fake::FakePlatform os;
    os.modulePath = modulePath;
    char directory[sorvan::kPathSize];
    std::memset(directory, 0xbd, sizeof directory);
    const int ok = sorvan::SourceDirectory(os, directory);
    const std::size_t length = strnlen(directory, sizeof directory);
    Require(length < sizeof directory);
    for (std::size_t i = length; i < sizeof directory; ++i) Require(directory[i] == '\0');
    const std::string& seen = modulePath;
    const std::size_t backslash = seen.rfind('\\');
    if (ok) {
        Require(seen.size() < sizeof directory && backslash != std::string::npos);
        Require(std::string(directory) == seen.substr(0, backslash));
    } else {
        Require(length == 0);
        Require(seen.size() >= sizeof directory || backslash == std::string::npos || seen.empty());
    }
}

void CheckComposePath(const std::string& directory, const std::string& name) {
    for (std::size_t size : {std::size_t{1}, std::size_t{16}, std::size_t{550}, sorvan::kPathSize}) {
        std::vector<char> out(size + 8, static_cast<char>(0xbd));
        const std::string& dir = directory;
        const std::string& leaf = name;
        const int ok = sorvan::ComposePath(out.data(), size, dir.c_str(), leaf.c_str());
        for (std::size_t i = size; i < out.size(); ++i) Require(out[i] == static_cast<char>(0xbd));
        if (ok) {
            Require(std::string(out.data()) == dir + "\\" + leaf);
        } else {
            Require(dir.size() + 1 + leaf.size() >= size);
            for (std::size_t i = 0; i < size; ++i) Require(out[i] == '\0');
        }
    }
}

void CheckDeleteKeyTree(const std::vector<std::string>& lines) {
    fake::FakePlatform os;
    bool allShort = true;
    std::size_t keys = 0;
    for (std::size_t i = 2; i < lines.size() && keys < 64; ++i, ++keys) {
        const std::string path = "T\\" + lines[i];
        // Empty components and names over 255 characters are not keys the
        // registry can hold; the stand-in refuses them as Windows does.
        os.PutKey(platform::RegRoot::LocalMachine, path);
        if (path.size() > 1000) allShort = false;
    }
    const int opened = sorvan::DeleteKeyTree(os, platform::RegRoot::LocalMachine, "T");
    Require(os.OpenKeyHandles() == 0);
    Require(os.badHandleUses == 0);
    if (opened && allShort) Require(!os.KeyExists(platform::RegRoot::LocalMachine, "T"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> lines = Lines(data, size);
    CheckSourceDirectory(lines[0]);
    const std::string folder = lines.size() > 1 ? lines[1] : std::string();
    CheckComposePath(folder, lines[0]);
    CheckComposePath(lines[0], "SorVanUninstall.exe");
    CheckDeleteKeyTree(lines);
    return 0;
}
