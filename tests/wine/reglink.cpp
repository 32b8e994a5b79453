// The Wine suite's own registry tool for what reg.exe cannot do: make
// registry links, and take links out of a subtree as links, so that reg.exe
// can then delete the rest without following them.
//
// Usage: reglink.exe [/32|/64] COMMAND...
//   make KEY TARGET   creates HKLM\KEY as a link to the NT path TARGET
//   unlink KEY        removes every link at or below HKLM\KEY, as itself
// /32 and /64 choose the registry view on 64-bit Windows. Exits 0 when
// every command did what it says, and names the first that did not.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE);

REGSAM view = 0;

bool Make(const char *path, const char *target) {
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

// Walks the subtree with every key opened as itself, removing each link;
// says whether `path` itself went, and notes any link that would not.
bool Unlink(const char *path, NtDeleteKeyFunction ntDeleteKey, bool &failed) {
  HKEY key = nullptr;
  LONG opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | view, &key);
  if (opened != ERROR_SUCCESS) {
    failed = failed || opened != ERROR_FILE_NOT_FOUND;
    return false;
  }
  bool removed = false;
  if (IsLink(key)) {
    removed = ntDeleteKey(key) >= 0;
    failed = failed || !removed;
  } else {
    char name[MAX_PATH];
    char child[2 * MAX_PATH];
    DWORD length = MAX_PATH;
    for (DWORD i = 0;
         RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         length = MAX_PATH) {
      std::snprintf(child, sizeof child, "%s\\%s", path, name);
      i += Unlink(child, ntDeleteKey, failed) ? 0 : 1; // a removed link lets the next move up
    }
  }
  RegCloseKey(key);
  return removed;
}

} // namespace

int main(int argc, char **argv) {
  auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "/32") == 0 || std::strcmp(argv[i], "/64") == 0)) {
    view = std::strcmp(argv[i++], "/32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  }
  while (i < argc) {
    bool done = false;
    const char *command = argv[i];
    if (std::strcmp(command, "make") == 0 && i + 2 < argc) {
      done = Make(argv[i + 1], argv[i + 2]);
      i += 3;
    } else if (std::strcmp(command, "unlink") == 0 && i + 1 < argc && ntDeleteKey) {
      bool failed = false;
      Unlink(argv[i + 1], ntDeleteKey, failed);
      done = !failed;
      i += 2;
    } else {
      std::fprintf(stderr, "usage: reglink [/32|/64] (make KEY TARGET | unlink KEY)...\n");
      return 2;
    }
    if (!done) {
      std::fprintf(stderr, "reglink: %s %s failed\n", command, argv[i - 1]);
      return 1;
    }
  }
  return 0;
}
