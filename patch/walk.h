// The subtree walk: every key of it listed, opened and deleted by its own
// name below its parent's handle.
#pragma once

#include "patch/functions.h"
#include "patch/report.h"
#include "platform/win32.h"

struct Takeover;
struct Backup;

// What the walk needs in one view: the view's flag, passed with every open,
// NtDeleteKey, through which every key goes, the wide functions that list
// and open keys by the names the registry holds, where it reports, what it
// takes a key over with, and the backup, or null without /backup.
//
// The walk is wide on purpose. The A functions hand a name out through the
// ANSI code page's best-fit table, which no flag turns off: a fullwidth
// reverse solidus (U+FF3C) comes back as '\', so a name that holds one
// would be opened as a path of several levels, through any link on the
// way, and a name that best-fits to a sibling's would open the sibling.
// Both W functions are looked up, as Windows 95's ADVAPI32 does not export
// them; the walk never runs where they are missing.
struct Walk {
  REGSAM view;
  NtDeleteKeyFunction ntDeleteKey;
  decltype(&RegOpenKeyExW) regOpenKey;
  decltype(&RegEnumKeyExW) regEnumKey;
  Report *report;
  Takeover *takeover;
  Backup *backup;
};

// What the walk asks of each key: enough to list its subkeys and to delete
// it, and nothing that a key locked "read-only" would refuse; with a
// backup, its values too.
constexpr REGSAM WalkAccess = DELETE | KEY_ENUMERATE_SUB_KEYS;
inline REGSAM WalkAccessOf(const Walk &walk) {
  return WalkAccess | (walk.backup ? KEY_QUERY_VALUE : 0) | walk.view;
}

// The longest key name Windows allows, in characters.
constexpr DWORD MaxKeyName = 255;

// A key of the walk by its name as the registry holds it, with the chain of
// keys above it up to the one the walk began with, all in the walk's own
// stack frames. It names a key in the log and the backup; nothing is ever
// opened by the path it spells.
struct Trail {
  const WCHAR *name;
  const Trail *parent; // null for the key the walk began with
};

// How one key fared: `error` is ERROR_SUCCESS when it went,
// ERROR_FILE_NOT_FOUND when it was already gone, another Win32 error when it
// stays; `status` is NtDeleteKey's refusal when that was why.
struct Fate {
  LONG error;
  LONG status;
};

// Deletes the key `trail.name` below the open key `parent`, with its whole
// subtree, depth-first. Every key is opened relative to its parent's handle
// as itself (a registry link too, whose target is never reached) and
// deleted through its own handle, so that no path is ever resolved again
// from the root and nothing that another process swaps in can redirect the
// walk.
Fate DeleteKey(HKEY parent, const Trail &trail, const Walk &walk);

// Deletes every subkey of the open key `key` (named by `trail`), reporting
// each one that went or stays; one that stays is stepped over.
void DeleteSubkeys(HKEY key, const Trail &trail, const Walk &walk);

// A key's fate from an open that failed, or from NtDeleteKey's answer;
// `subkeyStayed` says that a key below it stays, which is why it does.
Fate Opened(LONG result);
Fate Deleted(LONG status, bool subkeyStayed);
// NtDeleteKey's word for a key that another process deleted while the walk
// held it: gone, though another key may since stand in its name.
constexpr LONG StatusKeyDeleted = static_cast<LONG>(0xC000017C);
// Its word for a key that still has subkeys (Wine says access denied).
constexpr LONG StatusCannotDelete = static_cast<LONG>(0xC0000121);
// The fate of a key that stays because a key below it stays, told in
// words of its own rather than as whatever NtDeleteKey answered.
constexpr LONG SubkeyStayed = ERROR_DIR_NOT_EMPTY;
constexpr char SubkeyStayedText[] = "a subkey of it stayed.";
constexpr Fate Vanished = {ERROR_FILE_NOT_FOUND, StatusKeyDeleted};

// How many times a level is listed at most. A level is listed again while
// its key still cannot be deleted, the last pass removed something (the
// walk, or another process before it) and no key of it stayed: a key that
// another process added meanwhile, or one that the listing passed over as
// others vanished around it, still goes. A key that stays ends the passes:
// listing again would not move it, and would warn of it twice.
constexpr int MaxPasses = 8;

inline bool Refused(LONG status) { return status < 0 && status != StatusKeyDeleted; }

// Empties the open key `key` and asks `remove` to delete it again, pass by
// pass, while `status` (its last answer) is a refusal, as MaxPasses says.
// Inline, so that each level of the walk's recursion takes no frame for it.
template <typename Remove>
inline LONG EmptyAndDelete(HKEY key, const Trail &trail, const Walk &walk, LONG status,
                           Remove remove) {
  const Report &report = *walk.report;
  const DWORD stayed = report.stayed;
  bool progressed = true;
  for (int pass = 0; pass < MaxPasses && Refused(status) && progressed && report.stayed == stayed;
       ++pass) {
    const DWORD gone = report.removed + report.vanished;
    DeleteSubkeys(key, trail, walk);
    progressed = report.removed + report.vanished != gone;
    status = remove();
  }
  return status;
}

// Deletes the open key `key` through its handle, emptying it first if it
// has subkeys.
inline Fate Delete(HKEY key, const Trail &trail, const Walk &walk) {
  // Asked first: a leaf, or a link, goes at once; a key with subkeys is
  // refused, then emptied and asked again.
  DWORD stayed = walk.report->stayed;
  LONG status = EmptyAndDelete(key, trail, walk, walk.ntDeleteKey(key),
                               [key, &walk] { return walk.ntDeleteKey(key); });
  return Deleted(status, walk.report->stayed != stayed);
}

// What the walk reports of each key: counted, and one that stays warned
// about (unless quiet or it is the key the walk began with, which the
// outcome tells) and written to the log with why.
void ReportKey(const Walk &walk, const Trail &key, Fate fate);
