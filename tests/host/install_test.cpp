#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

using InstallTest = PackageTest;

TEST_F(InstallTest, SuccessMovesRecordsAndRegisters) {
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
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

// All four are copied beside their installed files, and on the disk (the
// copy flushes), before any is replaced; the control is loaded once all four
// are in place; the sources go last, once the records are on the disk too,
// through the handles they were read by.
TEST_F(InstallTest, EveryCopyIsMadeBeforeAnyFileIsReplacedAndSourcesGoLast) {
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    std::vector<Op> ops = os.Ops();
    auto lastCopy = std::find(ops.rbegin(), ops.rend(), Op::CopyOpened).base();
    auto firstMove = std::find(ops.begin(), ops.end(), Op::MoveFileOver);
    auto lastMove = std::find(ops.rbegin(), ops.rend(), Op::MoveFileOver).base();
    auto load = std::find(ops.begin(), ops.end(), Op::LoadLibraryFrom);
    auto call = std::find(ops.begin(), ops.end(), Op::CallExport);
    EXPECT_EQ(os.CountOf(Op::CopyOpened), 4);
    EXPECT_EQ(os.CountOf(Op::MoveFileOver), 8) << "each installed file kept, then each copy in its place";
    // A reverse iterator's base is one past what it found.
    EXPECT_LE(lastCopy, firstMove);
    EXPECT_LE(lastMove, load);
    auto lastFlushedKey = std::find(ops.rbegin(), ops.rend(), Op::FlushKey).base();
    EXPECT_EQ(os.CountOf(Op::FlushKey), 4);
    int sourcesDeleted = 0;
    for (std::size_t k = 0; k < os.calls.size(); ++k) {
        if (os.calls[k].op == Op::DeleteOpened && os.calls[k].argument.rfind(fake::Fold(kPkg), 0) == 0) {
            ++sourcesDeleted;
            EXPECT_GT(ops.begin() + static_cast<std::ptrdiff_t>(k), call) << "a source deleted before registration";
            EXPECT_GT(ops.begin() + static_cast<std::ptrdiff_t>(k), lastFlushedKey)
                << "a source deleted before the flush";
        }
    }
    EXPECT_EQ(sourcesDeleted, 4);
    EXPECT_EQ(ProductState(os).find(".new="), std::string::npos) << "a staged copy was left";
}

TEST_F(InstallTest, ExistingDestinationAndRecordsAreOverwrittenOthersKept) {
    os.AddFile(kSys + "\\SorVan.dll", "old version");
    os.PutValue(RegRoot::LocalMachine, kFileList, kSys + "\\SorVan.dll", "stale");
    os.PutValue(RegRoot::LocalMachine, kFileList, "C:\\other\\file.dll", "");
    ASSERT_EQ(sorvan::InstallComponents(os, TheOwner()), 1);
    EXPECT_EQ(os.FileContent(kSys + "\\SorVan.dll"), "component SorVan.dll");
    // Only the file that was there was checked before the copies.
    EXPECT_EQ(os.CountOf(Op::CheckReplaceable), 1);
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
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    EXPECT_EQ(SourceFilesLeft(downloads), 0);
    EXPECT_EQ(os.FileContent(kSys + "\\LumeTransfer.ocx"), "control");
}

// A newer package over a working installation, whose SorVanWin32.dll is held
// or cannot be written when the run starts: the run ends before it copies
// anything, with the message for that error, and the installation stays
// exactly as it was, its control never asked to unregister.
class HeldBeforeTheRunTest : public PackageTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(HeldBeforeTheRunTest, ChangesNothingAndSaysWhy) {
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    const std::string before = ProductState(os);
    PutPackage(kPkg);
    os.AddFile(kPkg + "\\SorVanWin32.dll", "a newer SorVanWin32.dll");
    os.BlockDestination(kSys + "\\SorVanWin32.dll", GetParam());
    os.calls.clear();

    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::NothingChanged);
    ASSERT_EQ(os.messages.size(), 1u);
    EXPECT_EQ(os.messages[0].text, GetParam() == platform::kErrorSharingViolation ? sorvan::kSharingViolationText
                                                                                  : sorvan::kAccessDeniedText);
    EXPECT_EQ(os.CountOf(Op::CopyOpened) + os.CountOf(Op::MoveFileOver) + os.CountOf(Op::LoadLibraryFrom) +
                  os.CountOf(Op::DeleteKey), 0);
    EXPECT_EQ(ProductState(os), before);
    EXPECT_EQ(SourceFilesLeft(), 4);
    EXPECT_EQ(NotesOf(os), (std::vector<std::string>{"cannot replace " + kSys + "\\SorVanWin32.dll",
                                                     "nothing was changed"}));
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kProduct).size(), 3u);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Errors, HeldBeforeTheRunTest,
                         ::testing::Values(platform::kErrorSharingViolation, platform::kErrorAccessDenied));

