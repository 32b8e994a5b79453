// /restore:<file>: what /backup removed, put back by the patch itself, and
// nothing else, whatever the file holds.
#pragma once

#include "patch/line.h"
#include "patch/report.h"

// Reads the whole file at `path`, checks it against what /backup writes,
// every record inside the patch key (or, on 64-bit Windows, its
// Wow6432Node twin, for the 32-bit view), and only then writes: each key
// created or opened below its parent's handle by its one name, never
// through a link, and each value set exactly. Returns the outcome's code:
// ERROR_SUCCESS when every key and value is back, ExitKeysLeft when some
// could not be written (each logged), ExitRestoreInvalid for a file
// refused, with nothing written, ExitRestoreUnread for one that cannot be
// opened or read; `text` gets the box's words.
int Restore(const WCHAR *path, Report &report, Line &text);
