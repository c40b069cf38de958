// The stand-in must keep the real registry's rules, or a test that passes on
// it says nothing about Windows. The same rules are checked under Wine.
#include <cstring>

#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

TEST(FakeRegistry, NamesCompareWithoutRegardToCase) {
    FakePlatform os;
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(os.CreateKey(RegRoot::LocalMachine, "SOFTWARE\\QUElmark\\SORVAN", &key), 0u);
    ASSERT_EQ(os.SetString(key, "DllPath", "a", platform::TextCoding::SystemAnsi), 0u);
    ASSERT_EQ(os.SetString(key, "DLLPATH", "b", platform::TextCoding::SystemAnsi), 0u);
    os.CloseKey(key);
    platform::KeyHandle again = nullptr;
    ASSERT_EQ(os.OpenKey(RegRoot::LocalMachine, "software\\quelmark\\sorvan", &again), 0u);
    os.CloseKey(again);
    fake::Value value;
    ASSERT_TRUE(os.ValueOf(RegRoot::LocalMachine, "Software\\QUElmark\\SORVAN", "dllpath", &value));
    EXPECT_EQ(value.data, "b");
    EXPECT_EQ(os.ValueNames(RegRoot::LocalMachine, kProduct).size(), 1u);
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(FakeRegistry, DeleteRefusesKeyWithSubKeysAndEnumerationShifts) {
    FakePlatform os;
    os.PutKey(RegRoot::LocalMachine, "T\\b");
    os.PutKey(RegRoot::LocalMachine, "T\\A");
    os.PutKey(RegRoot::LocalMachine, "T\\c\\d");
    EXPECT_EQ(os.DeleteKey(RegRoot::LocalMachine, "T"), platform::kErrorAccessDenied);
    EXPECT_EQ(os.DeleteKey(RegRoot::LocalMachine, "T\\c"), platform::kErrorAccessDenied);
    EXPECT_EQ(os.DeleteKey(RegRoot::LocalMachine, "T\\missing"), platform::kErrorFileNotFound);

    platform::KeyHandle key = nullptr;
    ASSERT_EQ(os.OpenKey(RegRoot::LocalMachine, "T", &key), 0u);
    char name[16];
    // Sub-keys enumerate in name order without regard to case.
    ASSERT_EQ(os.EnumSubKey(key, 0, name, sizeof name), 0u);
    EXPECT_STREQ(name, "A");
    ASSERT_EQ(os.EnumSubKey(key, 1, name, sizeof name), 0u);
    EXPECT_STREQ(name, "b");
    ASSERT_EQ(os.DeleteKey(RegRoot::LocalMachine, "T\\A"), 0u);
    // Position 0 now names what was at position 1.
    ASSERT_EQ(os.EnumSubKey(key, 0, name, sizeof name), 0u);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(os.EnumSubKey(key, 2, name, sizeof name), platform::kErrorNoMoreItems);
    char tiny[1];
    EXPECT_EQ(os.EnumSubKey(key, 0, tiny, sizeof tiny), platform::kErrorMoreData);
    os.CloseKey(key);
}

TEST(FakeRegistry, HandleOfDeletedKeyAnswersKeyDeleted) {
    FakePlatform os;
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(os.CreateKey(RegRoot::LocalMachine, "T\\Leaf", &key), 0u);
    ASSERT_EQ(os.DeleteKey(RegRoot::LocalMachine, "T\\Leaf"), 0u);
    EXPECT_EQ(os.SetString(key, "v", "x", platform::TextCoding::SystemAnsi), platform::kErrorKeyDeleted);
    std::uint32_t count = 99;
    char cls[8];
    EXPECT_EQ(os.QueryKeyInfo(key, cls, sizeof cls, &count), platform::kErrorKeyDeleted);
    EXPECT_EQ(count, 99u) << "outputs stay untouched on failure";
    os.CloseKey(key);
    EXPECT_EQ(os.badHandleUses, 0);
    os.CloseKey(key);
    EXPECT_EQ(os.badHandleUses, 1) << "a second close is caught";
}

TEST(FakeRegistry, OverlongNamesAreRefusedAndNothingIsCreated) {
    FakePlatform os;
    platform::KeyHandle key = nullptr;
    const std::string longest(256, 'k');
    EXPECT_EQ(os.CreateKey(RegRoot::LocalMachine, ("T\\" + longest).c_str(), &key), 0u);
    os.CloseKey(key);
    key = nullptr;
    EXPECT_EQ(os.CreateKey(RegRoot::LocalMachine, ("U\\" + longest + "k").c_str(), &key),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "U"));
}

TEST(FakeFaults, NthCallAndNthOccurrenceFailWithTheChosenCode) {
    FakePlatform os;
    os.FailCall(Op::CreateKey, 2, 1234);
    platform::KeyHandle key = nullptr;
    EXPECT_EQ(os.CreateKey(RegRoot::LocalMachine, "A", &key), 0u);
    os.CloseKey(key);
    EXPECT_EQ(os.CreateKey(RegRoot::LocalMachine, "B", &key), 1234u);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "B"));

    FakePlatform other;
    other.FailNthCall(2, platform::kErrorAccessDenied);
    other.AddFile("C:\\Pkg\\a", "x");
    EXPECT_EQ(other.QueryFile("C:\\Pkg\\a"), 0u);
    EXPECT_EQ(other.RemoveFile("C:\\Pkg\\a"), platform::kErrorAccessDenied);
    EXPECT_TRUE(other.FileExists("C:\\Pkg\\a"));
}

