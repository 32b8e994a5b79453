// With /backup, each key of the walk is saved before it goes: its path and
// every value, as regedit exports them, written and flushed to disk before
// NtDeleteKey. What a .reg file cannot hold (a link, a key's permissions)
// is named in the file and the log instead.
#include "patch/backup.h"
#include "patch/keypath.h"
#include "patch/log.h"
#include "patch/regformat.h"
#include "patch/texts.h"
#include "patch/walk.h"

namespace {

constexpr char LinkValueName[] = "SymbolicLinkValue";

// Scratch for the key at hand, outside the walk's stack, which holds a
// frame for each level. A path longer than this (a tree near the 512
// levels Windows allows, with long names) is not saved, and its key stays;
// so does a key with a value above 1 MiB (Windows advises keeping values
// below 2 KiB).
WCHAR pathRoom[16384];
WCHAR valueName[regformat::MaxValueName + 1];
alignas(4) BYTE valueData[regformat::MaxData];

// A line end would end the line inside a name, and U+0000 ends a quoted
// name for regedit, which would import what follows under another name.
bool Unwritable(const WCHAR *text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n' || text[i] == 0) {
      return true;
    }
  }
  return false;
}

bool IsLinkValue(const WCHAR *name, DWORD length, DWORD type) {
  return type == REG_LINK && regformat::Same(name, length, LinkValueName);
}

// The key's path from HKEY_LOCAL_MACHINE, as the registry holds its names,
// at the end of `pathRoom`.
struct KeyPathText {
  const WCHAR *text;
  std::size_t length;
};

// "; HKEY_LOCAL_MACHINE\..." and what follows, a comment line of its own.
void PutComment(Backup &backup, KeyPathText path, const char *what) {
  PutText(backup, "; ");
  PutText(backup, MachineKeyName);
  PutWide(backup, path.text, path.length);
  PutText(backup, what);
}

// A link, which regedit would import as a plain key, is named with its
// target in the file and the log, and not restored.
void PutLink(const Walk &walk, const Trail &trail, KeyPathText path, DWORD size) {
  Backup &backup = *walk.backup;
  // The target, an NT path without its zero, where the value's name was.
  WCHAR *target = valueName;
  std::size_t length = size / sizeof(WCHAR);
  length = length < sizeof valueName / sizeof valueName[0] ? length : 0;
  for (std::size_t i = 0; i < length; ++i) {
    target[i] = static_cast<WCHAR>(valueData[2 * i] | valueData[2 * i + 1] << 8);
    // A control character would end the comment line, and what follows
    // it would be read as a value.
    target[i] = target[i] < 0x20 ? static_cast<WCHAR>('?') : target[i];
  }
  PutComment(backup, path, " was a registry link to ");
  PutWide(backup, target, length);
  PutText(backup, "\r\n; A .reg file cannot hold a link: it is not restored.\r\n");
  if (walk.report->log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, "Link, which the backup cannot restore: ");
  AddPath(line, trail, walk.view);
  Add(line, " to ");
  AddShown(line, target, length);
  WriteLine(*walk.report, line);
}

