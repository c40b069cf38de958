// Runs the engine against the real Win32 layer and reads the real state back
// from the file system and the registry. Every case starts from a clean slate.
//
//   engine_driver.exe [case-name-substring]
//
// The stand-in components are built beside this program. Message boxes are
// dismissed from outside (the test script presses Return); a watcher thread
// here reads each box's caption and text while it is up.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/setup_engine.h"
#include "platform/win32_platform.h"

namespace {

using platform::RegRoot;

// --- Checks ------------------------------------------------------------------

int g_caseFailures = 0;

void Fail(int line, const std::string& what) {
    ++g_caseFailures;
    std::printf("    line %d: %s\n", line, what.c_str());
    std::fflush(stdout);
}
#define CHECK(condition) \
    do { if (!(condition)) Fail(__LINE__, "CHECK(" #condition ")"); } while (0)
#define CHECK_EQ(actual, expected)                                                                   \
    do {                                                                                             \
        const long long a_ = static_cast<long long>(actual), e_ = static_cast<long long>(expected);  \
        if (a_ != e_) Fail(__LINE__, std::string(#actual) + " is " + std::to_string(a_) + ", expected " + std::to_string(e_)); \
    } while (0)

// --- Locations -----------------------------------------------------------------

const char* const kNames[4] = {"LumeTransfer.ocx", "SorVan.dll", "SorVanWin32.dll", "SorVanUninstall.exe"};
const char kPackage[] = "C:\\sorvan-test\\pkg";
const char kTestKey[] = "Software\\SORVanTest";

std::string g_here;    // this program's folder, where the fixtures are
std::string g_system;  // the system folder

std::string SystemPath(const char* name) { return g_system + "\\" + name; }
std::string PackagePath(const char* name) { return std::string(kPackage) + "\\" + name; }

bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
int CountFiles(bool inSystem) {
    int count = 0;
    for (const char* name : kNames) count += FileExists(inSystem ? SystemPath(name) : PackagePath(name)) ? 1 : 0;
    return count;
}
std::string ReadWholeFile(const std::string& path) {
    std::string content;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
    char buffer[256];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return content;
}
void WriteWholeFile(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

HKEY Root(RegRoot root) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root)); }

bool KeyExists(RegRoot root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

DWORD ValueCount(RegRoot root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return values;
}

// A REG_SZ value read back byte for byte: its type, its exact size (the text
// and one NUL) and nothing written past it.
void ExpectString(int line, RegRoot root, const std::string& path, const char* name, const std::string& expected) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        Fail(line, "key missing: " + path);
        return;
    }
    unsigned char data[2048];
    std::memset(data, 0xbd, sizeof data);
    DWORD type = 0;
    DWORD size = sizeof data;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        Fail(line, std::string("value missing: ") + name);
        return;
    }
    if (type != REG_SZ) Fail(line, std::string(name) + " is not REG_SZ");
    if (size != expected.size() + 1) {
        Fail(line, std::string(name) + ": " + std::to_string(size) + " bytes, expected " +
                       std::to_string(expected.size() + 1));
    }
    if (std::memcmp(data, expected.c_str(), expected.size() + 1) != 0) {
        Fail(line, std::string(name) + " is \"" + std::string(reinterpret_cast<char*>(data)) + "\", expected \"" +
                       expected + "\"");
    }
    if (data[expected.size() + 1] != 0xbd) Fail(line, std::string(name) + ": written past its data");
}
#define EXPECT_STRING(root, path, name, expected) ExpectString(__LINE__, root, path, name, expected)

std::wstring ReadWide(RegRoot root, const std::string& path, const wchar_t* name, DWORD* bytes) {
    HKEY key = nullptr;
    *bytes = 0;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<no key>";
    wchar_t data[512];
    std::memset(data, 0xbd, sizeof data);
    DWORD type = 0;
    DWORD size = sizeof data;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return L"<no value>";
    *bytes = size;
    return std::wstring(data, wcsnlen(data, 511));
}

DWORD CallCount(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD count = 0;
    DWORD size = sizeof count;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size) != ERROR_SUCCESS) {
        count = 0;
    }
    RegCloseKey(key);
    return count;
}

