// The subtree walk: what it deletes, in which order, with which calls, and
// how it gets past keys that will not go.
#include "machine.h"

namespace {

using Removal = Machine;

TEST_F(Removal, MissingKeyIsLeftAloneSilently) {
  DeleteSubkeys(PatchKeyPath, OwnView);
  EXPECT_TRUE(CallsOf(Op::RegDeleteKeyA).empty());
  EXPECT_TRUE(emulated::Boxes().empty());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, EmptyKeyIsOpenedEnumeratedClosedAndKept) {
  Tree({});
  DeleteSubkeys(PatchKeyPath, OwnView);
  EXPECT_EQ(1u, CallsOf(Op::RegOpenKeyExA).size());
  ASSERT_EQ(1u, CallsOf(Op::RegEnumKeyExA).size());
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, CallsOf(Op::RegEnumKeyExA).front().result);
  EXPECT_EQ(1u, CallsOf(Op::RegCloseKey).size());
  EXPECT_TRUE(CallsOf(Op::RegDeleteKeyA).empty());
  EXPECT_TRUE(emulated::KeyExists(PatchKeyPath));
  EXPECT_TRUE(emulated::Boxes().empty());
}

TEST_F(Removal, DeletesDepthFirstWithEveryHandleClosedFirst) {
  emulated::CreateKey("A\\B\\C");
  emulated::CreateKey("A\\D");
  emulated::SetValue("A\\B", "Setting", "1");
  emulated::SetValue("A\\B\\C", "", "default");

  DeleteSubkeys("A", OwnView);

  EXPECT_EQ((std::vector<std::string>{"A\\B\\C", "A\\B", "A\\D"}), Deleted());
  EXPECT_TRUE(emulated::KeyExists("A"));
  EXPECT_TRUE(emulated::Subkeys("A").empty());
  EXPECT_TRUE(emulated::Boxes().empty());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, CallsAreMadeAsWindowsExpectsThem) {
  Tree({"A\\B", "C"});
  DeleteSubkeys(PatchKeyPath, OwnView);
  for (const auto &call : CallsOf(Op::RegOpenKeyExA)) {
    EXPECT_EQ(0u, call.args.rfind("HKLM, \"" + call.key + "\", 8, 0xf003f", 0)) << call.args;
  }
  for (const auto &call : CallsOf(Op::RegEnumKeyExA)) {
    EXPECT_NE(std::string::npos, call.args.find(", 0, 260")) << call.args; // index 0, full buffer
  }
  for (const auto &call : CallsOf(Op::RegDeleteKeyA)) {
    EXPECT_EQ("HKLM, \"" + call.key + "\"", call.args);
  }
  EXPECT_EQ(3u, Deleted().size());
}

TEST_F(Removal, DeepAndWideSubtreesGoEntirely) {
  std::string deep = "D";
  while (Below(deep).size() + 2 <= 259) {
    deep += "\\D";
  }
  Tree({deep});
  for (int i = 0; i < 300; ++i) {
    emulated::SetValue(Below("W\\" + std::to_string(i)), "Value", "x");
  }
  std::size_t before = emulated::KeyCount();

  DeleteSubkeys(PatchKeyPath, OwnView);

  EXPECT_TRUE(emulated::Subkeys(PatchKeyPath).empty());
  EXPECT_EQ(before - emulated::KeyCount(), Deleted().size());
  EXPECT_EQ(0u, Warnings());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, UndeletableChildIsWarnedAboutAndSteppedOver) {
  Tree({"A", "B\\Inner", "C", "D"});
  emulated::FailOnKey(Op::RegDeleteKeyA, Below("b"), ERROR_ACCESS_DENIED);

  DeleteSubkeys(PatchKeyPath, OwnView);

  EXPECT_EQ(1u, Warnings());
  EXPECT_EQ(1u, emulated::Boxes().size());
  EXPECT_EQ((std::vector<std::string>{"B"}), emulated::Subkeys(PatchKeyPath));
  EXPECT_FALSE(emulated::KeyExists(Below("B\\Inner")));
  ExpectNothingLeftOpen();
}

TEST_F(Removal, UnopenableChildKeepsItsSubkeysAndIsWarnedAboutOnce) {
  Tree({"A\\Locked\\Inner", "A\\Open\\Inner", "Z"});
  emulated::FailOnKey(Op::RegOpenKeyExA, Below("A\\Locked"), ERROR_ACCESS_DENIED);

  DeleteSubkeys(PatchKeyPath, OwnView);

  // Locked keeps Inner, so Locked and then A cannot go: one warning each.
  EXPECT_EQ(2u, Warnings());
  EXPECT_TRUE(emulated::KeyExists(Below("A\\Locked\\Inner")));
  EXPECT_FALSE(emulated::KeyExists(Below("A\\Open")));
  EXPECT_FALSE(emulated::KeyExists(Below("Z")));
  ExpectNothingLeftOpen();
}

TEST_F(Removal, FailedEnumerationEndsTheLevelWithItsHandleClosed) {
  Tree({"A", "B", "C"});
  // The first enumeration finds A, the second finds A empty, the third fails.
  emulated::FailAt(Op::RegEnumKeyExA, 3, ERROR_INVALID_HANDLE);

  DeleteSubkeys(PatchKeyPath, OwnView);

  EXPECT_EQ((std::vector<std::string>{"B", "C"}), emulated::Subkeys(PatchKeyPath));
  EXPECT_TRUE(emulated::Boxes().empty());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, PathThatWouldNotFitIsNeverBuilt) {
  // Level paths of 250 and 256 characters: the first fits, the child under
  // it (262 with the separator and its name) does not.
  std::string level = std::string(250 - Below("").size(), 'L');
  Tree({level + "\\Child\\TooLong", "Sibling"});

  DeleteSubkeys(PatchKeyPath, OwnView);

  for (const auto &call : emulated::Calls()) {
    EXPECT_LE(call.key.size(), 259u) << emulated::Name(call.op) << " " << call.args;
  }
  // TooLong stays, so Child and then the long level cannot go.
  EXPECT_EQ(3u, Warnings());
  EXPECT_TRUE(emulated::KeyExists(Below(level + "\\Child\\TooLong")));
  EXPECT_FALSE(emulated::KeyExists(Below("Sibling")));
  ExpectNothingLeftOpen();
}

} // namespace
