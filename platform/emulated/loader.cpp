// The DLLs in the process, and how Windows finds one that is loaded by
// name: a module of that name already loaded; else, unless
// SetDefaultDllDirectories keeps the search to the system folder, the
// program's folder, the folder SetDllDirectoryA names, the system folder,
// the Windows folder, and the current folder, which any SetDllDirectoryA
// takes out. A DLL's imports are loaded with it, as the loader does, looked
// for the same way (user32 and gdi32 as the KnownDLLs they are), but first
// in the DLL's own folder where it was loaded by full path with
// LOAD_WITH_ALTERED_SEARCH_PATH. Left out: the other KnownDLLs, as none of
// the DLLs that the model's box and user32 load by name is one on XP.
#include "model.h"

namespace emulated {
namespace {

using model::Fault;
using model::Hex;
using model::Quote;
using model::Record;

constexpr char WindowsFolder[] = "C:\\WINDOWS";
constexpr ULONG_PTR FirstBase = 0x60000000;

// The system folder's DLLs that the model knows, by their names in upper
// case, each with the first Windows NT that ships it (major * 100 +
// minor), and whether 98 has it.
struct SystemDll {
  const char *name;
  DWORD since;
  bool on9x;
};
const SystemDll SystemDlls[] = {
    {"UXTHEME.DLL", 501, false},   {"MSIMG32.DLL", 500, true},  {"DWMAPI.DLL", 600, false},
    {"CRYPTBASE.DLL", 601, false}, {"OLE32.DLL", 351, true},    {"USERENV.DLL", 400, false},
    {"SETUPAPI.DLL", 400, true},   {"APPHELP.DLL", 501, false}, {"PROPSYS.DLL", 600, false},
    {"OLEACC.DLL", 500, true},     {"CLBCATQ.DLL", 500, false}, {"NTMARTA.DLL", 400, false},
    {"VERSION.DLL", 351, true},    {"USER32.DLL", 351, true},   {"IMM32.DLL", 400, true},
    {"LPK.DLL", 500, true},        {"USP10.DLL", 500, true},    {"GDI32.DLL", 351, true},
};

// What each system DLL imports on NT 5.x that starts user32 (user32 itself,
// or gdi32, which imports it), and lpk's usp10: ReactOS's import lists,
// which follow Server 2003's.
struct Imports {
  const char *name;
  std::vector<const char *> imports;
};
const Imports SystemImports[] = {
    {"USER32.DLL", {"gdi32.dll"}},
    {"GDI32.DLL", {"user32.dll"}},
    {"IMM32.DLL", {"user32.dll", "gdi32.dll"}},
    {"LPK.DLL", {"usp10.dll", "version.dll", "user32.dll", "gdi32.dll"}},
    {"USP10.DLL", {"user32.dll", "gdi32.dll"}},
    {"UXTHEME.DLL", {"user32.dll", "gdi32.dll"}},
    {"MSIMG32.DLL", {"gdi32.dll"}},
    {"OLE32.DLL", {"user32.dll", "gdi32.dll"}},
    {"SETUPAPI.DLL", {"user32.dll", "gdi32.dll", "version.dll"}},
};

struct Module {
  std::string file; // its file name, folded
  std::string path; // where it was found
};

struct Loader {
  std::vector<Module> modules;
  bool searchSetByProgram = false; // SetDllDirectoryA called: no current folder
  std::string dllDirectory;
  DWORD defaultDirectories = 0;
  bool complexScripts = true;
};

Loader loader;

std::string Folded(std::string text) {
  for (char &c : text) {
    c = model::Upper(c);
  }
  return text;
}

const char *SystemFolder() { return model::Nt() ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM"; }

bool Exists(const std::string &folder, const std::string &file) {
  if (!SameName(folder, SystemFolder())) {
    return FileExists(folder + "\\" + file); // one that someone left there
  }
  const std::string folded = Folded(file);
  for (const SystemDll &dll : SystemDlls) {
    if (folded == dll.name) {
      return model::Nt() ? model::Version() >= dll.since : dll.on9x;
    }
  }
  return false;
}

// Where a load of `file` by name finds it, or "": in `first`, if given,
// before anywhere else.
std::string Find(const std::string &file, const std::string &first = "") {
  std::vector<std::string> folders = {SystemFolder()};
  if (!(loader.defaultDirectories & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    folders = {ProgramFolder};
    if (!loader.dllDirectory.empty()) {
      folders.push_back(loader.dllDirectory);
    }
    folders.insert(folders.end(), {SystemFolder(), WindowsFolder});
    if (!loader.searchSetByProgram) {
      folders.push_back(CurrentFolder);
    }
  }
  if (!first.empty()) {
    folders.insert(folders.begin(), first);
  }
  for (auto &folder : folders) {
    if (Exists(folder, file)) {
      return folder.append("\\").append(file);
    }
  }
  return "";
}

HMODULE Load(const std::string &name, const std::string &first = "", bool altered = false);

// What user32 brings in as it starts, on NT 5.0 and later: imm32 from the
// system folder by its full path, and, with complex-script support, lpk by
// name, the program's folder searched first.
void LoadForUser32() {
  if (model::Nt() && model::Version() >= 500) {
    Load(std::string(SystemFolder()) + "\\imm32.dll");
    if (loader.complexScripts) {
      Load("lpk.dll");
    }
  }
}

// What the module at `path` imports, loaded as the loader does; `altered`
// for one loaded by full path with LOAD_WITH_ALTERED_SEARCH_PATH.
void LoadImports(const std::string &folded, const std::string &path, bool altered) {
  if (!model::Nt() || model::Version() < 500) {
    return;
  }
  for (const Imports &dll : SystemImports) {
    if (folded != dll.name) {
      continue;
    }
    for (const char *import : dll.imports) {
      std::string known = std::string(SystemFolder()) + "\\" + import;
      bool knownDll = std::string(import) == "user32.dll" || std::string(import) == "gdi32.dll";
      Load(knownDll ? known : import, altered ? path.substr(0, path.rfind('\\')) : "");
    }
  }
}

// Loads `name` (a file name, or a full path) unless a module of that name
// is loaded, with what it imports; returns the module's handle, or null if
// it is nowhere. A file name is looked for in `first` before the usual
// places, where given.
HMODULE Load(const std::string &name, const std::string &first, bool altered) {
  std::size_t cut = name.rfind('\\');
  std::string file = cut == std::string::npos ? name : name.substr(cut + 1);
  file += file.find('.') == std::string::npos ? ".dll" : "";
  const std::string folded = Folded(file);
  bool user32 = folded == "USER32.DLL";
  for (std::size_t i = 0; i < loader.modules.size(); ++i) {
    if (loader.modules[i].file == folded) {
      return reinterpret_cast<HMODULE>(user32 ? model::User32Base : FirstBase + 0x10000 * i);
    }
  }
  std::string path = cut == std::string::npos            ? Find(file, first)
                     : Exists(name.substr(0, cut), file) ? name
                                                         : "";
  if (path.empty()) {
    return nullptr;
  }
  // In the list before its imports are, as the loader has it: a by-name
  // load that they make of it finds it.
  loader.modules.push_back(Module{folded, path});
  auto base = reinterpret_cast<HMODULE>(FirstBase + 0x10000 * (loader.modules.size() - 1));
  LoadImports(folded, path, altered && cut != std::string::npos);
  if (user32) {
    LoadForUser32();
    return reinterpret_cast<HMODULE>(model::User32Base);
  }
  return base;
}

} // namespace

void PlantDll(const std::string &name) {
  CreateFolder(ProgramFolder);
  AppendToFile(std::string(ProgramFolder) + "\\" + name, "MZ");
}

std::vector<std::string> LoadedDlls() {
  std::vector<std::string> paths;
  for (const auto &module : loader.modules) {
    paths.push_back(module.path);
  }
  return paths;
}

void model::LoadForBox() {
  // Visual styles (XP on), which draw with msimg32 and, from Vista on, ask
  // the desktop window manager: each loaded by name, as the box is drawn.
  if (Nt() && Version() >= 501) {
    Load("uxtheme.dll");
    Load("msimg32.dll");
  }
  if (Nt() && Version() >= 600) {
    Load("dwmapi.dll");
  }
}

bool model::User32Loaded() {
  for (const auto &module : loader.modules) {
    if (module.file == "USER32.DLL") {
      return true;
    }
  }
  return false;
}

void model::ResetLoader() { loader = Loader{}; }

void SetComplexScripts(bool installed) { loader.complexScripts = installed; }

} // namespace emulated

using namespace emulated;

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  std::string args = Quote(lpLibFileName) + ", " + Hex(dwFlags);
  std::string file = lpLibFileName ? lpLibFileName : "";
  file = file.substr(file.rfind('\\') + 1);
  DWORD error = static_cast<DWORD>(Fault(Op::LoadLibraryExA, file));
  if (!error && (!lpLibFileName || hFile || (dwFlags & ~DWORD{LOAD_WITH_ALTERED_SEARCH_PATH}))) {
    error = ERROR_INVALID_PARAMETER; // what the model does not play
  }
  HMODULE module =
      error ? nullptr : Load(lpLibFileName, "", (dwFlags & LOAD_WITH_ALTERED_SEARCH_PATH) != 0);
  if (!module) {
    model::SetLastError(error ? error : ERROR_MOD_NOT_FOUND);
  }
  auto base = reinterpret_cast<ULONG_PTR>(module);
  model::Log(Op::LoadLibraryExA, "", args + " -> " + Hex(base), static_cast<long long>(base));
  return module;
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  std::string folder = SystemFolder();
  if (DWORD error = static_cast<DWORD>(Fault(Op::GetSystemDirectoryA, ""))) {
    model::SetLastError(error);
    return Record(Op::GetSystemDirectoryA, "", std::to_string(uSize), UINT{0});
  }
  if (!lpBuffer || uSize <= folder.size()) {
    return Record(Op::GetSystemDirectoryA, "", std::to_string(uSize),
                  static_cast<UINT>(folder.size() + 1));
  }
  folder.copy(lpBuffer, folder.size());
  lpBuffer[folder.size()] = '\0';
  return Record(Op::GetSystemDirectoryA, "", std::to_string(uSize) + " -> " + folder,
                static_cast<UINT>(folder.size()));
}

BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName) {
  if (DWORD error = static_cast<DWORD>(Fault(Op::SetDllDirectoryA, ""))) {
    model::SetLastError(error);
    return Record(Op::SetDllDirectoryA, "", Quote(lpPathName), FALSE);
  }
  // Any call but with NULL takes the current folder out; NULL puts it back.
  loader.searchSetByProgram = lpPathName != nullptr;
  loader.dllDirectory = lpPathName ? lpPathName : "";
  return Record(Op::SetDllDirectoryA, "", Quote(lpPathName), TRUE);
}

BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
  constexpr DWORD Known = 0x200 | 0x400 | LOAD_LIBRARY_SEARCH_SYSTEM32 | 0x1000;
  DWORD error = static_cast<DWORD>(Fault(Op::SetDefaultDllDirectories, ""));
  if (!error && (!DirectoryFlags || (DirectoryFlags & ~Known))) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::SetDefaultDllDirectories, "", Hex(DirectoryFlags), FALSE);
  }
  loader.defaultDirectories = DirectoryFlags;
  return Record(Op::SetDefaultDllDirectories, "", Hex(DirectoryFlags), TRUE);
}
