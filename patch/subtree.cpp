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

namespace {

constexpr DWORD MaxVanishedInRow = 1 << 16;

bool SameName(const WCHAR *a, const WCHAR *b) {
  for (; *a && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

} // namespace

void DeleteSubkeys(HKEY key, const Trail &trail, const Walk &walk) {
  WCHAR name[MaxKeyName + 1];
  DWORD length = MaxKeyName + 1;
  // Each deleted child lets the next one move up to `index`; a child that
  // stays is stepped over, so that the ones after it still go and the loop
  // ends when enumeration runs out.
  DWORD index = 0;
  // A child that is not there when opened was removed by another process
  // (another run, the driver's uninstaller, regedit): it is gone, and the
  // next one has moved up to `index`, which is listed again. Only a name
  // that lists again and still does not open is a child that stays, so
  // that the loop ends: the last name that did not open is kept to tell.
  // And a bound on how many vanish in a row, should names come and go at
  // one index for ever.
  WCHAR missing[MaxKeyName + 1];
  missing[0] = '\0'; // no key has an empty name
  DWORD vanishedInRow = 0;
  // Once the backup failed, nothing more goes: the rest is not listed.
  while (!BackupFailed(walk.backup) && walk.regEnumKey(key, index, name, &length, nullptr, nullptr,
                                                       nullptr, nullptr) == ERROR_SUCCESS) {
    const Trail child = {name, &trail};
    Fate fate = DeleteKey(key, child, walk);
    length = MaxKeyName + 1;
    if (fate.error == ERROR_FILE_NOT_FOUND && !SameName(name, missing) &&
        ++vanishedInRow < MaxVanishedInRow) {
      ++walk.report->vanished;
      for (DWORD i = 0; i <= MaxKeyName && (i == 0 || name[i - 1]); ++i) {
        missing[i] = name[i];
      }
      continue;
    }
    missing[0] = '\0';
    vanishedInRow = 0;
    ReportKey(walk, child, fate);
    index += fate.error == ERROR_SUCCESS ? 0 : 1;
  }
}
