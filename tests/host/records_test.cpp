#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

using RecordsTest = PackageTest;

std::string ValueData(const FakePlatform& os, const std::string& key, const std::string& name) {
    fake::Value value;
    return os.ValueOf(RegRoot::LocalMachine, key, name, &value) ? value.data : "<missing>";
}

TEST_F(RecordsTest, UninstallEntryAndProductKeyHoldTheirValues) {
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(sorvan::WriteProductKey(os), 1);
    fake::Value display;
    ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, kUninstall, "DisplayName", &display));
    EXPECT_EQ(display.data, sorvan::kDisplayName);
    EXPECT_EQ(display.coding, platform::TextCoding::CodePage949) << "the Korean name is decoded explicitly";
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), "C:\\WINDOWS\\system32\\SorVanUninstall.exe");
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), "C:\\WINDOWS\\system32");
    EXPECT_EQ(ValueData(os, kProduct, "DllNameMFC"), "Sorvan.dll");
    EXPECT_EQ(ValueData(os, kProduct, "DllNameWin32"), "SorvanWin32.dll");
    // Names as written, in the order written.
    std::vector<std::string> written;
    for (const fake::Call& call : os.calls) {
        if (call.op == Op::SetString) written.push_back(call.argument);
    }
    EXPECT_EQ(written, (std::vector<std::string>{"DisplayName", "UnInstallString", "DisplayIcon", "InstallDate",
                                                 "DllPath", "DllNameMFC", "DllNameWin32"}));
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, "SOFTWARE\\QUElmark"));
    ExpectNothingLeftOpen();
}

TEST_F(RecordsTest, ExistingValuesAreOverwrittenOthersStay) {
    os.PutValue(RegRoot::LocalMachine, kUninstall, "DisplayName", "old");
    os.PutValue(RegRoot::LocalMachine, kUninstall, "uninstallstring", "old");
    os.PutValue(RegRoot::LocalMachine, kUninstall, "Comments", "kept");
    for (const char* earlier : {"Publisher", "DisplayVersion", "VersionMajor", "VersionMinor", "EstimatedSize"}) {
        os.PutValue(RegRoot::LocalMachine, kUninstall, earlier, "from an earlier installation");
    }
    os.PutValue(RegRoot::LocalMachine, kProduct, "DllPath", "D:\\old");
    os.PutValue(RegRoot::LocalMachine, kProduct, "Version", "1.0");
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(sorvan::WriteProductKey(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UNINSTALLSTRING"), "C:\\WINDOWS\\system32\\SorVanUninstall.exe");
    // Nothing installed to read a version or sizes from: an earlier
    // installation's values go, as they would tell of another version.
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kUninstall),
              (std::vector<std::string>{"Comments", "DisplayIcon", "DisplayName", "InstallDate", "NoModify",
                                        "NoRepair", "UnInstallString"}));
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), "C:\\WINDOWS\\system32");
    EXPECT_EQ(ValueData(os, kProduct, "Version"), "1.0");
}

// What an inventory reads of a successful installation: the control's
// version and publisher, the installed size rounded up to whole KB, the date.
TEST_F(RecordsTest, SuccessfulRunCompletesTheEntryFromTheInstalledFiles) {
    // 2,048 + 1 + 1,024 + 0 bytes: 3,073, which is 4 KB rounded up.
    PutPackage(kPkg);
    os.AddFile(kPkg + "\\LumeTransfer.ocx", std::string(2048, 'c'), control);
    os.AddFile(kPkg + "\\SorVan.dll", "m");
    os.AddFile(kPkg + "\\SorVanWin32.dll", std::string(1024, 'w'));
    os.AddFile(kPkg + "\\SorVanUninstall.exe", "");
    os.SetFileVersion(kPkg + "\\LumeTransfer.ocx", platform::FileVersion{{65535, 1, 0, 7}, "QUElmark \xEC\xA3\xBC"});
    os.today = 20270102;
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);

    fake::Value value;
    auto dword = [&](const char* name) {
        return os.ValueOf(RegRoot::LocalMachine, kUninstall, name, &value) && value.isDword ? value.dword : 0xBADu;
    };
    EXPECT_EQ(ValueData(os, kUninstall, "DisplayVersion"), "65535.1.0.7");
    EXPECT_EQ(dword("VersionMajor"), 65535u);
    EXPECT_EQ(dword("VersionMinor"), 1u);
    ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, kUninstall, "Publisher", &value));
    EXPECT_EQ(value.data, "QUElmark \xEC\xA3\xBC");
    EXPECT_EQ(value.coding, platform::TextCoding::Utf8);
    EXPECT_EQ(ValueData(os, kUninstall, "DisplayIcon"), kSys + "\\SorVanUninstall.exe");
    EXPECT_EQ(dword("EstimatedSize"), 4u);
    EXPECT_EQ(ValueData(os, kUninstall, "InstallDate"), "20270102");
    EXPECT_EQ(dword("NoModify"), 1u);
    EXPECT_EQ(dword("NoRepair"), 1u);
    ExpectNothingLeftOpen();
}

