#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

using InstallTest = PackageTest;

TEST_F(InstallTest, SuccessMovesRecordsAndRegisters) {
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    EXPECT_EQ(InstalledFiles(), 4);
    EXPECT_EQ(SourceFilesLeft(), 0) << "the components are moved, not copied";
    std::vector<std::string> recorded = os.ValueNames(RegRoot::LocalMachine, kFileList);
    ASSERT_EQ(recorded.size(), 4u);
    for (const char* name : kNames) {
        fake::Value value;
        ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, kFileList, kSys + "\\" + name, &value)) << name;
        EXPECT_EQ(value.data, "");
    }
    fake::Value server;
    ASSERT_TRUE(os.ValueOf(RegRoot::ClassesRoot, kClassKey + "\\InprocServer32", "", &server));
    EXPECT_EQ(server.data, kSys + "\\LumeTransfer.ocx");
    // The distribution unit and its "Contains" key carry no values of their own.
    EXPECT_TRUE(os.ValueNames(RegRoot::LocalMachine, kDistributionUnit).empty());
    EXPECT_TRUE(os.ValueNames(RegRoot::LocalMachine, kDistributionUnit + "\\Contains").empty());
    EXPECT_TRUE(os.messages.empty());
    ExpectNothingLeftOpen();
}

TEST_F(InstallTest, TheControlIsLoadedOnlyAfterAllFourAreInPlaceAndSourcesGoLast) {
    ASSERT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    std::vector<Op> ops = os.Ops();
    auto lastCopy = std::find(ops.rbegin(), ops.rend(), Op::CopyFileOver).base();
    auto load = std::find(ops.begin(), ops.end(), Op::LoadLibraryFrom);
    auto firstRemove = std::find(ops.begin(), ops.end(), Op::RemoveFile);
    auto call = std::find(ops.begin(), ops.end(), Op::CallExport);
    EXPECT_EQ(os.CountOf(Op::CopyFileOver), 4);
    EXPECT_LT(lastCopy, load);
    EXPECT_LT(call, firstRemove) << "sources are deleted only after the control registered";
    EXPECT_EQ(os.CountOf(Op::RemoveFile), 4);
}

TEST_F(InstallTest, ExistingDestinationAndRecordsAreOverwrittenOthersKept) {
    os.AddFile(kSys + "\\SorVan.dll", "old version");
    os.PutValue(RegRoot::LocalMachine, kFileList, kSys + "\\SorVan.dll", "stale");
    os.PutValue(RegRoot::LocalMachine, kFileList, "C:\\other\\file.dll", "");
    ASSERT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    EXPECT_EQ(os.FileContent(kSys + "\\SorVan.dll"), "component SorVan.dll");
    fake::Value value;
    ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, kFileList, kSys + "\\SorVan.dll", &value));
    EXPECT_EQ(value.data, "");
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kFileList).size(), 5u);
}

TEST_F(InstallTest, RenamedProgramInstallsFromItsOwnFolder) {
    const std::string downloads = "C:\\Users\\kim\\Downloads";
    os.modulePath = downloads + "\\SORVanActiveXSetup (1).exe";
    PutPackage(downloads);
    // A decoy where cutting the path by the expected name's length would look.
    os.AddFile("C:\\Users\\kim\\Do\\LumeTransfer.ocx", "decoy");
    ASSERT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    EXPECT_EQ(SourceFilesLeft(downloads), 0);
    EXPECT_EQ(os.FileContent(kSys + "\\LumeTransfer.ocx"), "control");
}

struct CopyFailure {
    std::uint32_t error;
    const char* text;  // null: no message
};

class CopyFailureTest : public PackageTest, public ::testing::WithParamInterface<CopyFailure> {};

