// Every platform operation of a successful setup run, made to fail in turn.
//
// A successful run is recorded first; its call log is the list of operations
// to break, so a call added to the engine is swept without editing this test.
// Each operation is failed once per error code: the codes the engine tells
// apart, and one it does not. After every run the invariants that hold
// whatever fails are checked.
#include <cstdint>
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

// A machine with the package laid out, the platform's state and the
// observations a test makes of it.
struct Machine {
    FakePlatform os;
    Machine() { PutPackage(os, kPkg, fake::WellBehavedControl()); }
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
};

// The run of a release's program, which checks each copy against its digest.
sorvan::SetupOutcome RunChecked(Machine& machine) {
    const sorvan::ComponentDigests digests = DigestsOf(machine.os);
    return sorvan::RunSetup(machine.os, TheOwner(), &digests);
}

std::vector<fake::Call> RecordSuccessfulRun() {
    Machine machine;
    EXPECT_EQ(RunChecked(machine), sorvan::SetupOutcome::Installed);
    return machine.os.calls;
}

TEST(FaultSweep, EveryOperationFailingLeavesAConsistentMachine) {
    const std::vector<fake::Call> recording = RecordSuccessfulRun();
    ASSERT_GT(recording.size(), 20u);

    int installedRuns = 0;
    int rolledBackRuns = 0;
    for (std::size_t n = 1; n <= recording.size(); ++n) {
        for (std::uint32_t error : kErrors) {
            SCOPED_TRACE("operation " + std::to_string(n) + " (" + fake::OpName(recording[n - 1].op) + " " +
                         recording[n - 1].argument + ") failing with " + std::to_string(error));
            Machine machine;
            machine.os.FailNthCall(static_cast<int>(n), error);

            const sorvan::SetupOutcome outcome = RunChecked(machine);

            // Whatever failed: nothing left open, the product key attempted.
            EXPECT_EQ(machine.os.OpenKeyHandles(), 0u);
            EXPECT_EQ(machine.os.LoadedLibraries(), 0u);
            EXPECT_EQ(machine.os.badHandleUses, 0);
            EXPECT_TRUE(machine.ProductKeyAttempted());
            EXPECT_LE(machine.os.messages.size(), 1u);
            if (outcome == sorvan::SetupOutcome::Installed) {
                ++installedRuns;
                EXPECT_TRUE(machine.Installed());
                EXPECT_TRUE(machine.os.messages.empty());
            } else {
                ++rolledBackRuns;
                EXPECT_TRUE(machine.RolledBack());
            }
            // The exit status follows the state, not the other way round.
            EXPECT_EQ(sorvan::ExitCodeFor(outcome), machine.Installed() ? 0 : 1603);
            if (::testing::Test::HasFailure()) return;  // one broken run says enough
        }
    }
    // Both sides were reached: faults in the installation roll it back,
    // faults in the records after a complete installation do not undo it.
    EXPECT_GT(installedRuns, 0);
    EXPECT_GT(rolledBackRuns, 0);
}

}  // namespace
}  // namespace sorvan_test
