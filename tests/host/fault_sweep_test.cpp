// Every platform operation of a successful setup run, made to fail in turn.
//
// A successful run is recorded first; its call log is the list of operations
// to break, so a call added to the engine is swept without editing this test.
// Each operation is failed once per error code: the codes the engine tells
// apart, and one it does not. After every run the invariants that hold
// whatever fails are checked.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

// The codes the engine tells apart (sharing violation, access denied, not
// found, no more items, more data) and one it does not (a device error).
constexpr std::uint32_t kErrors[] = {
    platform::kErrorSharingViolation, platform::kErrorAccessDenied, platform::kErrorFileNotFound,
    platform::kErrorNoMoreItems,      platform::kErrorMoreData,     1117 /* ERROR_IO_DEVICE */};

// Where a run starts from: a machine without the product, a working
// installation with a newer package beside the program, and a working
// installation whose package folder its run emptied.
enum class Start { Fresh, Upgrade, Emptied };

// A machine with the package laid out, the platform's state and the
// observations a test makes of it.
struct Machine {
    FakePlatform os;
    sorvan::ComponentDigests digests = {};
    explicit Machine(Start start) {
        const auto control = fake::WellBehavedControl();
        PutPackage(os, kPkg, control);
        if (start != Start::Fresh) {
            const sorvan::ComponentDigests first = DigestsOf(os);
            EXPECT_EQ(sorvan::RunSetup(os, TheOwner(), &first), sorvan::SetupOutcome::Installed);
        }
        if (start == Start::Upgrade) {
            for (const char* name : kNames) os.AddFile(kPkg + "\\" + name, std::string("v2 ") + name, control);
        }
        digests = DigestsOf(os);
        os.calls.clear();
    }
    bool Installed() const {
        return ComponentsIn(os, kSys) == 4 && os.KeyExists(RegRoot::LocalMachine, kDistributionUnit) &&
               os.KeyExists(RegRoot::ClassesRoot, kClassKey);
    }
    bool RolledBack() const {
        return ComponentsIn(os, kSys) == 0 && ComponentsIn(os, kPkg) == 4 &&
               !os.KeyExists(RegRoot::LocalMachine, kDistributionUnit) &&
               !os.KeyExists(RegRoot::ClassesRoot, kClassKey) && !os.KeyExists(RegRoot::LocalMachine, kUninstall);
    }
    bool ProductKeyAttempted() const {
        for (const fake::Call& call : os.calls) {
            if ((call.op == Op::OpenKey || call.op == Op::CreateKey) &&
                fake::Fold(call.argument) == fake::Fold("HKLM\\" + kProduct)) {
                return true;
            }
        }
        return false;
    }
    // The run of a release's program, which checks each copy against its digest.
    sorvan::SetupOutcome Run() { return sorvan::RunSetup(os, TheOwner(), &digests); }
};

std::vector<fake::Call> RecordSuccessfulRun(Start start) {
    Machine machine(start);
    EXPECT_EQ(machine.Run(), sorvan::SetupOutcome::Installed);
    return machine.os.calls;
}

TEST(FaultSweep, EveryOperationFailingLeavesAConsistentMachine) {
    std::set<Op> swept;
    for (Start start : {Start::Fresh, Start::Upgrade, Start::Emptied}) {
        const std::vector<fake::Call> recording = RecordSuccessfulRun(start);
        ASSERT_GT(recording.size(), 10u);
        for (const fake::Call& call : recording) swept.insert(call.op);

        int installedRuns = 0;
        int failedRuns = 0;
        for (std::size_t n = 1; n <= recording.size(); ++n) {
            for (std::uint32_t error : kErrors) {
                SCOPED_TRACE("start " + std::to_string(static_cast<int>(start)) + ", operation " + std::to_string(n) +
                             " (" + fake::OpName(recording[n - 1].op) + " " + recording[n - 1].argument +
                             ") failing with " + std::to_string(error));
                Machine machine(start);
                const std::string before = ProductState(machine.os);
                machine.os.FailNthCall(static_cast<int>(n), error);

                const sorvan::SetupOutcome outcome = machine.Run();

                // Whatever failed: nothing left open, the product key attempted.
                EXPECT_EQ(machine.os.OpenKeyHandles(), 0u);
                EXPECT_EQ(machine.os.LoadedLibraries(), 0u);
                EXPECT_EQ(machine.os.badHandleUses, 0);
                EXPECT_TRUE(machine.ProductKeyAttempted());
                EXPECT_LE(machine.os.messages.size(), 1u);
                EXPECT_EQ(machine.os.FileExists(kSys + "\\SorVan.dll.new"), false) << "a staged copy was left";
                if (outcome == sorvan::SetupOutcome::Installed) {
                    ++installedRuns;
                    EXPECT_TRUE(machine.Installed());
                    EXPECT_TRUE(machine.os.messages.empty());
                } else {
                    // A failed run changed nothing, or undid everything.
                    ++failedRuns;
                    EXPECT_TRUE(ProductState(machine.os) == before || machine.RolledBack());
                }
                // A second start from the folder the run left never takes
                // away an installation that is in place.
                const bool wasInstalled = machine.Installed();
                (void)machine.Run();
                EXPECT_TRUE(!wasInstalled || machine.Installed());
                if (::testing::Test::HasFailure()) return;  // one broken run says enough
            }
        }
        // Both sides were reached: faults in the installation fail it, faults
        // in the records after a complete installation do not undo it.
        EXPECT_GT(installedRuns, 0);
        EXPECT_GT(failedRuns, 0);
    }
    // The checks before a change, the staged replacement and the records'
    // clean-up are all among the operations broken.
    for (Op op : {Op::ClearFileAttributes, Op::CheckReplaceable, Op::MoveFileOver, Op::FolderDriveType,
                  Op::QueryValue, Op::DeleteValue, Op::FileDigest}) {
        EXPECT_EQ(swept.count(op), 1u) << fake::OpName(op);
    }
}

}  // namespace
}  // namespace sorvan_test