TEST_P(CopyFailureTest, SlotOneFailsMessageThenCompleteRollback) {
    const CopyFailure failure = GetParam();
    os.BlockDestination(kSys + "\\SorVan.dll", failure.error);
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    if (failure.text == nullptr) {
        EXPECT_TRUE(os.messages.empty());
    } else {
        ASSERT_EQ(os.messages.size(), 1u);
        EXPECT_EQ(os.messages[0].text, failure.text);
        EXPECT_EQ(os.messages[0].caption, sorvan::kMessageCaption);
        EXPECT_EQ(os.messages[0].owner, TheOwner());
        // The message comes before the rollback starts.
        std::vector<Op> ops = os.Ops();
        auto shown = std::find(ops.begin(), ops.end(), Op::ShowMessage);
        EXPECT_EQ(std::find(ops.begin(), shown, Op::LoadLibraryFrom), shown);
        EXPECT_EQ(std::find(ops.begin(), shown, Op::DeleteKey), shown);
    }
    EXPECT_EQ(os.CountOf(Op::CopyFileOver), 2) << "later slots are not attempted";
    // The control was loaded for its DllUnregisterServer, then deleted.
    EXPECT_EQ(os.CountOf(Op::LoadLibraryFrom), 1);
    EXPECT_EQ(os.CountOf(Op::CallExport), 1);
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Errors, CopyFailureTest,
                         ::testing::Values(CopyFailure{platform::kErrorSharingViolation, sorvan::kSharingViolationText},
                                           CopyFailure{platform::kErrorAccessDenied, sorvan::kAccessDeniedText},
                                           CopyFailure{platform::kErrorFileNotFound, nullptr},
                                           CopyFailure{112 /* ERROR_DISK_FULL */, nullptr}),
                         [](const ::testing::TestParamInfo<CopyFailure>& param) {
                             return "Error" + std::to_string(param.param.error);
                         });

// An incomplete package over an earlier installation: the rollback removes
// the earlier files, and with them the entry whose uninstaller they held; the
// product key stays.
TEST_F(InstallTest, MissingSourceFailsSilentlyAndKeepsTheRest) {
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    PutPackage(kPkg);
    os.RemoveFile((kPkg + "\\SorVanWin32.dll").c_str());
    os.calls.clear();
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Failed);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(InstalledFiles(), 0);
    EXPECT_EQ(SourceFilesLeft(), 3);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kDistributionUnit));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kUninstall));
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, kProduct));
    ExpectNothingLeftOpen();
}

struct RegistrationFailure {
    bool hasRegister;
    std::int32_t result;
};

class RegistrationFailureTest : public PackageTest, public ::testing::WithParamInterface<RegistrationFailure> {};

TEST_P(RegistrationFailureTest, RollsBackWithoutMessage) {
    control->hasRegister = GetParam().hasRegister;
    control->registerResult = GetParam().result;
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(os.CountOf(Op::CallExport), GetParam().hasRegister ? 2 : 1);
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Results, RegistrationFailureTest,
                         ::testing::Values(RegistrationFailure{false, 0},  // no DllRegisterServer
                                           RegistrationFailure{true, 1},   // S_FALSE
                                           RegistrationFailure{true, static_cast<std::int32_t>(0x80004005u)}),
                         [](const ::testing::TestParamInfo<RegistrationFailure>& param) {
                             if (!param.param.hasRegister) return std::string("NoExport");
                             return param.param.result == 1 ? std::string("SFalse") : std::string("EFail");
                         });

