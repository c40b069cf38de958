// Odd and hostile inputs to the whole run: module paths and system folders at
// and past their buffers' limits, names at the registry's limits, and key trees
// as deep and as wide as the registry allows.
#include <algorithm>
#include <string>

#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

// A run on a machine whose program path and package are given; checks that
// nothing is left open and the machine is either installed or rolled back.
struct SetupRun {
    FakePlatform os;
    sorvan::SetupOutcome outcome = sorvan::SetupOutcome::Installed;

    SetupRun(const std::string& modulePath, const std::string& packageDir, const std::string& systemFolder = kSys) {
        os.modulePath = modulePath;
        os.systemFolder = systemFolder;
        if (!systemFolder.empty()) os.AddDirectory(systemFolder);
        PutPackage(os, packageDir, fake::WellBehavedControl());
        outcome = sorvan::RunSetup(os, TheOwner());
        EXPECT_EQ(os.OpenKeyHandles(), 0u);
        EXPECT_EQ(os.LoadedLibraries(), 0u);
        EXPECT_EQ(os.badHandleUses, 0);
        EXPECT_TRUE(os.messages.empty()) << "no input here is the user's to fix";
        Value productPath;
        EXPECT_TRUE(os.ValueOf(RegRoot::LocalMachine, kProduct, "DllNameWin32", &productPath));
    }
    using Value = fake::Value;
    void ExpectInstalledFrom(const std::string& packageDir, const std::string& systemFolder = kSys) const {
        EXPECT_EQ(outcome, sorvan::SetupOutcome::Installed);
        EXPECT_EQ(ComponentsIn(os, systemFolder), 4);
        EXPECT_EQ(ComponentsIn(os, packageDir), 0);
    }
    void ExpectSilentFailure(const std::string& packageDir) const {
        EXPECT_EQ(outcome, sorvan::SetupOutcome::NothingChanged);
        EXPECT_EQ(ComponentsIn(os, kSys), 0);
        EXPECT_EQ(ComponentsIn(os, packageDir), 4);
        EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kDistributionUnit));
        EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kUninstall));
    }
};

// A module path of exactly `length` characters in a folder `dir` of the
// length that leaves room for the program's name.
std::string ModulePathOfLength(std::size_t length, std::string* dir) {
    const std::string name = "\\SORVanActiveXSetup.exe";  // 23 characters
    *dir = "C:\\" + std::string(length - name.size() - 3, 'd');
    return *dir + name;
}

TEST(HostileModulePath, ShortPathsWithoutAFolderFailSilently) {
    // 0 characters: the query gave nothing; 1 and 22: no backslash at all.
    for (const std::string& path : {std::string(), std::string("x"), std::string(sorvan::kSetupExeName)}) {
        SCOPED_TRACE("module path \"" + path + "\"");
        ASSERT_TRUE(path.size() == 0 || path.size() == 1 || path.size() == 22);
        SetupRun run(path, kPkg);
        run.ExpectSilentFailure(kPkg);
    }
}

TEST(HostileModulePath, RootFolderOfTheCurrentDriveIsAFolder) {
    // 1 character "\" and 23 characters "\SORVanActiveXSetup.exe": the folder
    // is the root of the current drive, named by the empty string.
    SetupRun single("\\", "");
    single.ExpectInstalledFrom("");
    SetupRun named("\\SORVanActiveXSetup.exe", "");
    ASSERT_EQ(std::string("\\SORVanActiveXSetup.exe").size(), 23u);
    named.ExpectInstalledFrom("");
}

// The system's file calls take paths of up to 259 characters: a package
// folder with a longer component path installs nothing, and says why.
TEST(HostileModulePath, LongPathsInstallWhileTheSystemCallsTakeThem) {
    std::string dir;
    for (std::size_t length : {262u, 263u, 1000u}) {
        SCOPED_TRACE(length);
        // The longest component path, "\SorVanUninstall.exe" after the folder, is 3 shorter.
        SetupRun run(ModulePathOfLength(length, &dir), dir);
        if (length == 262u) {
            run.ExpectInstalledFrom(dir);
        } else {
            run.ExpectSilentFailure(dir);
            const std::string note = "path too long: " + dir + "\\SorVanUninstall.exe";
            const std::vector<std::string> notes = NotesOf(run.os);
            EXPECT_EQ(std::count(notes.begin(), notes.end(), note), 1);
        }
    }
}

TEST(HostileModulePath, ComponentPathsThatWouldNotFitAreASilentFailedCopy) {
    // 1023 characters fit the module buffer, but the folder (1017 characters,
    // the program renamed "s.exe") with "\LumeTransfer.ocx" does not fit a
    // path buffer: nothing is copied from a cut path, nothing stays installed.
    const std::string dir = "C:\\" + std::string(1014, 'd');
    const std::string longest = dir + "\\s.exe";
    ASSERT_EQ(longest.size(), 1023u);
    SetupRun run(longest, dir);
    run.ExpectSilentFailure(dir);
    EXPECT_EQ(run.os.CountOf(Op::CopyOpened), 0);
}

