// The process's entry point in the Windows builds, which link no C runtime.
// Without one the program imports nothing but KERNEL32 and ADVAPI32 (it
// loads user32 itself, for a box): no msvcrt.dll, which the first Windows 95
// lacks, and no start-up code that could fail to load where the program
// must start in order to refuse.
// There is nothing to set up: the entry hands over to WinMain and ends the
// process with its result as the exit code.
#include "platform/win32.h"

extern "C" void WINAPI PatchStart() {
  // The whole command line, where a runtime would pass only its tail:
  // WinMain reads none of its arguments.
  ExitProcess(static_cast<UINT>(
      WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT)));
}
