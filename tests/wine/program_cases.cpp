// The built SORVanActiveXSetup.exe, started as a user starts it: from a
// package folder holding the stand-in components, as its own process. Each
// case reads back what the user and the system see: the exit status, the
// message boxes and their owner, the files and the registry.
#include "tests/wine/driver_support.h"

namespace {

const wchar_t kProgramTitle[] = L"SORVanActiveXSetup";

// Copies the built program into the package folder under `name`.
std::string PlaceProgram(const char* name) {
    const std::string placed = PackagePath(name);
    if (!CopyFileA((g_here + "\\..\\..\\SORVanActiveXSetup.exe").c_str(), placed.c_str(), FALSE)) {
        Fail(__LINE__, "the built program is missing beside the test folder");
    }
    return placed;
}

// Runs the program from the package folder, as a double click in it would,
// and waits for it to end by itself. Returns its exit status, or a value no
// run gives when it could not start or had to be stopped.
constexpr DWORD kNotRun = 0xDEAD;
DWORD RunProgram(int line, const std::string& program, DWORD* processId) {
    std::string command = "\"" + program + "\"";
    std::vector<char> commandLine(command.begin(), command.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, kPackage, &startup,
                        &process)) {
        Fail(line, "could not start " + program);
        return kNotRun;
    }
    *processId = process.dwProcessId;
    CloseHandle(process.hThread);
    // A 32-bit process can take a minute to start under emulation; the run
    // itself needs no input, so a run that does not end is a failure.
    DWORD status = kNotRun;
    if (WaitForSingleObject(process.hProcess, 600000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &status);
    } else {
        Fail(line, "the program did not end by itself");
        TerminateProcess(process.hProcess, kNotRun);
        WaitForSingleObject(process.hProcess, 30000);
    }
    CloseHandle(process.hProcess);
    return status;
}

void ExpectNoWindowLeft(int line) {
    if (FindWindowW(L"#32770", kProgramTitle) != nullptr) Fail(line, "the setup dialog is still on the screen");
}

void ExpectInstalled(int line) {
    const int before = g_caseFailures;
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(CountFiles(false), 0);
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kFileListKey), 4);
    for (const char* name : kNames) EXPECT_STRING(RegRoot::LocalMachine, sorvan::kFileListKey, SystemPath(name).c_str(), "");
    EXPECT_STRING(RegRoot::ClassesRoot, std::string(sorvan::kControlClassKey) + "\\InprocServer32", nullptr,
                  SystemPath("LumeTransfer.ocx"));
    DWORD bytes = 0;
    CHECK(ReadWide(RegRoot::LocalMachine, sorvan::kUninstallKey, L"DisplayName", &bytes) ==
          L"SORVan 휴대폰 인증서 서비스");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "UnInstallString", SystemPath("SorVanUninstall.exe"));
    if (g_caseFailures != before) Fail(line, "the installation is not complete");
}
#define EXPECT_INSTALLED() ExpectInstalled(__LINE__)

void ExpectProductKey(int line) {
    const int before = g_caseFailures;
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllPath", g_system);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameMFC", "Sorvan.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameWin32", "SorvanWin32.dll");
    if (g_caseFailures != before) Fail(line, "the product key is not complete");
}
#define EXPECT_PRODUCT_KEY() ExpectProductKey(__LINE__)

bool KeyExistsIn64BitView(const std::string& path) { return KeyExists(RegRoot::LocalMachine, path, KEY_WOW64_64KEY); }

