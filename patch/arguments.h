// The command line.
#pragma once

#include "platform/win32.h"
#include <cstddef>

// The command line as Windows holds it. NT keeps it wide, and
// GetCommandLineA is only its copy through the ANSI code page's best-fit
// table, where C:\Łukasz reads as C:\Lukasz, a fullwidth letter as its ASCII
// twin, CJK as '?', and U+FF02 as a quotation mark; so NT's wide line is
// read. Windows 9x keeps the narrow one (its GetCommandLineW is a stub that
// fails), which is widened through the code page it was typed in.
const WCHAR *CommandLine(bool nt);

// What the command line asks for, read before anything else. The program's
// own name comes first and is passed over; every argument after it starts
// with "/" or "-" and is a name in any letter case.
struct Arguments {
  bool quiet;           // /quiet or /q: no box; the exit code tells the outcome
  bool help;            // /?, /help or /h: the usage box, and nothing else
  const WCHAR *unknown; // the first argument not understood, or null
  std::size_t unknownLength;
  // The first /log:, /backup: or /restore: given a second time: which file
  // was meant is not for the run to guess. Null if none was.
  const WCHAR *repeated;
  std::size_t repeatedLength;
  bool logRepeated; // then no log is written
  const WCHAR *log; // what follows "/log:", quotes and all, or null
  std::size_t logLength;
  const WCHAR *backup; // what follows "/backup:", quotes and all, or null
  std::size_t backupLength;
  const WCHAR *restore; // what follows "/restore:", quotes and all, or null
  std::size_t restoreLength;
  // The /restore argument where /backup is given too: a run restores or
  // removes, never both. Null otherwise.
  const WCHAR *conflict;
  std::size_t conflictLength;
};
Arguments ReadArguments(const WCHAR *commandLine);

// A switch's path without the double quotes that group it on the command
// line; false if it is longer than a path may be.
bool Unquoted(const WCHAR *text, std::size_t length, WCHAR (&path)[MAX_PATH]);
