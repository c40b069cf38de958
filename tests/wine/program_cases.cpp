// The built SORVanActiveXSetup.exe, started as a user starts it: from a
// package folder holding the stand-in components, as its own process. Each
// case reads back what the user and the system see: the exit status, the
// message boxes and their owner, the files and the registry.
#include "tests/wine/driver_support.h"

#include <setupapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

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

// Starts the program as a double click in the package folder would, with
// `arguments` after its name. Returns its process, or null. Given `thread`,
// it starts suspended: its first thread, in `*thread`, waits for ResumeThread.
HANDLE StartProgram(int line, const std::wstring& program, DWORD* processId, const std::wstring& arguments = L"",
                    HANDLE* thread = nullptr) {
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                        thread != nullptr ? CREATE_SUSPENDED : 0, nullptr, Widen(kPackage).c_str(), &startup,
                        &process)) {
        Fail(line, "could not start a program");
        return nullptr;
    }
    *processId = process.dwProcessId;
    if (thread != nullptr) {
        *thread = process.hThread;
    } else {
        CloseHandle(process.hThread);
    }
    return process.hProcess;
}

// Waits for a started program to end by itself. Returns its exit status, or
// a value no run gives when it could not start or had to be stopped.
constexpr DWORD kNotRun = 0xDEAD;
DWORD FinishProgram(int line, HANDLE process) {
    if (process == nullptr) return kNotRun;
    // A 32-bit process can take a minute to start under emulation; the run
    // itself needs no input, so a run that does not end is a failure.
    DWORD status = kNotRun;
    if (WaitForSingleObject(process, 600000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &status);
    } else {
        Fail(line, "the program did not end by itself");
        TerminateProcess(process, kNotRun);
        WaitForSingleObject(process, 30000);
    }
    CloseHandle(process);
    return status;
}

DWORD RunProgram(int line, const std::wstring& program, DWORD* processId, const std::wstring& arguments = L"") {
    return FinishProgram(line, StartProgram(line, program, processId, arguments));
}
DWORD RunProgram(int line, const std::string& program, DWORD* processId) {
    return RunProgram(line, Widen(program), processId);
}

// Runs the program where no one can see its windows, as a deployment tool
// running it as SYSTEM does.
DWORD RunOnHiddenStation(int line, const std::string& program) {
    DWORD process = 0;
    return RunProgram(line, Widen(g_here + "\\hidden_station.exe"), &process, L"\"" + Widen(program) + L"\"");
}

// Holds a file open without sharing, as a running browser holds the loaded
// control.
HANDLE HoldOpen(const std::string& path) {
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE);
    return held;
}
void LetGo(HANDLE held, const std::string& path) {
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    DeleteFileA(path.c_str());
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
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "UnInstallString", UninstallerPath());
    // What an inventory reads: the stand-in control's version resource, the
    // four files' size in KB rounded up, today's date.
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "DisplayIcon", UninstallerPath());
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "DisplayVersion", "2.1.0.7");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "Publisher", "QUElmark");
    CHECK_EQ(ReadDword(RegRoot::LocalMachine, sorvan::kUninstallKey, "VersionMajor"), 2);
    CHECK_EQ(ReadDword(RegRoot::LocalMachine, sorvan::kUninstallKey, "VersionMinor"), 1);
    CHECK_EQ(ReadDword(RegRoot::LocalMachine, sorvan::kUninstallKey, "NoModify"), 1);
    CHECK_EQ(ReadDword(RegRoot::LocalMachine, sorvan::kUninstallKey, "NoRepair"), 1);
    unsigned long long bytes64 = 0;
    for (const char* name : kNames) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        CHECK(GetFileAttributesExA(SystemPath(name).c_str(), GetFileExInfoStandard, &data));
        bytes64 += data.nFileSizeLow;
    }
    CHECK_EQ(ReadDword(RegRoot::LocalMachine, sorvan::kUninstallKey, "EstimatedSize"), (bytes64 + 1023) / 1024);
    SYSTEMTIME today = {};
    GetLocalTime(&today);
    char date[16] = {};
    std::snprintf(date, sizeof date, "%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "InstallDate", date);
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
    // A 64-bit program that starts the entry's uninstall command finds the
    // file it names: looked up here with WOW64's redirection turned off.
    DWORD bytes = 0;
    const std::wstring command = ReadWide(RegRoot::LocalMachine, sorvan::kUninstallKey, L"UnInstallString", &bytes);
    PVOID redirection = nullptr;
    CHECK(Wow64DisableWow64FsRedirection(&redirection));
    const DWORD attributes = GetFileAttributesW(command.c_str());
    Wow64RevertWow64FsRedirection(redirection);
    CHECK(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
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
    // A new log: UTF-8 with its byte-order mark, from the start to exit 0.
    CHECK_EQ(ReadWholeFile(LogPath()).rfind("\xEF\xBB\xBF", 0), 0);
    EXPECT_LOG("] start " + PackagePath("SORVanActiveXSetup.exe") + " version 1.0.0.1; Windows ",
               "; elevated ", "; window station visible; command line \"" + PackagePath("SORVanActiveXSetup.exe") +
                   "\"\r\n",
               "open " + PackagePath("LumeTransfer.ocx") + ": ok\r\n",
               "copy to " + SystemPath("LumeTransfer.ocx") + ".new: ok\r\n",
               "rename " + SystemPath("SorVanUninstall.exe") + ".new -> " + SystemPath("SorVanUninstall.exe") + ": ok\r\n",
               "DllRegisterServer: 0x00000000\r\n", "] installed\r\n", "set \"DisplayVersion\" = \"2.1.0.7\": ok\r\n",
               "] moved: local drive\r\n",
               "] exit 0: installed\r\n");
}

// A process that keeps a library loaded, as a browser keeps the control.
struct LoadedElsewhere {
    HANDLE take = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderTake");
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderReady");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderRelease");
    HANDLE process = nullptr;

    // Returns once `path` is loaded in the other process.
    explicit LoadedElsewhere(const std::string& path) {
        DWORD id = 0;
        process = StartProgram(__LINE__, Widen(g_here + "\\holder.exe"), &id, L"\"" + Widen(path) + L"\" load");
        SetEvent(take);
        CHECK_EQ(WaitForSingleObject(ready, 400000), WAIT_OBJECT_0);
    }
    ~LoadedElsewhere() { LetGo(); }
    void LetGo() {
        SetEvent(release);
        if (process != nullptr) CHECK_EQ(FinishProgram(__LINE__, process), 0);
        process = nullptr;
    }
};

