// What the real-system tests share: checks that report the caller's line,
// the package folder and the system folder, reading files and registry values
// back, a handler that reads, photographs and closes every message box, and a
// clean slate for each case.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/setup_engine.h"
#include "platform/win32_platform.h"

using platform::RegRoot;

// --- Checks ------------------------------------------------------------------

inline int g_caseFailures = 0;

inline void Fail(int line, const std::string& what) {
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
// A second package folder, for a second setup started beside the first.
const char kSecondPackage[] = "C:\\sorvan-test\\pkg2";
// Folders whose names the English code page cannot spell: Korean, and one
// whose "best fit" (a fullwidth backslash as "\\") names the decoy folder.
const wchar_t kKoreanFolder[] = L"C:\\users\\Public\\Downloads\\인증서";
const wchar_t kFullwidthFolder[] = L"C:\\sorvan-test\\full\uFF3Cwidth";
const wchar_t kDecoyFolder[] = L"C:\\sorvan-test\\full\\width";

inline std::string g_here;    // this program's folder, where the fixtures are
inline std::string g_system;  // the system folder

inline std::string SystemPath(const char* name) { return g_system + "\\" + name; }
// Where the Add/Remove Programs entry names the uninstaller: by the WOW64
// folder on 64-bit Windows, by the system folder on 32-bit Windows.
inline std::string UninstallerPath() {
    char folder[MAX_PATH + 1] = {};
    if (GetSystemWow64DirectoryA(folder, MAX_PATH) == 0) return SystemPath("SorVanUninstall.exe");
    return std::string(folder) + "\\SorVanUninstall.exe";
}
inline std::string PackagePath(const char* name) { return std::string(kPackage) + "\\" + name; }
// The temporary folder of every program the driver starts (TMP and TEMP),
// where the setup writes its log.
const char kTempFolder[] = "C:\\sorvan-test\\temp";
inline std::string LogPath() { return std::string(kTempFolder) + "\\SORVanActiveXSetup.log"; }

// A path or name of the driver's own, in UTF-16 (they are all ASCII).
inline std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size())) - 1));
    return wide;
}

inline bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
inline int CountFiles(bool inSystem) {
    int count = 0;
    for (const char* name : kNames) count += FileExists(inSystem ? SystemPath(name) : PackagePath(name)) ? 1 : 0;
    return count;
}
inline std::string ReadWholeFile(const std::string& path) {
    std::string content;
    // Shared as the setup shares its log, which a running setup holds open.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
    char buffer[256];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return content;
}
inline void WriteWholeFile(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

inline HKEY Root(RegRoot root) { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root)); }

