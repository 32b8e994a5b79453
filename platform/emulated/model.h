// State shared by the two halves of the model (registry.cpp, system.cpp).
#pragma once

#include "windows.h"

namespace emulated::model {

void Log(Op op, const std::string &key, const std::string &args, long long result);

// Records the call and returns `result`, so each operation ends with
// `return Record(...)`.
template <typename Result>
Result Record(Op op, const std::string &key, const std::string &args, Result result) {
  Log(op, key, args, static_cast<long long>(result));
  return result;
}

// The error to inject into this call of `op` on `key`, or ERROR_SUCCESS.
// Counts the call, so it must be asked exactly once per call.
LONG Fault(Op op, const std::string &key);

// "NULL" or the string in double quotes, as a call trace shows it.
std::string Quote(const char *text);
std::string Hex(unsigned long long value);

// Windows compares names upper-cased; the model's names are ASCII.
inline char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Served to the program through GetProcAddress only, as on Windows.
LONG WINAPI NtDeleteKey(HANDLE KeyHandle);
LONG WINAPI RtlGetVersion(OSVERSIONINFOW *lpVersionInformation);

// What GetLastError answers next.
void SetLastError(DWORD error);

// The machine as set: 32 or 64.
unsigned WindowsBits();
unsigned ProcessBits();

void ResetRegistry();
void ResetSystem();
void ResetFiles();

} // namespace emulated::model
