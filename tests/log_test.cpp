// What /log records of a run, line by line, for each outcome, as the
// administrator of a fleet reads it; appended after what other runs wrote,
// also while they write.
#include "machine.h"
#include "patch/openfile.h"

#include <functional>

namespace {

constexpr char Folder[] = "C:\\Program Files\\Quenlor";
const std::string Start = "quenlor-patch " PATCH_VERSION " on XP-MACHINE by Administrator: ";
const std::string Key = "HKEY_LOCAL_MACHINE\\Software\\Crystal Semiconductor";
const std::string CannotDelete = ": a subkey of it stayed. NTSTATUS 0xC0000121";

struct Case {
  const char *name;
  std::string arguments;
  const char *file;
  std::function<void()> stage;
  int exitCode;
  std::vector<std::string> lines; // after the first, and without their date and time
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class Log : public Machine, public ::testing::WithParamInterface<Case> {
protected:
  void Stage() {
    const Case &c = GetParam();
    emulated::Reset();
    emulated::CreateFolder(Folder);
    Tree({"A\\B", "C"});
    c.stage();
    emulated::SetCommandLine("quenlor-patch.exe " + c.arguments);
    emulated::AppendToFile(c.file, "earlier run\r\n");
  }
};

TEST_P(Log, RecordsTheRunAfterWhatOthersWrote) {
  const Case &c = GetParam();
  // Once to find the first line's write; then again, with another machine
  // appending a line just after it.
  Stage();
  Run();
  std::size_t write = 0;
  while (emulated::Calls()[write].op != Op::WriteFile) {
    ++write;
  }
  Stage();
  emulated::AtCall(write + 2, [&c] { emulated::AppendToFile(c.file, "other machine\r\n"); });

  EXPECT_EQ(c.exitCode, Run());

  std::string expected = "earlier run\r\n2026-12-08 09:05:07 " + Start + "quenlor-patch.exe " +
                         c.arguments + "\r\nother machine\r\n";
  for (const auto &line : c.lines) {
    expected += "2026-12-08 09:05:07 " + line + "\r\n";
  }
  EXPECT_EQ(expected, emulated::FileText(c.file));
  ExpectNothingLeftOpen();
}

const std::string Path = std::string(Folder) + "\\patch.log";
constexpr char Work[] = "C:\\Work\\patch.log";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Log,
    ::testing::Values(
        Case{"removal",
             "/quiet /log:\"" + Path + "\"",
             Path.c_str(),
             [] {},
             0,
             {"Windows 5.1.2600 Service Pack 3", "Registry: 4 keys removed, 0 stayed, 0 taken over",
              "End: Patch successful. You may now install the Quenlor audio driver (exit code 0)"}},
        Case{"keys that stay, with boxes",
             "\"/log:" + Path + "\"",
             Path.c_str(),
             [] {
               // A name that would forge a line, and a character the code
               // page lacks, which is no look-alike in the log.
               const std::string name = PatchKeyPath + std::string("\\A\\Caf\xCE\xA9%\r\nEnd: ok");
               emulated::CreateKey(name);
               emulated::FailOnKey(Op::NtDeleteKey, name, emulated::StatusAccessDenied);
             },
             0,
             {"Windows 5.1.2600 Service Pack 3",
              "Stayed: " + Key +
                  "\\A\\Caf?%25%0D%0AEnd: ok: error 5, Access is denied. NTSTATUS 0xC0000022",
              "Stayed: " + Key + "\\A" + CannotDelete, "Stayed: " + Key + CannotDelete,
              "Registry: 2 keys removed, 3 stayed, 0 taken over",
              "End: Patch failed. Some registry keys could not be deleted (exit code 1013)"}},
        Case{"XP x64, the key in one view",
             "/q /LOG:patch.log",
             Work,
             [] {
               emulated::SetWindowsBits(64);
               emulated::SetVersion(5, 2);
             },
             0,
             {"Windows 5.2.3790 Service Pack 3",
              "64-bit view: 4 keys removed, 0 stayed, 0 taken over",
              "32-bit view: the key was not there",
              "End: Patch successful. You may now install the Quenlor audio driver (exit code 0)"}},
        Case{"Windows 7 in XP compatibility mode",
             "/q -log:" + std::string(Work),
             Work,
             [] {
               emulated::SetVersion(6, 1);
               emulated::SetCompatibilityMode(5, 1);
             },
             50,
             {"Windows 6.1.7601 Service Pack 3 (a compatibility mode reports 5.1)",
              "Refused: not Windows XP, XP x64 or Server 2003",
              "End: This patch is for Windows XP only (exit code 50)"}},
        Case{"Windows 98, which cannot open for appending only",
             "/q /log:" + std::string(Work),
             Work,
             [] { emulated::SetVersion(4, 10, VER_PLATFORM_WIN32_WINDOWS); },
             50,
             {"Windows 4.10.2222  A", "Refused: not Windows XP, XP x64 or Server 2003",
              "End: This patch is for Windows XP only (exit code 50)"}},
        Case{"a standard user",
             "/log:" + std::string(Work) + " /q",
             Work,
             [] { emulated::SetAdministrator(false); },
             5,
             {"Windows 5.1.2600 Service Pack 3",
              "Refused: not run by a member of the Administrators group",
              "End: You must have administrator rights to apply this patch (exit code 5)"}}),
    [](const ::testing::TestParamInfo<Case> &param) { return std::to_string(param.index); });

} // namespace