// `view` may name a registry view (KEY_WOW64_64KEY: the 64-bit one).
inline bool KeyExists(RegRoot root, const std::string& path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline DWORD ValueCount(RegRoot root, const std::string& path) {
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
inline void ExpectString(int line, RegRoot root, const std::string& path, const char* name, const std::string& expected) {
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

inline std::wstring ReadWide(RegRoot root, const std::string& path, const wchar_t* name, DWORD* bytes) {
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

// A REG_DWORD value, or 0xBAD where there is none of that type.
inline DWORD ReadDword(RegRoot root, const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xBAD;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        value = 0xBAD;
    }
    RegCloseKey(key);
    return value;
}

// Every value under root\path and its sub-keys, with its type and bytes, as
// text; "<none>" where the key is not there.
inline std::string KeyDump(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none> " + path + "\n";
    std::string dump = "[" + path + "]\n";
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameSize = sizeof name;
        BYTE data[2048];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        dump += std::string(name) + ":" + std::to_string(type) + "=" +
                std::string(reinterpret_cast<const char*>(data), size) + "\n";
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        dump += KeyDump(root, path + "\\" + name);
    }
    RegCloseKey(key);
    return dump;
}

// Everything of the product on the machine: the installed files byte for
// byte with their attributes, any copy left beside them, and every key and value of the
// distribution unit, the control's class, the entry and the product key.
inline std::string ProductSnapshot() {
    std::string snapshot;
    for (const char* name : kNames) {
        const std::string path = SystemPath(name);
        snapshot += path + (FileExists(path) ? "=" + ReadWholeFile(path) : " <none>") + " " +
                    std::to_string(GetFileAttributesA(path.c_str())) + "\n";
        for (const char* suffix : {".new", ".sorvan-old", ".sorvan-del"}) {
            if (FileExists(path + suffix)) snapshot += "a copy left beside it, " + path + suffix + "\n";
        }
    }
    return snapshot + KeyDump(HKEY_LOCAL_MACHINE, sorvan::kDistributionUnitKey) +
           KeyDump(HKEY_CLASSES_ROOT, sorvan::kControlClassKey) + KeyDump(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey) +
           KeyDump(HKEY_LOCAL_MACHINE, sorvan::kProductKey);
}

inline void ExpectUnchanged(int line, const std::string& before) {
    const std::string after = ProductSnapshot();
    if (after == before) return;
    std::size_t at = 0;
    while (at < before.size() && at < after.size() && before[at] == after[at]) ++at;
    const std::size_t from = at < 80 ? 0 : at - 80;
    Fail(line, "the installation changed; before: ..." + before.substr(from, 200) + "\n    after: ..." +
                   after.substr(from, 200));
}
#define EXPECT_UNCHANGED(before) ExpectUnchanged(__LINE__, before)

// How often the stand-in control counted a call: 0 before its first.
inline DWORD CallCount(const char* name) {
    const DWORD count = ReadDword(RegRoot::LocalMachine, kTestKey, name);
    return count == 0xBAD ? 0 : count;
}

// --- Message boxes -------------------------------------------------------------

// What the box handler saw: one entry per message box.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    DWORD process = 0;         // the process that shows the box
    std::wstring ownerClass;   // its owner window, if any
    std::wstring ownerTitle;
    DWORD ownerProcess = 0;
};
inline CRITICAL_SECTION g_seenLock;
inline std::vector<SeenBox> g_seen;
inline volatile LONG g_stopWatching = 0;
// While set, a box stays up once it has been read and photographed: a case
// that needs a box on the screen for a while sets it, and clears it to
// "press OK".
inline volatile LONG g_holdBoxes = 0;
inline void HoldBoxes(bool hold) { InterlockedExchange(&g_holdBoxes, hold ? 1 : 0); }
// Failures of the handler itself, reported by the case that is running.
inline volatile LONG g_boxFaults = 0;

const wchar_t kCaption[] = L"휴대폰 인증서 서비스";
const wchar_t kSharingText[] = L"휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n익스플로러를 모두 닫고 다시 실행해 주세요";
const wchar_t kAccessText[] =
    L"휴대폰 인증서 서비스 설치를 실패하였습니다.\r\n관리자 권한이 있는 계정으로 로그인하고 다시 실행해 주세요";

// Waits, bounded, for a condition polled every 20 ms.
template <typename Condition>
bool WaitUntil(DWORD ms, Condition condition) {
    for (DWORD started = GetTickCount(); !condition();) {
        if (GetTickCount() - started >= ms) return false;
        Sleep(20);
    }
    return true;
}

inline SeenBox ReadBox(HWND box) {
    wchar_t caption[256] = {};
    wchar_t text[512] = {};
    GetWindowTextW(box, caption, 255);
    // The message box's text is its static control 0xFFFF.
    GetDlgItemTextW(box, 0xFFFF, text, 511);
    SeenBox seen;
    seen.caption = caption;
    seen.text = text;
    GetWindowThreadProcessId(box, &seen.process);
    if (HWND owner = GetWindow(box, GW_OWNER)) {
        wchar_t name[256] = {};
        GetClassNameW(owner, name, 255);
        seen.ownerClass = name;
        std::memset(name, 0, sizeof name);
        GetWindowTextW(owner, name, 255);
        seen.ownerTitle = name;
        GetWindowThreadProcessId(owner, &seen.ownerProcess);
    }
    return seen;
}

// Has the box photographed by the test script, when it takes pictures
// (SORVAN_PICTURES names the folder where boxes are announced): announces
// box N as box-N.up and waits, bounded, for box-N.taken. Returns false when
// no picture came.
inline bool PhotographBox(HWND box, int number) {
    char folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("SORVAN_PICTURES", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return true;
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    const std::string name = std::string(folder) + "\\box-" + std::to_string(number);
    WriteWholeFile(name + ".up", "");
    return WaitUntil(120000, [&name] { return FileExists(name + ".taken"); });
}

// Presses the box's OK button, as a user would, until the box is gone.
inline bool PressOk(HWND box) {
    for (int attempt = 0; attempt < 12 && IsWindow(box); ++attempt) {
        PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        if (WaitUntil(10000, [box] { return IsWindow(box) == FALSE; })) return true;
    }
    return IsWindow(box) == FALSE;
}

// The box handler: every message box with the product's caption, in this
// process or another, is read while it is up, photographed, and closed with
// its OK button unless a case holds boxes up. One box at a time: the next is
// looked for only once the last is gone, so a new box is never taken for
// one already handled, whatever handle it gets.
inline DWORD WINAPI HandleMessageBoxes(void*) {
    int number = 0;
    while (InterlockedCompareExchange(&g_stopWatching, 0, 0) == 0) {
        HWND box = FindWindowW(L"#32770", kCaption);
        if (box == nullptr) {
            Sleep(20);
            continue;
        }
        // The box gets its caption before its text, both while it is being
        // made: it is read once it is shown and its thread answers messages.
        const bool shown =
            WaitUntil(120000, [box] { return IsWindowVisible(box) != FALSE || IsWindow(box) == FALSE; }) &&
            SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_NORMAL, 120000, nullptr) != 0;
        SeenBox seen = ReadBox(box);
        EnterCriticalSection(&g_seenLock);
        g_seen.push_back(seen);
        LeaveCriticalSection(&g_seenLock);
        ++number;
        if (!shown) {
            std::printf("    message box %d: not shown, or not answering\n", number);
            InterlockedIncrement(&g_boxFaults);
        } else if (!PhotographBox(box, number)) {
            std::printf("    message box %d: no picture taken\n", number);
            InterlockedIncrement(&g_boxFaults);
        }
        std::fflush(stdout);
        // Held until the case lets go, the box closes another way, or the driver ends.
        WaitUntil(INFINITE, [box] {
            return InterlockedCompareExchange(&g_holdBoxes, 0, 0) == 0 || IsWindow(box) == FALSE ||
                   InterlockedCompareExchange(&g_stopWatching, 0, 0) != 0;
        });
        if (!PressOk(box)) {
            std::printf("    message box %d: still up after its OK button was pressed\n", number);
            InterlockedIncrement(&g_boxFaults);
        }
    }
    return 0;
}

// Waits until the box handler has seen a message box.
inline bool WaitForBox(DWORD ms) {
    return WaitUntil(ms, [] {
        EnterCriticalSection(&g_seenLock);
        const bool seen = !g_seen.empty();
        LeaveCriticalSection(&g_seenLock);
        return seen;
    });
}

inline std::vector<SeenBox> TakeSeen() {
    EnterCriticalSection(&g_seenLock);
    std::vector<SeenBox> seen = g_seen;
    g_seen.clear();
    LeaveCriticalSection(&g_seenLock);
    return seen;
}

inline void ExpectOneBox(int line, const wchar_t* text) {
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
    // Wine's GetDriveType asks its mount manager through a device I/O call,
    // which under QEMU hangs or crashes the 32-bit process now and then while
    // another of its threads talks to the Wine server, as this driver's box
    // thread always does (seen in about half of runs of 300 calls; never
    // without the second thread). The engine cases here take the package
    // folder for a fixed drive; the program cases, each run in a process of
    // its own with one thread, make the real call.
    std::uint32_t FolderDriveType(const char*) override { return DRIVE_FIXED; }
};
inline PackagePlatform g_os;

// --- Clean slate -----------------------------------------------------------

// The clean-up reports what it could not remove, so that a case that leaves
// something held or locked is named, not the next one that trips over it.
inline void DeleteTree(HKEY root, const char* path) {
    RegDeleteTreeA(root, path);
    RegDeleteKeyA(root, path);
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    RegCloseKey(key);
    Fail(__LINE__, std::string("the clean-up could not remove the key ") + path);
}
inline void ExpectGone(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    char narrow[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    Fail(__LINE__, std::string("the clean-up could not remove ") + narrow);
}

inline void Reset(const char* controlFixture) {
    g_os.modulePath = std::string(kPackage) + "\\SORVanActiveXSetup.exe";
    for (const char* name : kNames) {
        for (const std::string& path : {SystemPath(name), SystemPath(name) + ".new", SystemPath(name) + ".sorvan-old",
                                        SystemPath(name) + ".sorvan-del", PackagePath(name)}) {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
            RemoveDirectoryA(path.c_str());
            ExpectGone(Widen(path));
        }
    }
    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kDistributionUnitKey);
    DeleteTree(HKEY_CLASSES_ROOT, sorvan::kControlClassKey);
    DeleteTree(HKEY_LOCAL_MACHINE, sorvan::kUninstallKey);
    DeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\QUElmark");
    DeleteTree(HKEY_LOCAL_MACHINE, kTestKey);
    DeleteTree(HKEY_CLASSES_ROOT, "D");
    HoldBoxes(false);
    for (const std::wstring& folder : {Widen(kSecondPackage), std::wstring(kKoreanFolder),
                                       std::wstring(kFullwidthFolder), std::wstring(kDecoyFolder)}) {
        for (const char* name : {kNames[0], kNames[1], kNames[2], kNames[3], "SORVanActiveXSetup.exe"}) {
            DeleteFileW((folder + L"\\" + Widen(name)).c_str());
            ExpectGone(folder + L"\\" + Widen(name));
        }
    }
    CreateDirectoryA("C:\\sorvan-test", nullptr);
    CreateDirectoryA(kPackage, nullptr);
    RemoveDirectoryA(LogPath().c_str());
    DeleteFileA(LogPath().c_str());
    DeleteFileA((LogPath() + ".old").c_str());
    ExpectGone(Widen(LogPath()));
    ExpectGone(Widen(LogPath() + ".old"));
    CreateDirectoryA(kTempFolder, nullptr);
    for (const char* name : kNames) DeleteFileA(PackagePath(name).c_str());
    if (controlFixture != nullptr) {
        CopyFileA((g_here + "\\" + controlFixture).c_str(), PackagePath(kNames[0]).c_str(), FALSE);
    }
    for (int i = 1; i < 4; ++i) WriteWholeFile(PackagePath(kNames[i]), std::string("SORVan test component ") + kNames[i]);
    TakeSeen();
}

inline void ExpectRolledBack(int line) {
    const int before = g_caseFailures;
    CHECK_EQ(CountFiles(true), 0);
    CHECK(!KeyExists(RegRoot::LocalMachine, sorvan::kDistributionUnitKey));
    CHECK(!KeyExists(RegRoot::ClassesRoot, sorvan::kControlClassKey));
    CHECK_EQ(CountFiles(false), 4);
    if (g_caseFailures != before) Fail(line, "the installation was not rolled back completely");
}
#define EXPECT_ROLLED_BACK() ExpectRolledBack(__LINE__)

// Each of `lines` is in the setup log, in that order.
inline void ExpectLog(int line, std::initializer_list<std::string> lines) {
    const std::string log = ReadWholeFile(LogPath());
    std::size_t at = 0;
    for (const std::string& expected : lines) {
        const std::size_t found = log.find(expected, at);
        if (found == std::string::npos) {
            Fail(line, "the log lacks, in its place: " + expected + "\n--- log ---\n" + log);
            return;
        }
        at = found + expected.size();
    }
}
#define EXPECT_LOG(...) ExpectLog(__LINE__, {__VA_ARGS__})

// One named case of the driver.
struct Case {
    const char* name;
    void (*run)();
};