// The upgrade that meets an open browser: a newer package while another
// process has the installed control loaded. The setup finds the control held
// before it changes anything, says so in a box its own dialog owns, and the
// working installation stays exactly as it was, its control never asked to
// unregister; the package keeps its components. Once the browser lets go,
// the same package installs.
void ProgramUpgradeWhileTheControlIsLoaded() {
    Reset("control_good.dll");
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
    const std::string installed = ProductSnapshot();
    // The newer package: another build of the control, other companions.
    CHECK(CopyFileA((g_here + "\\control_com.dll").c_str(), PackagePath(kNames[0]).c_str(), FALSE));
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("version 2 of ") + kNames[i]);
    const std::string program = PlaceProgram("SORVanActiveXSetup.exe");

    LoadedElsewhere browser(SystemPath("LumeTransfer.ocx"));
    CHECK_EQ(RunProgram(__LINE__, program, &process), sorvan::kExitInstallFailure);
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
    EXPECT_UNCHANGED(installed);
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
    CHECK_EQ(CountFiles(false), 4);
    // Which file, which error, the message, and that nothing was changed.
    EXPECT_LOG("open for writing " + SystemPath("LumeTransfer.ocx") + ": 32 ERROR_SHARING_VIOLATION\r\n",
               "message shown: 휴대폰 인증서 서비스 설치를 실패하였습니다.  익스플로러를",
               "] cannot replace " + SystemPath("LumeTransfer.ocx") + "\r\n", "] nothing was changed\r\n",
               "] exit 1603 ERROR_INSTALL_FAILURE: not installed\r\n");

    browser.LetGo();
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    CHECK(ReadWholeFile(SystemPath(kNames[2])) == std::string("version 2 of ") + kNames[2]);
}

// A browser saves a second download as "SORVanActiveXSetup (1).exe": it
// installs from its own folder. Started again from the folder it emptied, it
// finds the installation in place and repairs it: the control registers
// itself again (a clean-up tool took its class away), exit 0, and the entry
// and the product key written again, whatever became of them. With a component
// put back as it was, the same. With one that differs, the folder is an
// incomplete package: nothing changes, exit 1603, and the log names what is
// missing. From an empty folder on a machine without the product, the run
// fails.
void ProgramRenamedThenAgain() {
    Reset("control_good.dll");
    const std::string program = PlaceProgram("SORVanActiveXSetup (1).exe");
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    EXPECT_PRODUCT_KEY();
    const std::string installed = ProductSnapshot();

    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kProductKey);
    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey);
    DeleteTree(HKEY_CLASSES_ROOT, sorvan::kControlClassKey);
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    ExpectNoWindowLeft(__LINE__);
    EXPECT_UNCHANGED(installed);
    EXPECT_LOG("DllRegisterServer: 0x00000000\r\n", "] already installed: its control registered again\r\n",
               "] exit 0: installed\r\n");

    WriteWholeFile(PackagePath(kNames[1]), std::string("SORVan test component ") + kNames[1]);
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_UNCHANGED(installed);
    CHECK(FileExists(PackagePath(kNames[1])));

    WriteWholeFile(PackagePath(kNames[1]), "a newer SorVan.dll");
    CHECK_EQ(RunProgram(__LINE__, program, &process), sorvan::kExitInstallFailure);
    EXPECT_NO_BOX();
    EXPECT_UNCHANGED(installed);
    // At the installation, and by each of the two repairs.
    CHECK_EQ(CallCount("RegisterCalls"), 3);
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
    EXPECT_LOG("] missing from the package: " + PackagePath(kNames[0]) + "\r\n",
               "] missing from the package: " + PackagePath(kNames[3]) + "\r\n", "] incomplete package\r\n",
               "] nothing was changed\r\n", "] exit 1603 ");

    Reset(nullptr);
    for (const char* name : kNames) DeleteFileA(PackagePath(name).c_str());
    CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup (1).exe"), &process), sorvan::kExitInstallFailure);
    EXPECT_LOG("] the folder holds none of the components\r\n", "] exit 1603 ");
    EXPECT_NO_BOX();
    EXPECT_PRODUCT_KEY();
    CHECK(FileExists(program));
}

