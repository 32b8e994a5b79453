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
  // What a box loads, and what user32 loads by name as it starts.
  for (const char *name : {"uxtheme.dll", "msimg32.dll", "dwmapi.dll", "lpk.dll", "usp10.dll"}) {
    emulated::PlantDll(name);
  }
}

bool FromProgramFolder(const std::string &path) { return path.find(emulated::ProgramFolder) == 0; }

TEST_F(Machine, NoPlantedDllIsLoadedOnAnyWindows) {
  for (const Windows &windows : EveryWindows) {
    SCOPED_TRACE(windows.name);
    bool nt = windows.platform == NT, xp = nt && windows.major * 100 + windows.minor >= 501;
    bool supported = xp && windows.major == 5;
    // Without the search made safe, user32 loaded by name, as a static
    // import has it, and a box load the planted DLLs.
    Plant(windows);
    LoadLibraryExA("user32.dll", nullptr, 0);
    MessageBoxA(nullptr, "", "", MB_OK);
    const auto control = emulated::LoadedDlls();
    EXPECT_EQ(nt && windows.major >= 5,
              std::any_of(control.begin(), control.end(), FromProgramFolder));
    for (const char *arguments : {"", " /quiet"}) {
      SCOPED_TRACE(arguments);
      Plant(windows);
      Tree({"A"});
      emulated::SetCommandLine(std::string("quenlor-patch.exe") + arguments);
      bool quiet = *arguments != '\0';
      EXPECT_EQ(quiet && !supported ? ExitWrongVersion : 0, Run());
      const auto loaded = emulated::LoadedDlls();
      EXPECT_FALSE(std::any_of(loaded.begin(), loaded.end(), FromProgramFolder));
      // A quiet run never loads user32: nothing that a window brings in.
      EXPECT_EQ(!quiet, std::any_of(loaded.begin(), loaded.end(), [](const std::string &path) {
        return path.find("\\user32.dll") != std::string::npos;
      }));
      EXPECT_EQ(quiet, emulated::Boxes().empty());
      // Each Windows's way, with nothing before it but the version query,
      // which decides it, and look-ups; then, before the first box, what
      // user32 and a window bring in, and user32 last, all by full path.
      const std::string system = nt ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
      std::string expected = xp ? "SetDllDirectoryA(\"\") " : "";
      expected += windows.major >= 6 && windows.setDefaultDllDirectories
                      ? "SetDefaultDllDirectories(0x800) "
                      : "";
      expected += "GetSystemDirectoryA(260 -> " + system + ") ";
      expected += quiet ? "" : "GetSystemDirectoryA(260 -> " + system + ") user32 ";
      std::string search;
      bool other = false, box = false;
      for (const auto &call : emulated::Calls()) {
        box = box || call.op == Op::MessageBoxA;
        bool user32 =
            call.op == Op::LoadLibraryExA && call.args.find("\\user32.dll\"") != std::string::npos;
        other = other || !(SearchesDlls(call.op) || call.op == Op::GetModuleHandleA ||
                           call.op == Op::GetProcAddress || call.op == Op::RtlGetVersion ||
                           call.op == Op::GetVersionExA || call.op == Op::SetErrorMode ||
                           call.op == Op::GetCommandLineW || call.op == Op::GetCommandLineA ||
                           call.op == Op::MultiByteToWideChar);
        EXPECT_FALSE((other || box) && SearchesDlls(call.op))
            << emulated::Name(call.op) << " comes late";
        if (call.op == Op::LoadLibraryExA) {
          EXPECT_EQ(0u, call.args.find("\"" + system + "\\")) << call.args;
          EXPECT_NE(std::string::npos, call.args.find(".dll\", 0x8 -> ")) << call.args;
          search += user32 ? "user32 " : "";
        } else if (SearchesDlls(call.op)) {
          search += std::string(emulated::Name(call.op)) + "(" + call.args + ") ";
        }
      }
      EXPECT_EQ(expected, search);
    }
  }
}

} // namespace
