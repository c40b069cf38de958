// Runs the real-system cases under Wine: the engine against the real Win32
// layer, then the built program itself. Every case starts from a clean slate,
// and the clean-up after it reports what it could not remove.
//
//   wine_driver.exe --list   the cases' names, one per line
//   wine_driver.exe NAME     the case NAME, or every case whose name holds NAME
//
// run_wine_tests.sh runs each case in a process of its own, under a timeout
// of its own, so that a case that hangs is named and the others still run.
//
// The stand-in components are built beside this program, the program two
// folders up. A thread here reads every message box while it is up, has the
// test script photograph it (see SORVAN_PICTURES in driver_support.h) and
// presses its OK button.
#include <shlobj.h>

#include "tests/wine/driver_support.h"

extern const Case kEngineCases[];
extern const Case kProgramCases[];
void StartHolder();

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : "";
    bool exact = false;
    for (const Case* cases : {kEngineCases, kProgramCases}) {
        for (const Case* c = cases; c->name != nullptr; ++c) {
            if (std::strcmp(filter, "--list") == 0) std::printf("%s\n", c->name);
            exact = exact || std::strcmp(filter, c->name) == 0;
        }
    }
    if (std::strcmp(filter, "--list") == 0) return 0;
    char buffer[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    g_here.assign(buffer, std::strrchr(buffer, '\\'));
    std::memset(buffer, 0, sizeof buffer);
    SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, buffer);
    g_system = buffer;
    std::printf("under Wine: system folder %s, fixtures in %s\n", g_system.c_str(), g_here.c_str());
    // Every program started from here inherits its temporary folder, where
    // the setup log then is.
    CreateDirectoryA("C:\\sorvan-test", nullptr);
    CreateDirectoryA(kTempFolder, nullptr);
    SetEnvironmentVariableA("TMP", kTempFolder);
    SetEnvironmentVariableA("TEMP", kTempFolder);

    InitializeCriticalSection(&g_seenLock);
    HANDLE handler = CreateThread(nullptr, 0, HandleMessageBoxes, nullptr, 0, nullptr);
    if (std::strstr("sharing_violation", filter) != nullptr || filter[0] == '\0') StartHolder();

    int passed = 0;
    int failed = 0;
    for (const Case* cases : {kEngineCases, kProgramCases}) {
        for (const Case* c = cases; c->name != nullptr; ++c) {
            if (exact ? std::strcmp(c->name, filter) != 0 : std::strstr(c->name, filter) == nullptr) continue;
            std::printf("[ RUN  ] %s\n", c->name);
            std::fflush(stdout);
            g_caseFailures = 0;
            const DWORD started = GetTickCount();
            c->run();
            Reset(nullptr);
            if (InterlockedExchange(&g_boxFaults, 0) != 0) Fail(__LINE__, "a message box was not photographed or closed");
            const DWORD elapsed = GetTickCount() - started;
            std::printf("[%s] %s (%lu ms)\n", g_caseFailures == 0 ? "  OK  " : " FAIL ", c->name,
                        static_cast<unsigned long>(elapsed));
            std::fflush(stdout);
            (g_caseFailures == 0 ? passed : failed) += 1;
        }
    }
    InterlockedExchange(&g_stopWatching, 1);
    WaitForSingleObject(handler, 5000);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