// An upgrade whose control does not register (a build that needs a runtime
// this machine lacks): the newer control unregisters itself, the earlier
// files take their names again and the earlier control registers itself
// again. The earlier installation is exactly as it was, its files byte for
// byte, its records and its class; the newer package keeps its components.
void ProgramUpgradeWhoseControlDoesNotRegister() {
    Reset("control_good.dll");
    DWORD process = 0;
    const std::string program = PlaceProgram("SORVanActiveXSetup.exe");
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    const std::string installed = ProductSnapshot();
    CHECK(CopyFileA((g_here + "\\control_efail.dll").c_str(), PackagePath(kNames[0]).c_str(), FALSE));
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("version 2 of ") + kNames[i]);

    CHECK_EQ(RunProgram(__LINE__, program, &process), sorvan::kExitInstallFailure);
    EXPECT_NO_BOX();
    ExpectNoWindowLeft(__LINE__);
    EXPECT_UNCHANGED(installed);
    CHECK_EQ(CountFiles(false), 4);
    // At the installation, by the newer control, and by the earlier one again.
    CHECK_EQ(CallCount("RegisterCalls"), 3);
    CHECK_EQ(CallCount("UnregisterCalls"), 1);
    EXPECT_LOG("DllRegisterServer: 0x80004005\r\n", "] the control did not register\r\n",
               "DllUnregisterServer: 0x00000000\r\n", "DllRegisterServer: 0x00000000\r\n",
               "] rolled back: the earlier installation is put back\r\n", "] exit 1603 ");
}

// A virus scanner holds the earlier control's backup, sharing reading and
// writing but not deleting, while the newer control registers and until the
// commit has met the hold: the commit waits it out, and the upgrade is
// installed with nothing left.
void ProgramUpgradeWhileAScannerReadsTheBackup() {
    Reset("control_good.dll");
    DWORD process = 0;
    const std::string program = PlaceProgram("SORVanActiveXSetup.exe");
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    CHECK(CopyFileA((g_here + "\\control_wait.dll").c_str(), PackagePath(kNames[0]).c_str(), FALSE));
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("version 2 of ") + kNames[i]);
    HANDLE registering = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestRegistering");
    HANDLE goOn = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestGoOn");
    HANDLE upgrade = StartProgram(__LINE__, Widen(program), &process);
    CHECK_EQ(WaitForSingleObject(registering, 600000), WAIT_OBJECT_0);
    const std::string backup = SystemPath(kNames[0]) + ".sorvan-old";
    HANDLE scanner = CreateFileA(backup.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    CHECK(scanner != INVALID_HANDLE_VALUE);
    SetEvent(goOn);
    // Held until the commit has met it, whatever the machine's speed; the
    // setup then tries again for five seconds.
    const std::string rename = "rename " + backup + " -> " + SystemPath(kNames[0]) + ".sorvan-del: ";
    for (int polls = 0; polls < 12000 && ReadWholeFile(LogPath()).find(rename + "32 ") == std::string::npos &&
                        WaitForSingleObject(upgrade, 0) == WAIT_TIMEOUT;
         ++polls) {
        Sleep(50);
    }
    CloseHandle(scanner);
    CHECK_EQ(FinishProgram(__LINE__, upgrade), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    CHECK(!FileExists(backup));
    EXPECT_LOG(rename + "32 ERROR_SHARING_VIOLATION", rename + "ok", "] installed\r\n", "] exit 0: installed");
    CloseHandle(registering);
    CloseHandle(goOn);
}

// The package folder reached through a link (a Unix symbolic link, a
// reparse point to Windows, made by the runner: C:\sorvan-linked is
// C:\sorvan-test\pkg): its path could be pointed elsewhere while the run
// works, so it is treated as a share. The package installs, and its
// components stay where they are.
void ProgramFromAFolderReachedThroughALink() {
    Reset("control_good.dll");
    (void)PlaceProgram("SORVanActiveXSetup.exe");
    CHECK(GetFileAttributesA("C:\\sorvan-linked") & FILE_ATTRIBUTE_REPARSE_POINT);
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, std::string("C:\\sorvan-linked\\SORVanActiveXSetup.exe"), &process), 0);
    EXPECT_NO_BOX();
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(CountFiles(false), 4);
    CHECK_EQ(CallCount("RegisterCalls"), 1);
    EXPECT_LOG("] installed\r\n", "] kept: reached through a link\r\n", "] exit 0: installed\r\n");
}