// A file that becomes held after the check fails its replacement: the whole
// installation is rolled back, then the message for that error, if any.
struct ReplaceFailure {
    std::uint32_t error;
    const char* text;  // null: no message
};

class ReplaceFailureTest : public PackageTest, public ::testing::WithParamInterface<ReplaceFailure> {};

TEST_P(ReplaceFailureTest, SlotOneFailsMessageThenCompleteRollback) {
    const ReplaceFailure failure = GetParam();
    os.BlockDestination(kSys + "\\SorVan.dll", failure.error);
    EXPECT_EQ(sorvan::InstallComponents(os, TheOwner()), 0);
    if (failure.text == nullptr) {
        EXPECT_TRUE(os.messages.empty());
    } else {
        ASSERT_EQ(os.messages.size(), 1u);
        EXPECT_EQ(os.messages[0].text, failure.text);
        EXPECT_EQ(os.messages[0].caption, sorvan::kMessageCaption);
        EXPECT_EQ(os.messages[0].owner, TheOwner());
        // The message waits until the rollback is done.
        std::vector<Op> ops = os.Ops();
        auto shown = std::find(ops.begin(), ops.end(), Op::ShowMessage);
        EXPECT_EQ(std::find(shown, ops.end(), Op::LoadLibraryFrom), ops.end());
        EXPECT_EQ(std::find(shown, ops.end(), Op::DeleteKey), ops.end());
    }
    // Each slot first tries to keep an earlier file: there is none here.
    // A sharing violation is waited out first.
    const int retries = failure.error == platform::kErrorSharingViolation ? sorvan::kFileRetries : 0;
    EXPECT_EQ(os.CountOf(Op::MoveFileOver), 4 + retries) << "later slots are not attempted";
    // The control was in place for its DllUnregisterServer, then deleted.
    EXPECT_EQ(os.CountOf(Op::LoadLibraryFrom), 1);
    EXPECT_EQ(os.CountOf(Op::CallExport), 1);
    ExpectRolledBack();
    EXPECT_EQ(ProductState(os), "");
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Errors, ReplaceFailureTest,
                         ::testing::Values(ReplaceFailure{platform::kErrorSharingViolation, sorvan::kSharingViolationText},
                                           ReplaceFailure{platform::kErrorAccessDenied, sorvan::kAccessDeniedText},
                                           ReplaceFailure{platform::kErrorFileNotFound, nullptr},
                                           ReplaceFailure{112 /* ERROR_DISK_FULL */, nullptr}),
                         [](const ::testing::TestParamInfo<ReplaceFailure>& param) {
                             return "Error" + std::to_string(param.param.error);
                         });

struct RegistrationFailure {
    bool hasRegister;
    std::int32_t result;
};

class RegistrationFailureTest : public PackageTest, public ::testing::WithParamInterface<RegistrationFailure> {};

