// A machine with the package laid out as a user receives it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/setup_engine.h"
#include "tests/fake/fake_platform.h"

namespace sorvan_test {

using fake::FakePlatform;
using fake::Op;
using platform::RegRoot;

inline const std::string kPkg = "C:\\Pkg";
inline const std::string kSys = "C:\\WINDOWS\\system32";
inline const std::string kDistributionUnit =
    "Software\\Microsoft\\Code Store Database\\Distribution Units\\{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}";
inline const std::string kFileList = kDistributionUnit + "\\Contains\\Files";
inline const std::string kClassKey = "CLSID\\{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}";
inline const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUElmark";
inline const std::string kProduct = "SOFTWARE\\QUElmark\\SORVAN";
inline const char* const kNames[4] = {"LumeTransfer.ocx", "SorVan.dll", "SorVanWin32.dll", "SorVanUninstall.exe"};

inline platform::OwnerWindow TheOwner() { return reinterpret_cast<platform::OwnerWindow>(0x1234); }

// The four components laid out in `dir`, the control first.
inline void PutPackage(FakePlatform& os, const std::string& dir, std::shared_ptr<fake::FakeControl> control) {
    os.AddFile(dir + "\\" + kNames[0], "control", std::move(control));
    for (int i = 1; i < 4; ++i) os.AddFile(dir + "\\" + kNames[i], std::string("component ") + kNames[i]);
}
// The digests a release's program carries, of the four components in `dir`.
inline sorvan::ComponentDigests DigestsOf(const FakePlatform& os, const std::string& dir = kPkg) {
    sorvan::ComponentDigests digests = {};
    for (int i = 0; i < 4; ++i) fake::DigestOf(os.FileContent(dir + "\\" + kNames[i]), digests.sha256[i]);
    return digests;
}
// How many of the four components are in `dir`.
inline int ComponentsIn(const FakePlatform& os, const std::string& dir) {
    int count = 0;
    for (const char* name : kNames) count += os.FileExists(dir + "\\" + name) ? 1 : 0;
    return count;
}

// A control that registers its class key, naming itself and `version`, and
// removes it again on unregistration: two builds' registrations differ.
inline std::shared_ptr<fake::FakeControl> VersionedControl(const std::string& version) {
    auto control = fake::WellBehavedControl();
    control->onRegister = [version](FakePlatform& os, const std::string& path) {
        os.PutValue(RegRoot::ClassesRoot, kClassKey + "\\InprocServer32", "", path);
        os.PutValue(RegRoot::ClassesRoot, kClassKey, "Version", version);
    };
    return control;
}

// Everything of the product a run may change, as one text: every file in the
// system folder with its bytes and attributes, the control's class key, and
// the values of the distribution unit and the entry.
inline std::string ProductState(const FakePlatform& os) {
    std::string state;
    for (const std::string& name : os.FilesIn(kSys)) {
        const std::string path = kSys + "\\" + name;
        state += path + "=" + os.FileContent(path) + "/" + std::to_string(os.AttributesOf(path)) + "\n";
    }
    state += os.KeyExists(RegRoot::ClassesRoot, kClassKey) ? "class key\n" : "";
    const std::pair<RegRoot, std::string> keys[] = {{RegRoot::ClassesRoot, kClassKey},
                                                    {RegRoot::ClassesRoot, kClassKey + "\\InprocServer32"},
                                                    {RegRoot::LocalMachine, kFileList},
                                                    {RegRoot::LocalMachine, kUninstall}};
    for (const auto& key : keys) {
        for (const std::string& name : os.ValueNames(key.first, key.second)) {
            fake::Value value;
            (void)os.ValueOf(key.first, key.second, name, &value);
            state += key.second + "\\" + name + "=" + value.data + std::to_string(value.dword) + "\n";
        }
    }
    return state;
}

// The notes the run made for its log, in order.
inline std::vector<std::string> NotesOf(const FakePlatform& os) {
    std::vector<std::string> notes;
    for (const fake::Call& call : os.calls) {
        if (call.op == Op::Note) notes.push_back(call.argument);
    }
    return notes;
}

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        control = fake::WellBehavedControl();
        PutPackage(kPkg);
    }
    void PutPackage(const std::string& dir) { sorvan_test::PutPackage(os, dir, control); }
    int SourceFilesLeft(const std::string& dir = kPkg) const { return ComponentsIn(os, dir); }
    int InstalledFiles() const { return ComponentsIn(os, kSys); }
    // Whatever happened, no key handle and no library may be left open.
    void ExpectNothingLeftOpen() const {
        EXPECT_EQ(os.OpenKeyHandles(), 0u);
        EXPECT_EQ(os.LoadedLibraries(), 0u);
        EXPECT_EQ(os.badHandleUses, 0);
    }
    void ExpectRolledBack() const {
        EXPECT_EQ(InstalledFiles(), 0);
        EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kDistributionUnit));
        EXPECT_FALSE(os.KeyExists(RegRoot::ClassesRoot, kClassKey));
        EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, kUninstall));
        EXPECT_EQ(SourceFilesLeft(), 4) << "every component must stay in the source directory";
    }

    FakePlatform os;
    std::shared_ptr<fake::FakeControl> control;
};

}  // namespace sorvan_test