TEST(FakeFiles, LoadedImageCannotBeDeletedOrOverwritten) {
    FakePlatform os;
    os.AddFile("C:\\Pkg\\c.ocx", "x", fake::WellBehavedControl());
    std::uint32_t error = 0;
    platform::LibraryHandle library = os.LoadLibraryFrom("C:\\pkg\\C.OCX", &error);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(os.RemoveFile("C:\\Pkg\\c.ocx"), platform::kErrorAccessDenied);
    os.FreeLibraryHandle(library);
    EXPECT_EQ(os.RemoveFile("C:\\Pkg\\c.ocx"), 0u);
    EXPECT_EQ(os.LoadLibraryFrom("C:\\Pkg\\c.ocx", &error), nullptr);
    EXPECT_EQ(error, platform::kErrorModNotFound);
}

// Windows' rules for attributes and opened components: a copy from an
// opened component is a new file of its data alone, and will not write over
// a read-only or hidden file; MoveFileEx and DeleteFile refuse a read-only
// one, and a read-only component cannot be deleted through its handle
// either; nobody renames or deletes an opened component by its name, and one
// marked for deletion goes when it is closed; a loaded library cannot be
// opened for writing.
TEST(FakeFiles, ReadOnlyHiddenAndLoadedFilesAreRefusedAsWindowsRefusesThem) {
    FakePlatform os;
    os.AddFile("C:\\Pkg\\a", "a");
    os.SetAttributes("C:\\Pkg\\a", FakePlatform::kReadOnly);
    platform::FileHandle component = nullptr;
    ASSERT_EQ(os.OpenComponent("C:\\Pkg\\a", true, &component), 0u);
    std::uint8_t digest[32];
    ASSERT_EQ(os.CopyOpened(component, "C:\\Pkg\\b", digest), 0u);
    EXPECT_EQ(os.AttributesOf("C:\\Pkg\\b"), 0u);
    EXPECT_EQ(os.DeleteOpened(component), platform::kErrorAccessDenied);
    EXPECT_EQ(os.MoveFileOver("C:\\Pkg\\a", "C:\\Pkg\\z"), platform::kErrorSharingViolation);
    os.SetAttributes("C:\\Pkg\\b", FakePlatform::kReadOnly);
    EXPECT_EQ(os.CopyOpened(component, "C:\\Pkg\\b", digest), platform::kErrorAccessDenied);
    EXPECT_EQ(os.RemoveFile("C:\\Pkg\\b"), platform::kErrorAccessDenied);
    EXPECT_EQ(os.CheckReplaceable("C:\\Pkg\\b"), platform::kErrorAccessDenied);
    os.SetAttributes("C:\\Pkg\\b", FakePlatform::kHidden);
    EXPECT_EQ(os.CopyOpened(component, "C:\\Pkg\\b", digest), platform::kErrorAccessDenied);
    EXPECT_EQ(os.CheckReplaceable("C:\\Pkg\\b"), 0u);
    EXPECT_EQ(os.ClearFileAttributes("C:\\Pkg\\b"), 0u);
    EXPECT_EQ(os.CopyOpened(component, "C:\\Pkg\\b", digest), 0u);
    EXPECT_EQ(os.CheckReplaceable("C:\\Pkg\\missing"), platform::kErrorFileNotFound);
    os.SetAttributes("C:\\Pkg\\a", 0);
    EXPECT_EQ(os.DeleteOpened(component), 0u);
    EXPECT_TRUE(os.FileExists("C:\\Pkg\\a"));
    os.CloseFile(component);
    EXPECT_FALSE(os.FileExists("C:\\Pkg\\a"));

    os.AddFile("C:\\Pkg\\c.ocx", "x", fake::WellBehavedControl());
    std::uint32_t error = 0;
    platform::LibraryHandle library = os.LoadLibraryFrom("C:\\Pkg\\c.ocx", &error);
    EXPECT_EQ(os.CheckReplaceable("C:\\Pkg\\c.ocx"), platform::kErrorSharingViolation);
    EXPECT_EQ(os.ClearFileAttributes("C:\\Pkg\\b"), 0u);
    EXPECT_EQ(os.MoveFileOver("C:\\Pkg\\b", "C:\\Pkg\\c.ocx"), platform::kErrorAccessDenied);
    os.FreeLibraryHandle(library);
    EXPECT_EQ(os.MoveFileOver("C:\\Pkg\\b", "C:\\Pkg\\c.ocx"), 0u);
    EXPECT_EQ(os.FileContent("C:\\Pkg\\c.ocx"), "a");
    EXPECT_FALSE(os.FileExists("C:\\Pkg\\b"));
}

}  // namespace
}  // namespace sorvan_test
