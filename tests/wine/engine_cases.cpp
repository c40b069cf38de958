// The engine against the real Win32 layer: each case calls the engine's
// routines directly and reads the real files and registry back.
#include <shlobj.h>

#include "tests/wine/driver_support.h"

namespace {

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
    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::Installed);
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
    // Found before anything was copied: nothing to undo.
    EXPECT_ROLLED_BACK();
    CHECK_EQ(CallCount("UnregisterCalls"), 0);
    CHECK_EQ(CallCount("RegisterCalls"), 0);
}

void AccessDenied() { CopyFailure("SorVanWin32.dll", kAccessText, true); }

// An incomplete package, over an earlier installation's entry, changes
// nothing.
void MissingSource() {
    Reset("control_good.dll");
    CHECK_EQ(sorvan::WriteUninstallEntry(g_os), 1);
    DeleteFileA(PackagePath("SorVanUninstall.exe").c_str());
    const std::string before = ProductSnapshot();
    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::NothingChanged);
    EXPECT_NO_BOX();
    CHECK_EQ(CountFiles(true), 0);
    CHECK_EQ(CountFiles(false), 3);
    CHECK(KeyExists(RegRoot::LocalMachine, sorvan::kUninstallKey));
    // The product key is written in every case; the rest is as it was.
    DeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\QUElmark\\SORVAN");
    EXPECT_UNCHANGED(before);
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
    CHECK_EQ(sorvan::DeleteKeyTree(g_os, RegRoot::LocalMachine, unit.c_str()), 1);
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
    RegSetValueExA(key, "Comments", 0, REG_SZ, reinterpret_cast<const BYTE*>("kept"), 5);
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
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "UnInstallString", UninstallerPath());
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kUninstallKey, "Comments", "kept");
    // The name, the command, the nine inventory values and the one kept.
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kUninstallKey), 12);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllPath", g_system);
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameMFC", "Sorvan.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "DllNameWin32", "SorvanWin32.dll");
    EXPECT_STRING(RegRoot::LocalMachine, sorvan::kProductKey, "Version", "0.9");
    CHECK_EQ(ValueCount(RegRoot::LocalMachine, sorvan::kProductKey), 4);
}

void RunSetupFailureWritesOnlyProductKey() {
    Reset("control_efail.dll");
    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::RolledBack);
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
    CHECK(sorvan::RunSetup(g_os, nullptr) == sorvan::SetupOutcome::Installed);
    CHECK_EQ(CountFiles(true), 4);
    CHECK_EQ(CountFiles(false), 0);
}

