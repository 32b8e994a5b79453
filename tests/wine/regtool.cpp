// The Wine suite's own registry tool, for what reg.exe cannot do safely or
// at all: make registry links, delete subtrees that may hold them, make keys
// deeper than a path can name or with names outside the ANSI code page, and
// race the patch as another process would. reg.exe's `delete /f` and a .reg
// file's [-key] follow a link into its target, and .reg imports also ignore
// the registry view they are told to use.
//
// Usage: regtool.exe [/32|/64] COMMAND...
//   link KEY TARGET   creates HKLM\KEY as a link to the NT path TARGET
//   clear KEY         deletes HKLM\KEY and its subtree, each key through its
//                     own handle, so that a link goes as itself
//   deep KEY N        creates N levels of 100-character names below HKLM\KEY,
//                     each relative to the one above
//   omega KEY         creates HKLM\KEY\Caf\u03a9, a name the ANSI code page
//                     of a Western system cannot hold
//   race KEY N TARGET for each i below N-1: waits until HKLM\KEY\Leaf<i>
//                     is gone, then at once (after a delay that differs
//                     from one i to the next) swaps Leaf<i+1> for a link to
//                     the NT path TARGET\Victim<i+1>; ends when the key goes
// /32 and /64 choose the registry view on 64-bit Windows. Exits 0 when
// every command did what it says, and names the first that did not.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE);

REGSAM view = 0;
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

// Relative to each parent's handle, so that no path grows past what the
// registry functions take, and by wide names, which every key's name is.
bool Clear(HKEY parent, const wchar_t *name) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
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

bool Omega(const char *path) {
  HKEY parent = nullptr;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &parent) != ERROR_SUCCESS) {
    return false;
  }
  LONG created = RegCreateKeyExW(parent, L"Caf\u03a9", 0, nullptr, 0, KEY_ALL_ACCESS | view,
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

} // namespace

int main(int argc, char **argv) {
  ntDeleteKey = reinterpret_cast<NtDeleteKeyFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "/32") == 0 || std::strcmp(argv[i], "/64") == 0)) {
    view = std::strcmp(argv[i++], "/32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  }
  while (i < argc) {
    bool done = false;
    const char *command = argv[i];
    if (std::strcmp(command, "link") == 0 && i + 2 < argc) {
      done = Link(HKEY_LOCAL_MACHINE, argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (std::strcmp(command, "deep") == 0 && i + 2 < argc) {
      done = Deep(argv[i + 1], std::atoi(argv[i + 2]));
      i += 3;
    } else if (std::strcmp(command, "omega") == 0 && i + 1 < argc) {
      done = Omega(argv[i + 1]);
      i += 2;
    } else if (std::strcmp(command, "race") == 0 && i + 3 < argc && ntDeleteKey) {
      done = Race(argv[i + 1], std::atoi(argv[i + 2]), argv[i + 3]);
      i += 4;
    } else if (std::strcmp(command, "clear") == 0 && i + 1 < argc && ntDeleteKey) {
      wchar_t key[MAX_PATH];
      done = MultiByteToWideChar(CP_ACP, 0, argv[i + 1], -1, key, MAX_PATH) > 0 &&
             Clear(HKEY_LOCAL_MACHINE, key);
      i += 2;
    } else {
      std::fprintf(stderr, "usage: regtool [/32|/64] (link KEY TARGET | clear KEY | deep KEY N | "
                           "omega KEY | race KEY N TARGET)...\n");
      return 2;
    }
    if (!done) {
      std::fprintf(stderr, "regtool: %s %s failed\n", command, argv[i - 1]);
      return 1;
    }
  }
  return 0;
}