// Copies the package folder's program and components into the second one.
std::string PlaceSecondPackage(const std::string& first) {
    CreateDirectoryA(kSecondPackage, nullptr);
    const std::string second = std::string(kSecondPackage) + "\\SORVanActiveXSetup.exe";
    CopyFileA(first.c_str(), second.c_str(), FALSE);
    for (const char* name : kNames) CopyFileA(PackagePath(name).c_str(), (std::string(kSecondPackage) + "\\" + name).c_str(), FALSE);
    return second;
}

void ExpectSecondPackageWhole(int line, const std::string& second) {
    const int before = g_caseFailures;
    for (const char* name : kNames) CHECK(FileExists(std::string(kSecondPackage) + "\\" + name));
    CHECK(FileExists(second));
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kUninstallKey));
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kProductKey));
    if (g_caseFailures != before) Fail(line, "the second start changed something");
}

// One setup at a time. A second start from another folder while the first
// is still running, whether it waits for the user to read its message or is
// in the middle of its work (its components copied, its control
// registering), changes nothing at all and exits with 1618; the first then
// ends as it would have alone.
void ProgramSecondStartWhileTheFirstRuns() {
    // The first shows the sharing-violation message, held up.
    Reset("control_good.dll");
    std::string first = PlaceProgram("SORVanActiveXSetup.exe");
    std::string second = PlaceSecondPackage(first);
    HANDLE held = HoldOpen(SystemPath("SorVan.dll"));
    HoldBoxes(true);
    DWORD firstId = 0;
    HANDLE firstProcess = StartProgram(__LINE__, Widen(first), &firstId);
    CHECK(WaitForBox(600000));
    const int installedBefore = CountFiles(true);  // the held file
    DWORD secondId = 0;
    CHECK_EQ(RunProgram(__LINE__, second, &secondId), ERROR_INSTALL_ALREADY_RUNNING);
    CHECK_EQ(CountFiles(true), installedBefore);
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kFileListKey), 0);
    ExpectSecondPackageWhole(__LINE__, second);
    // The refused start is logged, and its exit, while the first holds the log.
    const std::string secondTag = "[" + std::to_string(secondId) + "] ";
    EXPECT_LOG(secondTag + "start " + second, secondTag + "exit 1618 ERROR_INSTALL_ALREADY_RUNNING");
    HoldBoxes(false);  // the user presses OK
    CHECK_EQ(FinishProgram(__LINE__, firstProcess), sorvan::kExitInstallFailure);
    LetGo(held, SystemPath("SorVan.dll"));
    EXPECT_ONE_BOX(kSharingText);
    EXPECT_ROLLED_BACK();
    EXPECT_PRODUCT_KEY();
    DeleteFileA(second.c_str());

    // The first waits inside the control's registration.
    Reset("control_wait.dll");
    first = PlaceProgram("SORVanActiveXSetup.exe");
    second = PlaceSecondPackage(first);
    HANDLE registering = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestRegistering");
    HANDLE goOn = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestGoOn");
    firstProcess = StartProgram(__LINE__, Widen(first), &firstId);
    CHECK_EQ(WaitForSingleObject(registering, 600000), WAIT_OBJECT_0);
    CHECK_EQ(RunProgram(__LINE__, second, &secondId), ERROR_INSTALL_ALREADY_RUNNING);
    CHECK_EQ(WaitForSingleObject(firstProcess, 0), WAIT_TIMEOUT);  // still registering
    // In place, and recorded once the control has registered.
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kFileListKey), 0);
    ExpectSecondPackageWhole(__LINE__, second);
    SetEvent(goOn);
    CHECK_EQ(FinishProgram(__LINE__, firstProcess), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    EXPECT_PRODUCT_KEY();
    CHECK_EQ(CallCount("RegisterCalls"), 1);
    CloseHandle(registering);
    CloseHandle(goOn);
    DeleteFileA(second.c_str());
}

// People double-click twice. Pairs of starts from one folder at once: one
// installs, the other finds it running (1618) or, once it has finished, the
// installation in place and nothing to do (0); never an incomplete
// installation, never a component gone from both folders.
void ProgramStartedTwiceAtOnce() {
    constexpr int kPairs = 3;
    int overlapped = 0;
    for (int pair = 0; pair < kPairs; ++pair) {
        Reset("control_good.dll");
        const std::wstring program = Widen(PlaceProgram("SORVanActiveXSetup.exe"));
        // Both made ready first, then let go together: a process takes far
        // longer to be made than to run.
        DWORD ids[2] = {};
        HANDLE threads[2] = {};
        HANDLE a = StartProgram(__LINE__, program, &ids[0], L"", &threads[0]);
        HANDLE b = StartProgram(__LINE__, program, &ids[1], L"", &threads[1]);
        for (HANDLE thread : threads) {
            if (thread == nullptr) continue;
            ResumeThread(thread);
            CloseHandle(thread);
        }
        const DWORD first = FinishProgram(__LINE__, a);
        const DWORD second = FinishProgram(__LINE__, b);
        const DWORD other = first == 0 ? second : first;
        CHECK(first == 0 || second == 0);
        CHECK(other == ERROR_INSTALL_ALREADY_RUNNING || other == 0);
        overlapped += other == ERROR_INSTALL_ALREADY_RUNNING ? 1 : 0;
        EXPECT_INSTALLED();
        EXPECT_NO_BOX();
    }
    std::printf("    %d of %d pairs ran at the same time\n", overlapped, kPairs);
}