// What the stand-in takes for the real system's rules on files, read off the
// real one: a library a process has loaded can be renamed, but neither
// written, deleted nor renamed over, and can be deleted at the next restart;
// a rename keeps the contents; a key can be flushed. An opened component
// can be neither renamed nor deleted by its name, is copied as its data,
// and goes when it is closed once marked; one with another name is not
// opened.
void FileRules() {
    Reset(nullptr);
    const std::string loaded = SystemPath("SORVanTestRules.dll");
    const std::string renamed = loaded + ".old";
    const std::string other = SystemPath("SORVanTestOther.dll");
    CHECK(CopyFileA((g_here + "\\control_good.dll").c_str(), loaded.c_str(), FALSE));
    WriteWholeFile(other, "another file");
    HMODULE module = LoadLibraryA(loaded.c_str());
    CHECK(module != nullptr);
    CHECK_EQ(g_os.MoveFileOver(other.c_str(), loaded.c_str()), ERROR_ACCESS_DENIED);
    CHECK_EQ(g_os.MoveFileOver(loaded.c_str(), renamed.c_str()), 0);
    CHECK_EQ(g_os.RemoveFile(renamed.c_str()), ERROR_ACCESS_DENIED);
    CHECK_EQ(g_os.CheckReplaceable(renamed.c_str()), ERROR_SHARING_VIOLATION);
    CHECK_EQ(g_os.DeleteAtRestart(renamed.c_str()), 0);
    const char sessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    HKEY key = nullptr;
    wchar_t pending[4096] = {};
    DWORD size = sizeof pending - sizeof(wchar_t);
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_ALL_ACCESS, &key), 0);
    CHECK_EQ(RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                              reinterpret_cast<BYTE*>(pending), &size), 0);
    // REG_MULTI_SZ: its strings with their NULs, the file among them.
    CHECK(std::wstring(pending, size / sizeof(wchar_t)).find(Widen(renamed)) != std::wstring::npos);
    RegDeleteValueW(key, L"PendingFileRenameOperations");
    CHECK_EQ(g_os.FlushKey(reinterpret_cast<platform::KeyHandle>(key)), 0);
    RegCloseKey(key);
    if (module != nullptr) FreeLibrary(module);
    CHECK_EQ(g_os.RemoveFile(renamed.c_str()), 0);
    CHECK_EQ(g_os.MoveFileOver(other.c_str(), loaded.c_str()), 0);
    CHECK(ReadWholeFile(loaded) == "another file");
    CHECK(!FileExists(other));
    DeleteFileA(loaded.c_str());

    platform::FileHandle component = nullptr;
    CHECK_EQ(g_os.OpenComponent(other.c_str(), true, &component), ERROR_FILE_NOT_FOUND);
    WriteWholeFile(other, "a component");
    CHECK_EQ(g_os.OpenComponent(other.c_str(), true, &component), 0);
    CHECK_EQ(g_os.MoveFileOver(other.c_str(), loaded.c_str()), ERROR_SHARING_VIOLATION);
    CHECK_EQ(g_os.RemoveFile(other.c_str()), ERROR_SHARING_VIOLATION);
    std::uint8_t digest[32] = {};
    CHECK_EQ(g_os.CopyOpened(component, loaded.c_str(), digest), 0);
    CHECK(ReadWholeFile(loaded) == "a component");
    bool same = false;
    CHECK_EQ(g_os.SameBytes(component, loaded.c_str(), &same), 0);
    CHECK(same);
    CHECK_EQ(g_os.DeleteOpened(component), 0);
    CHECK(FileExists(other));
    g_os.CloseFile(component);
    CHECK(!FileExists(other));
    WriteWholeFile(other, "a component");
    CHECK(CreateHardLinkA((other + ".name").c_str(), other.c_str(), nullptr));
    CHECK_EQ(g_os.OpenComponent(other.c_str(), false, &component), ERROR_TOO_MANY_LINKS);
    DeleteFileA((other + ".name").c_str());
    DeleteFileA(other.c_str());
    DeleteFileA(loaded.c_str());
}

HANDLE g_holder = nullptr;

}  // namespace

// The holder process takes a minute to start under emulation: it is started
// before the first case and waits for its turn.
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

namespace {

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
        CHECK_EQ(CallCount("UnregisterCalls"), 0);
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

// The control's own dependencies resolve from the control's folder and the
// system folder, never from the folder the setup was started from (here the
// driver's own folder, which holds the dependency). Wine keeps a library that
// failed to load open until the process ends, so this control has a name of
// its own that no later case copies over.
void ControlDependencies() {
    Reset(nullptr);
    const std::string control = SystemPath("SORVanTestDependent.ocx");
    const std::string dependency = SystemPath("sorvan_dep.dll");
    DeleteFileA(dependency.c_str());
    CHECK(FileExists(g_here + "\\sorvan_dep.dll"));
    CHECK(CopyFileA((g_here + "\\control_dep.dll").c_str(), control.c_str(), FALSE));

    std::uint32_t error = 0;
    platform::LibraryHandle library = g_os.LoadLibraryFrom(control.c_str(), &error);
    CHECK(library == nullptr);
    CHECK_EQ(error, ERROR_MOD_NOT_FOUND);
    CHECK_EQ(CallCount("DependencyLoads"), 0);
    if (library != nullptr) g_os.FreeLibraryHandle(library);

    CHECK(CopyFileA((g_here + "\\sorvan_dep.dll").c_str(), dependency.c_str(), FALSE));
    library = g_os.LoadLibraryFrom(control.c_str(), &error);
    CHECK(library != nullptr);
    CHECK_EQ(error, 0);
    CHECK_EQ(CallCount("DependencyLoads"), 1);
    if (library != nullptr) g_os.FreeLibraryHandle(library);
    DeleteFileA(control.c_str());
    DeleteFileA(dependency.c_str());
}

}  // namespace

extern const Case kEngineCases[] = {
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
    {"file_rules", FileRules},
    {"sharing_violation", SharingViolation},
    {"control_dependencies", ControlDependencies},
    {nullptr, nullptr},
};
