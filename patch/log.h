// The /log file and every line of it.
#pragma once

#include "patch/line.h"
#include "patch/openfile.h"
#include "patch/report.h"
#include "patch/walk.h"
#include <cstddef>

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