// A deployment tool runs the setup as SYSTEM, where no one can see a window:
// a sharing violation is rolled back at once instead of waiting for an OK
// that never comes; success there is the same as anywhere.
void ProgramWhereNoOneSees() {
    Reset("control_good.dll");
    std::string program = PlaceProgram("SORVanActiveXSetup.exe");
    HANDLE held = HoldOpen(SystemPath("SorVan.dll"));
    CHECK_EQ(RunOnHiddenStation(__LINE__, program), sorvan::kExitInstallFailure);
    LetGo(held, SystemPath("SorVan.dll"));
    EXPECT_NO_BOX();
    EXPECT_ROLLED_BACK();
    EXPECT_PRODUCT_KEY();
    EXPECT_LOG("; window station hidden; command line ", ": 32 ERROR_SHARING_VIOLATION\r\n",
               "message skipped, no one sees this window station: 휴대폰", "] exit 1603 ");

    Reset("control_good.dll");
    program = PlaceProgram("SORVanActiveXSetup.exe");
    CHECK_EQ(RunOnHiddenStation(__LINE__, program), 0);
    EXPECT_INSTALLED();
    EXPECT_PRODUCT_KEY();
}

// Another program holding a mutex, or an event, under the name of the lock
// that earlier versions took does not keep the setup from installing: the
// lock is now a file only administrators can make.
void ProgramOldLockNamesTaken() {
    for (const bool asEvent : {false, true}) {
        Reset("control_good.dll");
        HANDLE taken[2] = {};
        int index = 0;
        for (const wchar_t* name : {L"Global\\SORVanActiveXSetup.{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}",
                                    L"Local\\SORVanActiveXSetup.{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}"}) {
            taken[index] = asEvent ? CreateEventW(nullptr, TRUE, FALSE, name) : CreateMutexW(nullptr, TRUE, name);
            CHECK(taken[index++] != nullptr);
        }
        DWORD process = 0;
        CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
        EXPECT_INSTALLED();
        for (HANDLE handle : taken) {
            if (handle != nullptr) CloseHandle(handle);
        }
    }
    // The lock is gone with the process that held it.
    CHECK(!FileExists(SystemPath("SORVanActiveXSetup.lock")));
}

// The log can never hurt the installation nor be turned against the machine:
// its place taken by a folder or by a hard link to another file, or its
// folder missing, the setup installs as without it and writes nowhere else.
// Past 256 KB the log is kept once as .log.old and a new one begun.
void ProgramLogInTheWay() {
    const auto installs = [](int line) {
        const int before = g_caseFailures;
        DWORD process = 0;
        CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
        EXPECT_INSTALLED();
        if (g_caseFailures != before) Fail(line, "the setup did not install as without a log");
    };
    Reset("control_good.dll");
    CHECK(CreateDirectoryA(LogPath().c_str(), nullptr));
    installs(__LINE__);
    CHECK(GetFileAttributesA(LogPath().c_str()) == FILE_ATTRIBUTE_DIRECTORY);

    Reset("control_good.dll");
    const std::string victim = "C:\\sorvan-test\\victim.txt";
    WriteWholeFile(victim, "precious");
    CHECK(CreateHardLinkA(LogPath().c_str(), victim.c_str(), nullptr));
    installs(__LINE__);
    CHECK(ReadWholeFile(victim) == "precious");
    DeleteFileA(victim.c_str());

    Reset("control_good.dll");
    SetEnvironmentVariableA("TMP", "C:\\sorvan-test\\no-such-folder");
    SetEnvironmentVariableA("TEMP", "C:\\sorvan-test\\no-such-folder");
    installs(__LINE__);
    SetEnvironmentVariableA("TMP", kTempFolder);
    SetEnvironmentVariableA("TEMP", kTempFolder);
    CHECK(GetFileAttributesA("C:\\sorvan-test\\no-such-folder") == INVALID_FILE_ATTRIBUTES);

    Reset("control_good.dll");
    const std::string full = "old log\r\n" + std::string(256 * 1024 - 8, 'x');
    WriteWholeFile(LogPath(), full);
    installs(__LINE__);
    CHECK(ReadWholeFile(LogPath() + ".old") == full);
    CHECK_EQ(ReadWholeFile(LogPath()).rfind("\xEF\xBB\xBF", 0), 0);
    EXPECT_LOG("] exit 0: installed\r\n");
}

