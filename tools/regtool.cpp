// The registry tool with which the Wine suite, `make run` and `make bench`
// set up a prefix's registry and read it back, a whole set-up or read-back
// in one Wine process, and do what reg.exe cannot do safely or at all: make
// registry links, delete subtrees that may hold them, lock keys and free
// them, make keys deeper than a path can name or with any name the registry
// can hold, and race the patch as another process would. reg.exe's
// `delete /f` and a .reg file's [-key] follow a link into its target, and
// .reg imports also ignore the registry view they are told to use.
//
// Usage: regtool.exe COMMAND... , where each COMMAND may also be
//   @FILE             the commands in FILE, one a line, fields separated by
//                     tabs, so that a whole set-up takes one process
//   /32, /64          the registry view of the commands that follow
//   key KEY           creates HKLM\KEY
//   value KEY NAME DATA
//                     sets the string value NAME of HKLM\KEY, creating it
//   typed KEY NAME TYPE HEX
//                     sets the value NAME (UTF-8, "@" for the default) of
//                     HKLM\KEY to type TYPE (decimal) and the bytes HEX
//                     ("-" for none), creating the key
//   exact             makes every later dump show each value as
//                     "TYPE:HEX", its type and bytes as stored
//   user KEY NAME DATA
//                     sets the string value NAME of HKCU\KEY, creating it,
//                     as Wine's own settings are
//   dump KEY          prints HKLM\KEY and every key below it, each as
//                     itself (a link is shown with its target, not
//                     followed), with its values: a line "DUMP view KEY",
//                     then "KEY path" and "VALUE path name data" lines in
//                     UTF-8, fields separated by tabs, or "MISSING" when
//                     HKLM\KEY is not there
//   lock KEY SDDL     sets the owner and DACL of HKLM\KEY (as itself) from
//                     SDDL, as an installer that locks a key does
//   sddl KEY          prints "SDDL KEY sddl": its owner and DACL
//   link KEY TARGET   creates HKLM\KEY as a link to the NT path TARGET
//   clear KEY         deletes HKLM\KEY and its subtree, each key through its
//                     own handle, so that a link goes as itself; a key it
//                     may not open it frees first, as its owner may
//   deep KEY N        creates N levels of 100-character names below HKLM\KEY,
//                     each relative to the one above
//   name KEY NAME     creates HKLM\KEY\NAME, whatever NAME holds: a
//                     character outside the ANSI code page, a fullwidth
//                     reverse solidus, a line break
//   race KEY N TARGET for each i below N-1: waits until HKLM\KEY\Leaf<i>
//                     is gone, then at once (after a delay that differs
//                     from one i to the next) swaps Leaf<i+1> for a link to
//                     the NT path TARGET\Victim<i+1>; ends when the key goes
// KEY, NAME and a lock's or a clear's path are UTF-8, each %XX in them the
// byte XX, so that a script's field can name a key with a tab or a line
// break; dump prints names in the same form. Locked to "O:SYD:P(A;;KA;;;SY)",
// a key stays whatever any administrator's walk does: it can leave the
// prefix only with the prefix's system.reg (tools/winelab.py).
// /32 and /64 choose the registry view on 64-bit Windows. Exits 0 when
// every command did what it says, and names the first that did not.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE);

REGSAM view = 0;
bool exact = false; // dump's values as type and bytes
NtDeleteKeyFunction ntDeleteKey = nullptr;

// Creates `path` below `parent` as a link to the NT path `target`.
bool Link(HKEY parent, const char *path, const char *target) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE | REG_OPTION_CREATE_LINK,
                      KEY_ALL_ACCESS | view, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // The target as UTF-16 without its terminating zero, as the kernel reads it.
  wchar_t wide[MAX_PATH];
  int length = MultiByteToWideChar(CP_ACP, 0, target, -1, wide, MAX_PATH) - 1;
  LONG result = length > 0 ? RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                                            reinterpret_cast<const BYTE *>(wide),
                                            static_cast<DWORD>(length) * sizeof(wchar_t))
                           : ERROR_INVALID_PARAMETER;
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool IsLink(HKEY key) {
  DWORD type = REG_NONE;
  return RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) ==
             ERROR_SUCCESS &&
         type == REG_LINK;
}

// Administrators' full control again, for a key that a test locked: its
// owner may always set its DACL.
constexpr char Freed[] = "O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)";

bool SetSddl(HKEY parent, const wchar_t *name, const char *sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  HKEY key = nullptr;
  LONG result =
      RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, WRITE_OWNER | WRITE_DAC | view, &key);
  if (result == ERROR_SUCCESS) {
    result =
        RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    RegCloseKey(key);
  }
  LocalFree(descriptor);
  return result == ERROR_SUCCESS;
}