// --- Message boxes -------------------------------------------------------------

// What the watcher saw: one entry per message box.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
};
CRITICAL_SECTION g_seenLock;
std::vector<SeenBox> g_seen;
HWND g_lastBox = nullptr;
volatile LONG g_stopWatching = 0;

const wchar_t kCaption[] = L"휴대폰 인증서 서비스";
const wchar_t kSharingText[] = L"휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n익스플로러를 모두 닫고 다시 실행해 주세요";
const wchar_t kAccessText[] =
    L"휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n관리자 권한이 있는 계정으로 로그인하고 다시 실행해 주세요";

DWORD WINAPI WatchMessageBoxes(void*) {
    while (InterlockedCompareExchange(&g_stopWatching, 0, 0) == 0) {
        HWND box = FindWindowW(L"#32770", kCaption);
        if (box != nullptr && box != g_lastBox) {
            wchar_t caption[256] = {};
            wchar_t text[512] = {};
            GetWindowTextW(box, caption, 255);
            // The message box's text is its static control 0xFFFF.
            GetDlgItemTextW(box, 0xFFFF, text, 511);
            EnterCriticalSection(&g_seenLock);
            g_seen.push_back(SeenBox{caption, text});
            g_lastBox = box;
            LeaveCriticalSection(&g_seenLock);
        }
        Sleep(20);
    }
    return 0;
}

std::vector<SeenBox> TakeSeen() {
    EnterCriticalSection(&g_seenLock);
    std::vector<SeenBox> seen = g_seen;
    g_seen.clear();
    g_lastBox = nullptr;
    LeaveCriticalSection(&g_seenLock);
    return seen;
}

void ExpectOneBox(int line, const wchar_t* text) {
    std::vector<SeenBox> seen = TakeSeen();
    if (seen.size() != 1) {
        Fail(line, std::to_string(seen.size()) + " message boxes seen, expected 1");
        return;
    }
    if (seen[0].caption != kCaption) Fail(line, "message box caption differs");
    if (seen[0].text != text) Fail(line, "message box text differs");
}
#define EXPECT_ONE_BOX(text) ExpectOneBox(__LINE__, text)
#define EXPECT_NO_BOX() CHECK_EQ(TakeSeen().size(), 0)

// --- The platform, with the program's location made the package folder -----

class PackagePlatform final : public platform::Win32Platform {
public:
    std::string modulePath = std::string(kPackage) + "\\SORVanActiveXSetup.exe";
    std::uint32_t ModuleFileName(char* buffer, std::uint32_t size) override {
        if (modulePath.size() >= size) return 0;
        std::memcpy(buffer, modulePath.c_str(), modulePath.size() + 1);
        return static_cast<std::uint32_t>(modulePath.size());
    }
};
PackagePlatform g_os;

// --- Clean slate -----------------------------------------------------------

void DeleteTree(HKEY root, const char* path) {
    RegDeleteTreeA(root, path);
    RegDeleteKeyA(root, path);
}

void Reset(const char* controlFixture) {
    g_os.modulePath = std::string(kPackage) + "\\SORVanActiveXSetup.exe";
    for (const char* name : kNames) {
        SetFileAttributesA(SystemPath(name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(SystemPath(name).c_str());
        RemoveDirectoryA(SystemPath(name).c_str());
    }
    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kDistributionUnitKey);
    DeleteTree(HKEY_CLASSES_ROOT, sorvan::kControlClassKey);
    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey);
    DeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\QUElmark");
    DeleteTree(HKEY_LOCAL_MACHINE, kTestKey);
    DeleteTree(HKEY_CLASSES_ROOT, "D");
    CreateDirectoryA("C:\\sorvan-test", nullptr);
    CreateDirectoryA(kPackage, nullptr);
    for (const char* name : kNames) DeleteFileA(PackagePath(name).c_str());
    if (controlFixture != nullptr) {
        CopyFileA((g_here + "\\" + controlFixture).c_str(), PackagePath(kNames[0]).c_str(), FALSE);
    }
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("SORVan test component ") + kNames[i]);
    TakeSeen();
}

