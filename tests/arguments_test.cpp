// The command line: what each switch does to the boxes, the exit code and
// the registry, for each outcome, with and without /quiet.
#include "machine.h"

namespace {

enum class Stage { Removable, OldWindows, StandardUser, ChildStays, NoKey };

struct Case {
  std::string commandLine;
  Stage stage;
  int exitCode;
  std::vector<std::string> boxes; // the text of each box, in order
  bool keyGone;
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.commandLine; }

class CommandLine : public Machine, public ::testing::WithParamInterface<Case> {};

std::string Unknown(const std::string &argument) {
  return UnknownArgumentText + argument + "\n\n" + UsageText;
}

TEST_P(CommandLine, TellsEachOutcomeAsAsked) {
  const Case &c = GetParam();
  Tree({"A\\B", "C"});
  switch (c.stage) {
  case Stage::OldWindows:
    emulated::SetVersion(5, 0);
    break;
  case Stage::StandardUser:
    emulated::SetAdministrator(false);
    break;
  case Stage::ChildStays:
    emulated::CreateKey(Below("A\\Locked"));
    emulated::FailOnKey(Op::NtDeleteKey, Below("A\\Locked"), emulated::StatusAccessDenied);
    break;
  case Stage::NoKey:
    emulated::RemoveTree(PatchKeyPath);
    break;
  case Stage::Removable:
    break;
  }
  emulated::SetCommandLine(c.commandLine);

  EXPECT_EQ(c.exitCode, Run());

  std::vector<std::string> boxes;
  for (const auto &box : emulated::Boxes()) {
    boxes.push_back(box.text);
  }
  EXPECT_EQ(c.boxes, boxes);
  EXPECT_EQ(c.keyGone, !emulated::KeyExists(PatchKeyPath));
  // Arguments come before the gates: one not understood, or a request for
  // help, stops the run after nothing but the version query.
  if (!c.boxes.empty() && c.boxes.back().find("Usage:") != std::string::npos) {
    EXPECT_EQ((std::vector<Op>{Op::RtlGetVersion, Op::GetCommandLineA, Op::MessageBoxA}), Ops());
  } else if (c.exitCode == ExitUnknownArgument) {
    EXPECT_EQ((std::vector<Op>{Op::RtlGetVersion, Op::GetCommandLineA}), Ops());
  } else if (c.exitCode == ExitLogFailed) {
    EXPECT_FALSE(AnyRegistryCall());
    EXPECT_TRUE(CallsOf(Op::AllocateAndInitializeSid).empty());
  }
  ExpectNothingLeftOpen();
}

const std::string Program = "\"C:\\Program Files\\Quenlor\\quenlor-patch.exe\"";

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLine,
    ::testing::Values(
        // Without /quiet: the boxes, and 0 whatever happened.
        Case{"quenlor-patch.exe", Stage::Removable, 0, {SuccessText}, true},
        Case{"quenlor-patch.exe /norestart", Stage::OldWindows, 0, {VersionRefusedText}, false},
        Case{"quenlor-patch.exe", Stage::StandardUser, 0, {NotAdministratorText}, false},
        Case{"quenlor-patch.exe",
             Stage::ChildStays,
             0,
             {ChildNotDeletedText, ChildNotDeletedText, FailureText},
             false},
        // With /quiet (any case, / or -): no box, and each outcome's code.
        Case{"quenlor-patch.exe /quiet", Stage::Removable, ExitKeyGone, {}, true},
        Case{"quenlor-patch.exe -Q /NoRestart", Stage::NoKey, ExitKeyGone, {}, true},
        Case{"quenlor-patch.exe /QUIET", Stage::OldWindows, ExitWrongVersion, {}, false},
        Case{"quenlor-patch.exe /q", Stage::StandardUser, ExitNotAdministrator, {}, false},
        Case{"quenlor-patch.exe /quiet /norestart", Stage::ChildStays, ExitKeysLeft, {}, false},
        Case{Program + " \"/quiet\"", Stage::Removable, ExitKeyGone, {}, true},
        // Help, and arguments not understood: nothing touched.
        Case{"quenlor-patch.exe /?", Stage::Removable, 0, {UsageText}, false},
        Case{"quenlor-patch.exe -HELP", Stage::OldWindows, 0, {UsageText}, false},
        Case{"quenlor-patch.exe /quiet /h", Stage::Removable, 0, {}, false},
        Case{
            Program + " /force", Stage::Removable, ExitUnknownArgument, {Unknown("/force")}, false},
        Case{"quenlor-patch.exe /? quiet",
             Stage::Removable,
             ExitUnknownArgument,
             {Unknown("quiet")},
             false},
        Case{"quenlor-patch.exe /quieter /q", Stage::Removable, ExitUnknownArgument, {}, false},
        Case{"quenlor-patch.exe /", Stage::Removable, ExitUnknownArgument, {Unknown("/")}, false},
        // A log that cannot be opened, or has no name: nothing touched.
        Case{"quenlor-patch.exe /log:C:\\Missing\\x.log",
             Stage::Removable,
             ExitLogFailed,
             {std::string(LogFailedText) + "C:\\Missing\\x.log: error 3, The system cannot find "
                                           "the path specified."},
             false},
        Case{"quenlor-patch.exe /quiet /log:C:\\Missing\\x.log",
             Stage::OldWindows,
             ExitLogFailed,
             {},
             false},
        Case{"quenlor-patch.exe /q /log:", Stage::Removable, ExitUnknownArgument, {}, false},
        Case{"quenlor-patch.exe /log:\"\"",
             Stage::Removable,
             ExitUnknownArgument,
             {Unknown("/log:\"\"")},
             false},
        Case{"quenlor-patch.exe /log",
             Stage::Removable,
             ExitUnknownArgument,
             {Unknown("/log")},
             false}),
    [](const ::testing::TestParamInfo<Case> &param) { return std::to_string(param.index); });

TEST_F(Machine, LongUnknownArgumentIsCutShortInItsBox) {
  emulated::SetCommandLine("quenlor-patch.exe /" + std::string(500, 'x'));

  EXPECT_EQ(ExitUnknownArgument, Run());

  ASSERT_EQ(1u, emulated::Boxes().size());
  EXPECT_EQ(Unknown("/" + std::string(99, 'x')), emulated::Boxes().front().text);
}

} // namespace
