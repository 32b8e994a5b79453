// What /backup keeps of a run, byte for byte, and how a run with a backup
// ends when the file cannot be had: nothing is deleted that the file on
// disk does not hold.
#include "machine.h"

#include <functional>

namespace {

using emulated::Utf16;
using emulated::Utf8;

constexpr char File[] = "C:\\Work\\removed.reg";
const std::string Head =
    "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
    "; Removed by quenlor-patch " PATCH_VERSION " on 2026-12-08 09:05:07\r\n\r\n";
const std::string Key = "HKEY_LOCAL_MACHINE\\Software\\Crystal Semiconductor";

class Backup : public Machine {
protected:
  static int RunWith(const std::string &arguments) {
    emulated::SetCommandLine("quenlor-patch.exe /backup:" + std::string(File) + " " + arguments);
    return Run();
  }
  // Whether every key went only once the file on disk held it.
  static bool FlushedBeforeEachDeletion() {
    bool unflushed = false;
    for (const auto &call : emulated::Calls()) {
      unflushed = call.op == Op::WriteFile                         ? true
                  : call.op == Op::FlushFileBuffers && call.result ? false
                                                                   : unflushed;
      if (call.op == Op::NtDeleteKey && call.result == emulated::StatusSuccess && unflushed) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(Backup, KeepsEveryTypeAsRegeditExportsIt) {
  Tree({"Types", "Types\\Empty", "Link", "Locked"});
  const std::string types = Below("Types");
  emulated::SetValue(types, "", "default");
  emulated::SetValue(types, "Path \"quoted\" C:\\Dir=1", "a \"b\" c:\\d");
  emulated::SetValue(types, "Omega", "\xCE\xA9 \xE2\x82\xAC"); // Ω €, outside any ANSI page
  emulated::SetValue(types, "Empty", "");
  emulated::SetValue(types, "Unterminated", REG_SZ, Utf16("ab"));
  emulated::SetValue(types, "Dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  emulated::SetValue(types, "Expand", REG_EXPAND_SZ, Utf16("%1") + std::string(2, '\0'));
  emulated::SetValue(types, "Multi", REG_MULTI_SZ,
                     Utf16("a") + std::string(2, '\0') + Utf16("b") + std::string(4, '\0'));
  emulated::SetValue(types, "Qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  emulated::SetValue(types, "Binary", REG_BINARY, std::string(30, '\xAB'));
  emulated::SetValue(types, "None", REG_NONE, "");
  emulated::SetValue(types, "Custom", 0x20000, "\x01");
  emulated::CreateLink(Below("Link"), "\\Registry\\Machine\\Software\\Other");
  emulated::SetKeySecurity(Below("Locked"), "O:BAD:P(A;;KA;;;SY)");
  emulated::SetValue(Below("Locked"), "Kept", "yes");

  EXPECT_EQ(0, RunWith("/quiet"));

  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  EXPECT_TRUE(FlushedBeforeEachDeletion());
  std::string ab21; // as many as fit a line of 80
  for (int i = 0; i < 21; ++i) {
    ab21 += "ab,";
  }
  std::string binary = "\"Binary\"=hex:" + ab21 + "\\\r\n  ab,ab,ab,ab,ab,ab,ab,ab,ab\r\n";
  EXPECT_EQ(Head + "[" + Key + "]\r\n\r\n" + "; " + Key +
                "\\Link was a registry link to \\Registry\\Machine\\Software\\Other\r\n"
                "; A .reg file cannot hold a link: it is not restored.\r\n\r\n"
                "; " +
                Key +
                "\\Locked was taken over: restored, it has the permissions its parent gives, not "
                "its own.\r\n"
                "[" +
                Key +
                "\\Locked]\r\n\"Kept\"=\"yes\"\r\n\r\n"
                "[" +
                Key +
                "\\Types]\r\n"
                "\"Unterminated\"=hex(1):61,00,62,00\r\n"
                "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"
                "\"Path \\\"quoted\\\" C:\\\\Dir=1\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
                "\"Omega\"=\"\xCE\xA9 \xE2\x82\xAC\"\r\n"
                "\"None\"=hex(0):\r\n"
                "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                "\"Expand\"=hex(2):25,00,31,00,00,00\r\n"
                "\"Empty\"=\"\"\r\n"
                "\"Dword\"=dword:12345678\r\n"
                "\"Custom\"=hex(20000):01\r\n" +
                binary +
                "@=\"default\"\r\n\r\n"
                "[" +
                Key + "\\Types\\Empty]\r\n\r\n",
            Utf8(emulated::FileText(File)));
  EXPECT_EQ(emulated::FileText(File), emulated::FlushedText(File));
  ExpectNothingLeftOpen();
}

struct Case {
  const char *name;
  std::string arguments;
  std::function<void()> stage;
  int exitCode;
  std::vector<std::string> deleted; // below the patch key, "" for itself
  const char *box;                  // the last box's text, or null with /quiet
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class Failing : public Backup, public ::testing::WithParamInterface<Case> {};

TEST_P(Failing, DeletesNothingTheFileDoesNotHold) {
  const Case &c = GetParam();
  Tree({"A", "A\\B", "C"});
  c.stage();
  std::string before = emulated::FileText(File);

  EXPECT_EQ(c.exitCode, RunWith(c.arguments));

  std::vector<std::string> deleted;
  for (const auto &path : c.deleted) {
    deleted.push_back(path.empty() ? PatchKeyPath : Below(path));
  }
  EXPECT_EQ(deleted, Deleted());
  std::string flushed = Utf8(emulated::FlushedText(File));
  for (const auto &path : deleted) {
    EXPECT_NE(std::string::npos, flushed.find("[HKEY_LOCAL_MACHINE\\" + path + "]\r\n")) << path;
  }
  EXPECT_TRUE(FlushedBeforeEachDeletion());
  if (c.box) {
    ExpectLastBox(c.box, c.exitCode ? ErrorCaption : SuccessCaption,
                  c.exitCode ? MB_ICONERROR : MB_ICONINFORMATION);
  } else {
    EXPECT_TRUE(emulated::Boxes().empty());
  }
  if (deleted.empty()) {
    EXPECT_EQ(before, emulated::FileText(File)); // neither made nor changed
  }
  ExpectNothingLeftOpen();
}

const std::string Failed = std::string(BackupFailedText) + File + ": ";
const std::string Stopped = std::string("\n\n") + BackupStoppedText;
const std::string NoFolder =
    std::string(BackupFailedText) +
    "C:\\Missing\\x.reg: error 3, The system cannot find the path specified." + Stopped;
const std::string Full = Failed + "error 112, There is not enough space on the disk." + Stopped;
const std::string NotReg = Failed + "error 80, The file exists." + Stopped;
const std::string Appended =
    "\xFF\xFE" +
    Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n");

INSTANTIATE_TEST_SUITE_P(
    Runs, Failing,
    ::testing::Values(
        Case{"no key, no file",
             "/quiet",
             [] { emulated::RemoveTree(PatchKeyPath); },
             0,
             {},
             nullptr},
        Case{
            "refused", "/quiet", [] { emulated::SetVersion(6, 1); }, ExitWrongVersion, {}, nullptr},
        Case{"appended after another export",
             "",
             [] { emulated::AppendToFile(File, Appended); },
             0,
             {"A\\B", "A", "C", ""},
             SuccessText},
        Case{"a file of another kind",
             "/quiet",
             [] { emulated::AppendToFile(File, "log line\r\n"); },
             ExitBackupFailed,
             {},
             nullptr},
        Case{"a file of another kind, boxed",
             "",
             [] { emulated::AppendToFile(File, "log line\r\n"); },
             ExitBackupFailed,
             {},
             NotReg.c_str()},
        Case{"the folder is missing",
             "/backup:C:\\Missing\\x.reg",
             [] {},
             ExitBackupFailed,
             {},
             NoFolder.c_str()},
        Case{"the disk fills up, boxed",
             "",
             [] { emulated::SetDiskSpace(600); },
             ExitBackupFailed,
             {"A\\B", "A"},
             Full.c_str()},
        Case{"the first write fails",
             "/quiet",
             [] { emulated::FailAt(Op::WriteFile, 1, ERROR_DISK_FULL); },
             ExitBackupFailed,
             {},
             nullptr},
        Case{"the disk fills up",
             "/quiet",
             [] { emulated::SetDiskSpace(600); },
             ExitBackupFailed,
             {"A\\B", "A"},
             nullptr},
        Case{"the second flush fails",
             "/quiet",
             [] { emulated::FailAt(Op::FlushFileBuffers, 2, ERROR_NETNAME_DELETED); },
             ExitBackupFailed,
             {"A\\B", "A"},
             nullptr}));

} // namespace
