// The registry views of 64-bit Windows: the key goes from both, whichever
// build runs, and 32-bit Windows sees the same calls as ever. Built twice,
// against the logic as the x86 build has it (a WOW64 process on 64-bit
// Windows) and as the x64 build has it (built with _WIN64).
#include "machine.h"

#include <algorithm>

namespace {

constexpr unsigned ProcessBits = PATCH_PROCESS_BITS;
constexpr char Wow64Key[] = "Software\\Wow6432Node\\Crystal Semiconductor";

class Views : public Machine {
protected:
  void SetUp() override {
    Machine::SetUp();
    emulated::SetWindowsBits(64);
    emulated::SetProcessBits(ProcessBits);
    emulated::SetVersion(5, 2);
    for (const char *neighbour : {"Software\\Crystal", "Software\\Wow6432Node\\Crystal",
                                  "Software\\Wow6432Node\\Victim\\Inner"}) {
      emulated::SetValue(neighbour, "Keep", "1");
    }
  }

  // Creates each path below the patch key as the view keeps it.
  static void TreeIn(unsigned view, const std::vector<std::string> &paths) {
    std::string root = view == 32 ? Wow64Key : PatchKeyPath;
    emulated::CreateKey(root);
    for (const auto &path : paths) {
      emulated::CreateKey(std::string(root).append("\\").append(path));
    }
  }

