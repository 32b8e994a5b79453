#include "patch/patch.h"

namespace {

// An NTSTATUS: negative is a failure.
constexpr LONG StatusKeyDeleted = static_cast<LONG>(0xC000017C);

} // namespace

void ShowWarning(const char *text) { MessageBoxA(nullptr, text, WarningCaption, MB_ICONWARNING); }

LONG DeleteKey(HKEY parent, const char *name, const Walk &walk) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | walk.view, &key);
  if (result == ERROR_KEY_DELETED) {
    // Another process deleted the parent, which it could do only once every
    // key below it was gone.
    return ERROR_FILE_NOT_FOUND;
  }
  if (result != ERROR_SUCCESS) {
    return result;
  }
  // Asked first: a leaf, or a link, goes at once; a key with subkeys is
  // refused, then emptied and asked again.
  LONG status = walk.ntDeleteKey(key);
  if (status < 0 && status != StatusKeyDeleted) {
    DeleteSubkeys(key, walk);
    status = walk.ntDeleteKey(key);
  }
  RegCloseKey(key);
  if (status == StatusKeyDeleted) {
    return ERROR_FILE_NOT_FOUND; // deleted by another process while open
  }
  return status < 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

void DeleteSubkeys(HKEY key, const Walk &walk) {
  char name[MAX_PATH];
  DWORD length = MAX_PATH;
  // Each deleted child lets the next one move up to `index`; a child that
  // stays is stepped over, so that the ones after it still go and the loop
  // ends when enumeration runs out.
  DWORD index = 0;
  // A child that is not there when opened was removed by another process:
  // the enumeration is asked again at the same index. Only once, since a name
  // that enumerates but never opens (one the ANSI code page cannot hold comes
  // back with '?' in it) is a child that stays.
  bool vanished = false;
  while (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    LONG result = DeleteKey(key, name, walk);
    bool missing = result == ERROR_FILE_NOT_FOUND && !vanished;
    if (result != ERROR_SUCCESS && !missing) {
      if (!walk.quiet) {
        ShowWarning(ChildNotDeletedText);
      }
      ++index;
    }
    vanished = missing;
    length = MAX_PATH;
  }
}