TEST_F(InstallTest, ControlThatIsNotALibraryIsRolledBack) {
    os.AddFile(kPkg + "\\LumeTransfer.ocx", "this is not a library");
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(os.CountOf(Op::LoadLibraryFrom), 2) << "once to register, once to unregister";
    EXPECT_EQ(os.CountOf(Op::FindExport), 0);
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

TEST_F(InstallTest, ControlWithoutUnregisterHasItsClassKeyTreeRemoved) {
    control->hasUnregister = false;
    control->registerResult = 1;  // S_FALSE, after writing its keys
    control->onRegister = [](FakePlatform& fake, const std::string& path) {
        fake.PutValue(RegRoot::ClassesRoot, kClassKey + "\\InprocServer32", "", path);
        fake.PutValue(RegRoot::ClassesRoot, kClassKey + "\\ProgID", "", "Lume.Transfer.1");
        fake.PutKey(RegRoot::ClassesRoot, kClassKey + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
    };
    os.PutKey(RegRoot::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}");
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    EXPECT_FALSE(os.KeyExists(RegRoot::ClassesRoot, kClassKey));
    EXPECT_TRUE(os.KeyExists(RegRoot::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}"));
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

TEST_F(InstallTest, NoSourceDirectoryMeansASilentFailedCopy) {
    for (const std::string& modulePath : {std::string("SORVanActiveXSetup.exe"), "C:\\" + std::string(1100, 'p')}) {
        FakePlatform fresh;
        fresh.modulePath = modulePath;
        fresh.AddFile(kSys + "\\SorVan.dll", "from an earlier installation");
        EXPECT_EQ(sorvan::InstallComponents(fresh, TheOwner()), 0);
        EXPECT_EQ(fresh.CountOf(Op::CopyFileOver), 0);
        EXPECT_TRUE(fresh.messages.empty());
        EXPECT_FALSE(fresh.FileExists(kSys + "\\SorVan.dll")) << "the rollback still runs";
        EXPECT_EQ(fresh.OpenKeyHandles(), 0u);
    }
}

TEST_F(InstallTest, PathsThatWouldNotFitAreAFailedCopyWithoutMessage) {
    // A short program name in a source directory of 1004 characters: the
    // first three components' paths fit, the uninstaller's 19 characters do not.
    const std::string deep = "C:\\" + std::string(1001, 'q');
    os.modulePath = deep + "\\s.exe";
    PutPackage(deep);
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    EXPECT_EQ(os.CountOf(Op::CopyFileOver), 3);
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(SourceFilesLeft(deep), 4);
    ExpectNothingLeftOpen();
}

TEST_F(InstallTest, FailedRecordDoesNotStopTheInstallation) {
    os.FailCall(Op::SetString, 2, platform::kErrorAccessDenied);
    os.FailCall(Op::RemoveFile, 1, platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kFileList).size(), 3u);
    EXPECT_EQ(InstalledFiles(), 4);
    EXPECT_EQ(SourceFilesLeft(), 1) << "a source that cannot be deleted is left behind";
    ExpectNothingLeftOpen();
}

TEST_F(InstallTest, LoadFailureRollsBackSilently) {
    os.FailCall(Op::LoadLibraryFrom, 1, platform::kErrorModNotFound);
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    EXPECT_TRUE(os.messages.empty());
    ExpectRolledBack();
    ExpectNothingLeftOpen();
}

// A program that carries digests installs only what it was made with: each
// copy is read back from the system folder before anything can load it.
// A component replaced in the package folder, or one whose copy cannot be
// read back, is a failed copy without a message; the rollback then loads
// nothing, not even a control that passed, since it would load its
// companions, and an earlier registration goes with its class key.
TEST_F(InstallTest, CopiesThatDifferFromTheDigestsAreNeverLoaded) {
    const sorvan::ComponentDigests digests = DigestsOf(os);
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner(), &digests), sorvan::SetupOutcome::Installed);
    std::vector<std::string> checked;
    for (const fake::Call& call : os.calls) {
        if (call.op == Op::FileDigest) checked.push_back(call.argument);
    }
    EXPECT_EQ(checked, (std::vector<std::string>{kSys + "\\LumeTransfer.ocx", kSys + "\\SorVan.dll",
                                                 kSys + "\\SorVanWin32.dll", kSys + "\\SorVanUninstall.exe"}));

    struct Tampering {
        const char* name;
        std::string content;  // empty: the copy cannot be read back
    };
    for (const Tampering& tampering : {Tampering{"LumeTransfer.ocx", "another control"},
                                       Tampering{"SorVanWin32.dll", "component SorVanWin32.dlL"},
                                       Tampering{"SorVanUninstall.exe", ""}}) {
        SCOPED_TRACE(tampering.name);
        FakePlatform fresh;
        sorvan_test::PutPackage(fresh, kPkg, control);
        const sorvan::ComponentDigests made = DigestsOf(fresh);
        // An earlier installation's registration.
        fresh.PutValue(RegRoot::ClassesRoot, kClassKey + "\\InprocServer32", "", kSys + "\\LumeTransfer.ocx");
        if (tampering.content.empty()) {
            fresh.FailCallsOn(Op::FileDigest, kSys + "\\" + tampering.name, platform::kErrorAccessDenied);
        } else {
            fresh.AddFile(kPkg + "\\" + tampering.name, tampering.content, control);
        }
        EXPECT_EQ(sorvan::RunSetup(fresh, TheOwner(), &made), sorvan::SetupOutcome::Failed);
        EXPECT_EQ(fresh.CountOf(Op::LoadLibraryFrom), 0);
        EXPECT_TRUE(fresh.messages.empty());
        EXPECT_EQ(ComponentsIn(fresh, kSys), 0);
        EXPECT_EQ(ComponentsIn(fresh, kPkg), 4);
        EXPECT_FALSE(fresh.KeyExists(RegRoot::ClassesRoot, kClassKey));
        EXPECT_FALSE(fresh.KeyExists(RegRoot::LocalMachine, kDistributionUnit));
        EXPECT_EQ(fresh.OpenKeyHandles(), 0u);
    }
}

}  // namespace
}  // namespace sorvan_test
