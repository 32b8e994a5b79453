#include "patch/patch.h"

#include <cstring>

namespace {

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

} // namespace

void ShowWarning(const char *text) { MessageBoxA(nullptr, text, WarningCaption, MB_ICONWARNING); }

void DeleteSubkeys(const char *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return;
  }
  char name[MAX_PATH];
  char child[MAX_PATH];
  DWORD length = MAX_PATH;
  // Each deleted child lets the next one move up to `index`; a child that
  // stays is stepped over, so that the ones after it are still removed and
  // the loop ends when enumeration runs out.
  DWORD index = 0;
  while (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    bool deleted = false;
    if (JoinPath(child, path, name)) {
      DeleteSubkeys(child);
      deleted = RegDeleteKeyA(HKEY_LOCAL_MACHINE, child) == ERROR_SUCCESS;
    }
    if (!deleted) {
      ShowWarning(ChildNotDeletedText);
      ++index;
    }
    length = MAX_PATH;
  }
  RegCloseKey(key);
}
