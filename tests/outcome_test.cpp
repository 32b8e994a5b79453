// What the user is told at the end of a run that passed both gates, and that
// it matches what happened to the key.
#include "machine.h"
#include "patch/boxes.h"

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

// A run whose window station no one can see (a service's, where fleet
// engines start programs) shows no box, "Debug" warnings included, and
// tells each outcome by the exit code /quiet gives, as does one whose
// user32 will not load; where the question cannot be asked, and on the
// user's own window station, the boxes are shown as ever.
TEST_F(Outcome, RunThatNoOneCanSeeShowsNoBoxAndTellsItsOutcomeByItsCode) {
  enum class Stage { Removable, OldWindows, StandardUser, KeyStays };
  struct Case {
    emulated::Station station;
    bool user32Loads;
    const char *arguments;
    Stage stage;
    int code;
    std::size_t boxes;
  };
  using emulated::Station;
  const Case cases[] = {
      {Station::Invisible, true, "", Stage::Removable, ExitKeyGone, 0},
      {Station::Invisible, true, "", Stage::OldWindows, ExitWrongVersion, 0},
      {Station::Invisible, true, "", Stage::StandardUser, ExitNotAdministrator, 0},
      {Station::Invisible, true, " /log:C:\\Work\\run.log", Stage::KeyStays, ExitKeysLeft, 0},
      {Station::Invisible, true, " /?", Stage::Removable, ExitKeyGone, 0},
      {Station::Invisible, true, " /force", Stage::Removable, ExitUnknownArgument, 0},
      {Station::Invisible, true, " /log:C:\\Missing\\x.log", Stage::Removable, ExitLogFailed, 0},
      {Station::Invisible, true, " /backup:C:\\Missing\\x.reg", Stage::Removable, ExitBackupFailed,
       0},
      {Station::Visible, false, " /log:C:\\Work\\run.log", Stage::KeyStays, ExitKeysLeft, 0},
      {Station::Visible, false, "", Stage::Removable, ExitKeyGone, 0},
      {Station::Unanswered, true, "", Stage::KeyStays, 0, 2}, // a warning, then the failure
      {Station::Visible, true, "", Stage::KeyStays, 0, 2},
      {Station::Visible, true, " /force", Stage::Removable, ExitUnknownArgument, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.station)) + (c.user32Loads ? "" : " no user32") +
                 c.arguments + " stage " + std::to_string(static_cast<int>(c.stage)));
    emulated::Reset();
    emulated::CreateKey(Below("Locked"));
    emulated::SetWindowStation(c.station);
    if (!c.user32Loads) {
      emulated::FailOnKey(Op::LoadLibraryExA, "user32.dll", ERROR_DLL_INIT_FAILED);
    }
    emulated::SetVersion(5, c.stage == Stage::OldWindows ? 0 : 1);
    emulated::SetAdministrator(c.stage != Stage::StandardUser);
    if (c.stage == Stage::KeyStays) {
      emulated::FailOnKey(Op::NtDeleteKey, Below("Locked"), emulated::StatusAccessDenied);
    }
    emulated::SetCommandLine(std::string("quenlor-patch.exe") + c.arguments);

    EXPECT_EQ(c.code, Run());

    EXPECT_EQ(c.boxes, emulated::Boxes().size());
    const std::string log = emulated::FileText("C:\\Work\\run.log");
    const char *why = c.station == Station::Invisible ? NoStationText
                      : !c.user32Loads                ? NoUser32Text
                                                      : nullptr;
    // The log says why there is no box.
    bool logged = std::string(c.arguments).find("/log:C:\\Work") != std::string::npos;
    EXPECT_EQ(why && logged, log.find(why ? why : "No box") != std::string::npos) << log;
    // The question is asked only of a run that would show a box.
    EXPECT_EQ(c.user32Loads && c.station != Station::Unanswered,
              !CallsOf(Op::GetUserObjectInformationA).empty());
  }
}

// Another process deletes keys while the walk runs (another run, the
// driver's own uninstaller): a key that it removes first is gone, never
// one that stayed, no live key is passed over, and the run ends with 0.
TEST_F(Outcome, KeysThatAnotherProcessDeletesMeanwhileAreGoneNotStayed) {
  struct Rival {
    const char *what;
    unsigned every; // calls of the run between its steps
    bool branches;  // a whole branch a step, or a single key
  };
  for (const Rival &rival : {Rival{"single keys", 3, false},
                             {"single keys, at every call", 1, false},
                             {"whole branches", 7, true},
                             {"whole branches, often", 2, true}}) {
    SCOPED_TRACE(rival.what);
    emulated::Reset();
    std::vector<std::string> keys;
    for (char branch = 'A'; branch <= 'F'; ++branch) {
      for (char leaf = '0'; leaf <= '5'; ++leaf) {
        keys.push_back(std::string(1, branch) + "\\" + leaf);
      }
    }
    Tree(keys);
    emulated::SetRival(rival.every, [rival, keys] {
      for (const auto &key : keys) {
        std::string path = Below(rival.branches ? key.substr(0, 1) : key);
        if (emulated::KeyExists(path)) {
          emulated::RemoveTree(path);
          return;
        }
      }
    });
    emulated::SetCommandLine("quenlor-patch.exe /quiet /log:run.log");

    EXPECT_EQ(ExitKeyGone, Run());

    EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
    EXPECT_EQ(std::string::npos, emulated::FileText("run.log").find("Stayed:"))
        << emulated::FileText("run.log");
    ExpectNothingLeftOpen();
  }
  // A name that lists but never opens stays, and the run still ends.
  emulated::Reset();
  Tree({"A", "Ghost", "Z"});
  emulated::FailOnKey(Op::RegOpenKeyExW, Below("Ghost"), ERROR_FILE_NOT_FOUND);
  emulated::SetCommandLine("quenlor-patch.exe /quiet /log:run.log");

  EXPECT_EQ(ExitKeysLeft, Run());

  EXPECT_EQ(std::vector<std::string>{"Ghost"}, emulated::Subkeys(PatchKeyPath));
  EXPECT_NE(std::string::npos, emulated::FileText("run.log").find("\\Ghost: error 2,"));
}

} // namespace