void ExpectRolledBack(int line) {
    const int before = g_caseFailures;
    CHECK_EQ(CountFiles(true), 0);
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kDistributionUnitKey));
    CHECK(!KeyExists(RegRoot::ClassesRoot, sorvan::kControlClassKey));
    CHECK_EQ(CountFiles(false), 4);
    if (g_caseFailures != before) Fail(line, "the installation was not rolled back completely");
}
#define EXPECT_ROLLED_BACK() ExpectRolledBack(__LINE__)

// --- Cases ---------------------------------------------------------------------

void RegistryRules() {
    Reset(nullptr);
    platform::Platform& os = g_os;
    const std::string base = std::string(kTestKey) + "\\Rules";
    for (const char* leaf : {"\\b", "\\A", "\\c\\d"}) {
        platform::KeyHandle key = nullptr;
        CHECK_EQ(os.CreateKey(RegRoot::LocalMachine, (base + leaf).c_str(), &key), 0);
        os.CloseKey(key);
    }
    CHECK_EQ(os.DeleteKey(RegRoot::LocalMachine, base.c_str()), platform::kErrorAccessDenied);
    CHECK_EQ(os.DeleteKey(RegRoot::LocalMachine, (base + "\\c").c_str()), platform::kErrorAccessDenied);
    CHECK_EQ(os.DeleteKey(RegRoot::LocalMachine, (base + "\\missing").c_str()), platform::kErrorFileNotFound);
    platform::KeyHandle key = nullptr;
    CHECK_EQ(os.OpenKey(RegRoot::LocalMachine, "SOFTWARE\\sorvantest\\RULES", &key), 0);
    char name[16];
    CHECK_EQ(os.EnumSubKey(key, 0, name, sizeof name), 0);
    CHECK(std::strcmp(name, "A") == 0);
    CHECK_EQ(os.EnumSubKey(key, 1, name, sizeof name), 0);
    CHECK(std::strcmp(name, "b") == 0);
    CHECK_EQ(os.DeleteKey(RegRoot::LocalMachine, (base + "\\a").c_str()), 0);
    CHECK_EQ(os.EnumSubKey(key, 0, name, sizeof name), 0);
    CHECK(std::strcmp(name, "b") == 0);
    CHECK_EQ(os.EnumSubKey(key, 2, name, sizeof name), platform::kErrorNoMoreItems);
    char tiny[1];
    CHECK_EQ(os.EnumSubKey(key, 0, tiny, sizeof tiny), platform::kErrorMoreData);
    os.CloseKey(key);

    platform::KeyHandle leaf = nullptr;
    CHECK_EQ(os.OpenKey(RegRoot::LocalMachine, (base + "\\b").c_str(), &leaf), 0);
    CHECK_EQ(os.DeleteKey(RegRoot::LocalMachine, (base + "\\b").c_str()), 0);
    CHECK_EQ(os.SetString(leaf, "v", "x", platform::TextCoding::SystemAnsi), platform::kErrorKeyDeleted);
    std::uint32_t count = 99;
    char cls[8];
    CHECK_EQ(os.QueryKeyInfo(leaf, cls, sizeof cls, &count), platform::kErrorKeyDeleted);
    CHECK_EQ(count, 99);
    os.CloseKey(leaf);

    // Windows takes sub-key names of up to 256 characters, though it documents
    // 255, and refuses longer ones. The paths stay short of 260 characters:
    // Wine's ANSI registry calls convert a path in a buffer of that size and
    // answer ERROR_MORE_DATA for a longer one, which Windows does not.
    const std::string longest(256, 'k');
    platform::KeyHandle named = nullptr;
    CHECK_EQ(os.CreateKey(RegRoot::ClassesRoot, ("R\\" + longest).c_str(), &named), 0);
    os.CloseKey(named);
    named = nullptr;
    CHECK_EQ(os.CreateKey(RegRoot::ClassesRoot, (longest + "k").c_str(), &named), platform::kErrorInvalidParameter);
    CHECK(named == nullptr);
    CHECK_EQ(os.DeleteKey(RegRoot::ClassesRoot, ("R\\" + longest).c_str()), 0);
    CHECK_EQ(os.DeleteKey(RegRoot::ClassesRoot, "R"), 0);

    // An empty text is one byte, the NUL.
    platform::KeyHandle values = nullptr;
    CHECK_EQ(os.CreateKey(RegRoot::LocalMachine, base.c_str(), &values), 0);
    CHECK_EQ(os.SetString(values, "Empty", "", platform::TextCoding::SystemAnsi), 0);
    CHECK_EQ(os.SetString(values, "empty", "again", platform::TextCoding::SystemAnsi), 0);
    os.CloseKey(values);
    EXPECT_STRING(RegRoot::LocalMachine, base, "EMPTY", "again");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, base), 1);
}

