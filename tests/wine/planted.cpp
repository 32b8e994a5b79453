// A DLL planted beside a program: whatever loads it, it leaves a marker
// beside itself ("<its own path>.loaded", holding the program's path) and
// declines to load. It imports KERNEL32 alone, which no test plants.
#include <windows.h>

extern "C" BOOL WINAPI PlantedMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  char marker[MAX_PATH + 8];
  DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return FALSE;
  }
  lstrcpyA(marker + length, ".loaded");
  char host[MAX_PATH];
  DWORD hostLength = GetModuleFileNameA(nullptr, host, MAX_PATH);
  HANDLE file =
      CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, host, hostLength < MAX_PATH ? hostLength : 0, &written, nullptr);
    CloseHandle(file);
  }
  return FALSE;
}