// On 64-bit Windows the 32-bit program runs under WOW64: its system folder is
// the 32-bit one (SysWOW64 from outside) and its records are in the 32-bit
// registry view (under Wow6432Node from outside), where 32-bit Internet
// Explorer and the Add/Remove Programs list read them. Nothing lands in the
// 64-bit folder or view.
void ExpectWow64Placement(int line) {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return;  // a 32-bit Windows
    const int before = g_caseFailures;
    char folder32[MAX_PATH + 1] = {};
    CHECK(GetSystemWow64DirectoryA(folder32, MAX_PATH) > 0);
    char windows[MAX_PATH + 1] = {};
    CHECK(GetWindowsDirectoryA(windows, MAX_PATH) > 0);
    for (const char* name : kNames) {
        CHECK(FileExists(std::string(folder32) + "\\" + name));
        // "Sysnative" is the 64-bit system folder as a 32-bit process names it.
        CHECK(!FileExists(std::string(windows) + "\\Sysnative\\" + name));
    }
    CHECK(KeyExistsIn64BitView("SOFTWARE\\Wow6432Node\\QUElmark\\SORVAN"));
    CHECK(!KeyExistsIn64BitView("SOFTWARE\\QUElmark\\SORVAN"));
    CHECK(KeyExistsIn64BitView("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUElmark"));
    CHECK(!KeyExistsIn64BitView("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUElmark"));
    const std::string unit = std::string(sorvan::kDistributionUnitKey).substr(std::strlen("Software\\"));
    CHECK(KeyExistsIn64BitView("Software\\Wow6432Node\\" + unit));
    CHECK(!KeyExistsIn64BitView(sorvan::kDistributionUnitKey));
    CHECK(KeyExistsIn64BitView(std::string("Software\\Classes\\Wow6432Node\\") + sorvan::kControlClassKey));
    if (g_caseFailures != before) Fail(line, "the 32-bit program's files or records are not where WOW64 puts them");
}

void ProgramSuccess() {
    Reset("control_good.dll");
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
    EXPECT_NO_BOX();
    ExpectNoWindowLeft(__LINE__);
    EXPECT_INSTALLED();
    EXPECT_PRODUCT_KEY();
    ExpectWow64Placement(__LINE__);
    CHECK_EQ(CallCount("RegisterCalls"), 1);
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
}

// A destination held open without sharing, as a running browser holds the
// loaded control: the user is told, by a box the setup dialog owns, and the
// installation is rolled back.
void ProgramSharingViolation() {
    Reset("control_good.dll");
    const std::string program = PlaceProgram("SORVanActiveXSetup.exe");
    HANDLE held = CreateFileA(SystemPath("SorVan.dll").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              0, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE);
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, program, &process), sorvan::kExitInstallFailure);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    DeleteFileA(SystemPath("SorVan.dll").c_str());

    const std::vector<SeenBox> seen = TakeSeen();
    CHECK_EQ(seen.size(), 1);
    if (seen.size() == 1) {
        const SeenBox& box = seen[0];
        CHECK(box.caption == kCaption);
        CHECK(box.text == kSharingText);
        CHECK_EQ(box.process, process);
        CHECK(box.ownerClass == L"#32770");
        CHECK(box.ownerTitle == kProgramTitle);
        CHECK_EQ(box.ownerProcess, process);
    }
    ExpectNoWindowLeft(__LINE__);
    EXPECT_ROLLED_BACK();
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kUninstallKey));
    EXPECT_PRODUCT_KEY();
    CHECK_EQ(CallCount("UnregisterCalls"), 1);
}

// A browser saves a second download as "SORVanActiveXSetup (1).exe": it
// installs from its own folder. Started again from the emptied folder, it
// finds nothing to copy, rolls the first installation back, and still writes
// the product key.
void ProgramRenamedThenAgain() {
    Reset("control_good.dll");
    const std::string program = PlaceProgram("SORVanActiveXSetup (1).exe");
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    EXPECT_PRODUCT_KEY();

    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kProductKey);
    CHECK_EQ(RunProgram(__LINE__, program, &process), sorvan::kExitInstallFailure);
    EXPECT_NO_BOX();
    ExpectNoWindowLeft(__LINE__);
    CHECK_EQ(CountFiles(true), 0);
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kDistributionUnitKey));
    CHECK(!KeyExists(RegRoot::ClassesRoot, sorvan::kControlClassKey));
    CHECK_EQ(CallCount("UnregisterCalls"), 1);
    EXPECT_PRODUCT_KEY();
    CHECK(FileExists(program));
}

// The dialog shell, with a probe in place of the setup run (see
// shell_test.cpp): both variants report no failed check.
void ShellDialog() {
    Reset(nullptr);
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, g_here + "\\shell_test.exe", &process), 0);
    CHECK_EQ(RunProgram(__LINE__, g_here + "\\shell_test_noabout.exe", &process), 0);
    EXPECT_NO_BOX();
}

}  // namespace

extern const Case kProgramCases[] = {
    {"shell_dialog", ShellDialog},
    {"program_success", ProgramSuccess},
    {"program_sharing_violation", ProgramSharingViolation},
    {"program_renamed_then_again", ProgramRenamedThenAgain},
    {nullptr, nullptr},
};
