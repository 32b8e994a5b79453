// A .reg file read back, item by item, checked against the one form that
// /backup writes (regformat.h); anything else is refused with its line.
#pragma once

#include "platform/win32.h"
#include <cstddef>

// One record or value of the file, in the file's order. A record's path is
// the text after "HKEY_LOCAL_MACHINE\"; a value's name, data and size are
// in the reader's own room until the next item (a null name for the
// default value); data of a quoted string ends with its zero.
struct RegItem {
  bool record;
  const WCHAR *path;
  std::size_t pathLength;
  const WCHAR *name;
  DWORD type;
  const BYTE *data;
  DWORD size;
};

// Where the reader is in the text (UTF-16LE, the byte-order mark first),
// and, once it stopped, why: `why` is null at the file's sound end.
struct RegReader {
  const WCHAR *at;
  const WCHAR *end;
  DWORD line;      // of the item read last, from 1
  bool inRecord;   // a record began, and no blank line ended it yet
  const char *why; // null, or why the file is refused at `line`
};

// Starts at the file's first line: false, with `why`, if it does not begin
// with the byte-order mark and the header, or is not whole characters.
bool OpenReg(RegReader &reader, const BYTE *file, DWORD size);
// The next record or value: false at the end, which is sound only where
// `why` is null (the file ends with a blank line after its last record).
bool NextItem(RegReader &reader, RegItem &item);
