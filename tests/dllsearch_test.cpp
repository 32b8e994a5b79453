// A DLL left beside the program, under a name that Windows loads into it
// once it runs, never runs inside it: on each Windows the search is made
// safe before any call that could load one.
#include "machine.h"

namespace {

struct Windows {
  const char *name;
  DWORD major, minor, platform;
  bool setDefaultDllDirectories; // exported: 8 on, or Vista and 7 with KB2533623
};

constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
const Windows EveryWindows[] = {{"98", 4, 10, VER_PLATFORM_WIN32_WINDOWS, false},
                                {"NT 4.0", 4, 0, NT, false},
                                {"2000", 5, 0, NT, false},
                                {"XP", 5, 1, NT, false},
                                {"Server 2003", 5, 2, NT, false},
                                {"XP, SetDefaultDllDirectories claimed (Wine)", 5, 1, NT, true},
                                {"Vista", 6, 0, NT, false},
                                {"7", 6, 1, NT, false},
                                {"7 with KB2533623", 6, 1, NT, true},
                                {"10", 10, 0, NT, true}};

void Plant(const Windows &windows) {
  emulated::Reset();
  emulated::SetVersion(windows.major, windows.minor, windows.platform);
  emulated::SetExported("SetDefaultDllDirectories", windows.setDefaultDllDirectories);
  for (const char *name : {"uxtheme.dll", "msimg32.dll", "dwmapi.dll"}) { // what a box loads
    emulated::PlantDll(name);
  }
}

TEST_F(Machine, NoPlantedDllIsLoadedOnAnyWindows) {
  for (const Windows &windows : EveryWindows) {
    SCOPED_TRACE(windows.name);
    bool nt = windows.platform == NT, xp = nt && windows.major * 100 + windows.minor >= 501;
    // Without the search made safe, a box loads the planted visual styles.
    Plant(windows);
    MessageBoxA(nullptr, "", "", MB_OK);
    EXPECT_EQ(xp, !emulated::LoadedDlls().empty() &&
                      emulated::LoadedDlls()[0].find(emulated::ProgramFolder) == 0);
    Plant(windows);
    Tree({"A"});
    EXPECT_EQ(0, Run());
    EXPECT_FALSE(emulated::LoadedDlls().empty());
    for (const auto &path : emulated::LoadedDlls()) {
      EXPECT_NE(0u, path.find(emulated::ProgramFolder)) << path;
    }
    // Each Windows's way, with nothing before it but the version query,
    // which decides it, and look-ups.
    const std::string system = nt ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
    std::string expected = xp ? "SetDllDirectoryA(\"\") " : "";
    expected += windows.major >= 6 && windows.setDefaultDllDirectories
                    ? "SetDefaultDllDirectories(0x800) "
                    : "";
    expected += "GetSystemDirectoryA(260 -> " + system + ") ";
    std::string search;
    bool other = false;
    for (const auto &call : emulated::Calls()) {
      other = other || !(SearchesDlls(call.op) || call.op == Op::GetModuleHandleA ||
                         call.op == Op::GetProcAddress || call.op == Op::RtlGetVersion ||
                         call.op == Op::GetVersionExA);
      EXPECT_FALSE(other && SearchesDlls(call.op)) << emulated::Name(call.op) << " comes late";
      if (call.op == Op::LoadLibraryExA) {
        EXPECT_EQ(0u, call.args.find("\"" + system + "\\")) << call.args;
        EXPECT_NE(std::string::npos, call.args.find(".dll\", 0x8 -> ")) << call.args;
      } else if (SearchesDlls(call.op)) {
        search += std::string(emulated::Name(call.op)) + "(" + call.args + ") ";
      }
    }
    EXPECT_EQ(expected, search);
    EXPECT_LT(5u, CallsOf(Op::LoadLibraryExA).size());
  }
}

} // namespace