// A control without a version resource, a size that cannot be read and a
// value that cannot be written each leave a value out, not the installation.
TEST_F(RecordsTest, MissingInventoryValuesAreLeftOutWithoutFailingTheRun) {
    os.FailCallsOn(Op::FileSize, kSys + "\\SorVanWin32.dll", platform::kErrorAccessDenied);
    os.FailCallsOn(Op::SetDword, "NoModify", platform::kErrorAccessDenied);
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kUninstall),
              (std::vector<std::string>{"DisplayIcon", "DisplayName", "InstallDate", "NoRepair", "UnInstallString"}));
    ExpectNothingLeftOpen();
}

TEST_F(RecordsTest, FirstFailingValueStopsTheRecordAndClosesTheKey) {
    os.FailCallsOn(Op::SetString, "DisplayName", platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 0);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), "<missing>");
    ExpectNothingLeftOpen();

    // Each of the product key's values in turn: those before it stay written.
    const char* names[] = {"DllPath", "DllNameMFC", "DllNameWin32"};
    for (int failing = 0; failing < 3; ++failing) {
        FakePlatform fresh;
        fresh.FailCallsOn(Op::SetString, names[failing], platform::kErrorAccessDenied);
        EXPECT_EQ(sorvan::WriteProductKey(fresh), 0);
        EXPECT_EQ(fresh.ValueNames(RegRoot::LocalMachine, kProduct).size(), static_cast<std::size_t>(failing));
        EXPECT_EQ(fresh.CountOf(Op::SetString), failing + 1);
        EXPECT_EQ(fresh.OpenKeyHandles(), 0u);
    }
}

TEST_F(RecordsTest, KeyThatCanNeitherBeOpenedNorCreatedWritesNothing) {
    os.FailCallsOn(Op::OpenKey, "HKLM\\" + kProduct, platform::kErrorAccessDenied);
    os.FailCallsOn(Op::CreateKey, "HKLM\\" + kProduct, platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::WriteProductKey(os), 0);
    EXPECT_EQ(os.CountOf(Op::SetString), 0);
    EXPECT_EQ(os.CountOf(Op::CloseKey), 0);
    ExpectNothingLeftOpen();
}

// On 64-bit Windows the uninstaller is named by the WOW64 folder, which 64-bit
// programs resolve to where it is; the product key keeps the system folder,
// which only 32-bit code reads. Where the WOW64 folder cannot be had, the
// entry names the system folder, as on 32-bit Windows.
TEST_F(RecordsTest, UninstallerIsNamedByTheWow64FolderWhereThereIsOne) {
    os.wow64Folder = "C:\\WINDOWS\\SysWOW64";
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(sorvan::WriteProductKey(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), "C:\\WINDOWS\\SysWOW64\\SorVanUninstall.exe");
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), kSys);
    os.FailCall(Op::SystemWow64FolderPath, 2, platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), kSys + "\\SorVanUninstall.exe");
}

TEST_F(RecordsTest, EmptySystemFolderIsWrittenAsItIs) {
    for (int call = 1; call <= 3; ++call) os.FailCall(Op::SystemFolderPath, call, 5);
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(sorvan::WriteProductKey(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), "\\SorVanUninstall.exe");
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), "");
}

