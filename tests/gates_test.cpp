// The two gates: which Windows versions and which users the patch refuses,
// and that a refusal touches nothing.
#include "machine.h"
#include "patch/admin.h"

namespace {

struct Version {
  DWORD major;
  DWORD minor;
  DWORD platform;
  bool supported;
  DWORD toldMajor; // what a compatibility mode makes GetVersionExA tell, if not 0
  DWORD toldMinor;
};

void PrintTo(const Version &version, std::ostream *out) {
  *out << version.major << "." << version.minor;
}

class VersionGate : public Machine, public ::testing::WithParamInterface<Version> {};

TEST_P(VersionGate, AdmitsOnlyXpAndLater5x) {
  const Version &version = GetParam();
  Tree({"Settings"});
  emulated::SetVersion(version.major, version.minor, version.platform);
  if (version.toldMajor) {
    emulated::SetCompatibilityMode(version.toldMajor, version.toldMinor);
  }

  EXPECT_EQ(0, Run());

  ASSERT_EQ(1u, emulated::Boxes().size());
  if (version.supported) {
    ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
    EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  } else {
    ExpectLastBox(VersionRefusedText, ErrorCaption, MB_ICONERROR);
    // RtlGetVersion where NTDLL has it (2000 on), GetVersionExA elsewhere,
    // and nothing else is even looked up but what makes the DLL search
    // safe and the box's own: what the gate refuses may lack it.
    bool rtl = version.platform == VER_PLATFORM_WIN32_NT && version.major >= 5;
    bool nt = version.platform == VER_PLATFORM_WIN32_NT;
    std::vector<Op> expected = {Op::SetErrorMode, rtl ? Op::RtlGetVersion : Op::GetVersionExA};
    std::vector<Op> line = {Op::GetCommandLineA, Op::MultiByteToWideChar};
    line = nt ? std::vector<Op>{Op::GetCommandLineW} : line;
    expected.insert(expected.end(), line.begin(), line.end());
    expected.push_back(Op::MessageBoxA);
    EXPECT_EQ(expected, Ops());
    std::vector<emulated::Call> lookups = CallsOf(Op::GetProcAddress);
    ASSERT_LT(1u, lookups.size());
    EXPECT_EQ("0x7c900000, \"RtlGetVersion\"", lookups[0].args);
    for (std::size_t i = 1; i < lookups.size(); ++i) {
      const std::string &args = lookups[i].args; // KERNEL32's, or USER32's
      EXPECT_TRUE(args.find("0x7c800000, ") == 0 || args.find("0x7e410000, ") == 0) << args;
    }
    EXPECT_TRUE(emulated::KeyExists(Below("Settings")));
  }
}

constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
constexpr DWORD Win9x = VER_PLATFORM_WIN32_WINDOWS;

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionGate,
    ::testing::Values(Version{5, 0, NT, false, 0, 0}, Version{5, 1, NT, true, 0, 0},
                      Version{5, 2, NT, true, 0, 0}, Version{4, 10, Win9x, false, 0, 0},
                      Version{4, 0, Win9x, false, 0, 0}, Version{4, 0, NT, false, 0, 0},
                      Version{6, 0, NT, false, 0, 0}, Version{6, 1, NT, false, 0, 0},
                      // Windows 7 in "Windows XP" compatibility mode is still Windows 7.
                      Version{6, 1, NT, false, 5, 1},
                      // And XP told 4.0 by a mode for old programs is still XP.
                      Version{5, 1, NT, true, 4, 0}),
    [](const ::testing::TestParamInfo<Version> &param) {
      return std::to_string(param.param.major) + "_" + std::to_string(param.param.minor) +
             (param.param.platform == Win9x ? "_9x" : "") +
             (param.param.toldMajor ? "_told_" + std::to_string(param.param.toldMajor) : "");
    });

// Leaves a Windows XP version record's worth of fives on the stack, where the
// patch's own version record will lie, so that a record left unfilled is
// seen to be read.
__attribute__((noinline)) void PaintStack() {
  volatile DWORD area[4096];
  for (auto &word : area) {
    word = 5;
  }
}

TEST_F(Machine, FailedVersionQueryIsRefused) {
  // RtlGetVersion failing falls back to GetVersionExA; both failing is
  // version 0.0.
  Tree({"Settings"});
  emulated::FailAt(Op::RtlGetVersion, 1, emulated::StatusInvalidParameter);
  emulated::FailAt(Op::GetVersionExA, 1, ERROR_INVALID_PARAMETER);
  PaintStack();

  EXPECT_EQ(0, Run());

  ExpectLastBox(VersionRefusedText, ErrorCaption, MB_ICONERROR);
  EXPECT_FALSE(AnyRegistryCall());
  EXPECT_TRUE(emulated::KeyExists(Below("Settings")));
}

