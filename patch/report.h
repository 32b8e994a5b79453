// Where a run tells what it does.
#pragma once

#include "platform/win32.h"

using MessageBoxFunction = decltype(&MessageBoxA);

// Where a run tells what it does: boxes, unless quiet, and the /log file,
// when one is open; and what the walk of the view at hand has found.
struct Report {
  bool quiet;                    // no box: asked for, or no one could answer one
  HANDLE log;                    // INVALID_HANDLE_VALUE without /log, or once a write failed
  bool seekToEnd;                // Windows 9x knows no append-only handle
  bool unlocked;                 // the log's lock was once not granted: no more waits
  DWORD removed;                 // keys this view's walk deleted
  DWORD stayed;                  // keys of this view that stay
  DWORD vanished;                // keys of this view that another process removed first
  DWORD takenOver;               // keys of this view whose DACL the walk replaced
  MessageBoxFunction messageBox; // user32's, once loaded; null while quiet
};
