// /restore puts back what /backup removed, in both views, and nothing else,
// whatever the file holds: a file that is not what /backup writes, or names
// a key outside the patch key, writes nothing at all.
#include "machine.h"

#include <algorithm>

namespace {

using emulated::Utf16;

constexpr char File[] = "C:\\Work\\removed.reg";
const std::string Key = "HKEY_LOCAL_MACHINE\\Software\\Crystal Semiconductor";

class Restore : public Machine {
protected:
  static int RunWith(const std::string &arguments) {
    emulated::SetCommandLine("quenlor-patch.exe " + arguments);
    return Run();
  }
  // The whole registry, a line a key or value, in an order that does not
  // depend on the order values were made in.
  static std::vector<std::string> Registry() {
    std::vector<std::string> lines = emulated::Outside({});
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  // A .reg file as /backup writes it, of `records` after the header.
  static void Write(const std::string &records) {
    emulated::AppendToFile(File, "\xFF\xFE" + Utf16("Windows Registry Editor Version 5.00\r\n"
                                                    "\r\n" +
                                                    records));
  }
};

// Every kind of value, in every view the machine has.
void Seed(const std::vector<std::string> &roots) {
  for (const auto &root : roots) {
    emulated::CreateKey(root + "\\Types\\Empty");
    emulated::CreateKey(root + "\\Deep\\Er\\Est");
    const std::string types = root + "\\Types";
    emulated::SetValue(types, "", "default");
    emulated::SetValue(types, "Path \"quoted\" C:\\Dir=1", "a \"b\" c:\\d");
    emulated::SetValue(types, "Omega \xCE\xA9", "\xCE\xA9 \xE2\x82\xAC");
    emulated::SetValue(types, "Empty", "");
    emulated::SetValue(types, "Unterminated", REG_SZ, Utf16("ab"));
    emulated::SetValue(types, "Dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
    emulated::SetValue(types, "Expand", REG_EXPAND_SZ, Utf16("%1") + std::string(2, '\0'));
    emulated::SetValue(types, "Multi", REG_MULTI_SZ, Utf16("a") + std::string(4, '\0'));
    emulated::SetValue(types, "Qword", REG_QWORD,
                       std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    emulated::SetValue(types, "Binary", REG_BINARY, std::string(300, '\xAB'));
    emulated::SetValue(types, "None", REG_NONE, "");
    emulated::SetValue(types, "Custom", 0x20000, "\x01");
    emulated::SetValue(types, "Short dword", REG_DWORD, "\x01");
  }
}

TEST_F(Restore, PutsBackEveryValueOfEveryTypeInEachView) {
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    emulated::Reset();
    emulated::SetWindowsBits(bits);
    Seed(bits == 64 ? std::vector<std::string>{PatchKeyPath,
                                               "Software\\Wow6432Node\\Crystal Semiconductor"}
                    : std::vector<std::string>{PatchKeyPath});
    const auto before = Registry();
    ASSERT_EQ(0, RunWith(std::string("/quiet /backup:") + File));
    ASSERT_NE(before, Registry());

    EXPECT_EQ(0, RunWith(std::string("/quiet /log:run.log /restore:") + File));

    EXPECT_EQ(before, Registry());
    EXPECT_NE(std::string::npos,
              emulated::FileText("run.log").find(bits == 64 ? "Restored: 12 keys, 26 values"
                                                            : "Restored: 6 keys, 13 values"))
        << emulated::FileText("run.log");
    ExpectNothingLeftOpen();
    EXPECT_EQ(0u, emulated::LiveAllocations());
  }
}

TEST_F(Restore, RefusesAFileItDidNotWriteAndWritesNothing) {
  const std::string good = "[" + Key + "\\A]\r\n\"x\"=\"y\"\r\n\r\n";
  struct Hostile {
    const char *what;
    std::string records;
    int line; // the line the refusal names
  };
  const Hostile files[] = {
      {"a key outside", good + "[HKEY_LOCAL_MACHINE\\Software\\Victim\\Run]\r\n\"x\"=\"y\"\r\n\r\n",
       6},
      {"a look-alike", good + "[" + Key + "2]\r\n\r\n", 6},
      {"the 32-bit view on 32-bit Windows",
       good + "[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Crystal Semiconductor]\r\n\r\n", 6},
      {"a key's deletion", good + "[-" + Key + "\\A]\r\n\r\n", 6},
      {"a value's deletion", good + "[" + Key + "]\r\n\"x\"=-\r\n\r\n", 7},
      {"a value of another form", good + "[" + Key + "]\r\n\"x\"=dword:123\r\n\r\n", 7},
      {"hex continued on no line of its own", good + "[" + Key + "]\r\n\"x\"=hex:01,\\\r\n\r\n", 8},
      {"a value outside a record", "\"x\"=\"y\"\r\n\r\n", 3},
      {"a last record cut short", good + "[" + Key + "\\B]\r\n\"x\"=\"y\"\r\n", 7},
      {"a last line cut short", good + "[" + Key + "\\B]\r\n\"x\"=\"y", 6},
  };
  for (const Hostile &file : files) {
    SCOPED_TRACE(file.what);
    emulated::Reset();
    emulated::CreateKey("Software\\Victim");
    Write(file.records);
    const auto before = Registry();

    EXPECT_EQ(ExitRestoreInvalid, RunWith(std::string("/restore:") + File));

    EXPECT_EQ(before, Registry());
    ASSERT_EQ(1u, emulated::Boxes().size());
    const std::string &text = emulated::Boxes().back().text;
    EXPECT_EQ(0u, text.find(std::string(RestoreRefusedText) + File + ": line " +
                            std::to_string(file.line) + ": "))
        << text;
  }
  emulated::Reset();
  EXPECT_EQ(ExitRestoreUnread, RunWith(std::string("/quiet /restore:") + File));
  for (const char *both : {"/backup:b.reg /restore:r.reg", "/restore:a.reg /restore:b.reg"}) {
    emulated::Reset();
    EXPECT_EQ(ExitUnknownArgument, RunWith(std::string("/quiet ") + both));
  }
}

// A link on the way is never written through; a key that is there again
// keeps what it holds, and gets the file's values over it.
TEST_F(Restore, WritesNoLinkThroughAndOverAKeyThatIsThereAgain) {
  emulated::CreateKey("Software\\Victim");
  emulated::CreateLink(Below("L"), "\\Registry\\Machine\\Software\\Victim");
  emulated::SetValue(Below("Again"), "Keep", "1");
  emulated::SetValue(Below("Again"), "x", "old");
  Write("[" + Key + "\\L\\Run]\r\n\"x\"=\"y\"\r\n\r\n[" + Key + "\\L]\r\n\"z\"=\"y\"\r\n\r\n[" +
        Key + "\\Again]\r\n\"x\"=\"new\"\r\n\r\n");

  EXPECT_EQ(ExitKeysLeft, RunWith(std::string("/quiet /log:run.log /restore:") + File));

  EXPECT_EQ(std::vector<std::string>{}, emulated::Subkeys("Software\\Victim"));
  EXPECT_EQ(std::vector<std::string>{}, emulated::Values("Software\\Victim"));
  EXPECT_EQ((std::vector<std::string>{"Keep", "x"}), emulated::Values(Below("Again")));
  const std::string log = emulated::FileText("run.log");
  EXPECT_NE(std::string::npos, log.find("Link, which is not written through: " + Key + "\\L\r\n"));
  EXPECT_NE(std::string::npos, log.find("Restored: 1 keys, 1 values; 4 not")) << log;
  ExpectNothingLeftOpen();
}

// Every call of a restore failing in turn: nothing outside the key is ever
// written, and 0 is never told while a value is missing.
TEST_F(Restore, NoFailureWritesOutsideOrTellsSuccessWithAValueMissing) {
  emulated::CreateKey("Software\\Victim");
  Seed({PatchKeyPath});
  const auto full = Registry();
  RunWith(std::string("/quiet /backup:") + File);
  const std::string file = emulated::FileText(File);
  const auto cleared = Registry();
  auto stage = [&file] {
    emulated::Reset();
    emulated::CreateKey("Software\\Victim");
    emulated::AppendToFile(File, file);
    emulated::SetCommandLine(std::string("quenlor-patch.exe /quiet /restore:") + File);
  };
  stage();
  Run();
  std::vector<emulated::Call> calls = emulated::Calls(); // a copy: the next Reset clears it
  auto outside = [](const std::vector<std::string> &lines) {
    std::vector<std::string> kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), [](const std::string &line) {
      return line.find("Crystal Semiconductor") == std::string::npos;
    });
    return kept;
  };
  std::map<Op, unsigned> counts;
  for (const auto &call : calls) {
    unsigned n = ++counts[call.op];
    stage();
    emulated::FailAt(call.op, n, ERROR_ACCESS_DENIED);
    int code = Run();
    std::vector<std::string> now = Registry();
    EXPECT_EQ(outside(cleared), outside(now)) << emulated::Name(call.op) << " #" << n;
    if (code == 0) {
      EXPECT_EQ(full, now) << emulated::Name(call.op) << " #" << n;
    }
    EXPECT_EQ(0u, emulated::OpenHandles()) << emulated::Name(call.op) << " #" << n;
  }
}

} // namespace
