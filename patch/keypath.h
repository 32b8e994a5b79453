// A key's path from HKEY_LOCAL_MACHINE, as the walk's Trail names it: for
// the log's lines and the backup's records.
#pragma once

#include "patch/line.h"
#include "patch/walk.h"
#include <cstddef>

// The path of `key` below HKEY_LOCAL_MACHINE, as `view` keeps it, each
// level after a backslash, built backwards to the end of `path` (`size`
// characters, no terminator): `start` is where the levels that fit begin.
// Returns whether they all did.
bool KeyPath(const Trail &key, REGSAM view, WCHAR *path, std::size_t size, std::size_t &start);
// The path of `key` from HKEY_LOCAL_MACHINE, as `view` keeps it; a path too
// long for a line keeps its last levels, after "...".
void AddPath(Line &line, const Trail &key, REGSAM view);
