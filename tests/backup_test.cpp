// What /backup keeps of a run, byte for byte, and where it may append it.
// The sweep holds every run with a backup to its promises under faults.
#include "machine.h"
#include "patch/backup.h"

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
                // The last made first: Windows lists values in the order made.
                "\"Custom\"=hex(20000):01\r\n"
                "\"None\"=hex(0):\r\n" +
                binary +
                "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"
                "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                "\"Expand\"=hex(2):25,00,31,00,00,00\r\n"
                "\"Dword\"=dword:12345678\r\n"
                "\"Unterminated\"=hex(1):61,00,62,00\r\n"
                "\"Empty\"=\"\"\r\n"
                "\"Omega\"=\"\xCE\xA9 \xE2\x82\xAC\"\r\n"
                "\"Path \\\"quoted\\\" C:\\\\Dir=1\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
                "@=\"default\"\r\n\r\n"
                "[" +
                Key + "\\Types\\Empty]\r\n\r\n",
            Utf8(emulated::FileText(File)));
  EXPECT_EQ(emulated::FileText(File), emulated::FlushedText(File));
  ExpectNothingLeftOpen();
}

// A file is appended to only where it is a .reg file that ends where a
// record ends: after an export, the header alone or a whole backup, a run
// adds its keys without a second header. One of another kind, or one that
// a run cut short, which regedit would import wrongly, is left as it was,
// and nothing goes.
TEST_F(Backup, AppendsOnlyWhereARecordEnds) {
  Tree({"A"});
  emulated::SetValue(Below("A"), "Binary", REG_BINARY, std::string(30, '\xAB'));
  emulated::SetValue(Below("A"), "Dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
  ASSERT_EQ(0, RunWith("/quiet"));
  const std::string whole = emulated::FileText(File);
  const std::string header = "\xFF\xFE" + Utf16("Windows Registry Editor Version 5.00\r\n");
  auto after = [&whole](const char *text, std::size_t more) {
    return whole.substr(0, whole.find(Utf16(text)) + Utf16(text).size() + more);
  };
  const DWORD appended = ERROR_SUCCESS;
  const struct {
    const char *name;
    std::string text;
    DWORD error;
  } files[] = {
      {"an export", header + Utf16("\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"v\"=\"1\"\r\n\r\n"), appended},
      {"the header alone", header, appended},
      {"a whole backup", whole, appended},
      {"notes", "notes\r\n", BackupOtherKind},
      {"cut after a continued line", after(",\\\r\n", 0), BackupCutShort},
      {"a continued line, then a blank one", after(",\\\r\n", 0) + Utf16("\r\n"), BackupCutShort},
      {"cut inside a dword", after("dword:", 4), BackupCutShort},
      {"cut at an odd byte", whole.substr(0, whole.size() - 41), BackupCutShort},
      {"cut without its last line end", whole.substr(0, whole.size() - 4), BackupCutShort},
  };
  const std::string records = RunHead + "[" + Key + "]\r\n\r\n[" + Key + "\\A]\r\n\r\n";
  for (const auto &file : files) {
    SCOPED_TRACE(file.name);
    emulated::Reset();
    Tree({"A"});
    emulated::AppendToFile(File, file.text);
    EXPECT_EQ(file.error ? ExitBackupFailed : 0, RunWith(""));
    if (file.error == appended) {
      EXPECT_EQ(Utf8(file.text) + records, Utf8(emulated::FileText(File)));
      EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
      continue;
    }
    EXPECT_EQ(file.text, emulated::FileText(File));
    EXPECT_TRUE(Deleted().empty());
    std::string why = file.error == BackupOtherKind ? BackupOtherKindText : BackupCutShortText;
    ExpectLastBox(
        (BackupFailedText + std::string(File) + ": " + why + "\n\n" + BackupStoppedText).c_str(),
        ErrorCaption, MB_ICONERROR);
    ExpectNothingLeftOpen();
  }
}

// A key goes under its exact name, whatever the ANSI code page holds. A
// key or value name that a .reg file cannot hold, with a line end or
// U+0000 (a reader stops at it), keeps its key, with the reason; the rest
// goes.
TEST_F(Backup, KeepsEachKeyByItsExactNameOrNotAtAll) {
  const std::string exact = "Plain\xCE\xA9\xEF\xBC\xBC\xE9\x9F\xB3"; // Omega, fullwidth '\', CJK
  Tree({"Break", "Nul", exact, "Key\nBreak"});
  emulated::SetValue(Below("Break"), "Line\nBreak", "1");
  emulated::SetValue(Below("Nul"), std::string("Nul\0Name", 8), "1");
  emulated::SetCommandLine("quenlor-patch.exe /quiet /log:C:\\Work\\run.log /backup:" +
                           std::string(File));
  EXPECT_EQ(ExitKeysLeft, Run());
  EXPECT_EQ((std::vector<std::string>{Below(exact)}), Deleted());
  EXPECT_NE(std::string::npos,
            Utf8(emulated::FileText(File)).find("[HKEY_LOCAL_MACHINE\\" + Below(exact) + "]\r\n"));
  const std::string log = emulated::FileText("C:\\Work\\run.log");
  for (const char *key : {"Break", "Nul", "Key%0ABreak"}) {
    EXPECT_NE(std::string::npos, log.find("Stayed: HKEY_LOCAL_MACHINE\\" + Below(key) +
                                          ": error 13, The data is invalid."))
        << log;
  }
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

// Another process at the key or the file while the backup works: a value
// set while the key's values are read is in the file all the same, and a
// second run given a file that the first holds deletes nothing.
TEST_F(Backup, KeepsAValueSetWhileItReadsAndLeavesAFileInUseAlone) {
  Tree({"A"});
  emulated::SetValue(Below("A"), "Old", "1");
  RunWith("/quiet");
  const auto &clean = emulated::Calls();
  std::size_t read =
      1 + static_cast<std::size_t>(std::find_if(clean.begin(), clean.end(),
                                                [](const emulated::Call &call) {
                                                  return call.op == Op::RegEnumValueW;
                                                }) -
                                   clean.begin());
  emulated::Reset();
  Tree({"A"});
  emulated::SetValue(Below("A"), "Old", "1");
  emulated::AtCall(read, [] { emulated::SetValue(Below("A"), "New", "2"); });

  EXPECT_EQ(0, RunWith("/quiet"));

  const std::string saved = Utf8(emulated::FileText(File));
  EXPECT_NE(std::string::npos, saved.find("\"New\"=\"2\"")) << saved;
  EXPECT_NE(std::string::npos, saved.find("\"Old\"=\"1\"")) << saved;

  emulated::Reset();
  Tree({"A"});
  HANDLE first = CreateFileA(File, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

  EXPECT_EQ(ExitBackupFailed, RunWith(""));

  CloseHandle(first);
  EXPECT_TRUE(emulated::KeyExists(Below("A")));
  ASSERT_FALSE(emulated::Boxes().empty());
  EXPECT_NE(std::string::npos, emulated::Boxes().back().text.find(FileInUseText));
}

} // namespace
