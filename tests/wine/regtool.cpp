// The Wine suite's own registry tool, for what reg.exe cannot do safely:
// make registry links, and delete subtrees that may hold them. reg.exe's
// `delete /f` and a .reg file's [-key] follow a link into its target, and
// .reg imports also ignore the registry view they are told to use.
//
// Usage: regtool.exe [/32|/64] COMMAND...
//   link KEY TARGET   creates HKLM\KEY as a link to the NT path TARGET
//   clear KEY         deletes HKLM\KEY and its subtree, each key through its
//                     own handle, so that a link goes as itself
// /32 and /64 choose the registry view on 64-bit Windows. Exits 0 when
// every command did what it says, and names the first that did not.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE);

REGSAM view = 0;
NtDeleteKeyFunction ntDeleteKey = nullptr;

bool Link(const char *path, const char *target) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr,
                      REG_OPTION_NON_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | view,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
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
// A functions take.
bool Clear(HKEY parent, const char *name) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
  if (opened != ERROR_SUCCESS) {
    return opened == ERROR_FILE_NOT_FOUND;
  }
  if (!IsLink(key)) {
    char child[MAX_PATH];
    DWORD length = MAX_PATH;
    for (DWORD i = 0;
         RegEnumKeyExA(key, i, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = MAX_PATH) {
      i += Clear(key, child) ? 0 : 1; // a deleted child lets the next one move up
    }
  }
  bool deleted = ntDeleteKey(key) >= 0;
  RegCloseKey(key);
  return deleted;
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
      done = Link(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (std::strcmp(command, "clear") == 0 && i + 1 < argc && ntDeleteKey) {
      done = Clear(HKEY_LOCAL_MACHINE, argv[i + 1]);
      i += 2;
    } else {
      std::fprintf(stderr, "usage: regtool [/32|/64] (link KEY TARGET | clear KEY)...\n");
      return 2;
    }
    if (!done) {
      std::fprintf(stderr, "regtool: %s %s failed\n", command, argv[i - 1]);
      return 1;
    }
  }
  return 0;
}