namespace {

// The log and the backup are written only where the file opened is the one
// named: a hard link or a symbolic link at the name is refused, with 1622
// or 29 and its reason, before the registry changes, and neither it nor the
// file it leads to changes; a plain file of one name, and a new file, are
// written as ever.
TEST_F(Machine, FilesAreWrittenOnlyWhereTheNameIsTheFileItself) {
  enum class Kind { HardLink, SymbolicLink, Plain, New };
  const char *const file = "C:\\Work\\run.file";
  const char *const target = "C:\\Work\\boot.ini";
  for (const char *switchName : {"/log:", "/backup:"}) {
    bool log = switchName[1] == 'l';
    for (Kind kind : {Kind::HardLink, Kind::SymbolicLink, Kind::Plain, Kind::New}) {
      SCOPED_TRACE(std::string(switchName) + std::to_string(static_cast<int>(kind)));
      emulated::Reset();
      Tree({"A"});
      const std::string before = log ? "earlier run\r\n"
                                     : emulated::Utf16("\xEF\xBB\xBFWindows Registry Editor "
                                                       "Version 5.00\r\n\r\n");
      emulated::AppendToFile(target, "[boot loader]\r\n");
      if (kind == Kind::SymbolicLink) {
        emulated::CreateFileLink(file, target);
      } else if (kind != Kind::New) {
        emulated::AppendToFile(file, before);
      }
      if (kind == Kind::HardLink) {
        emulated::SetFileLinks(file, 2);
      }
      emulated::SetCommandLine(std::string("quenlor-patch.exe ") + switchName + file);

      int code = Run();

      bool refused = kind == Kind::HardLink || kind == Kind::SymbolicLink;
      EXPECT_EQ(!refused ? 0 : log ? ExitLogFailed : ExitBackupFailed, code);
      EXPECT_EQ(refused, emulated::KeyExists(PatchKeyPath));
      EXPECT_EQ("[boot loader]\r\n", emulated::FileText(target));
      if (refused) {
        EXPECT_EQ(kind == Kind::HardLink ? before : "", emulated::FileText(file));
        const std::string why = kind == Kind::HardLink ? FileHasOtherNamesText : FileIsLinkText;
        ExpectLastBox(((log ? LogFailedText : BackupFailedText) + std::string(file) + ": " + why +
                       (log ? "" : std::string("\n\n") + BackupStoppedText))
                          .c_str(),
                      ErrorCaption, MB_ICONERROR);
      } else {
        EXPECT_LT(before.size() * (kind == Kind::Plain), emulated::FileText(file).size());
        EXPECT_EQ(0u, emulated::FileText(file).find(kind == Kind::Plain ? before : ""));
      }
      ExpectNothingLeftOpen();
    }
  }
}

// Runs on many machines append to one log on a share, where Windows does
// not promise that an append never overwrites another: each line is
// written under the log's lock. One that another holds for longer than
// five seconds is waited for once; the run then writes without it.
TEST_F(Machine, EachLogLineIsWrittenUnderItsLockWaitedForOnce) {
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "held by another" : "free");
    emulated::Reset();
    Tree({"A"});
    emulated::SetCommandLine("quenlor-patch.exe /quiet /log:run.log");
    emulated::HoldFileLock("run.log", held);

    EXPECT_EQ(0, Run());

    std::string order;
    for (const auto &call : emulated::Calls()) {
      bool file = call.op == Op::LockFile || call.op == Op::UnlockFile || call.op == Op::WriteFile;
      order += !file || call.result == 0 ? "" : call.op == Op::WriteFile ? "w" : "l";
    }
    EXPECT_EQ(held ? "wwww" : "lwllwllwllwl", order);
    EXPECT_EQ(held ? 99u : 0u, CallsOf(Op::Sleep).size());
    EXPECT_EQ(held ? 100u : 4u, CallsOf(Op::LockFile).size());
    EXPECT_NE(std::string::npos, emulated::FileText("run.log").find("End: "));
  }
}

} // namespace
