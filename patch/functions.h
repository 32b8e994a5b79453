// What some Windows lacks, looked up at run time, and the last error of a
// call that failed.
#pragma once

#include "platform/win32.h"

// GetLastError for a call that failed; `fallback` where it says "success",
// which would let the caller go on as if nothing had.
inline DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? fallback : error;
}

// A function that a system DLL may not export on every Windows the program
// must start on (so as to refuse it), or of a DLL it loads itself, looked
// up at run time; null if absent.
template <typename Function> Function ModuleFunction(HMODULE module, const char *name) {
  FARPROC found = module ? GetProcAddress(module, name) : nullptr;
  // Through void(*)(), the one cast between function types that means "any".
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
template <typename Function> Function SystemFunction(const char *module, const char *name) {
  return ModuleFunction<Function>(GetModuleHandleA(module), name);
}

// NtDeleteKey deletes the key that a handle names, a link opened as itself
// included, and never a key that still has subkeys. NTDLL exports it on
// every NT version, though the SDK's import libraries do not, so it is
// looked up, once the version gate has passed.
using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE key);