TEST_F(Machine, VersionIsAskedWithItsOwnRecordSize) {
  Run();
  ASSERT_EQ(1u, CallsOf(Op::RtlGetVersion).size());
  EXPECT_EQ("size 276 -> 5.1", CallsOf(Op::RtlGetVersion).front().args);
  EXPECT_TRUE(CallsOf(Op::GetVersionExA).empty());

  emulated::Reset();
  emulated::SetExported("RtlGetVersion", false);
  Run();
  ASSERT_EQ(1u, CallsOf(Op::GetVersionExA).size());
  EXPECT_EQ("size 148 -> 5.1", CallsOf(Op::GetVersionExA).front().args);
  ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
}

TEST_F(Machine, NonAdministratorIsRefusedAndNothingIsTouched) {
  Tree({"Settings"});
  emulated::SetAdministrator(false);

  EXPECT_EQ(0, Run());

  ASSERT_EQ(1u, emulated::Boxes().size());
  ExpectLastBox(NotAdministratorText, ErrorCaption, MB_ICONERROR);
  EXPECT_FALSE(AnyRegistryCall());
  EXPECT_TRUE(emulated::KeyExists(Below("Settings")));
  ExpectNothingLeftOpen();
}

TEST_F(Machine, UnansweredMembershipMeansNotAdministratorAndFreesTheSid) {
  emulated::FailAt(Op::CheckTokenMembership, 1, ERROR_NO_TOKEN);

  EXPECT_FALSE(IsAdministrator());

  EXPECT_EQ(1u, CallsOf(Op::FreeSid).size());
  EXPECT_EQ(0u, emulated::LiveSids());
}

TEST_F(Machine, UnbuildableSidMeansNotAdministrator) {
  emulated::FailAt(Op::AllocateAndInitializeSid, 1, ERROR_NOT_ENOUGH_MEMORY);
  Tree({});

  EXPECT_EQ(0, Run());

  ExpectLastBox(NotAdministratorText, ErrorCaption, MB_ICONERROR);
  EXPECT_TRUE(CallsOf(Op::CheckTokenMembership).empty());
  EXPECT_TRUE(CallsOf(Op::FreeSid).empty());
  EXPECT_FALSE(AnyRegistryCall());
}

TEST_F(Machine, AdministratorTestAsksAboutAdministratorsEachTime) {
  // The model answers "member" only for S-1-5-32-544 asked with a null token.
  EXPECT_TRUE(IsAdministrator());
  EXPECT_TRUE(IsAdministrator());
  EXPECT_EQ(2u, CallsOf(Op::AllocateAndInitializeSid).size());
  EXPECT_EQ(2u, CallsOf(Op::FreeSid).size());
  EXPECT_EQ("NULL, sid -> member", CallsOf(Op::CheckTokenMembership).front().args);
  EXPECT_EQ(0u, emulated::LiveSids());
}

TEST_F(Machine, GatesComeBeforeAnyRegistryCall) {
  Tree({"A"});
  Run();
  // The command line is read right after the version query, so that a bad
  // argument stops the run before the gates.
  const std::vector<Op> gates = {Op::SetErrorMode,         Op::RtlGetVersion,
                                 Op::GetCommandLineW,      Op::AllocateAndInitializeSid,
                                 Op::CheckTokenMembership, Op::FreeSid};
  std::vector<Op> ops = Ops();
  ASSERT_GT(ops.size(), gates.size());
  EXPECT_EQ(gates, std::vector<Op>(ops.begin(), ops.begin() + std::ptrdiff_t(gates.size())));
  for (std::size_t i = gates.size(); i < ops.size(); ++i) {
    EXPECT_EQ(0u, std::count(gates.begin(), gates.end(), ops[i])) << emulated::Name(ops[i]);
  }
  // Every look-up but RtlGetVersion's comes after the version gate, each of
  // what XP has.
  for (std::size_t i = 0; emulated::Calls()[i].op != Op::RtlGetVersion; ++i) {
    EXPECT_TRUE(emulated::Calls()[i].op != Op::GetProcAddress ||
                emulated::Calls()[i].args.find("RtlGetVersion") != std::string::npos);
  }
  for (const auto &call : CallsOf(Op::GetProcAddress)) {
    EXPECT_EQ(1, call.result) << call.args;
  }
}

TEST_F(Machine, WindowsThatLacksTheSecurityFunctionsIsNoAdministrator) {
  // No Windows that passes the version gate lacks them; should one, the
  // patch refuses rather than calls through a null pointer.
  for (const char *function : {"AllocateAndInitializeSid", "CheckTokenMembership", "FreeSid"}) {
    SCOPED_TRACE(function);
    emulated::Reset();
    emulated::SetExported(function, false);
    EXPECT_FALSE(IsAdministrator());
    EXPECT_EQ(0u, emulated::LiveSids());
  }
}

} // namespace
