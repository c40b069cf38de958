// Measures DeleteKeyTree on trees of 1,000, 10,000 and 100,000 keys, and
// counts the platform operations of a successful setup run. Built twice: on
// the host against the stand-in (which also counts the run's operations),
// and for Windows against the real registry, run under Wine.
//
// Each tree is "T" with N/10 sub-keys of 9 leaves each: wide and two deep,
// as distribution units and class keys are. Prints one line per size:
//   <keys> <milliseconds>
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/setup_engine.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32_platform.h"
namespace {
const char kRoot[] = "Software\\SORVanBench\\T";
void Build(int keys) {
    HKEY top = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &top, nullptr);
    for (int i = 0; i < keys / 10; ++i) {
        HKEY branch = nullptr;
        RegCreateKeyExA(top, ("b" + std::to_string(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &branch,
                        nullptr);
        for (int j = 0; j < 9; ++j) {
            HKEY leaf = nullptr;
            RegCreateKeyExA(branch, ("l" + std::to_string(j)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf,
                            nullptr);
            RegCloseKey(leaf);
        }
        RegCloseKey(branch);
    }
    RegCloseKey(top);
}
double Measure(int keys) {
    Build(keys);
    const auto started = std::chrono::steady_clock::now();
    const int opened = sorvan::DeleteKeyTree(platform::SystemPlatform(), platform::RegRoot::LocalMachine, kRoot);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    HKEY left = nullptr;
    if (opened != 1 || RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_READ, &left) == ERROR_SUCCESS) {
        std::printf("the tree of %d keys was not removed\n", keys);
    }
    return std::chrono::duration<double, std::milli>(elapsed).count();
}
}  // namespace
#else
#include "tests/fake/fake_platform.h"
namespace {
double Measure(int keys) {
    fake::FakePlatform os;
    for (int i = 0; i < keys / 10; ++i) {
        for (int j = 0; j < 9; ++j) {
            os.PutKey(platform::RegRoot::LocalMachine, "T\\b" + std::to_string(i) + "\\l" + std::to_string(j));
        }
    }
    const auto started = std::chrono::steady_clock::now();
    const int opened = sorvan::DeleteKeyTree(os, platform::RegRoot::LocalMachine, "T");
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (opened != 1 || os.KeyExists(platform::RegRoot::LocalMachine, "T")) {
        std::printf("the tree of %d keys was not removed\n", keys);
    }
    return std::chrono::duration<double, std::milli>(elapsed).count();
}
}  // namespace
#endif

int main() {
    for (int keys : {1000, 10000, 100000}) std::printf("%d %.1f\n", keys, Measure(keys));
#ifndef _WIN32
    // The operations of one successful run, on a machine with the package.
    fake::FakePlatform os;
    os.AddFile(std::string("C:\\Pkg\\") + sorvan::kComponentNames[0], "control", fake::WellBehavedControl());
    for (int i = 1; i < sorvan::kComponentCount; ++i) {
        os.AddFile(std::string("C:\\Pkg\\") + sorvan::kComponentNames[i], "component");
    }
    const sorvan::SetupOutcome outcome = sorvan::RunSetup(os, nullptr);
    std::printf("operations %zu %s\n", os.calls.size(), outcome == sorvan::SetupOutcome::Installed ? "installed" : "failed");
#endif
    return 0;
}
