// The process's DLL search, made safe before anything could load a DLL by
// name. The patch is downloaded and run with an administrator's rights from
// wherever it lands, and Windows looks for a DLL in the program's own
// folder before the system folder unless it is a KnownDLL: a DLL left in a
// downloads folder or on a share under a name that Windows loads into the
// program (uxtheme.dll, for the first box) would run inside it.
#include "patch/dllsearch.h"
#include "patch/functions.h"

#include <initializer_list>

namespace {

// What Windows loads into this program by name once it runs, on some
// Windows it starts on where that name is no KnownDLL; each is loaded
// ahead from the system folder, so that the later load by name finds it
// loaded. A Windows that lacks one has nothing to load, and loses nothing.
// comctl32.dll is not here: version 6, which the manifest asks for, comes
// from the side-by-side store, and the system folder's is version 5.
//
// At the start of every run, what a run loads with or without a window;
// nothing here may bring user32 in, which a quiet run never loads.
constexpr const char *const StartDlls[] = {
    "cryptbase", // 7: RPC's random numbers load it, as the LSA's calls do;
                 // it imports no user32 (NSIS 3, 7-Zip)
};
// Just before the run first needs user32, what user32 and a window bring
// in by name. What user32 itself loads by name comes first, before any
// entry that imports user32 or gdi32 (which imports user32) and so starts
// user32 as it loads: on XP imm32, uxtheme, msimg32 (gdi32), ole32 and
// setupapi do, and lpk and usp10 themselves (ReactOS's import lists, which
// follow Server 2003's; under Wine also dwmapi, propsys and oleacc,
// measured). XP's user32, as it starts, loads lpk by name where complex
// scripts are installed, and looks beside the program first; loaded here
// first by full path, lpk starts user32 through its own imports, and
// user32 then finds it loaded.
constexpr const char *const WindowDlls[] = {
    "lpk",     // XP's user32 loads it by name where complex scripts are
               // installed (Arabic, Hebrew, Thai, Indic); a 2011 worm
               // planted it beside every program it found
    "usp10",   // what lpk imports, looked for beside the program first
    "version", // Wine's builtin DLLs import it as user32 loads (measured);
               // a KnownDLL on XP, and version information (NSIS 3, 7-Zip)
    "imm32",   // Wine's user32 imports it (measured); XP's loads it by its
               // full path
    // What the program's own box brings in.
    "uxtheme", // visual styles, XP on; a KnownDLL on no Windows (measured
               // under Wine; NSIS 3, 7-Zip)
    "msimg32", // what uxtheme and comctl32 6 draw with, loaded as the box
               // is drawn (measured under Wine)
    "dwmapi",  // Vista and 7: uxtheme loads it (NSIS 3, 7-Zip)
    "ole32",   // Wine's comctl32 6 loads it, and Wine keeps no KnownDLLs
               // (measured); a KnownDLL on Windows, where it only comes early
    // What a DLL that Windows brings into a process with a window (an input
    // method, an accessibility tool's hook, a shell extension) loads or
    // imports by name, looked for beside the program first: NSIS 3 and
    // 7-Zip traced each through the shell and COM.
    "userenv",  // the user's profile (Vista)
    "setupapi", // the drive and device helpers (XP)
    "apphelp",  // application compatibility (Vista)
    "propsys",  // property stores (Vista)
    "oleacc",   // accessibility (Vista)
    "clbcatq",  // the COM+ catalog (XP SP2 and SP3)
    "ntmarta",  // the access-control provider (7)
};

constexpr char Extension[] = ".dll";

// Where the system folder's DLLs are named: the folder, and room for a name.
struct SystemFolder {
  decltype(&LoadLibraryExA) loadLibraryEx;
  char path[MAX_PATH];
  UINT length; // 0 where there is none to load from
};

SystemFolder FindSystemFolder() {
  // Each looked up, so that the imports stay the few that every Windows it
  // must start on exports.
  auto getSystemDirectory =
      SystemFunction<decltype(&GetSystemDirectoryA)>("kernel32.dll", "GetSystemDirectoryA");
  SystemFolder folder = {};
  folder.loadLibraryEx =
      SystemFunction<decltype(&LoadLibraryExA)>("kernel32.dll", "LoadLibraryExA");
  folder.length = getSystemDirectory ? getSystemDirectory(folder.path, MAX_PATH) : 0;
  folder.length = folder.loadLibraryEx && folder.length < MAX_PATH ? folder.length : 0;
  return folder;
}

// Loads `name` from the system folder by its full path, and its own
// imports from its own folder; each stays loaded for the life of the
// process. Null where it is not there, or no room is left for its name.
HMODULE LoadFromSystem(SystemFolder &folder, const char *name) {
  if (folder.length == 0) {
    return nullptr; // nothing to be done: the run goes on as it would have
  }
  std::size_t at = folder.length;
  folder.path[at++] = '\\';
  for (const char *part : {name, Extension}) {
    for (; *part && at < sizeof folder.path; ++part) {
      folder.path[at++] = *part;
    }
  }
  if (at == sizeof folder.path) {
    return nullptr;
  }
  folder.path[at] = '\0';
  return folder.loadLibraryEx(folder.path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

void SecureDllSearch(const OSVERSIONINFOA &version) {
  // Each looked up, so that the imports stay the few that every Windows it
  // must start on exports. SetDllDirectoryA (XP SP1 on) with "" takes the
  // current folder out of the search, which a start-up script may have set
  // anywhere.
  auto setDllDirectory =
      SystemFunction<decltype(&SetDllDirectoryA)>("kernel32.dll", "SetDllDirectoryA");
  if (setDllDirectory) {
    setDllDirectory("");
  }
  // Windows 8 on, and Vista and 7 with KB2533623, keep every later load by
  // name to the system folder. No 5.x Windows has it, so a kernel32 that
  // claims it there (Wine playing XP, or a compatibility layer) is not
  // taken at its word: XP gets XP's way.
  if (version.dwMajorVersion >= 6) {
    auto setDefaultDllDirectories = SystemFunction<decltype(&SetDefaultDllDirectories)>(
        "kernel32.dll", "SetDefaultDllDirectories");
    if (setDefaultDllDirectories) {
      setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
  }
  // And everywhere, each DLL of the list is loaded ahead. Where the switch
  // is missing that is all there is; where it is there, a loader that looks
  // for a DLL's delayed imports along another path (Wine's does, measured)
  // still finds each one loaded.
  SystemFolder folder = FindSystemFolder();
  for (const char *name : StartDlls) {
    LoadFromSystem(folder, name);
  }
}

HMODULE LoadUser32() {
  SystemFolder folder = FindSystemFolder();
  for (const char *name : WindowDlls) {
    LoadFromSystem(folder, name);
  }
  return LoadFromSystem(folder, "user32");
}