void InstallSuccess() {
    Reset("control_good.dll");
    WriteWholeFile(SystemPath("SorVan.dll"), "from an earlier installation");
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 1);
    EXPECT_NO_BOX();
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(CountFiles(false), 0);
    CHECK(ReadWholeFile(SystemPath("SorVan.dll")) == "SORVan test component SorVan.dll");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kFileListKey), 4);
    for (const char* name : kNames) EXPECT_STRING(RegRoot::LocalMachine, sorvan::kFileListKey, SystemPath(name).c_str(), "");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kDistributionUnitKey), 0);
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, std::string(sorvan::kDistributionUnitKey) + "\\Contains"), 0);
    EXPECT_STRING(RegRoot::ClassesRoot, std::string(sorvan::kControlClassKey) + "\\InprocServer32", nullptr,
                  SystemPath("LumeTransfer.ocx"));
    CHECK_EQ(CallCount("RegisterCalls"), 1);
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
}

void CopyFailure(const char* blockedName, const wchar_t* expectedText, bool makeDirectory) {
    Reset("control_good.dll");
    if (makeDirectory) CreateDirectoryA(SystemPath(blockedName).c_str(), nullptr);
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 0);
    if (expectedText != nullptr) {
        EXPECT_ONE_BOX(expectedText);
    } else {
        EXPECT_NO_BOX();
    }
    if (makeDirectory) RemoveDirectoryA(SystemPath(blockedName).c_str());
    EXPECT_ROLLED_BACK();
    // The control was in place, so it was asked to unregister itself.
    CHECK_EQ(CallCount("UnregisterCalls"), 1);
    CHECK_EQ(CallCount("RegisterCalls"), 0);
}

void AccessDenied() { CopyFailure("SorVanWin32.dll", kAccessText, true); }

void MissingSource() {
    Reset("control_good.dll");
    DeleteFileA(PackagePath("SorVanUninstall.exe").c_str());
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 0);
    EXPECT_NO_BOX();
    CHECK_EQ(CountFiles(true), 0);
    CHECK_EQ(CountFiles(false), 3);
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kDistributionUnitKey));
}

void RegistrationFails(const char* fixture, DWORD registerCalls, bool unregisters) {
    Reset(fixture);
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 0);
    EXPECT_NO_BOX();
    EXPECT_ROLLED_BACK();
    CHECK_EQ(CallCount("RegisterCalls"), registerCalls);
    CHECK_EQ(CallCount("UnregisterCalls"), unregisters ? 1 : 0);
}
void NoRegisterExport() { RegistrationFails("control_noreg.dll", 0, true); }
void RegisterReturnsSFalse() { RegistrationFails("control_sfalse.dll", 1, true); }
void RegisterReturnsEFail() { RegistrationFails("control_efail.dll", 1, true); }
// Registers its class key with sub-keys, fails, and cannot unregister: the
// program removes the class key tree itself.
void NoUnregisterExport() { RegistrationFails("control_nounreg.dll", 1, false); }

