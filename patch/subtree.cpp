#include "patch/patch.h"

#include <cstring>

namespace {

// A registry link is a key whose value of this name, of type REG_LINK, names
// its target. Opening a path through a link, or deleting a path that ends in
// one, reaches the target instead.
constexpr char LinkValueName[] = "SymbolicLinkValue";

// NtDeleteKey deletes the key that a handle names, a link opened as itself
// included. It is in NTDLL on every NT version, though not in the SDK's
// import libraries, and looking it up keeps the program loadable where there
// is no NTDLL at all (Windows 9x), so that it can say it refuses to run.
using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE key);

// Writes `parent\name` into `child` and says whether it fit. A path that does
// not fit is never built: it would be cut short and name some other key.
bool JoinPath(char (&child)[MAX_PATH], const char *parent, const char *name) {
  std::size_t parentLength = std::strlen(parent);
  std::size_t nameLength = std::strlen(name);
  if (parentLength + 1 + nameLength + 1 > sizeof child) {
    return false;
  }
  std::memcpy(child, parent, parentLength);
  child[parentLength] = '\\';
  std::memcpy(child + parentLength + 1, name, nameLength + 1);
  return true;
}

// What to do with a key found without subkeys, which may be a link.
KeyLeft LeafLeft(HKEY key) {
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key, LinkValueName, nullptr, &type, nullptr, nullptr);
  if (result == ERROR_FILE_NOT_FOUND || (result == ERROR_SUCCESS && type != REG_LINK)) {
    return KeyLeft::ByPath;
  }
  if (result != ERROR_SUCCESS) {
    return KeyLeft::Kept;
  }
  auto ntDeleteKey = SystemFunction<NtDeleteKeyFunction>("ntdll.dll", "NtDeleteKey");
  return ntDeleteKey && ntDeleteKey(key) >= 0 ? KeyLeft::Gone : KeyLeft::Kept;
}

} // namespace

void ShowWarning(const char *text) { MessageBoxA(nullptr, text, WarningCaption, MB_ICONWARNING); }

KeyLeft DeleteSubkeys(const char *path, const View &view) {
  HKEY key = nullptr;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK,
                              KEY_ALL_ACCESS | view.flag, &key);
  if (opened != ERROR_SUCCESS) {
    // No key by that name is nothing a deletion by name could follow; a key
    // that would not open may be a link.
    return opened == ERROR_FILE_NOT_FOUND ? KeyLeft::ByPath : KeyLeft::Kept;
  }
  char name[MAX_PATH];
  char child[MAX_PATH];
  DWORD length = MAX_PATH;
  // Each deleted child lets the next one move up to `index`; a child that
  // stays is stepped over, so that the ones after it are still removed and
  // the loop ends when enumeration runs out.
  DWORD index = 0;
  bool hadSubkeys = false; // then it is no link: a link opened as itself has none
  while (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    hadSubkeys = true;
    if (!JoinPath(child, path, name) || DeleteKey(child, view) != ERROR_SUCCESS) {
      ShowWarning(ChildNotDeletedText);
      ++index;
    }
    length = MAX_PATH;
  }
  KeyLeft left = hadSubkeys ? KeyLeft::ByPath : LeafLeft(key);
  RegCloseKey(key);
  return left;
}

LONG DeleteKey(const char *path, const View &view) {
  switch (DeleteSubkeys(path, view)) {
  case KeyLeft::ByPath:
    return view.deleteKeyEx ? view.deleteKeyEx(HKEY_LOCAL_MACHINE, path, view.flag, 0)
                            : RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
  case KeyLeft::Gone:
    return ERROR_SUCCESS;
  case KeyLeft::Kept:
    break;
  }
  return ERROR_ACCESS_DENIED;
}
