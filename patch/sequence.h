// The run: its arguments, the two gates, the registry views, and how the
// outcome is told.
#pragma once

#include "platform/win32.h"
#include <cstddef>

// The whole run, as the body of WinMain: the arguments, the version gate,
// the administrator gate, the removal and its report. Returns the exit code:
// 0 whatever happened, unless /quiet asks for the outcome's own code or an
// argument was not understood.
int ApplyPatch();

// The registry views to clear on this machine, into `views`; returns how
// many. 64-bit Windows keeps two views of HKLM\Software, the native one and
// the 32-bit one (Software\Wow6432Node), each named by its flag
// (KEY_WOW64_64KEY, KEY_WOW64_32KEY); 32-bit Windows has one, named by 0.
std::size_t RegistryViews(REGSAM (&views)[2]);