// The rollback removes the distribution unit, with what an earlier code
// download left in it.
TEST_P(RegistrationFailureTest, RollsBackWithoutMessage) {
    os.PutValue(RegRoot::LocalMachine, kFileList, "C:\\Downloaded Program Files\\gone.ocx", "");
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

// A program that cannot tell the folder it runs from, or whose components'
// paths would not fit, has nothing to install from: it changes nothing, an
// earlier installation included.
TEST_F(InstallTest, NoSourceDirectoryChangesNothing) {
    const std::string deep = "C:\\" + std::string(1001, 'q');  // the uninstaller's 19 characters do not fit
    for (const std::string& modulePath :
         {std::string("SORVanActiveXSetup.exe"), "C:\\" + std::string(1100, 'p'), deep + "\\s.exe"}) {
        FakePlatform fresh;
        fresh.modulePath = modulePath;
        sorvan_test::PutPackage(fresh, deep, control);
        fresh.AddFile(kSys + "\\SorVan.dll", "from an earlier installation");
        EXPECT_EQ(sorvan::InstallComponents(fresh, TheOwner()), 0);
        EXPECT_EQ(fresh.CountOf(Op::CopyOpened) + fresh.CountOf(Op::RemoveFile) + fresh.CountOf(Op::DeleteKey), 0);
        EXPECT_TRUE(fresh.messages.empty());
        EXPECT_TRUE(fresh.FileExists(kSys + "\\SorVan.dll"));
        EXPECT_EQ(fresh.OpenKeyHandles(), 0u);
    }
}

TEST_F(InstallTest, FailedRecordDoesNotStopTheInstallation) {
    os.FailCall(Op::SetString, 2, platform::kErrorAccessDenied);
    os.FailCallsOn(Op::DeleteOpened, kPkg + "\\LumeTransfer.ocx", platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
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

// A release's program installs only the components it was made with. Over a
// working installation, each component's staged copy in turn is made to
// fail: it cannot be made, it differs from its digest by one byte, or its
// component cannot be opened. Nothing of the package is loaded, no message is shown,
// and the installation stays exactly as it was, with no staged copy left.
TEST_F(InstallTest, StagedCopyThatFailsOrDiffersChangesNothing) {
    enum class Failure { Copy, Differs, Unreadable };
    for (int slot = 0; slot < 4; ++slot) {
        for (Failure failure : {Failure::Copy, Failure::Differs, Failure::Unreadable}) {
            SCOPED_TRACE(std::string(kNames[slot]) + " failing its stage " + std::to_string(static_cast<int>(failure)));
            FakePlatform fresh;
            sorvan_test::PutPackage(fresh, kPkg, control);
            ASSERT_EQ(sorvan::RunSetup(fresh, TheOwner()), sorvan::SetupOutcome::Installed);
            const std::string before = ProductState(fresh);
            for (int i = 0; i < 4; ++i) fresh.AddFile(kPkg + "\\" + kNames[i], std::string("v2 ") + kNames[i], control);
            const sorvan::ComponentDigests made = DigestsOf(fresh);
            const std::string source = kPkg + "\\" + kNames[slot];
            const std::string staged = kSys + "\\" + kNames[slot] + ".new";
            if (failure == Failure::Copy) fresh.FailCallsOn(Op::CopyOpened, staged, 112);
            if (failure == Failure::Differs) fresh.AddFile(source, "v2 " + std::string(kNames[slot]) + "!", control);
            if (failure == Failure::Unreadable) fresh.FailCallsOn(Op::OpenComponent, source, 1117);
            fresh.calls.clear();

            EXPECT_EQ(sorvan::RunSetup(fresh, TheOwner(), &made), sorvan::SetupOutcome::NothingChanged);
            EXPECT_EQ(fresh.CountOf(Op::LoadLibraryFrom) + fresh.CountOf(Op::MoveFileOver), 0);
            EXPECT_TRUE(fresh.messages.empty());
            EXPECT_EQ(ProductState(fresh), before);
            EXPECT_EQ(ComponentsIn(fresh, kPkg), 4);
            const std::vector<std::string> notes = NotesOf(fresh);
            ASSERT_FALSE(notes.empty());
            EXPECT_EQ(notes.back(), "nothing was changed");
            if (failure != Failure::Copy) {
                EXPECT_NE(notes.front().find(source), std::string::npos) << "the component is named";
            }
        }
    }
}

// What the package folder holds, measured against what is installed, and
// how the run ends. Each row starts from a machine with or without a working
// installation, whose run emptied its folder, then lays out the folder one
// character a component: '-' absent, '=' the bytes installed, 'n' a newer
// build; the folder may be reached through a link ('f'), the control be one
// ('r') or a library have another name ('h'). Only a complete folder of
// plain files changes anything: every other ends the run with the
// installation exactly as it was.
TEST(PackageClassification, OnlyACompleteFolderChangesAnything) {
    using sorvan::PackageState;
    using sorvan::SetupOutcome;
    struct Row {
        bool installed;
        const char* folder;
        bool release;  // carries the newer build's digests
        const char* unreadable;
        char link;
        PackageState state;
        SetupOutcome outcome;
    };
    const Row rows[] = {
        {false, "----", false, nullptr, 0, PackageState::Empty, SetupOutcome::NothingChanged},
        {true, "-=--", false, nullptr, 0, PackageState::AlreadyInstalled, SetupOutcome::AlreadyInstalled},
        {true, "====", false, nullptr, 0, PackageState::AlreadyInstalled, SetupOutcome::AlreadyInstalled},
        // A scanner quarantined one library of the newer package.
        {true, "n-nn", true, nullptr, 0, PackageState::Incomplete, SetupOutcome::NothingChanged},
        // An old download folder, still holding one component.
        {true, "-n--", false, nullptr, 0, PackageState::Incomplete, SetupOutcome::NothingChanged},
        // The newer release's program, started from an emptied folder.
        {true, "----", true, nullptr, 0, PackageState::AnotherBuild, SetupOutcome::NothingChanged},
        {true, "====", true, nullptr, 0, PackageState::Complete, SetupOutcome::NothingChanged},
        {true, "-=--", false, "SorVan.dll", 0, PackageState::Unreadable, SetupOutcome::NothingChanged},
        {true, "nnnn", false, "SorVan.dll", 0, PackageState::Complete, SetupOutcome::Installed},
        {false, "nnnn", false, nullptr, 'f', PackageState::Complete, SetupOutcome::Installed},
        {true, "nnnn", false, nullptr, 'r', PackageState::Unreadable, SetupOutcome::NothingChanged},
        {true, "nnnn", false, nullptr, 'h', PackageState::Unreadable, SetupOutcome::NothingChanged},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.installed ? "installed, " : "fresh, ") + row.folder +
                     (row.release ? ", release" : "") + (row.unreadable ? ", one unreadable" : ""));
        FakePlatform os;
        const auto control = VersionedControl("1");
        if (row.installed) {
            PutPackage(os, kPkg, control);
            ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), SetupOutcome::Installed);
        }
        sorvan::ComponentDigests newer = {};
        for (int i = 0; i < 4; ++i) {
            const std::string content = std::string("v2 ") + kNames[i];
            fake::DigestOf(content, newer.sha256[i]);
            const std::string path = kPkg + "\\" + kNames[i];
            if (row.folder[i] == 'n') os.AddFile(path, content, VersionedControl("2"));
            if (row.folder[i] == '=') os.AddFile(path, os.FileContent(kSys + "\\" + kNames[i]), control);
        }
        if (row.unreadable != nullptr) {
            os.FailCallsOn(Op::SameBytes, kSys + "\\" + row.unreadable, 1117 /* ERROR_IO_DEVICE */);
        }
        if (row.link == 'f') os.linkedFolders.insert(fake::Fold(kPkg));
        if (row.link != 0 && row.link != 'f') os.SetLinks(kPkg + "\\" + kNames[row.link == 'r' ? 0 : 1], row.link == 'r', 2);
        const std::string before = ProductState(os);
        const sorvan::ComponentDigests* digests = row.release ? &newer : nullptr;
        sorvan::RunPaths paths;
        ASSERT_EQ(sorvan::ComposeRunPaths(os, paths), 1);
        {
            sorvan::OpenedPackage package(os);
            sorvan::OpenPackage(os, paths, package);
            EXPECT_EQ(sorvan::ClassifyPackage(os, paths, package, digests), row.state);
        }
        os.calls.clear();

        EXPECT_EQ(sorvan::RunSetup(os, TheOwner(), digests), row.outcome);
        EXPECT_TRUE(os.messages.empty());
        if (row.outcome != SetupOutcome::Installed) {
            EXPECT_EQ(ProductState(os), before);
        }
        if (row.state != PackageState::Complete) {
            EXPECT_EQ(os.CountOf(Op::CheckReplaceable) + os.CountOf(Op::CopyOpened), 0) << "opened for writing";
        }
        const std::vector<std::string> notes = NotesOf(os);
        for (int i = 0; row.state == PackageState::Incomplete && i < 4; ++i) {
            const std::string missing = "missing from the package: " + kPkg + "\\" + kNames[i];
            EXPECT_EQ(std::count(notes.begin(), notes.end(), missing), row.folder[i] == '-' ? 1 : 0) << kNames[i];
        }
        if (row.state == PackageState::AnotherBuild) {
            EXPECT_EQ(notes.front(), "another build is installed");
        }
        const std::string linked[] = {"kept: reached through a link", "a link, not a file: " + kPkg +
                                      "\\" + kNames[0], "a file with other names: " + kPkg + "\\" + kNames[1]};
        if (row.link != 0) {
            EXPECT_EQ(std::count(notes.begin(), notes.end(), linked[row.link == 'f' ? 0 : row.link == 'r' ? 1 : 2]), 1);
            EXPECT_EQ(ComponentsIn(os, kPkg), 4) << "a link's folder keeps its components";
        }
    }

    // Started from the system folder itself, it would take the installed
    // files for its package: it changes nothing, and says so.
    FakePlatform os;
    PutPackage(os, kPkg, fake::WellBehavedControl());
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), SetupOutcome::Installed);
    const std::string installed = ProductState(os);
    os.modulePath = kSys + "\\SORVanActiveXSetup.exe";
    os.calls.clear();
    EXPECT_EQ(sorvan::RunSetup(os, TheOwner()), SetupOutcome::NothingChanged);
    EXPECT_EQ(ProductState(os), installed);
    EXPECT_EQ(NotesOf(os).front(), "started from the system folder: " + kSys);
}