TEST(HostileModulePath, PathsCutByTheBufferFailSilently) {
    std::string dir;
    for (std::size_t length : {1024u, 1025u, 4000u}) {
        SCOPED_TRACE(length);
        SetupRun run(ModulePathOfLength(length, &dir), dir);
        run.ExpectSilentFailure(dir);
    }
}

TEST(HostileModulePath, TrailingBackslashAndKoreanFoldersAreFolders) {
    SetupRun trailing(kPkg + "\\", kPkg);
    trailing.ExpectInstalledFrom(kPkg);
    // "C:\다운로드\설치" in code page 949: no byte of a Hangul character is a
    // backslash, so the folder is cut at the real separator.
    const std::string korean = "C:\\\xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5\\\xBC\xB3\xC4\xA1";
    SetupRun run(korean + "\\SORVanActiveXSetup.exe", korean);
    run.ExpectInstalledFrom(korean);
}

TEST(HostileSystemFolder, EmptyFolderInstallsNothingAndDeletesNothing) {
    // An empty system folder would name the root of the current drive. A file
    // a user keeps there under a component's name must survive the run.
    SetupRun run(kPkg + "\\SORVanActiveXSetup.exe", kPkg, "");
    run.ExpectSilentFailure(kPkg);
    for (const char* name : kNames) EXPECT_FALSE(run.os.FileExists(std::string("\\") + name));
}

TEST(HostileSystemFolder, LongFoldersInstallWhileTheirPathsFit) {
    for (std::size_t length : {511u, 512u}) {
        SCOPED_TRACE(length);
        const std::string folder = "C:\\" + std::string(length - 3, 's');
        SetupRun run(kPkg + "\\SORVanActiveXSetup.exe", kPkg, folder);
        run.ExpectInstalledFrom(kPkg, folder);
        fake::Value folderValue;
        ASSERT_TRUE(run.os.ValueOf(RegRoot::LocalMachine, kProduct, "DllPath", &folderValue));
        EXPECT_EQ(folderValue.data, folder);
    }
    // 1023 characters: no component path fits after it.
    const std::string folder = "C:\\" + std::string(1020, 's');
    SetupRun run(kPkg + "\\SORVanActiveXSetup.exe", kPkg, folder);
    run.ExpectSilentFailure(kPkg);
}

TEST(HostileRegistry, LongestSubKeyNamesAreDeleted) {
    FakePlatform os;
    const std::string name(255, 'n');
    os.PutKey(RegRoot::LocalMachine, kDistributionUnit + "\\" + name + "\\" + name);
    os.PutKey(RegRoot::LocalMachine, kDistributionUnit + "\\" + std::string(256, 'm'));
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, kDistributionUnit.c_str()), 1);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kDistributionUnit));
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(HostileRegistry, TenThousandSubKeysUnderOneKey) {
    FakePlatform os;
    for (int i = 0; i < 10000; ++i) os.PutKey(RegRoot::LocalMachine, "T\\" + std::to_string(i) + "\\leaf");
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T"));
    EXPECT_EQ(os.deletedKeys.size(), 20001u);
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(HostileRegistry, DeepTreeWithLongNamesKeepsWhatItCannotName) {
    // 512 levels of 8-character names: the walk names the first 113 levels
    // within 1023 characters; the rest stays, and nothing crashes.
    FakePlatform os;
    std::string path = "T";
    for (int level = 1; level < 512; ++level) path += "\\kkkkkkkk";
    os.PutKey(RegRoot::LocalMachine, path);
    os.PutKey(RegRoot::LocalMachine, "T\\sibling");
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, path));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\sibling"));
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(HostileRegistry, SubKeysThatCannotBeDeletedDoNotKeepTheWalkGoing) {
    FakePlatform os;
    for (int i = 0; i < 50; ++i) os.PutKey(RegRoot::LocalMachine, "T\\k" + std::to_string(i) + "\\leaf");
    os.FailCallsOn(Op::DeleteKey, "HKLM\\T\\k7\\leaf", platform::kErrorAccessDenied);
    os.FailCallsOn(Op::DeleteKey, "HKLM\\T\\k31", platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, "T\\k7\\leaf"));
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, "T\\k31"));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\k8"));
    // Each key is visited once: the walk ends.
    EXPECT_EQ(os.CountOf(Op::OpenKey), 1 + 50 * 2);
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

}  // namespace
}  // namespace sorvan_test