// Relative to each parent's handle, so that no path grows past what the
// registry functions take, and by wide names, which every key's name is. A
// key that a test locked is freed first.
bool Clear(HKEY parent, const wchar_t *name) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
  if (opened == ERROR_ACCESS_DENIED && SetSddl(parent, name, Freed)) {
    opened = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
  }
  if (opened != ERROR_SUCCESS) {
    return opened == ERROR_FILE_NOT_FOUND;
  }
  if (!IsLink(key)) {
    wchar_t child[MAX_PATH];
    DWORD length = MAX_PATH;
    for (DWORD i = 0;
         RegEnumKeyExW(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = MAX_PATH) {
      i += Clear(key, child) ? 0 : 1; // a deleted child lets the next one move up
    }
  }
  bool deleted = ntDeleteKey(key) >= 0;
  RegCloseKey(key);
  return deleted;
}

bool Deep(const char *path, int levels) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  char name[101];
  for (int level = 0; key && level < levels; ++level) {
    std::snprintf(name, sizeof name, "%03d%097d", level, 0);
    HKEY below = nullptr;
    if (RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &below,
                        nullptr) != ERROR_SUCCESS) {
      below = nullptr;
    }
    RegCloseKey(key);
    key = below;
  }
  return key && RegCloseKey(key) == ERROR_SUCCESS;
}

// A path or name of a command: UTF-8, each %XX the byte XX.
std::wstring Wide(const char *text) {
  std::string bytes;
  for (const char *at = text; *at; ++at) {
    unsigned byte = 0;
    if (at[0] == '%' && at[1] && at[2] && std::sscanf(at + 1, "%2x", &byte) == 1) {
      bytes += static_cast<char>(byte);
      at += 2;
    } else {
      bytes += *at;
    }
  }
  wchar_t wide[4 * MAX_PATH];
  int length = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, wide, 4 * MAX_PATH);
  return length > 0 ? std::wstring(wide) : std::wstring();
}

bool Name(const char *path, const char *name) {
  HKEY parent = nullptr;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_ALL_ACCESS | view, &parent) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG created = RegCreateKeyExW(parent, Wide(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                 nullptr, &key, nullptr);
  RegCloseKey(parent);
  return created == ERROR_SUCCESS && RegCloseKey(key) == ERROR_SUCCESS;
}

// Whether the key `name` below `parent` is there, as itself; false too once
// `parent` itself is gone.
bool Present(HKEY parent, const char *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Another process against the walk: each swap names the next leaf, below
// the parent's handle, so that nothing is made once the parent has gone.
bool Race(const char *path, int count, const char *target) {
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &parent) != ERROR_SUCCESS) {
    return false;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  DWORD deadline = GetTickCount() + 120000;
  for (int i = 0; i + 1 < count && GetTickCount() < deadline; ++i) {
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "Leaf%03d", i);
    while (Present(parent, leaf) && GetTickCount() < deadline) {
    }
    if (RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED) {
      break; // the walk is past this key
    }
    for (int spin = 0; spin < i % 5; ++spin) {
      Present(parent, leaf);
    }
    std::snprintf(leaf, sizeof leaf, "Leaf%03d", i + 1);
    char victim[MAX_PATH];
    std::snprintf(victim, sizeof victim, "%s\\Victim%03d", target, i + 1);
    wchar_t wide[32];
    std::swprintf(wide, sizeof wide / sizeof *wide, L"Leaf%03d", i + 1);
    Clear(parent, wide);
    if (Link(parent, leaf, victim)) {
      std::printf("swapped %s\n", leaf);
      std::fflush(stdout);
    }
  }
  RegCloseKey(parent);
  std::printf("done\n");
  return true;
}

// The view flags apply to HKLM only: Wine's own settings in HKCU are read
// by every process, whatever its bitness.
bool Create(HKEY root, const char *path, HKEY &key) {
  REGSAM flags = root == HKEY_LOCAL_MACHINE ? view : 0;
  return RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | flags, nullptr, &key,
                         nullptr) == ERROR_SUCCESS;
}

