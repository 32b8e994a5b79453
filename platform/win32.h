// The one door to the platform: the real Win32 headers when building for
// Windows, the in-memory stand-in everywhere else. The patch logic includes
// only this file and calls the platform by its own names either way.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "emulated/windows.h"
#endif
