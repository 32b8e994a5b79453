// The one door to the platform: the real Win32 headers when building for
// Windows, the in-memory stand-in everywhere else. The patch logic includes
// only this file and calls the platform by its own names either way.
#pragma once

#ifdef _WIN32
// A wide literal, of the WCHAR of either side (wchar_t here, char16_t in
// the stand-in).
#define WIDE(text) L##text
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#define WIDE(text) u##text
#include "emulated/windows.h"
#endif