bool SetString(HKEY root, const char *path, const char *name, const char *data) {
  HKEY key = nullptr;
  if (!Create(root, path, key)) {
    return false;
  }
  LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(data),
                               static_cast<DWORD>(std::strlen(data) + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool SetTyped(const char *path, const char *name, const char *type, const char *hex) {
  wchar_t wide[MAX_PATH];
  std::vector<BYTE> data;
  for (const char *at = hex; std::strcmp(hex, "-") != 0 && at[0] && at[1]; at += 2) {
    char pair[3] = {at[0], at[1], 0};
    data.push_back(static_cast<BYTE>(std::strtoul(pair, nullptr, 16)));
  }
  HKEY key = nullptr;
  if (MultiByteToWideChar(CP_UTF8, 0, std::strcmp(name, "@") ? name : "", -1, wide, MAX_PATH) <=
          0 ||
      !Create(HKEY_LOCAL_MACHINE, path, key)) {
    return false;
  }
  LONG result = RegSetValueExW(key, wide, 0, std::strtoul(type, nullptr, 10), data.data(),
                               static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool MakeKey(const char *path) {
  HKEY key = nullptr;
  return Create(HKEY_LOCAL_MACHINE, path, key) && RegCloseKey(key) == ERROR_SUCCESS;
}

// UTF-8 for `length` wide characters (-1: up to the terminating zero),
// without the terminating zeros that a string value or the count brings.
std::string Utf8(const wchar_t *text, int length = -1) {
  char narrow[4 * MAX_PATH];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, narrow, sizeof narrow, nullptr, nullptr);
  std::string utf8(narrow, size > 0 ? static_cast<std::size_t>(size) : 0);
  utf8.erase(utf8.find_last_not_of('\0') + 1);
  return utf8;
}

// A key's name as dump prints it: a control character, a tab and '%' as %XX.
std::string Shown(const wchar_t *name) {
  std::string shown;
  for (char c : Utf8(name)) {
    auto byte = static_cast<unsigned char>(c);
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
    shown += byte < 0x20 || byte == 0x7F || byte == '%' ? std::string(escaped) : std::string(1, c);
  }
  return shown;
}

// A value's data on one line: strings as they are, numbers in hex, a link's
// target as "link:" and the NT path, anything else as hex bytes.
std::string Data(DWORD type, const BYTE *data, DWORD size) {
  const auto *wide = reinterpret_cast<const wchar_t *>(data);
  int characters = static_cast<int>(size / sizeof(wchar_t));
  char number[16];
  switch (exact ? REG_NONE : type) {
  case REG_SZ:
  case REG_EXPAND_SZ:
    return Utf8(wide, characters);
  case REG_LINK:
    return "link:" + Utf8(wide, characters);
  case REG_DWORD:
    std::snprintf(number, sizeof number, "0x%08lx",
                  size >= 4 ? static_cast<unsigned long>(*reinterpret_cast<const DWORD *>(data))
                            : 0UL);
    return number;
  default:
    std::string bytes = exact ? std::to_string(type) + ":" : "hex:";
    for (DWORD i = 0; i < size; ++i) {
      std::snprintf(number, sizeof number, "%02x", data[i]);
      bytes += number;
    }
    return bytes;
  }
}

// One key as itself and, unless it is a link, every key below it; false on
// any error, so that a key that cannot be read never passes for one that
// is gone.
bool Dump(HKEY parent, const wchar_t *name, const std::string &path, bool top) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_READ | view, &key);
  if (opened != ERROR_SUCCESS) {
    if (top && opened == ERROR_FILE_NOT_FOUND) {
      std::printf("MISSING\n");
      return true;
    }
    if (opened == ERROR_ACCESS_DENIED) {
      std::printf("LOCKED\t%s\n", path.c_str()); // there, but not for reading
      return true;
    }
    std::fprintf(stderr, "regtool: %s: error %ld\n", path.c_str(), static_cast<long>(opened));
    return false;
  }
  std::printf("KEY\t%s\n", path.c_str());
  wchar_t valueName[MAX_PATH];
  BYTE data[8192];
  bool ok = true;
  DWORD i = 0;
  for (;; ++i) {
    DWORD nameLength = MAX_PATH;
    DWORD type = REG_NONE;
    DWORD size = sizeof data;
    LONG read = RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type, data, &size);
    if (read == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (read != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    std::printf("VALUE\t%s\t%s\t%s\n", path.c_str(), Utf8(valueName).c_str(),
                Data(type, data, size).c_str());
  }
  if (ok && !IsLink(key)) {
    wchar_t child[MAX_PATH];
    DWORD length = MAX_PATH;
    LONG listed = ERROR_SUCCESS;
    for (i = 0; ok && (listed = RegEnumKeyExW(key, i, child, &length, nullptr, nullptr, nullptr,
                                              nullptr)) == ERROR_SUCCESS;
         ++i, length = MAX_PATH) {
      ok = Dump(key, child, path + "\\" + Shown(child), false);
    }
    ok = ok && listed == ERROR_NO_MORE_ITEMS;
  }
  RegCloseKey(key);
  return ok;
}

// A key's owner and DACL as SDDL: "SDDL path sddl".
bool PrintSddl(const char *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, READ_CONTROL | view, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  BYTE descriptor[4096];
  DWORD size = sizeof descriptor;
  LPSTR text = nullptr;
  bool read = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                descriptor, &size) == ERROR_SUCCESS &&
              ConvertSecurityDescriptorToStringSecurityDescriptorA(
                  descriptor, SDDL_REVISION_1,
                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
  RegCloseKey(key);
  if (read) {
    std::printf("SDDL\t%s\t%s\n", path, text);
    LocalFree(text);
  }
  return read;
}

bool DumpTree(const char *path) {
  std::printf("DUMP\t%d\t%s\n",
              view == KEY_WOW64_32KEY   ? 32
              : view == KEY_WOW64_64KEY ? 64
                                        : 0,
              path);
  return Dump(HKEY_LOCAL_MACHINE, Wide(path).c_str(), path, true);
}

// The commands of a script file, each field a token.
bool ReadScript(const char *file, std::vector<std::string> &tokens) {
  FILE *script = std::fopen(file, "rb");
  if (!script) {
    return false;
  }
  char line[8192];
  while (std::fgets(line, sizeof line, script)) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
      text.pop_back();
    }
    for (std::size_t at = 0; !text.empty() && at <= text.size();) {
      std::size_t tab = text.find('\t', at);
      tab = tab == std::string::npos ? text.size() : tab;
      tokens.push_back(text.substr(at, tab - at));
      at = tab + 1;
    }
  }
  std::fclose(script);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  ntDeleteKey = reinterpret_cast<NtDeleteKeyFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
  std::vector<std::string> tokens;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '@') {
      if (!ReadScript(argv[i] + 1, tokens)) {
        std::fprintf(stderr, "regtool: cannot read %s\n", argv[i] + 1);
        return 2;
      }
    } else {
      tokens.emplace_back(argv[i]);
    }
  }
  std::size_t i = 0;
  auto has = [&](std::size_t count) { return i + count < tokens.size(); };
  auto arg = [&](std::size_t n) { return tokens[i + n].c_str(); };
  while (i < tokens.size()) {
    bool done = false;
    const std::string command = tokens[i];
    std::size_t used = 1;
    if (command == "/32" || command == "/64") {
      view = command == "/32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
      done = true;
    } else if (command == "key" && has(1)) {
      done = MakeKey(arg(1));
      used = 2;
    } else if (command == "value" && has(3)) {
      done = SetString(HKEY_LOCAL_MACHINE, arg(1), arg(2), arg(3));
      used = 4;
    } else if (command == "typed" && has(4)) {
      done = SetTyped(arg(1), arg(2), arg(3), arg(4));
      used = 5;
    } else if (command == "exact") {
      exact = done = true;
    } else if (command == "user" && has(3)) {
      done = SetString(HKEY_CURRENT_USER, arg(1), arg(2), arg(3));
      used = 4;
    } else if (command == "lock" && has(2)) {
      done = SetSddl(HKEY_LOCAL_MACHINE, Wide(arg(1)).c_str(), arg(2));
      used = 3;
    } else if (command == "sddl" && has(1)) {
      done = PrintSddl(arg(1));
      used = 2;
    } else if (command == "dump" && has(1)) {
      done = DumpTree(arg(1));
      used = 2;
    } else if (command == "link" && has(2)) {
      done = Link(HKEY_LOCAL_MACHINE, arg(1), arg(2));
      used = 3;
    } else if (command == "deep" && has(2)) {
      done = Deep(arg(1), std::atoi(arg(2)));
      used = 3;
    } else if (command == "name" && has(2)) {
      done = Name(arg(1), arg(2));
      used = 3;
    } else if (command == "race" && has(3) && ntDeleteKey) {
      done = Race(arg(1), std::atoi(arg(2)), arg(3));
      used = 4;
    } else if (command == "clear" && has(1) && ntDeleteKey) {
      done = Clear(HKEY_LOCAL_MACHINE, Wide(arg(1)).c_str());
      used = 2;
    } else {
      std::fprintf(stderr, "usage: regtool [@FILE | /32 | /64 | key KEY | value KEY NAME DATA | "
                           "typed KEY NAME TYPE HEX | exact | "
                           "user KEY NAME DATA | lock KEY SDDL | sddl KEY | dump KEY | link KEY "
                           "TARGET | clear KEY | deep KEY N | "
                           "name KEY NAME | race KEY N TARGET]...\n");
      return 2;
    }
    std::fflush(stdout);
    if (!done) {
      std::fprintf(stderr, "regtool: %s %s failed\n", command.c_str(), arg(used - 1));
      return 1;
    }
    i += used;
  }
  return 0;
}
