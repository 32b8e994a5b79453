// What /backup keeps of a run, byte for byte, and where it may append it.
// The sweep holds every run with a backup to its promises under faults.
#include "machine.h"

namespace {

using emulated::Utf16;
using emulated::Utf8;

constexpr char File[] = "C:\\Work\\removed.reg";
const std::string RunHead =
    "\r\n; Removed by quenlor-patch " PATCH_VERSION " on 2026-12-08 09:05:07\r\n\r\n";
const std::string Head = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n" + RunHead;
const std::string Key = "HKEY_LOCAL_MACHINE\\Software\\Crystal Semiconductor";

class Backup : public Machine {
protected:
  static int RunWith(const std::string &arguments) {
    emulated::SetCommandLine("quenlor-patch.exe /backup:" + std::string(File) + " " + arguments);
    return Run();
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

// After an export that the file holds, a run adds its keys without a second
// header; a file of another kind is left as it was, and nothing goes.
TEST_F(Backup, AppendsToAnExportAndToNothingElse) {
  const std::string other =
      "\xFF\xFE" + Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n");
  emulated::AppendToFile(File, other);
  Tree({"A"});
  EXPECT_EQ(0, RunWith(""));
  EXPECT_EQ(Utf8(other) + RunHead + "[" + Key + "]\r\n\r\n[" + Key + "\\A]\r\n\r\n",
            Utf8(emulated::FileText(File)));

  const char notes[] = "C:\\Work\\notes.txt";
  emulated::AppendToFile(notes, "notes\r\n");
  Tree({"A"});
  EXPECT_EQ(ExitBackupFailed, RunWith("/backup:" + std::string(notes)));
  EXPECT_TRUE(emulated::KeyExists(Below("A")));
  EXPECT_EQ("notes\r\n", emulated::FileText(notes));
  ExpectLastBox((BackupFailedText + std::string(notes) + ": error 80, The file exists.\n\n" +
                 BackupStoppedText)
                    .c_str(),
                ErrorCaption, MB_ICONERROR);
  ExpectNothingLeftOpen();
}

// A disk that fills up takes what fits of a write: the keys whose records
// were on disk before it went, and none after.
TEST_F(Backup, StopsWhereTheDiskFillsUp) {
  Tree({"A", "A\\B", "C"});
  emulated::SetDiskSpace(600);
  EXPECT_EQ(ExitBackupFailed, RunWith("/quiet"));
  EXPECT_EQ((std::vector<std::string>{Below("A\\B"), Below("A")}), Deleted());
  std::string saved = Utf8(emulated::FlushedText(File));
  for (const auto &path : Deleted()) {
    EXPECT_NE(std::string::npos, saved.find("[HKEY_LOCAL_MACHINE\\" + path + "]\r\n")) << path;
  }
  ExpectNothingLeftOpen();
}

} // namespace