// The components leave only a folder on a local fixed drive (or one whose
// drive cannot be told); on a removable, optical or network drive, by letter
// or by UNC path, they stay, and the same package is then already installed.
TEST_F(InstallTest, ComponentsStayOnRemovableOpticalAndNetworkDrives) {
    struct Drive {
        std::string folder;
        std::uint32_t type;  // 0: the query fails
        bool kept;
    };
    for (const Drive& drive : {Drive{"E:\\SORVan", platform::kDriveRemovable, true},
                               Drive{"E:\\SORVan", platform::kDriveCdRom, true},
                               Drive{"Z:\\SORVan", platform::kDriveRemote, true},
                               Drive{"\\\\server\\share\\SORVan", platform::kDriveRemote, true},
                               Drive{"E:\\SORVan", platform::kDriveFixed, false},
                               Drive{"E:\\SORVan", 6 /* DRIVE_RAMDISK */, false},
                               Drive{"E:\\SORVan", 0, false}}) {
        SCOPED_TRACE(drive.folder + " on a drive of type " + std::to_string(drive.type));
        FakePlatform fresh;
        fresh.modulePath = drive.folder + "\\SORVanActiveXSetup.exe";
        const std::string root = drive.folder.substr(0, drive.folder.rfind('\\'));
        fresh.driveTypes[root] = drive.type;
        if (drive.type == 0) fresh.FailCallsOn(Op::FolderDriveType, drive.folder, platform::kErrorAccessDenied);
        sorvan_test::PutPackage(fresh, drive.folder, control);
        const std::string package = ProductState(fresh);
        ASSERT_EQ(sorvan::RunSetup(fresh, TheOwner()), sorvan::SetupOutcome::Installed);
        EXPECT_EQ(ComponentsIn(fresh, drive.folder), drive.kept ? 4 : 0);
        if (!drive.kept) continue;
        EXPECT_EQ(fresh.FileContent(drive.folder + "\\SorVan.dll"), "component SorVan.dll");
        // Started again where the same package is installed: nothing to do,
        // and nothing opened for writing.
        fresh.calls.clear();
        ASSERT_EQ(sorvan::RunSetup(fresh, TheOwner()), sorvan::SetupOutcome::AlreadyInstalled);
        EXPECT_EQ(fresh.CountOf(Op::CheckReplaceable) + fresh.CountOf(Op::MoveFileOver), 0);
        EXPECT_EQ(ComponentsIn(fresh, drive.folder), 4);
    }
}