// Writes the key's record: its path, and each value, the last first, so
// that a value that another process deletes meanwhile moves only values
// already saved into the places still to be read. Its subkeys are counted
// into `subkeys`. ERROR_SUCCESS, or why the key must stay.
LONG Save(HKEY key, const Trail &trail, const Walk &walk, bool takenOver, DWORD &subkeys) {
  Backup &backup = *walk.backup;
  if (!backup.regQueryInfoKey || !backup.regEnumValue) {
    backup.error = ERROR_PROC_NOT_FOUND; // no value could be read
    return ERROR_WRITE_FAULT;
  }
  // The names that opened each key, exactly: regedit puts the key back
  // under the same name, whatever the ANSI code page holds.
  constexpr std::size_t room = sizeof pathRoom / sizeof pathRoom[0];
  std::size_t start = 0;
  if (!KeyPath(trail, walk.view, pathRoom, room, start)) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  const KeyPathText path = {pathRoom + start, room - start};
  if (Unwritable(path.text, path.length)) {
    return ERROR_INVALID_DATA; // a name that no .reg file can hold
  }
  // How many values, the longest name and the largest data: what a value
  // that another process sets meanwhile changes. (The last-write time
  // changes too as subkeys go, which other runs make go.)
  DWORD before[3] = {};
  LONG result = backup.regQueryInfoKey(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                       &before[0], &before[1], &before[2], nullptr, nullptr);
  const DWORD values = before[0];
  if (result != ERROR_SUCCESS) {
    return result;
  }
  if (!OpenBackup(backup)) {
    return ERROR_WRITE_FAULT;
  }
  // Where the record begins, to take it back while it is all still waiting.
  std::size_t mark = backup.length;
  DWORD writes = backup.writes;
  if (takenOver) {
    PutComment(backup, path,
               " was taken over: restored, it has the permissions its parent gives, not its "
               "own.\r\n");
    LogKey(*walk.report, "Permissions, which the backup cannot restore: ", trail, walk.view);
  }
  // The record's first line comes with its first value, so that a link,
  // which holds only its target, leaves no plain key to import in its place.
  bool link = false;
  bool headed = false;
  auto head = [&backup, &headed, path] {
    if (!headed) {
      PutText(backup, "[");
      PutText(backup, MachineKeyName);
      PutWide(backup, path.text, path.length);
      PutText(backup, "]\r\n");
      headed = true;
    }
  };
  for (DWORD index = values; index-- > 0 && result == ERROR_SUCCESS;) {
    DWORD nameLength = sizeof valueName / sizeof valueName[0];
    DWORD size = sizeof valueData;
    DWORD type = REG_NONE;
    result =
        backup.regEnumValue(key, index, valueName, &nameLength, nullptr, &type, valueData, &size);
    if (result == ERROR_NO_MORE_ITEMS) {
      result = ERROR_SUCCESS; // deleted meanwhile: one fewer to read
    } else if (result == ERROR_SUCCESS && IsLinkValue(valueName, nameLength, type)) {
      link = true;
      PutLink(walk, trail, path, size);
    } else if (result == ERROR_SUCCESS && Unwritable(valueName, nameLength)) {
      result = ERROR_INVALID_DATA;
    } else if (result == ERROR_SUCCESS) {
      head();
      PutValue(backup, valueName, nameLength, type, valueData, size);
    }
  }
  // A value that another process set meanwhile (a new one lists after the
  // ones read) may be missing from the record.
  DWORD after[3] = {};
  if (result == ERROR_SUCCESS) {
    result = backup.regQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    &after[0], &after[1], &after[2], nullptr, nullptr);
  }
  if (result == ERROR_SUCCESS &&
      (after[0] != before[0] || after[1] != before[1] || after[2] != before[2])) {
    result = ERROR_BUSY;
  }
  if (result != ERROR_SUCCESS && backup.writes == writes) {
    backup.length = mark; // the key stays: no record of it
  } else {
    if (!link) {
      head();
    }
    PutText(backup, "\r\n");
  }
  return backup.error != ERROR_SUCCESS ? ERROR_WRITE_FAULT : result;
}

// NtDeleteKey once the file is on disk; StatusCannotDelete, untried, if it
// cannot be.
LONG DeleteFlushed(HKEY key, const Walk &walk) {
  return FlushBackup(*walk.backup) ? walk.ntDeleteKey(key) : StatusCannotDelete;
}

} // namespace

Fate SaveAndDelete(HKEY key, const Trail &trail, const Walk &walk, bool takenOver) {
  DWORD subkeys = 0;
  // Read again while another process changes it, a few times at most; a
  // key that keeps changing stays.
  LONG saved = ERROR_BUSY;
  for (int tries = 0; tries < 3 && saved == ERROR_BUSY; ++tries) {
    saved = Save(key, trail, walk, takenOver, subkeys);
  }
  if (saved == ERROR_KEY_DELETED) {
    return Vanished;
  }
  if (saved != ERROR_SUCCESS) {
    // It stays; what lies below it, saved on its own, still goes.
    if (subkeys && !BackupFailed(walk.backup)) {
      DeleteSubkeys(key, trail, walk);
    }
    return Fate{saved, 0};
  }
  // A key with subkeys is emptied first: asked before, it would cost a
  // flush for nothing.
  DWORD stayed = walk.report->stayed;
  LONG status =
      EmptyAndDelete(key, trail, walk, subkeys ? StatusCannotDelete : DeleteFlushed(key, walk),
                     [key, &walk] { return DeleteFlushed(key, walk); });
  if (Refused(status) && BackupFailed(walk.backup)) {
    return Fate{ERROR_WRITE_FAULT, 0};
  }
  return Deleted(status, walk.report->stayed != stayed);
}
