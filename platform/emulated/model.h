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

// What the ANSI code page's best-fit table gives for a character it lacks
// (see Narrow), or 0 where the table has nothing for it.
char BestFit(unsigned long point);

// Served to the program through GetProcAddress only, as on Windows.
LONG WINAPI NtDeleteKey(HANDLE KeyHandle);
LONG WINAPI RtlGetVersion(OSVERSIONINFOW *lpVersionInformation);

// SetErrorMode's mode, as last set.
UINT ErrorMode();
// A box that the system itself shows, as for a drive with no medium.
void SystemBox(const std::string &text, const std::string &caption);
// UTF-8 text as the W functions hand it out.
std::u16string Wide(const std::string &text);

// What GetLastError answers next.
void SetLastError(DWORD error);

// The Windows that the machine plays: major * 100 + minor, and whether it
// is of the NT family.
DWORD Version();
bool Nt();
// What the system loads by name to draw a message box.
void LoadForBox();
// Where user32 is mapped, once the program has loaded it.
constexpr ULONG_PTR User32Base = 0x7e410000;
bool User32Loaded();

// The machine as set: 32 or 64.
unsigned WindowsBits();
unsigned ProcessBits();

// A key's owner and DACL, SIDs as text ("S-1-5-32-544").
struct Ace {
  bool allow;
  BYTE flags;
  DWORD mask;
  std::string sid;
};
struct Security {
  std::string owner;
  bool nullDacl = false;
  WORD control = 0; // SE_DACL_PROTECTED, as set
  std::vector<Ace> dacl;
  mutable std::string described; // Describe's text, once made: a key's
                                 // security is replaced, never changed
};
Security DefaultSecurity();
Security ParseSddl(const std::string &sddl);
std::string Describe(const Security &security);
// Whether the caller's token may open a key that `security` guards with
// `desired` access.
bool AccessAllowed(const Security &security, DWORD desired);
// What MAXIMUM_ALLOWED gets the caller's token of a key that `security`
// guards: every right that the DACL grants before it denies it.
DWORD MaximumAllowed(const Security &security);
// The parts `which` names, as a self-relative security descriptor.
std::vector<BYTE> Descriptor(const Security &security, DWORD which);
// Sets the parts `which` names from a self-relative descriptor; a Win32
// error, and `security` unchanged, if it is not one the caller may set.
LONG ApplyDescriptor(const BYTE *descriptor, DWORD which, Security &security);
bool AdministratorsEnabled();
bool CloseToken(HANDLE handle);
unsigned OpenTokens();

void ResetRegistry();
void ResetSystem();
void ResetFiles();
void ResetSecurity();
void ResetLoader();

} // namespace emulated::model