// Windows refuses to replace or delete a read-only file and to copy over a
// hidden one, and a copy takes its source's attributes. Installed files carry
// none of them, and an earlier installation's that do are replaced. A source
// that cannot be deleted after a success is named and left; the run succeeds.
TEST_F(InstallTest, ReadOnlyAndHiddenFilesAreInstalledPlainAndReplaced) {
    for (const char* name : kNames) os.SetAttributes(kPkg + "\\" + name, FakePlatform::kReadOnly);
    os.SetAttributes(kPkg + "\\SorVan.dll", FakePlatform::kReadOnly | FakePlatform::kHidden | FakePlatform::kSystem);
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    for (const char* name : kNames) EXPECT_EQ(os.AttributesOf(kSys + "\\" + name), 0u) << name;
    EXPECT_EQ(SourceFilesLeft(), 4);
    EXPECT_EQ(NotesOf(os).back(), "left in the package folder: " + kPkg + "\\SorVanUninstall.exe");

    os.SetAttributes(kSys + "\\LumeTransfer.ocx", FakePlatform::kReadOnly);
    os.SetAttributes(kSys + "\\SorVan.dll", FakePlatform::kHidden);
    for (const char* name : kNames) os.AddFile(kPkg + "\\" + name, std::string("v2 ") + name, control);
    ASSERT_EQ(sorvan::RunSetup(os, TheOwner()), sorvan::SetupOutcome::Installed);
    EXPECT_TRUE(os.messages.empty());
    for (const char* name : kNames) EXPECT_EQ(os.FileContent(kSys + "\\" + name), std::string("v2 ") + name);
    EXPECT_EQ(os.AttributesOf(kSys + "\\LumeTransfer.ocx") | os.AttributesOf(kSys + "\\SorVan.dll"), 0u);
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace sorvan_test
