#include <cstring>

#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

std::string SourceDirectoryFor(const std::string& modulePath, int* result) {
    FakePlatform os;
    os.modulePath = modulePath;
    char directory[sorvan::kPathSize];
    std::memset(directory, 0xbd, sizeof directory);
    *result = sorvan::SourceDirectory(os, directory);
    for (std::size_t i = std::strlen(directory); i < sizeof directory; ++i) {
        EXPECT_EQ(directory[i], '\0') << "byte " << i << " after the directory is not cleared";
    }
    return directory;
}

TEST(SourceDirectory, IsTheModulePathUpToItsLastBackslash) {
    int ok = 0;
    EXPECT_EQ(SourceDirectoryFor("C:\\Pkg\\SORVanActiveXSetup.exe", &ok), "C:\\Pkg");
    EXPECT_EQ(ok, 1);
    // A renamed download, and a shorter name: the directory is the same either way.
    EXPECT_EQ(SourceDirectoryFor("C:\\Users\\kim\\Downloads\\SORVanActiveXSetup (1).exe", &ok),
              "C:\\Users\\kim\\Downloads");
    EXPECT_EQ(SourceDirectoryFor("C:\\Program Files\\Pkg\\setup.exe", &ok), "C:\\Program Files\\Pkg");
    EXPECT_EQ(SourceDirectoryFor("\\\\server\\share\\d\\x.exe", &ok), "\\\\server\\share\\d");
    EXPECT_EQ(SourceDirectoryFor("C:\\Pkg\\", &ok), "C:\\Pkg");
    EXPECT_EQ(ok, 1);
}

TEST(SourceDirectory, FailsWithoutBackslashOrWhenTheModulePathWasCut) {
    int ok = 1;
    EXPECT_EQ(SourceDirectoryFor("SORVanActiveXSetup.exe", &ok), "");
    EXPECT_EQ(ok, 0);
    ok = 1;
    EXPECT_EQ(SourceDirectoryFor("", &ok), "");
    EXPECT_EQ(ok, 0);
    // 1023 characters still fit the 1024-byte buffer ...
    std::string longest = "C:\\" + std::string(1020, 'd');
    ASSERT_EQ(longest.size(), 1023u);
    longest[500] = '\\';
    EXPECT_EQ(SourceDirectoryFor(longest, &ok), longest.substr(0, 500));
    EXPECT_EQ(ok, 1);
    // ... 1024 do not: the truncated path would name another directory.
    ok = 1;
    EXPECT_EQ(SourceDirectoryFor(longest + "x", &ok), "");
    EXPECT_EQ(ok, 0);
}

TEST(SourceDirectory, FailedQueryGivesNoDirectory) {
    FakePlatform os;
    os.FailCall(Op::ModuleFileName, 1, 5);
    char directory[sorvan::kPathSize];
    EXPECT_EQ(sorvan::SourceDirectory(os, directory), 0);
    EXPECT_STREQ(directory, "");
}

TEST(ComposePath, JoinsWithOneBackslashAndNeverWritesPastItsBuffer) {
    char out[18];
    EXPECT_EQ(sorvan::ComposePath(out, sizeof out, "C:\\Pkg", "SorVan.dll"), 1);
    EXPECT_STREQ(out, "C:\\Pkg\\SorVan.dll");
    // 17 characters and the NUL fill 18 bytes exactly; 17 bytes are one short.
    char guarded[24];
    std::memset(guarded, 0xbd, sizeof guarded);
    EXPECT_EQ(sorvan::ComposePath(guarded, 17, "C:\\Pkg", "SorVan.dll"), 0);
    EXPECT_STREQ(guarded, "");
    for (int i = 17; i < 24; ++i) EXPECT_EQ(static_cast<unsigned char>(guarded[i]), 0xbd);
    // An empty directory, as after a failed system-folder query.
    EXPECT_EQ(sorvan::ComposePath(out, sizeof out, "", "SorVan.dll"), 1);
    EXPECT_STREQ(out, "\\SorVan.dll");
}

TEST(Manifest, FourSlotsControlFirstZeroPadded) {
    sorvan::Manifest manifest;
    std::memset(manifest, 0xbd, sizeof manifest);
    sorvan::BuildManifest(manifest);
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(manifest[i], kNames[i]);
        for (std::size_t b = std::strlen(kNames[i]); b < sorvan::kSlotSize; ++b) ASSERT_EQ(manifest[i][b], 0);
    }
}

TEST(SystemFolder, FailedQueryLeavesTheEmptyString) {
    FakePlatform os;
    os.FailCall(Op::SystemFolderPath, 1, 5);
    char folder[64];
    std::memset(folder, 'x', sizeof folder);
    sorvan::SystemFolder(os, folder, sizeof folder);
    EXPECT_STREQ(folder, "");
    sorvan::SystemFolder(os, folder, sizeof folder);
    EXPECT_STREQ(folder, "C:\\WINDOWS\\system32");
}

TEST(OpenOrCreateKey, OpensAnExistingKeyOrCreatesItWithItsParents) {
    FakePlatform os;
    {
        platform::ScopedKey key(os);
        ASSERT_EQ(sorvan::OpenOrCreateKey(os, "SOFTWARE\\QUElmark\\SORVAN", key), 1);
        EXPECT_EQ(os.CountOf(Op::OpenKey), 1);
        EXPECT_EQ(os.CountOf(Op::CreateKey), 1);
        EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, "SOFTWARE\\QUElmark"));
        ASSERT_EQ(sorvan::SetStringValue(os, key.Get(), "Empty", ""), 1);
    }
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
    fake::Value value;
    ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, kProduct, "Empty", &value));
    EXPECT_EQ(value.data, "");
    {
        platform::ScopedKey key(os);
        ASSERT_EQ(sorvan::OpenOrCreateKey(os, kProduct.c_str(), key), 1);
        EXPECT_EQ(os.CountOf(Op::CreateKey), 1) << "an existing key is opened, not created";
    }
    os.FailCall(Op::OpenKey, 3, 5);
    os.FailCall(Op::CreateKey, 2, 5);
    platform::ScopedKey key(os);
    EXPECT_EQ(sorvan::OpenOrCreateKey(os, kProduct.c_str(), key), 0);
    EXPECT_FALSE(key.IsOpen());
}

}  // namespace
}  // namespace sorvan_test