void NotALibrary() {
    Reset(nullptr);
    WriteWholeFile(PackagePath("LumeTransfer.ocx"), "This is not a library.\r\n");
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 0);
    EXPECT_NO_BOX();
    EXPECT_ROLLED_BACK();
}

void NestedDistributionUnitRemoved() {
    Reset(nullptr);
    const std::string unit = sorvan::kDistributionUnitKey;
    for (const char* sub : {"\\Contains\\Files", "\\Contains\\Java\\Deeper\\Deepest", "\\DownloadInformation",
                            "\\InstalledVersion"}) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, (unit + sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
        RegCloseKey(key);
    }
    CHECK_EQ(sorvan::RemoveComponents(g_os, nullptr), 1);
    CHECK(!KeyExists(RegRoot::LocalMachine, unit));
    CHECK(KeyExists(RegRoot::LocalMachine, "Software\\Microsoft\\Code Store Database\\Distribution Units"));
    CHECK_EQ(sorvan::DeleteKeyTree(g_os, RegRoot::LocalMachine, unit.c_str()), 0);
}

void DeepestTree() {
    Reset(nullptr);
    // A chain 512 levels deep, the registry's limit, beside a short branch.
    // The walk holds no recursion, so depth cannot exhaust the 32-bit stack.
    // Under Wine, keys whose path is longer than 259 characters cannot be
    // opened through the ANSI calls: the walk passes over them, leaves them in
    // place, and still removes everything within reach.
    HKEY key = nullptr;
    CHECK_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "D\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegCloseKey(key);
    CHECK_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "D\\a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    for (int level = 3; level <= 512 && key != nullptr; ++level) {
        HKEY child = nullptr;
        if (RegCreateKeyExA(key, "k", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr) != ERROR_SUCCESS) {
            Fail(__LINE__, "could not create level " + std::to_string(level));
            child = nullptr;
        }
        RegCloseKey(key);
        key = child;
    }
    if (key != nullptr) RegCloseKey(key);
    CHECK_EQ(sorvan::DeleteKeyTree(g_os, RegRoot::ClassesRoot, "D"), 1);
    CHECK(!KeyExists(RegRoot::ClassesRoot, "D\\b"));
    CHECK(KeyExists(RegRoot::ClassesRoot, "D\\a\\k\\k"));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "D");
}

void RunSetupSuccessWritesRecords() {
    Reset("control_good.dll");
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("QUElmark"), 9);
    RegSetValueExA(key, "uninstallstring", 0, REG_SZ, reinterpret_cast<const BYTE*>("old"), 4);
    RegCloseKey(key);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, sorvan::kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("0.9"), 4);
    RegCloseKey(key);

    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::Installed);
    EXPECT_NO_BOX();
    CHECK_EQ(CountFiles(true), 4);
    DWORD bytes = 0;
    const std::wstring display = ReadWide(RegRoot::LocalMachine, sorvan::kUninstallKey, L"DisplayName", &bytes);
    CHECK(display == L"SORVan 휴대폰 인증서 서비스");
    CHECK_EQ(bytes, (display.size() + 1) * sizeof(wchar_t));
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "UnInstallString", SystemPath("SorVanUninstall.exe"));
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "Publisher", "QUElmark");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kUninstallKey), 3);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllPath", g_system);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameMFC", "Sorvan.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameWin32", "SorvanWin32.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "Version", "0.9");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kProductKey), 4);
}

void RunSetupFailureWritesOnlyProductKey() {
    Reset("control_efail.dll");
    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::Failed);
    EXPECT_NO_BOX();
    EXPECT_ROLLED_BACK();
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kUninstallKey));
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllPath", g_system);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameMFC", "Sorvan.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameWin32", "SorvanWin32.dll");
}