  static std::vector<std::string> Outside() { return emulated::Outside({PatchKeyPath, Wow64Key}); }
};

TEST_F(Views, KeyGoesFromEitherViewOrBoth) {
  for (const auto &views : std::vector<std::vector<unsigned>>{{64}, {32}, {64, 32}, {}}) {
    SCOPED_TRACE(testing::PrintToString(views));
    SetUp();
    for (unsigned view : views) {
      TreeIn(view, {"A\\B", "C"});
    }
    emulated::CreateLink(std::string(Wow64Key) + "\\Link",
                         "\\Registry\\Machine\\Software\\Wow6432Node\\Victim");
    std::vector<std::string> before = Outside();

    EXPECT_EQ(0, Run());

    ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
    EXPECT_EQ(1u, emulated::Boxes().size());
    EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
    EXPECT_FALSE(emulated::KeyExists(Wow64Key));
    EXPECT_EQ(before, Outside());
    ExpectNothingLeftOpen();
  }
}

TEST_F(Views, EveryCallNamesItsView) {
  TreeIn(64, {"A\\B"});
  TreeIn(32, {"A\\B"});

  Run();

  // The native view first, then the 32-bit one; each deletion in its view.
  std::vector<REGSAM> opened;
  for (const auto &call : CallsOf(Op::RegOpenKeyExW)) {
    opened.push_back(call.args.find("0x10108") != std::string::npos   ? KEY_WOW64_64KEY
                     : call.args.find("0x10208") != std::string::npos ? KEY_WOW64_32KEY
                                                                      : 0);
  }
  EXPECT_EQ((std::vector<REGSAM>{KEY_WOW64_64KEY, KEY_WOW64_64KEY, KEY_WOW64_64KEY, KEY_WOW64_32KEY,
                                 KEY_WOW64_32KEY, KEY_WOW64_32KEY}),
            opened);
  // Only the x86 build needs to ask whether this is 64-bit Windows.
  EXPECT_EQ(ProcessBits == 32 ? 1u : 0u, CallsOf(Op::IsWow64Process).size());
  // Each key deleted through its handle, which names its view.
  EXPECT_EQ((std::vector<std::string>{Below("A\\B"), Below("A"), PatchKeyPath,
                                      std::string(Wow64Key) + "\\A\\B",
                                      std::string(Wow64Key) + "\\A", Wow64Key}),
            Deleted());
}

TEST_F(Views, ChildThatWillNotGoIsWarnedAboutInEachView) {
  TreeIn(64, {"Locked\\Inner", "Other"});
  TreeIn(32, {"Locked\\Inner", "Other"});
  emulated::FailOnKey(Op::NtDeleteKey, Below("Locked\\Inner"), emulated::StatusAccessDenied);
  emulated::FailOnKey(Op::NtDeleteKey, std::string(Wow64Key) + "\\Locked\\Inner",
                      emulated::StatusAccessDenied);

  EXPECT_EQ(0, Run());

  // Inner, then Locked, in each view; then the failure box.
  EXPECT_EQ(4u, Warnings());
  ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
  EXPECT_TRUE(emulated::KeyExists(Below("Locked\\Inner")));
  EXPECT_TRUE(emulated::KeyExists(std::string(Wow64Key) + "\\Locked\\Inner"));
  EXPECT_FALSE(emulated::KeyExists(Below("Other")));
  EXPECT_FALSE(emulated::KeyExists(std::string(Wow64Key) + "\\Other"));
}

TEST_F(Views, CopyLeftInOneViewIsAFailure) {
  TreeIn(64, {"A"});
  // A key that will not go, in the 32-bit view only.
  TreeIn(32, {"L\\Locked"});
  emulated::FailOnKey(Op::NtDeleteKey, std::string(Wow64Key) + "\\L\\Locked",
                      emulated::StatusAccessDenied);

  EXPECT_EQ(0, Run());

  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  EXPECT_TRUE(emulated::KeyExists(Wow64Key));
  EXPECT_EQ(2u, Warnings());
  ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
}

TEST_F(Views, NothingIsAskedAboutViewsBeforeTheGatesPass) {
  TreeIn(32, {"A"});
  emulated::SetAdministrator(false);

  Run();

  ExpectLastBox(NotAdministratorText, ErrorCaption, MB_ICONERROR);
  // The version, the command line, the three of the SID, the box.
  EXPECT_EQ((std::vector<Op>{Op::SetErrorMode, Op::RtlGetVersion, Op::GetCommandLineW,
                             Op::AllocateAndInitializeSid, Op::CheckTokenMembership, Op::FreeSid,
                             Op::MessageBoxA}),
            Ops());
}

#if PATCH_PROCESS_BITS == 32
// What only the x86 build asks: whether it runs on 64-bit Windows at all.

TEST_F(Views, ThirtyTwoBitWindowsSeesTheSameCallsAsEver) {
  for (bool hasIsWow64Process : {true, false}) {
    SCOPED_TRACE(hasIsWow64Process ? "XP SP2 and later" : "XP before SP2");
    emulated::Reset(); // 32-bit XP
    emulated::SetExported("IsWow64Process", hasIsWow64Process);
    Tree({"A\\B"});

    Run();

    ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
    std::vector<std::string> registry;
    for (const auto &call : emulated::Calls()) {
      if (emulated::IsRegistry(call.op)) {
        registry.push_back(std::string(emulated::Name(call.op)) + " " +
                           call.args.substr(0, call.args.find(" ->")));
      }
    }
    const std::string key = "\"Software\\Crystal Semiconductor\"";
    EXPECT_EQ((std::vector<std::string>{
                  "RegOpenKeyExW HKLM, " + key + ", 8, 0x10008",
                  "NtDeleteKey 0x100",
                  "RegEnumKeyExW 0x100, 0, 256",
                  "RegOpenKeyExW 0x100, \"A\", 8, 0x10008",
                  "NtDeleteKey 0x104",
                  "RegEnumKeyExW 0x104, 0, 256",
                  "RegOpenKeyExW 0x104, \"B\", 8, 0x10008",
                  "NtDeleteKey 0x108",
                  "RegCloseKey 0x108",
                  "RegEnumKeyExW 0x104, 0, 256",
                  "NtDeleteKey 0x104",
                  "RegCloseKey 0x104",
                  "RegEnumKeyExW 0x100, 0, 256",
                  "NtDeleteKey 0x100",
                  "RegCloseKey 0x100",
              }),
              registry);
    EXPECT_EQ(hasIsWow64Process ? 1u : 0u, CallsOf(Op::IsWow64Process).size());
  }
}

TEST_F(Views, UnansweredWow64QuestionMeansBothViews) {
  emulated::FailAt(Op::IsWow64Process, 1, ERROR_INVALID_HANDLE);
  TreeIn(64, {"A"});
  TreeIn(32, {"A"});

  Run();

  ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  EXPECT_FALSE(emulated::KeyExists(Wow64Key));
}
#endif

} // namespace
