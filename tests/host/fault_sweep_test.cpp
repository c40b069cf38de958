// Every platform operation of a recorded setup run, made to fail in turn, and
// the run stopped just before it; and other programs at work beside it.
//
// Each run is recorded first; its call log is the list of operations to
// break, so a call added to the engine is swept without editing this test.
// Each operation is failed once per error code: the codes the engine tells
// apart, and one it does not. Then the process is stopped just before it, as
// a power cut or a deployment tool's time-out would stop it: nothing it does
// after that point reaches the machine. After either, the program is started
// again from the same folder, and a third time if that start fails too, and
// the machine must hold one of two installations: the new one complete, or
// the earlier one exactly as it was, each with its control registered. After
// a stop, a start from an empty folder must come to the same.
//
// Other programs: each file operation meets a sharing violation, or a file
// pending deletion, three times, as while a scanner reads the file, and the
// run must end exactly as it does without that. After each stop a browser
// loads the control in place: the next start must leave the installed files
// and the registration as it found them, or come to one of the two
// installations, and so must the start after the browser lets go.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

// The codes the engine tells apart (sharing violation, access denied, not
// found, no more items, more data) and one it does not (a device error); 0
// stands for the stop.
constexpr std::uint32_t kStop = 0;
constexpr std::uint32_t kFaults[] = {kStop,
                                     platform::kErrorSharingViolation,
                                     platform::kErrorAccessDenied,
                                     platform::kErrorFileNotFound,
                                     platform::kErrorNoMoreItems,
                                     platform::kErrorMoreData,
                                     1117 /* ERROR_IO_DEVICE */};

// Where a run starts from: a machine without the product; a working
// installation with a newer, read-only package beside the program; a working
// installation whose package folder its run emptied; and a working
// installation with a newer package whose control does not register.
enum class Start { Fresh, Upgrade, Emptied, FailingUpgrade };
const char* const kStartNames[] = {"fresh", "upgrade", "emptied", "failing upgrade"};

// The operations on files, from QueryFile to LoadLibraryFrom; a registry call
// never meets another program's hold on a file.
bool IsFileOp(Op op) { return op >= Op::QueryFile && op <= Op::LoadLibraryFrom; }

// A machine with the package laid out, and what a test observes of it.
struct Machine {
    FakePlatform os;
    sorvan::ComponentDigests digests = {};
    std::string package[4];  // the bytes of each component the run installs

    explicit Machine(Start start) {
        PutPackage(os, kPkg, VersionedControl("1"));
        digests = DigestsOf(os);
        if (start != Start::Fresh) {
            EXPECT_EQ(Run(), sorvan::SetupOutcome::Installed);
        }
        if (start == Start::Emptied) os.today = 20261210;  // the repair comes a day later
        if (start == Start::Upgrade || start == Start::FailingUpgrade) {
            const auto control = VersionedControl("2");
            if (start == Start::FailingUpgrade) control->registerResult = static_cast<std::int32_t>(0x80004005u);
            // The newer package as a disc gives it: read-only, which its
            // copies take over until the run clears them.
            for (const char* name : kNames) {
                os.AddFile(kPkg + "\\" + name, std::string("v2 ") + name, control);
                os.SetAttributes(kPkg + "\\" + name, FakePlatform::kReadOnly);
            }
            digests = DigestsOf(os);
        }
        for (int i = 0; i < 4; ++i) {
            package[i] = os.FileContent((ComponentsIn(os, kPkg) > 0 ? kPkg : kSys) + "\\" + kNames[i]);
        }
        os.calls.clear();
    }
    bool Installed() const {
        return ComponentsIn(os, kSys) == 4 && os.KeyExists(RegRoot::LocalMachine, kDistributionUnit) &&
               os.KeyExists(RegRoot::ClassesRoot, kClassKey);
    }
    bool ProductKeyAttempted() const {
        return std::any_of(os.calls.begin(), os.calls.end(), [](const fake::Call& call) {
            return (call.op == Op::OpenKey || call.op == Op::CreateKey) &&
                   fake::Fold(call.argument) == fake::Fold("HKLM\\" + kProduct);
        });
    }
    bool BackupsLeft() const {
        const std::vector<std::string> files = os.FilesIn(kSys);
        return std::any_of(files.begin(), files.end(), [](const std::string& name) {
            return name.find(".sorvan-old") != std::string::npos;
        });
    }
    // The run of a release's program, which checks each copy against its digest.
    sorvan::SetupOutcome Run() { return sorvan::RunSetup(os, TheOwner(), &digests); }
    // The next start, and one more if that fails too.
    void RunAgain() {
        os.EndProcess();
        if (!sorvan::IsInPlace(Run())) {
            os.EndProcess();
            (void)Run();
        }
    }
    std::string Installed(int slot) const { return os.FileContent(kSys + "\\" + kNames[slot]); }
};

