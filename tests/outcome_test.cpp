// What the user is told at the end of a run that passed both gates, and that
// it matches what happened to the key.
#include "machine.h"

namespace {

using Outcome = Machine;

TEST_F(Outcome, RemovedSubtreeIsReportedAsSuccessWithAnEmptyCaption) {
  Tree({"Driver\\Mixer\\Channels", "Driver\\Codec", "Settings"});
  emulated::SetValue(Below("Settings"), "Volume", "7");

  EXPECT_EQ(0, Run());

  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  ASSERT_EQ(1u, emulated::Boxes().size());
  ExpectLastBox(SuccessText, "", MB_ICONINFORMATION);
  ExpectNothingLeftOpen();
}

TEST_F(Outcome, MachineWithoutTheKeyIsToldSuccessEveryTime) {
  EXPECT_EQ(0, Run());
  EXPECT_EQ(0, Run());
  ASSERT_EQ(2u, emulated::Boxes().size());
  ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
  EXPECT_EQ(0u, Warnings());
}

TEST_F(Outcome, KeyIsFoundWhateverItsCase) {
  emulated::CreateKey("SOFTWARE\\crystal SEMICONDUCTOR\\Sub");
  Run();
  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
}

TEST_F(Outcome, NeighboursAreUntouched) {
  const std::vector<std::string> neighbours = {
      "Software\\Crystal", "Software\\Crystal Semiconductor2\\Sub", "Software\\Crystal Semi",
      "Software\\Microsoft\\Crystal Semiconductor", "Crystal Semiconductor"};
  for (const auto &path : neighbours) {
    emulated::CreateKey(path);
  }
  Tree({"A\\B"});

  Run();

  for (const auto &path : neighbours) {
    EXPECT_TRUE(emulated::KeyExists(path)) << path;
  }
  for (const auto &call : emulated::Calls()) {
    if (emulated::IsRegistry(call.op)) {
      EXPECT_EQ(0u, call.key.rfind(PatchKeyPath, 0)) << call.key;
      EXPECT_TRUE(call.key.size() == sizeof PatchKeyPath - 1 ||
                  call.key[sizeof PatchKeyPath - 1] == '\\')
          << call.key;
    }
  }
}

TEST_F(Outcome, SurvivingSubkeyGivesWarningsThenFailure) {
  Tree({"Locked\\Inner", "Other"});
  emulated::FailOnKey(Op::NtDeleteKey, Below("Locked\\Inner"), emulated::StatusAccessDenied);

  EXPECT_EQ(0, Run());

  // Inner, then Locked, each once; then the key itself, told by the failure box.
  const auto &boxes = emulated::Boxes();
  ASSERT_EQ(3u, boxes.size());
  EXPECT_EQ(2u, Warnings());
  ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
  EXPECT_TRUE(emulated::KeyExists(Below("Locked\\Inner")));
  EXPECT_FALSE(emulated::KeyExists(Below("Other")));
  ExpectNothingLeftOpen();
}

TEST_F(Outcome, KeyThatWillNotGoIsAFailureEvenWithoutWarnings) {
  Tree({"A"});
  emulated::FailOnKey(Op::NtDeleteKey, PatchKeyPath, emulated::StatusAccessDenied);

  EXPECT_EQ(0, Run());

  ASSERT_EQ(1u, emulated::Boxes().size());
  ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
  EXPECT_TRUE(emulated::KeyExists(PatchKeyPath));
}

TEST_F(Outcome, KeyThatAnotherProcessRemovesWhileTheWalkHoldsItIsStillSuccess) {
  Tree({"A"});
  Run();
  // The key's own deletion, counted from 1; its close and the box follow.
  std::size_t finalDeletion = emulated::Calls().size() - 2;
  ASSERT_EQ(Op::NtDeleteKey, emulated::Calls()[finalDeletion - 1].op);
  emulated::Reset();
  Tree({"A"});
  emulated::AtCall(finalDeletion, [] { emulated::RemoveTree(PatchKeyPath); });

  Run();

  ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
  EXPECT_EQ(0u, Warnings());
  ExpectNothingLeftOpen();
}

TEST_F(Outcome, WithoutNtDeleteKeyNothingIsDeletedAndTheRunSaysSo) {
  Tree({"A"});
  emulated::SetExported("NtDeleteKey", false);

  EXPECT_EQ(0, Run());

  ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
  EXPECT_FALSE(AnyRegistryCall());
}

} // namespace
