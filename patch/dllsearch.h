// The DLL search, made safe before anything else, and user32, loaded by
// the program itself.
#pragma once

#include "platform/win32.h"

// Makes the process's DLL search safe, before anything could load a DLL by
// name: a DLL left beside the program never runs inside it. Each DLL that
// Windows loads into any run by name is loaded ahead from the system
// folder; where Windows can (`version` 6 on, with SetDefaultDllDirectories),
// every other load by name comes from there too; and the current folder
// leaves the search wherever SetDllDirectoryA can take it out. Nothing
// here can stop the run or change how it ends.
void SecureDllSearch(const OSVERSIONINFOA &version);
// user32, which the program does not import: a static import would have
// the loader map it, and what it loads by name, before SecureDllSearch
// could run. Loaded from the system folder by its full path when a run
// first needs a box, after what it and a window bring in by name; a quiet
// run never loads it. Null if it will not load (a service's desktop heap
// used up fails its start).
HMODULE LoadUser32();