struct Recording {
    std::vector<fake::Call> calls;
    sorvan::SetupOutcome outcome;
    std::string before;  // the product as the run found it
    std::string after;   // and as the run left it
};

Recording Record(Start start) {
    Machine machine(start);
    Recording recording{{}, sorvan::SetupOutcome::NothingChanged, ProductState(machine.os), {}};
    recording.outcome = machine.Run();
    recording.calls = machine.os.calls;
    recording.after = ProductState(machine.os);
    return recording;
}

TEST(FaultSweep, EveryOperationFailingOrStoppedLeavesOneOfTwoInstallations) {
    std::set<Op> swept;
    std::set<Op> reached;
    for (Start start : {Start::Fresh, Start::Upgrade, Start::Emptied, Start::FailingUpgrade}) {
        const Recording recording = Record(start);
        ASSERT_GT(recording.calls.size(), 10u);
        if (start == Start::FailingUpgrade || start == Start::Emptied) {
            // The earlier installation exactly as it was: restored, or
            // repaired with the date of its installation.
            ASSERT_EQ(recording.outcome, start == Start::Emptied ? sorvan::SetupOutcome::AlreadyInstalled
                                                                 : sorvan::SetupOutcome::Restored);
            ASSERT_EQ(recording.after, recording.before);
        } else {
            ASSERT_TRUE(sorvan::IsInPlace(recording.outcome));
        }
        for (const fake::Call& call : recording.calls) swept.insert(call.op);
        // The end states a run may leave: the new installation, complete, or
        // the earlier one as it was. A fresh machine had none to keep.
        std::vector<std::string> ends;
        if (start != Start::FailingUpgrade) ends.push_back(recording.after);
        if (start != Start::Fresh) ends.push_back(recording.before);

        int installedRuns = 0;
        int failedRuns = 0;
        for (std::size_t n = 1; n <= recording.calls.size(); ++n) {
            const std::string step = std::string(kStartNames[static_cast<int>(start)]) + ", operation " +
                                     std::to_string(n) + " (" + fake::OpName(recording.calls[n - 1].op) + " " +
                                     recording.calls[n - 1].argument + ")";
            for (std::uint32_t fault : kFaults) {
                SCOPED_TRACE(step + (fault == kStop ? " stopped" : " failing with " + std::to_string(fault)));
                Machine machine(start);
                const std::string before = ProductState(machine.os);
                if (fault == kStop) {
                    machine.os.StopBeforeCall(static_cast<int>(n));
                } else {
                    machine.os.FailNthCall(static_cast<int>(n), fault);
                }

                const sorvan::SetupOutcome outcome = machine.Run();
                for (const fake::Call& call : machine.os.calls) reached.insert(call.op);
                if (fault != kStop) {
                    // Whatever failed: nothing left open, the product key
                    // attempted, and a run that failed changed nothing or put
                    // back what it changed (when the fault did not hit the
                    // undo itself, which the next start takes up again, or
                    // leave a file to be deleted at the next restart).
                    EXPECT_EQ(machine.os.OpenKeyHandles(), 0u);
                    EXPECT_EQ(machine.os.LoadedLibraries() + machine.os.OpenFiles(), 0u);
                    EXPECT_EQ(machine.os.badHandleUses, 0);
                    EXPECT_TRUE(machine.ProductKeyAttempted());
                    EXPECT_LE(machine.os.messages.size(), 1u);
                    if (sorvan::IsInPlace(outcome)) {
                        ++installedRuns;
                        EXPECT_TRUE(machine.Installed());
                        EXPECT_TRUE(machine.os.messages.empty());
                    } else {
                        ++failedRuns;
                        EXPECT_TRUE(ProductState(machine.os) == before || machine.BackupsLeft() ||
                                    !machine.os.deletesAtRestart.empty());
                    }
                }

                machine.RunAgain();
                // A record that could not be written does not undo an
                // installation: after a fault that let the run succeed, the
                // installation stands, whatever record it lacks.
                const std::string end = ProductState(machine.os);
                if (fault != kStop && sorvan::IsInPlace(outcome)) {
                    EXPECT_TRUE(machine.Installed());
                } else {
                    EXPECT_NE(std::find(ends.begin(), ends.end(), end), ends.end()) << end;
                }
                for (int i = 0; i < 4; ++i) {
                    EXPECT_TRUE(machine.os.FileContent(kSys + "\\" + kNames[i]) == machine.package[i] ||
                                machine.os.FileContent(kPkg + "\\" + kNames[i]) == machine.package[i])
                        << kNames[i] << " is nowhere";
                }
                for (const std::string& name : machine.os.FilesIn(kSys)) {
                    EXPECT_NE(std::find_if(std::begin(kNames), std::end(kNames),
                                           [&](const char* ours) { return fake::Fold(ours) == name; }),
                              std::end(kNames))
                        << name << " is left in the system folder";
                }
                EXPECT_EQ(machine.os.OpenKeyHandles() + machine.os.LoadedLibraries() + machine.os.OpenFiles(), 0u);

                // Where there was an earlier installation, what a stopped run
                // left is finished by the next start wherever it is made: one
                // from an empty folder leaves one of the two installations too.
                if (fault == kStop && start != Start::Fresh) {
                    Machine elsewhere(start);
                    elsewhere.os.StopBeforeCall(static_cast<int>(n));
                    (void)elsewhere.Run();
                    elsewhere.os.EndProcess();
                    elsewhere.os.modulePath = "C:\\Elsewhere\\SORVanActiveXSetup.exe";
                    (void)elsewhere.Run();
                    const std::string state = ProductState(elsewhere.os);
                    EXPECT_NE(std::find(ends.begin(), ends.end(), state), ends.end()) << "from elsewhere: " << state;
                }
                if (::testing::Test::HasFailure()) return;  // one broken run says enough
            }

            for (std::uint32_t passing : {platform::kErrorSharingViolation, platform::kErrorDeletePending}) {
                if (!IsFileOp(recording.calls[n - 1].op)) break;
                SCOPED_TRACE(step + " held for a moment with " + std::to_string(passing));
                Machine machine(start);
                machine.os.FailNthCall(static_cast<int>(n), passing, 3);
                EXPECT_EQ(machine.Run(), recording.outcome);
                EXPECT_EQ(ProductState(machine.os), recording.after);
                EXPECT_TRUE(machine.os.messages.empty());
                for (const fake::Call& call : machine.os.calls) reached.insert(call.op);
            }

            SCOPED_TRACE(step + " stopped, then the control loaded by a browser");
            Machine machine(start);
            machine.os.StopBeforeCall(static_cast<int>(n));
            (void)machine.Run();
            machine.os.EndProcess();
            machine.os.LoadElsewhere(kSys + "\\" + kNames[0]);
            const bool registered = machine.os.KeyExists(RegRoot::ClassesRoot, kClassKey);
            std::string files[4];
            for (int i = 0; i < 4; ++i) files[i] = machine.Installed(i);
            (void)machine.Run();
            bool untouched = !registered || machine.os.KeyExists(RegRoot::ClassesRoot, kClassKey);
            for (int i = 0; i < 4; ++i) untouched = untouched && machine.Installed(i) == files[i];
            EXPECT_TRUE(untouched || std::find(ends.begin(), ends.end(), ProductState(machine.os)) != ends.end())
                << "the start while the browser holds the control: " << ProductState(machine.os);
            machine.os.LetGoElsewhere();
            machine.RunAgain();
            const std::string end = ProductState(machine.os);
            EXPECT_NE(std::find(ends.begin(), ends.end(), end), ends.end()) << "after the browser: " << end;
            if (::testing::Test::HasFailure()) return;
        }
        // Both sides were reached: faults in the installation fail it, faults
        // in the records after a complete installation do not undo it.
        if (start != Start::FailingUpgrade) {
            EXPECT_GT(installedRuns, 0);
        }
        EXPECT_GT(failedRuns, 0);
    }
    // The checks before a change, the staged and flushed replacement, the
    // records' clean-up and flush are all among the operations broken; the
    // delete at the next restart, of an earlier file that cannot be deleted
    // now, is reached by breaking that delete.
    for (Op op : {Op::ClearFileAttributes, Op::CheckReplaceable, Op::MoveFileOver, Op::FlushKey,
                  Op::FolderDriveType, Op::QueryValue, Op::DeleteValue, Op::FileDigest, Op::FindLinkInPath,
                  Op::OpenComponent, Op::CopyOpened, Op::SameBytes, Op::DeleteOpened, Op::CloseFile}) {
        EXPECT_EQ(swept.count(op), 1u) << fake::OpName(op);
    }
    EXPECT_EQ(reached.count(Op::DeleteAtRestart), 1u);
    EXPECT_EQ(reached.count(Op::Pause), 1u);
}

}  // namespace
}  // namespace sorvan_test