void RenamedProgram() {
    Reset("control_good.dll");
    g_os.modulePath = std::string(kPackage) + "\\SORVanActiveXSetup (1).exe";
    CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 1);
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(CountFiles(false), 0);
}

HANDLE g_holder = nullptr;

void StartHolder() {
    std::string command = "\"" + g_here + "\\holder.exe\" \"" + SystemPath("SorVan.dll") + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        g_holder = process.hProcess;
    }
}

void SharingViolation() {
    Reset("control_good.dll");
    HANDLE take = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderTake");
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderReady");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "SORVanTestHolderRelease");
    CHECK(g_holder != nullptr);
    SetEvent(take);
    // The holder process may still be starting.
    const DWORD held = WaitForSingleObject(ready, 400000);
    CHECK_EQ(held, WAIT_OBJECT_0);
    if (held == WAIT_OBJECT_0) {
        CHECK_EQ(sorvan::InstallComponents(g_os, nullptr), 0);
        EXPECT_ONE_BOX(kSharingText);
        CHECK(!FileExists(SystemPath("LumeTransfer.ocx")));
        CHECK_EQ(CountFiles(false), 4);
        CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kDistributionUnitKey));
        CHECK(!KeyExists(RegRoot::ClassesRoot, sorvan::kControlClassKey));
        CHECK_EQ(CallCount("UnregisterCalls"), 1);
    }
    SetEvent(release);
    if (g_holder != nullptr) {
        CHECK_EQ(WaitForSingleObject(g_holder, 60000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(g_holder, &code);
        CHECK_EQ(code, 0);
        CloseHandle(g_holder);
    }
    CloseHandle(take);
    CloseHandle(ready);
    CloseHandle(release);
    Reset(nullptr);
}

struct Case {
    const char* name;
    void (*run)();
};
const Case kCases[] = {
    {"registry_rules", RegistryRules},
    {"install_success", InstallSuccess},
    {"access_denied", AccessDenied},
    {"missing_source", MissingSource},
    {"no_register_export", NoRegisterExport},
    {"register_s_false", RegisterReturnsSFalse},
    {"register_e_fail", RegisterReturnsEFail},
    {"no_unregister_export", NoUnregisterExport},
    {"not_a_library", NotALibrary},
    {"nested_distribution_unit", NestedDistributionUnitRemoved},
    {"deepest_tree", DeepestTree},
    {"run_setup_success", RunSetupSuccessWritesRecords},
    {"run_setup_failure", RunSetupFailureWritesOnlyProductKey},
    {"renamed_program", RenamedProgram},
    {"sharing_violation", SharingViolation},
};

}  // namespace

int main(int argc, char** argv) {
    const char* filter = argc > 1 ? argv[1] : "";
    char buffer[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    g_here.assign(buffer, std::strrchr(buffer, '\\'));
    std::memset(buffer, 0, sizeof buffer);
    SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, buffer);
    g_system = buffer;
    std::printf("engine under Wine: system folder %s, fixtures in %s\n", g_system.c_str(), g_here.c_str());

    InitializeCriticalSection(&g_seenLock);
    HANDLE watcher = CreateThread(nullptr, 0, WatchMessageBoxes, nullptr, 0, nullptr);
    if (std::strstr("sharing_violation", filter) != nullptr || filter[0] == '\0') StartHolder();

    int passed = 0;
    int failed = 0;
    for (const Case& c : kCases) {
        if (std::strstr(c.name, filter) == nullptr) continue;
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        g_caseFailures = 0;
        const DWORD started = GetTickCount();
        c.run();
        const DWORD elapsed = GetTickCount() - started;
        std::printf("[%s] %s (%lu ms)\n", g_caseFailures == 0 ? "  OK  " : " FAIL ", c.name,
                    static_cast<unsigned long>(elapsed));
        std::fflush(stdout);
        (g_caseFailures == 0 ? passed : failed) += 1;
    }
    Reset(nullptr);
    InterlockedExchange(&g_stopWatching, 1);
    WaitForSingleObject(watcher, 5000);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
