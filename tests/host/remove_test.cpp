#include "tests/host/test_support.h"

namespace sorvan_test {
namespace {

TEST(DeleteKeyTree, RemovesNestedTreeLeavesFirstAndKeepsSiblings) {
    FakePlatform os;
    const std::string top = "Software\\T";
    for (const char* a : {"a", "B", "c"}) {
        for (const char* b : {"x", "Y"}) {
            os.PutValue(RegRoot::LocalMachine, top + "\\" + a + "\\" + b + "\\leaf", "v", "1");
        }
    }
    os.PutKey(RegRoot::LocalMachine, "Software\\T2");
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, top.c_str()), 1);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, top));
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, "Software\\T2"));
    ASSERT_EQ(os.deletedKeys.size(), 3u * 2u * 2u + 3u + 1u);
    EXPECT_EQ(os.deletedKeys.back(), "HKLM\\" + top) << "the key itself goes last";
    // Every key is deleted after all the keys below it.
    for (std::size_t i = 0; i < os.deletedKeys.size(); ++i) {
        for (std::size_t j = i + 1; j < os.deletedKeys.size(); ++j) {
            EXPECT_NE(os.deletedKeys[j].rfind(os.deletedKeys[i] + "\\", 0), 0u)
                << os.deletedKeys[j] << " deleted after its parent";
        }
    }
    EXPECT_EQ(os.CountOf(Op::DeleteKey), 16) << "one attempt per key, none failed";
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(DeleteKeyTree, MissingKeyReturnsZeroAndDoesNothing) {
    FakePlatform os;
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "Software\\Nothing"), 0);
    EXPECT_EQ(os.CountOf(Op::DeleteKey), 0);
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(DeleteKeyTree, UndeletableSubKeysDoNotStopOrLoopTheWalk) {
    FakePlatform os;
    for (const char* name : {"a", "b", "c", "d"}) os.PutKey(RegRoot::LocalMachine, std::string("T\\") + name + "\\x");
    os.FailCallsOn(Op::DeleteKey, "HKLM\\T\\b", platform::kErrorAccessDenied);
    os.FailCallsOn(Op::OpenKey, "HKLM\\T\\d\\x", platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_EQ(os.SubKeyNames(RegRoot::LocalMachine, "T"), (std::vector<std::string>{"b", "d"}));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\b\\x")) << "what is below it still goes";
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\a"));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\c"));
    EXPECT_EQ(os.CountOf(Op::EnumSubKey), 4 + 4) << "one step per sub-key of each key, no more";
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(DeleteKeyTree, UnreadableNameOrFailedQuerySkipsWithoutLooping) {
    FakePlatform os;
    for (const char* name : {"a", "b", "c"}) os.PutKey(RegRoot::LocalMachine, std::string("T\\") + name);
    os.FailCall(Op::EnumSubKey, 2, platform::kErrorMoreData);  // position 1, "b"
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_EQ(os.SubKeyNames(RegRoot::LocalMachine, "T"), (std::vector<std::string>{"b"}));
    EXPECT_EQ(os.OpenKeyHandles(), 0u);

    FakePlatform other;
    other.PutKey(RegRoot::LocalMachine, "T\\a");
    other.FailCall(Op::QueryKeyInfo, 1, platform::kErrorAccessDenied);
    EXPECT_EQ(sorvan::DeleteKeyTree(other, RegRoot::LocalMachine, "T"), 1);
    EXPECT_TRUE(other.KeyExists(RegRoot::LocalMachine, "T\\a")) << "a failed query counts no sub-keys";
    EXPECT_EQ(other.CountOf(Op::DeleteKey), 1);
    EXPECT_EQ(other.OpenKeyHandles(), 0u);
}

TEST(DeleteKeyTree, DeepestTreeIsRemovedWithoutRecursion) {
    // 512 levels, the registry's limit, with one-character names: the deepest
    // path is 2 + 2 * 511 characters and still fits.
    FakePlatform os;
    std::string path = "T";
    for (int level = 1; level < 512; ++level) path += "\\k";
    os.PutKey(RegRoot::LocalMachine, path);
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T"));
    EXPECT_EQ(os.deletedKeys.size(), 512u);
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
}

TEST(DeleteKeyTree, WhatLiesBeyondThePathBufferStaysInPlace) {
    FakePlatform os;
    // 4 levels of 255-character names: the fourth path needs 4 * 256 - 1 + 2 characters.
    const std::string name(255, 'n');
    const std::string three = "T\\" + name + "\\" + name + "\\" + name;
    os.PutKey(RegRoot::LocalMachine, three + "\\" + name + "\\leaf");
    os.PutKey(RegRoot::LocalMachine, three + "\\short");
    os.PutKey(RegRoot::LocalMachine, "T\\other");
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_TRUE(os.KeyExists(RegRoot::LocalMachine, three + "\\" + name + "\\leaf"));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, three + "\\short"));
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T\\other"));
    EXPECT_EQ(os.OpenKeyHandles(), 0u);
    EXPECT_EQ(os.badHandleUses, 0);
}

TEST(DeleteKeyTree, WideTreeIsWalkedInLinearSteps) {
    FakePlatform os;
    for (int i = 0; i < 2000; ++i) os.PutKey(RegRoot::LocalMachine, "T\\k" + std::to_string(i));
    EXPECT_EQ(sorvan::DeleteKeyTree(os, RegRoot::LocalMachine, "T"), 1);
    EXPECT_FALSE(os.KeyExists(RegRoot::LocalMachine, "T"));
    EXPECT_EQ(os.CountOf(Op::EnumSubKey), 2000);
    EXPECT_EQ(os.CountOf(Op::OpenKey), 2001);
}

}  // namespace
}  // namespace sorvan_test