// Moves the program and its components from the package folder into
// `folder`, runs it from there, and checks that it installed from there.
void InstallsFrom(int line, const std::wstring& folder) {
    const int before = g_caseFailures;
    const std::wstring program = folder + L"\\SORVanActiveXSetup.exe";
    CHECK(MoveFileExW(Widen(PlaceProgram("SORVanActiveXSetup.exe")).c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
    for (const char* name : kNames) {
        CHECK(MoveFileExW(Widen(PackagePath(name)).c_str(), (folder + L"\\" + Widen(name)).c_str(),
                          MOVEFILE_REPLACE_EXISTING));
    }
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    for (const char* name : kNames) {
        CHECK(GetFileAttributesW((folder + L"\\" + Widen(name)).c_str()) == INVALID_FILE_ATTRIBUTES);
    }
    DeleteFileW(program.c_str());
    if (g_caseFailures != before) Fail(line, "it did not install from its own folder");
}

// Downloaded into a folder whose name the system's code page cannot spell (a
// Korean folder on an English Windows), it installs from there; and from a
// folder whose name the code page would "best fit" into another folder's, it
// installs from its own, leaving the other alone.
void ProgramFromAFolderTheCodePageCannotSpell() {
    // The test script runs Wine with the English code page.
    CHECK_EQ(GetACP(), 1252);
    Reset("control_good.dll");
    CreateDirectoryW(L"C:\\users\\Public\\Downloads", nullptr);
    CreateDirectoryW(kKoreanFolder, nullptr);
    InstallsFrom(__LINE__, kKoreanFolder);

    Reset("control_good.dll");
    CreateDirectoryW(kFullwidthFolder, nullptr);
    CreateDirectoryW(L"C:\\sorvan-test\\full", nullptr);
    CreateDirectoryW(kDecoyFolder, nullptr);
    for (const char* name : kNames) {
        CopyFileW(Widen(PackagePath(name)).c_str(), (std::wstring(kDecoyFolder) + L"\\" + Widen(name)).c_str(), FALSE);
    }
    InstallsFrom(__LINE__, kFullwidthFolder);
    for (const char* name : kNames) {
        CHECK(GetFileAttributesW((std::wstring(kDecoyFolder) + L"\\" + Widen(name)).c_str()) != INVALID_FILE_ATTRIBUTES);
    }
}

// A control whose registration creates a COM object registers, as it would
// under regsvr32.
void ProgramControlThatNeedsCom() {
    Reset("control_com.dll");
    DWORD process = 0;
    CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    CHECK_EQ(CallCount("RegisterCalls"), 1);
}

// --- A release, as the release test left it beside the driver: signed with
// a throwaway authority whose root is test-root.cer.

std::string ReleasePath(const char* name) { return g_here + "\\signed-release\\" + name; }

bool HaveRelease() {
    if (FileExists(ReleasePath("SORVan.cab")) && FileExists(g_here + "\\test-root.cer")) return true;
    Fail(__LINE__, "no signed release beside the driver: tests/release/release_test.sh makes it");
    return false;
}

// WinVerifyTrust's verdict on a file, as Windows gives it before it runs a
// downloaded program: the Authenticode policy, no user interface, no
// revocation check (there is no network).
LONG VerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return verdict;
}

// Puts the test authority's root into, or takes it out of, the current
// user's trusted roots.
void TrustTestRoot(bool trust) {
    const std::string root = ReadWholeFile(g_here + "\\test-root.cer");
    HCERTSTORE store = CertOpenSystemStoreW(0, L"Root");
    CHECK(store != nullptr);
    if (store == nullptr) return;
    PCCERT_CONTEXT added = nullptr;
    CHECK(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(root.data()),
                                           static_cast<DWORD>(root.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                           &added));
    if (added != nullptr && !trust) CertDeleteCertificateFromStore(added);  // frees it too
    else if (added != nullptr) CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
}

// Windows trusts the signed program once the signer's root is trusted, and
// refuses it with one byte changed.
void ReleaseSignedProgramIsTrusted() {
    Reset(nullptr);
    if (!HaveRelease()) return;
    const std::string program = PackagePath("signed.exe");
    const std::string tampered = PackagePath("tampered.exe");
    CHECK(CopyFileA(ReleasePath("SORVanActiveXSetup.exe").c_str(), program.c_str(), FALSE));
    std::string bytes = ReadWholeFile(program);
    bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 1);
    WriteWholeFile(tampered, bytes);

    // Windows refuses a root it does not trust; Wine's policy accepts it, so
    // only the trusted case is the same on both.
    TrustTestRoot(true);
    CHECK_EQ(VerifyTrust(Widen(program)), ERROR_SUCCESS);
    CHECK_EQ(VerifyTrust(Widen(tampered)), TRUST_E_BAD_DIGEST);
    TrustTestRoot(false);
    DeleteFileA(program.c_str());
    DeleteFileA(tampered.c_str());
}

UINT CALLBACK ExtractInto(PVOID folder, UINT notification, UINT_PTR param1, UINT_PTR) {
    if (notification != SPFILENOTIFY_FILEINCABINET) return NO_ERROR;
    auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
    std::swprintf(info->FullTargetName, MAX_PATH, L"%ls\\%ls", static_cast<const wchar_t*>(folder), info->NameInCabinet);
    return FILEOP_DOIT;
}

std::wstring InfValue(const std::wstring& inf, const wchar_t* section, const wchar_t* key) {
    wchar_t value[512] = {};
    GetPrivateProfileStringW(section, key, L"", value, 511, inf.c_str());
    return value;
}

