// A DLL left beside the program, under a name that Windows loads into it
// once it runs, never runs inside it: on each Windows, the search is made
// safe before any call that could load one.
#include "machine.h"

namespace {

struct Windows {
  const char *name;
  DWORD major, minor, platform;
  bool setDefaultDllDirectories; // exported: Windows 8 on, or Vista and 7 with KB2533623
};

void PrintTo(const Windows &windows, std::ostream *out) { *out << windows.name; }

class DllSearch : public Machine, public ::testing::WithParamInterface<Windows> {};

TEST_P(DllSearch, IsMadeSafeBeforeAnythingCouldLoadAPlantedDll) {
  const Windows &windows = GetParam();
  emulated::SetVersion(windows.major, windows.minor, windows.platform);
  emulated::SetExported("SetDefaultDllDirectories", windows.setDefaultDllDirectories);
  // What the box loads by name: visual styles, what they draw with, and
  // on Vista and later the window manager's.
  for (const char *name : {"uxtheme.dll", "msimg32.dll", "dwmapi.dll"}) {
    emulated::PlantDll(name);
  }
  Tree({"A"});

  EXPECT_EQ(0, Run());

  ASSERT_EQ(1u, emulated::Boxes().size());
  EXPECT_EQ(windows.major == 5 && windows.minor >= 1, emulated::Boxes()[0].text == SuccessText);
  EXPECT_FALSE(emulated::LoadedDlls().empty());
  for (const auto &path : emulated::LoadedDlls()) {
    EXPECT_NE(0u, path.find(emulated::ProgramFolder)) << path;
  }
  // Only the version query, which decides how, and look-ups come first.
  const auto &calls = emulated::Calls();
  auto other = std::find_if(calls.begin(), calls.end(), [](const emulated::Call &call) {
    return !SearchesDlls(call.op) && call.op != Op::GetModuleHandleA &&
           call.op != Op::GetProcAddress && call.op != Op::RtlGetVersion &&
           call.op != Op::GetVersionExA;
  });
  EXPECT_TRUE(std::none_of(other, calls.end(),
                           [](const emulated::Call &call) { return SearchesDlls(call.op); }));
  // Each Windows's way: the system's own switch where it has one, from
  // Windows 6 on, and everywhere each DLL loaded ahead by its full path.
  bool nt = windows.platform == VER_PLATFORM_WIN32_NT;
  const std::string system = nt ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
  std::vector<std::string> expected;
  if (nt && windows.major * 100 + windows.minor >= 501) {
    expected.emplace_back("SetDllDirectoryA(\"\")"); // XP SP1 on
  }
  if (windows.major >= 6 && windows.setDefaultDllDirectories) {
    expected.emplace_back("SetDefaultDllDirectories(0x800)");
  }
  expected.push_back("GetSystemDirectoryA(260 -> " + system + ")");
  std::vector<std::string> search;
  for (const auto &call : calls) {
    if (SearchesDlls(call.op) && call.op != Op::LoadLibraryExA) {
      search.push_back(std::string(emulated::Name(call.op)) + "(" + call.args + ")");
    }
  }
  EXPECT_EQ(expected, search);
  std::vector<emulated::Call> loads = CallsOf(Op::LoadLibraryExA);
  EXPECT_LT(5u, loads.size());
  for (const auto &load : loads) {
    EXPECT_EQ(0u, load.args.find("\"" + system + "\\")) << load.args;
    EXPECT_NE(std::string::npos, load.args.find(".dll\", 0x8 -> ")) << load.args;
  }
}

constexpr DWORD NT = VER_PLATFORM_WIN32_NT;

INSTANTIATE_TEST_SUITE_P(
    EveryWindows, DllSearch,
    ::testing::Values(Windows{"98", 4, 10, VER_PLATFORM_WIN32_WINDOWS, false},
                      Windows{"NT_4", 4, 0, NT, false}, Windows{"2000", 5, 0, NT, false},
                      Windows{"XP", 5, 1, NT, false}, Windows{"Server_2003", 5, 2, NT, false},
                      // Wine exports it whatever Windows it plays: XP keeps XP's way.
                      Windows{"XP_claiming_SetDefaultDllDirectories", 5, 1, NT, true},
                      Windows{"Vista", 6, 0, NT, false}, Windows{"7", 6, 1, NT, false},
                      Windows{"7_with_KB2533623", 6, 1, NT, true}, Windows{"10", 10, 0, NT, true}),
    [](const ::testing::TestParamInfo<Windows> &param) { return param.param.name; });

} // namespace
