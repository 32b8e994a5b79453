// The /log file and every line of it, and the lines of box texts.
#pragma once

#include "patch/openfile.h"
#include "patch/report.h"
#include "patch/walk.h"
#include <cstddef>

// A line of text built on the stack: a log line, or a box's text. What
// does not fit is left out.
struct Line {
  char text[1024];
  std::size_t length;
};
void Add(Line &line, const char *text, std::size_t length = static_cast<std::size_t>(-1));
// Adds text from outside (a key name, a link's target, the command line),
// up to `length` characters or its zero, so that it cannot end the line: a control character (below
// U+0020, and U+007F) as '%' and its code in two hexadecimal digits, and '%' itself as %25. The
// wide form converts to the ANSI code page without best fit, so that a character the code page
// lacks is '?', never a look-alike.
void AddShown(Line &line, const char *text, std::size_t length);
void AddShown(Line &line, const WCHAR *text, std::size_t length);
// Adds `pattern`, each %s in it standing for the next argument, a string,
// each %u for a number (a DWORD), %2u for one of at least two digits (any
// digit from 1 to 9), and %x for a number in eight hexadecimal digits.
void Format(Line &line, const char *pattern, ...);
// The path of `key` below HKEY_LOCAL_MACHINE, as `view` keeps it, each
// level after a backslash, built backwards to the end of `path` (`size`
// characters, no terminator): `start` is where the levels that fit begin.
// Returns whether they all did.
bool KeyPath(const Trail &key, REGSAM view, WCHAR *path, std::size_t size, std::size_t &start);
// The path of `key` from HKEY_LOCAL_MACHINE, as `view` keeps it; a path too
// long for a line keeps its last levels, after "...".
void AddPath(Line &line, const Trail &key, REGSAM view);
// "error N, " and the system's text for it.
void AddError(Line &line, DWORD error);

// The /log file: created if missing and appended to, shared, so that runs on
// many machines can write to one file, and checked as OpenChecked does.
// Windows 9x knows no append-only handle.
OpenedFile OpenLog(const WCHAR *path, const OSVERSIONINFOA &version);
// Starts a log line with the local date and time.
void BeginLine(Line &line);
// Ends the line and appends it in one write. A write that fails stops the
// log, never the run.
void WriteLine(Report &report, Line &line);

// The log's lines. Each does nothing once the log is closed, or without one.
// The first lines of a run: who runs what where, and on which Windows;
// `real` says whether `version` is RtlGetVersion's, which a compatibility
// mode's may differ from. The computer's and the user's names are read
// wide on NT, where the ANSI forms would best-fit them (a user Łukasz would
// be recorded as another user, Lukasz).
void LogStart(Report &report, const WCHAR *commandLine, const OSVERSIONINFOA &version, bool real);
// A line of `text`, with ": " and `error`'s text after it unless ERROR_SUCCESS.
void LogText(Report &report, const char *text, DWORD error = ERROR_SUCCESS);
// A key that stays, by its path (its last levels after "..." where it is
// too long for a line), and why: a subkey of it that stayed, or the error.
void LogStayed(Report &report, const Trail &key, REGSAM view, Fate fate);
// `what` (": " and `error`'s text after it, unless ERROR_SUCCESS) and a
// key's full path: "Taken over: HKEY_LOCAL_MACHINE\..."
void LogKey(Report &report, const char *what, const Trail &key, REGSAM view,
            DWORD error = ERROR_SUCCESS);
// What one view's walk did, after the keys that stayed in it; `fate` is the
// patch key's own.
void LogView(Report &report, REGSAM view, Fate fate);
// The outcome and its exit code; then the log is closed.
void LogEnd(Report &report, const char *outcome, int code);