// What the browser's code download does with the cabinet: it extracts it
// into a folder of its own and runs the INF's setup hook, with %EXTRACT_DIR%
// that folder. The signed program installs from there.
void ReleaseCabinetRunsItsHook() {
    Reset(nullptr);
    if (!HaveRelease()) return;
    for (const char* name : kNames) DeleteFileA(PackagePath(name).c_str());
    const std::wstring folder = Widen(kPackage);
    CHECK(SetupIterateCabinetW(Widen(ReleasePath("SORVan.cab")).c_str(), 0, ExtractInto,
                               const_cast<wchar_t*>(folder.c_str())));
    CHECK_EQ(CountFiles(false), 4);

    const std::wstring inf = folder + L"\\SORVan.inf";
    wchar_t hooks[256] = {};
    GetPrivateProfileStringW(L"Setup Hooks", nullptr, L"", hooks, 255, inf.c_str());
    std::wstring command = InfValue(inf, InfValue(inf, L"Setup Hooks", hooks).c_str(), L"run");
    const std::wstring variable = L"%EXTRACT_DIR%";
    const std::size_t at = command.find(variable);
    CHECK(at != std::wstring::npos);
    if (at == std::wstring::npos) return;
    command.replace(at, variable.size(), folder);

    // Started as the browser starts it: a command line, from another folder.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    CHECK(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, L"C:\\", &startup, &started));
    if (started.hThread != nullptr) CloseHandle(started.hThread);
    CHECK_EQ(FinishProgram(__LINE__, started.hProcess), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    DeleteFileW(inf.c_str());
    DeleteFileW((folder + L"\\SORVanActiveXSetup.exe").c_str());
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

// A release's program installs only the components it was made with. Over a
// working installation of the release, a control replaced by a library whose
// loading leaves a mark, or a companion with one byte changed, changes
// nothing: the installation stays exactly as it was, the planted code never
// runs, and no staged copy is left. The log names the component.
void ReleaseRunsOnlyItsOwnComponents() {
    const std::string mark = "C:\\sorvan-test\\mark";
    const auto runRelease = [&](int line, const char* replaced, const std::string& content) {
        DeleteFileA(mark.c_str());
        for (const char* name : {"SORVanActiveXSetup.exe", kNames[0], kNames[1], kNames[2], kNames[3]}) {
            CHECK(CopyFileA(ReleasePath((std::string("SORVan\\") + name).c_str()).c_str(), PackagePath(name).c_str(),
                            FALSE));
        }
        if (replaced != nullptr) WriteWholeFile(PackagePath(replaced), content);
        DWORD process = 0;
        const DWORD status = RunProgram(line, PackagePath("SORVanActiveXSetup.exe"), &process);
        EXPECT_NO_BOX();
        return status;
    };
    if (!HaveRelease()) return;
    Reset(nullptr);
    CHECK_EQ(runRelease(__LINE__, nullptr, ""), 0);
    EXPECT_INSTALLED();
    const std::string installed = ProductSnapshot();

    CHECK_EQ(runRelease(__LINE__, kNames[0], ReadWholeFile(g_here + "\\control_mark.dll")), sorvan::kExitInstallFailure);
    CHECK(!FileExists(mark));
    EXPECT_UNCHANGED(installed);
    EXPECT_LOG("] not what this program was made with: " + PackagePath(kNames[0]) + "\r\n",
               "] nothing was changed\r\n", "] exit 1603 ");
    CHECK_EQ(ReadWholeFile(LogPath()).find("digest of"), std::string::npos);

    std::string changed = ReadWholeFile(ReleasePath("SORVan\\SorVanWin32.dll"));
    changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 1);
    CHECK_EQ(runRelease(__LINE__, kNames[2], changed), sorvan::kExitInstallFailure);
    EXPECT_UNCHANGED(installed);
    CHECK_EQ(CallCount("RegisterCalls"), 1);
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
}

// A package on a USB stick, a disc or a network share serves every machine it
// is carried to: it installs from there and keeps its four components byte
// for byte; run again from the removable drive, it finds them installed. The test
// script makes E: a removable drive, F: a CD-ROM drive and G: a network drive;
// drive_type.exe reads each type back, in a process with one thread.
void ProgramFromRemovableOpticalAndNetworkDrives() {
    struct Drive {
        const char* root;
        UINT type;
    };
    for (const Drive& drive : {Drive{"E:\\", DRIVE_REMOVABLE}, Drive{"F:\\", DRIVE_CDROM}, Drive{"G:\\", DRIVE_REMOTE}}) {
        DWORD process = 0;
        CHECK_EQ(RunProgram(__LINE__, Widen(g_here + "\\drive_type.exe"), &process, Widen(drive.root)), drive.type);
        Reset("control_good.dll");
        const std::string folder = std::string(drive.root) + "SORVan";
        CreateDirectoryA(folder.c_str(), nullptr);
        const std::string program = folder + "\\SORVanActiveXSetup.exe";
        CHECK(CopyFileA(PlaceProgram("SORVanActiveXSetup.exe").c_str(), program.c_str(), FALSE));
        std::string placed[4];
        for (int i = 0; i < 4; ++i) {
            placed[i] = ReadWholeFile(PackagePath(kNames[i]));
            CHECK(CopyFileA(PackagePath(kNames[i]).c_str(), (folder + "\\" + kNames[i]).c_str(), FALSE));
            DeleteFileA(PackagePath(kNames[i]).c_str());
        }
        CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
        EXPECT_NO_BOX();
        EXPECT_INSTALLED();
        for (int i = 0; i < 4; ++i) CHECK(ReadWholeFile(folder + "\\" + kNames[i]) == placed[i]);
        EXPECT_LOG("] kept: removable, optical or network drive\r\n", "] exit 0: installed\r\n");
        if (drive.type == DRIVE_REMOVABLE) {
            // Started again where the same package is installed.
            CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
            EXPECT_LOG("] already installed: its control registered again\r\n");
            CHECK_EQ(CallCount("RegisterCalls"), 2);
            for (int i = 0; i < 4; ++i) CHECK(ReadWholeFile(folder + "\\" + kNames[i]) == placed[i]);
        }
        for (const char* name : {kNames[0], kNames[1], kNames[2], kNames[3], "SORVanActiveXSetup.exe"}) {
            DeleteFileA((folder + "\\" + name).c_str());
        }
        RemoveDirectoryA(folder.c_str());
    }
}

// What the records and the files say is what this run installed. A control
// without a version resource, installed over one with a version, leaves no
// version or publisher of the earlier one in the entry. Files from a
// read-only source (a disc, a read-only share) are installed without the
// read-only attribute, and a newer package then replaces them.
void ProgramRecordsAndAttributesOfWhatIsInstalled() {
    Reset("control_good.dll");
    DWORD process = 0;
    const std::string program = PlaceProgram("SORVanActiveXSetup.exe");
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "DisplayVersion", "2.1.0.7");
    CHECK(CopyFileA((g_here + "\\control_nover.dll").c_str(), PackagePath(kNames[0]).c_str(), FALSE));
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("version 2 of ") + kNames[i]);
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    CHECK_EQ(CountFiles(true), 4);
    for (const char* name : {"DisplayVersion", "Publisher", "VersionMajor", "VersionMinor"}) {
        HKEY key = nullptr;
        CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey, 0, KEY_READ, &key), 0);
        CHECK_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);
    }

    Reset("control_good.dll");
    for (const char* name : kNames) SetFileAttributesA(PackagePath(name).c_str(), FILE_ATTRIBUTE_READONLY);
    CHECK_EQ(RunProgram(__LINE__, PlaceProgram("SORVanActiveXSetup.exe"), &process), 0);
    for (const char* name : kNames) {
        CHECK_EQ(GetFileAttributesA(SystemPath(name).c_str()) &
                     (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0);
        SetFileAttributesA(PackagePath(name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    CHECK(CopyFileA((g_here + "\\control_com.dll").c_str(), PackagePath(kNames[0]).c_str(), FALSE));
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("version 3 of ") + kNames[i]);
    CHECK_EQ(RunProgram(__LINE__, program, &process), 0);
    EXPECT_NO_BOX();
    EXPECT_INSTALLED();
    CHECK(ReadWholeFile(SystemPath(kNames[3])) == std::string("version 3 of ") + kNames[3]);
}

}  // namespace

extern const Case kProgramCases[];
const Case kProgramCases[] = {
    {"shell_dialog", ShellDialog},
    {"program_success", ProgramSuccess},
    {"program_upgrade_while_the_control_is_loaded", ProgramUpgradeWhileTheControlIsLoaded},
    {"program_renamed_then_again", ProgramRenamedThenAgain},
    {"program_upgrade_whose_control_does_not_register", ProgramUpgradeWhoseControlDoesNotRegister},
    {"program_second_start_while_the_first_runs", ProgramSecondStartWhileTheFirstRuns},
    {"program_upgrade_while_a_scanner_reads_the_backup", ProgramUpgradeWhileAScannerReadsTheBackup},
    {"program_from_a_folder_reached_through_a_link", ProgramFromAFolderReachedThroughALink},
    {"program_started_twice_at_once", ProgramStartedTwiceAtOnce},
    {"program_where_no_one_sees", ProgramWhereNoOneSees},
    {"program_log_in_the_way", ProgramLogInTheWay},
    {"program_old_lock_names_taken", ProgramOldLockNamesTaken},
    {"program_from_a_folder_the_code_page_cannot_spell", ProgramFromAFolderTheCodePageCannotSpell},
    {"program_control_that_needs_com", ProgramControlThatNeedsCom},
    {"program_from_removable_optical_and_network_drives", ProgramFromRemovableOpticalAndNetworkDrives},
    {"program_records_and_attributes_of_what_is_installed", ProgramRecordsAndAttributesOfWhatIsInstalled},
    {"release_signed_program_is_trusted", ReleaseSignedProgramIsTrusted},
    {"release_cabinet_runs_its_hook", ReleaseCabinetRunsItsHook},
    {"release_runs_only_its_own_components", ReleaseRunsOnlyItsOwnComponents},
    {nullptr, nullptr},
};
