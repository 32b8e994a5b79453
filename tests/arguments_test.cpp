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
  // help, stops the run after nothing but the version query (and the
  // argument, shown without best fit).
  std::vector<Op> start = {Op::SetErrorMode, Op::RtlGetVersion, Op::GetCommandLineW};
  if (c.exitCode == ExitUnknownArgument) {
    start.push_back(Op::WideCharToMultiByte);
  }
  if (!c.boxes.empty() && c.boxes.back().find("Usage:") != std::string::npos) {
    start.push_back(Op::MessageBoxA);
    EXPECT_EQ(start, Ops());
  } else if (c.exitCode == ExitUnknownArgument) {
    EXPECT_EQ(start, Ops());
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

// The command line as NT keeps it. Its ANSI copy best-fits what the code
// page lacks (Ł as L, a fullwidth letter as its ASCII twin, CJK as '?',
// U+FF02 as a quotation mark), so a run that read it would write into a
// look-alike's folder; a run reads the wide line, and writes the files
// named, or none. Nothing from it reaches the log as a line of its own.
struct Named {
  const char *what;
  std::string arguments;
  int exitCode;
  std::vector<std::string> written; // files there afterwards, the log first
  std::vector<std::string> absent;  // files not there
  std::string logged;               // in the log, escaped as it is written
};

TEST_F(Machine, FilesAreTheOnesTheWideCommandLineNames) {
  const Named cases[] = {
      {"a letter outside the code page, beside its best fit",
       "/quiet /log:C:\\\xC5\x81ukasz\\q.log \"/backup:C:\\\xC5\x81ukasz\\q.reg\"",
       0,
       {"C:\\\xC5\x81ukasz\\q.log", "C:\\\xC5\x81ukasz\\q.reg"},
       {"C:\\Lukasz\\q.log", "C:\\Lukasz\\q.reg"},
       "by ?ukasz: quenlor-patch.exe /quiet /log:C:\\?ukasz\\q.log"},
      {"CJK",
       "/q /log:C:\\\xE6\x97\xA5\xE6\x9C\xAC\\q.log",
       0,
       {"C:\\\xE6\x97\xA5\xE6\x9C\xAC\\q.log"},
       {},
       "End: Patch successful"},
      {"a fullwidth quotation mark is a letter",
       "/q /log:C:\\Lukasz\\a\xEF\xBC\x82 /backup:C:\\Lukasz\\b.reg",
       0,
       {"C:\\Lukasz\\a\xEF\xBC\x82", "C:\\Lukasz\\b.reg"},
       {},
       "a?"},
      {"a log named twice",
       "/q /log:C:\\Lukasz\\a.log /log:C:\\Lukasz\\b.log",
       ExitUnknownArgument,
       {},
       {"C:\\Lukasz\\a.log", "C:\\Lukasz\\b.log"},
       ""},
      {"a backup named twice, recorded in the log",
       "/q /log:C:\\Lukasz\\a.log /backup:C:\\Lukasz\\a.reg -BACKUP:C:\\Lukasz\\b.reg",
       ExitUnknownArgument,
       {"C:\\Lukasz\\a.log"},
       {"C:\\Lukasz\\a.reg", "C:\\Lukasz\\b.reg"},
       std::string("End: ") + RepeatedArgumentText + "-BACKUP:C:\\Lukasz\\b.reg (exit code 87)"},
      {"an argument not understood, recorded in the log",
       "/q /quite /log:C:\\Lukasz\\a.log",
       ExitUnknownArgument,
       {"C:\\Lukasz\\a.log"},
       {},
       std::string("End: ") + UnknownArgumentText + "/quite (exit code 87)"},
      {"a line break in a quoted path",
       "/q /log:C:\\Lukasz\\a.log \"/backup:C:\\Lukasz\\x\r\nEnd: Patch successful.reg\"",
       ExitBackupFailed,
       {"C:\\Lukasz\\a.log"},
       {},
       "x%0D%0AEnd: Patch successful.reg: error 123"},
      {"a drive with no medium answers with an error, not a box",
       "/quiet /log:A:\\q.log",
       ExitLogFailed,
       {},
       {},
       ""},
  };
  for (const Named &c : cases) {
    SCOPED_TRACE(c.what);
    emulated::Reset();
    emulated::SetNames("XP-MACHINE", "\xC5\x81ukasz");
    for (const char *folder : {"C:\\\xC5\x81ukasz", "C:\\Lukasz", "C:\\\xE6\x97\xA5\xE6\x9C\xAC"}) {
      emulated::CreateFolder(folder);
    }
    emulated::SetNoMedium('A');
    Tree({"A"});
    emulated::SetCommandLine("quenlor-patch.exe " + c.arguments);

    EXPECT_EQ(c.exitCode, Run());

    EXPECT_TRUE(emulated::Boxes().empty());
    for (const auto &file : c.written) {
      EXPECT_TRUE(emulated::FileExists(file)) << file;
    }
    for (const auto &file : c.absent) {
      EXPECT_FALSE(emulated::FileExists(file)) << file;
    }
    if (!c.logged.empty()) {
      const std::string log = emulated::FileText(c.written.front());
      EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
      // Every line is the run's own: dated, and ended once.
      std::size_t lines = 0;
      for (std::size_t at = 0; at < log.size(); ++lines) {
        EXPECT_EQ("2026-12-08 ", log.substr(at, 11)) << log.substr(at);
        std::size_t end = log.find("\r\n", at);
        ASSERT_NE(std::string::npos, end);
        at = end + 2;
      }
      EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), lines);
    }
    ExpectNothingLeftOpen();
  }
  // What a run that read the ANSI copy would have opened.
  emulated::SetCommandLine("p /log:C:\\\xC5\x81ukasz\\\xEF\xBD\x91 \xE6\x97\xA5");
  EXPECT_STREQ("p /log:C:\\Lukasz\\q ?", GetCommandLineA());
}
