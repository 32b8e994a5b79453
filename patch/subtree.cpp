#include "patch/backup.h"
#include "patch/takeover.h"
#include "patch/walk.h"

Fate DeleteKey(HKEY parent, const Trail &trail, const Walk &walk) {
  HKEY key = nullptr;
  LONG result = walk.regOpenKey(parent, trail.name, REG_OPTION_OPEN_LINK, WalkAccessOf(walk), &key);
  if (result == ERROR_ACCESS_DENIED) {
    return TakeOver(parent, trail, walk);
  }
  if (result != ERROR_SUCCESS) {
    return Opened(result);
  }
  Fate fate = walk.backup ? SaveAndDelete(key, trail, walk, false) : Delete(key, trail, walk);
  RegCloseKey(key);
  return fate;
}

Fate Opened(LONG result) {
  // Another process deleted the parent, which it could do only once every
  // key below it was gone.
  return result == ERROR_KEY_DELETED ? Fate{ERROR_FILE_NOT_FOUND, 0} : Fate{result, 0};
}

Fate Deleted(LONG status, bool subkeyStayed) {
  if (status == StatusKeyDeleted) {
    return Vanished;
  }
  if (status >= 0) {
    return Fate{ERROR_SUCCESS, 0};
  }
  // Windows' own word for a key that still has subkeys, and Wine's denial
  // after a subkey the walk saw stay, are both that.
  return Fate{subkeyStayed || status == StatusCannotDelete ? SubkeyStayed : ERROR_ACCESS_DENIED,
              status};
}

void DeleteSubkeys(HKEY key, const Trail &trail, const Walk &walk) {
  WCHAR name[MaxKeyName + 1];
  DWORD length = MaxKeyName + 1;
  // Each deleted child lets the next one move up to `index`; a child that
  // stays is stepped over, so that the ones after it still go and the loop
  // ends when enumeration runs out.
  DWORD index = 0;
  // A child that is not there when opened was removed by another process:
  // the enumeration is asked again at the same index. Only once, so that a
  // name that enumerates but never opens is a child that stays, and the
  // loop still ends.
  bool vanished = false;
  // Once the backup failed, nothing more goes: the rest is not listed.
  while (!BackupFailed(walk.backup) && walk.regEnumKey(key, index, name, &length, nullptr, nullptr,
                                                       nullptr, nullptr) == ERROR_SUCCESS) {
    const Trail child = {name, &trail};
    Fate fate = DeleteKey(key, child, walk);
    bool missing = fate.error == ERROR_FILE_NOT_FOUND && !vanished;
    if (!missing) {
      ReportKey(walk, child, fate);
      index += fate.error == ERROR_SUCCESS ? 0 : 1;
    }
    vanished = missing;
    length = MaxKeyName + 1;
  }
}