TEST_F(RecordsTest, LongestSystemFoldersStayWithinTheirBuffers) {
    // The uninstall command reads the folder into 512 bytes: 511 characters
    // fit, 512 do not and the query leaves the command's folder empty.
    os.systemFolder = "C:\\" + std::string(508, 's');
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), os.systemFolder + "\\SorVanUninstall.exe");
    os.systemFolder += "s";
    EXPECT_EQ(sorvan::WriteUninstallEntry(os), 1);
    EXPECT_EQ(ValueData(os, kUninstall, "UnInstallString"), "\\SorVanUninstall.exe");
    os.systemFolder = "C:\\" + std::string(1020, 's');
    EXPECT_EQ(sorvan::WriteProductKey(os), 1);
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), os.systemFolder);
}

TEST_F(RecordsTest, SuccessfulRunWritesBothRecordsAndReportsInstalled) {
    const sorvan::SetupOutcome outcome = sorvan::RunSetup(os, TheOwner());
    EXPECT_EQ(outcome, sorvan::SetupOutcome::Installed);
    EXPECT_EQ(sorvan::ExitCodeFor(outcome), 0);
    EXPECT_EQ(InstalledFiles(), 4);
    EXPECT_NE(ValueData(os, kUninstall, "DisplayName"), "<missing>");
    EXPECT_EQ(ValueData(os, kProduct, "DllNameWin32"), "SorvanWin32.dll");
    EXPECT_TRUE(os.messages.empty());
    ExpectNothingLeftOpen();
}

TEST_F(RecordsTest, FailedRunWritesOnlyTheProductKeyAndReportsFailure) {
    os.BlockDestination(kSys + "\\LumeTransfer.ocx", platform::kErrorAccessDenied);
    const sorvan::SetupOutcome outcome = sorvan::RunSetup(os, TheOwner());
    EXPECT_EQ(outcome, sorvan::SetupOutcome::RolledBack);
    EXPECT_EQ(sorvan::ExitCodeFor(outcome), 1603);
    EXPECT_EQ(os.messages.size(), 1u);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kUninstall));
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kProduct).size(), 3u);
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

TEST_F(RecordsTest, RegistrationFailureStillWritesTheProductKey) {
    control->registerResult = static_cast<std::int32_t>(0x80004005u);
    os.PutValue(RegRoot::LocalMachine, kUninstall, "DisplayName", "from an earlier run");
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::RolledBack);
    EXPECT_EQ(ValueData(os, kProduct, "DllPath"), kSys);
    // The rollback undoes what this run did, and nothing else.
    EXPECT_EQ(ValueData(os, kUninstall, "DisplayName"), "from an earlier run");
    os.EraseKey(RegRoot::LocalMachine, kUninstall);
    ExpectRolledBack();
}

// A second start from the emptied folder repairs: the control registers
// itself again, the entry and the product key are written again, and the run
// reports success, so a deployment tool that starts it again sees a healthy
// machine.
TEST_F(RecordsTest, SecondLaunchFromTheEmptiedFolderReportsInstalled) {
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    const std::vector<std::string> entry = os.ValueNames(RegRoot::LocalMachine, kUninstall);
    os.EraseKey(RegRoot::LocalMachine, kProduct);
    os.EraseKey(RegRoot::LocalMachine, kUninstall);
    os.EraseKey(RegRoot::ClassesRoot, kClassKey);  // as a clean-up tool does
    os.calls.clear();
    EXPECT_EQ(sorvan::ExitCodeFor(sorvan::RunSetup(os, TheOwner())), 0);
    EXPECT_EQ(NotesOf(os), std::vector<std::string>{"already installed: its control registered again"});
    EXPECT_EQ(os.CountOf(Op::CopyOpened) + os.CountOf(Op::MoveFileOver) + os.CountOf(Op::DeleteKey), 0);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(InstalledFiles(), 4);
    EXPECT_TRUE(os.KeyExists(RegRoot::ClassesRoot, kClassKey));
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kUninstall), entry);
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kProduct).size(), 3u);
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace sorvan_test
