// The patch: remove HKEY_LOCAL_MACHINE\Software\Crystal Semiconductor and its
// whole subtree, on Windows XP and later 5.x only, for administrators only.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// Every key path is relative to HKEY_LOCAL_MACHINE and fits a MAX_PATH buffer.
constexpr const char PatchKeyPath[] = "Software\\Crystal Semiconductor";

// What the user reads. The success box has an empty caption on purpose: a
// null caption would make Windows show its own default title instead.
constexpr const char VersionRefusedText[] = "This patch is for Windows XP only";
constexpr const char NotAdministratorText[] =
    "You must have administrator rights to apply this patch";
constexpr const char SuccessText[] =
    "Patch successful. You may now install the Quenlor audio driver";
constexpr const char FailureText[] = "Patch failed. Some registry keys could not be deleted";
constexpr const char ChildNotDeletedText[] = "Could not delete a child key";
constexpr const char ErrorCaption[] = "Error";
constexpr const char WarningCaption[] = "Debug";
constexpr const char SuccessCaption[] = "";

// The whole run, as the body of WinMain: the version gate, the administrator
// gate, the removal and its report. Always returns 0, the exit code.
int ApplyPatch();

// Whether the caller's own token holds the built-in Administrators group
// (S-1-5-32-544). False when the platform cannot answer.
bool IsAdministrator();

// A function that a system DLL may not export on every Windows the program
// must start on (so as to refuse it), looked up at run time; null if absent.
template <typename Function> Function SystemFunction(const char *module, const char *name) {
  HMODULE loaded = GetModuleHandleA(module);
  FARPROC found = loaded ? GetProcAddress(loaded, name) : nullptr;
  // Through void(*)(), the one cast between function types that means "any".
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// RegDeleteKeyExA, which ADVAPI32 exports from XP x64 and Server 2003 SP1 on
// but 32-bit XP lacks, so it is looked up.
using RegDeleteKeyExAFunction = LONG(WINAPI *)(HKEY key, LPCSTR subKey, REGSAM view,
                                               DWORD reserved);

// A registry view to work in. 64-bit Windows keeps two views of
// HKLM\Software, the native one and the 32-bit one (Software\Wow6432Node),
// each named by its flag and deleted in with RegDeleteKeyExA; 32-bit Windows
// has one, named by no flag.
struct View {
  REGSAM flag;                         // KEY_WOW64_64KEY, KEY_WOW64_32KEY, or 0
  RegDeleteKeyExAFunction deleteKeyEx; // null where the flag is 0
};
constexpr View OwnView = {0, nullptr};

// The views to clear on this machine, into `views`; returns how many.
std::size_t RegistryViews(View (&views)[2]);

// What DeleteSubkeys leaves for its caller to do about the key itself.
enum class KeyLeft {
  ByPath, // an ordinary key, emptied as far as it would go, or no key by that
          // name at all: delete it by its path
  Gone,   // a registry link, removed as itself; its target is untouched
  Kept,   // a key that could not be opened or told apart from a link, or a
          // link that would not go: deleting it by its path could follow it
};

// Deletes every subkey of `path`, depth-first, and says what is left of the
// key itself. Each key is opened as itself, never through a link, and a
// registry link (which then shows no subkeys) is removed as itself, so that
// nothing outside the subtree is reached. Each child that cannot be deleted
// gets one warning and is stepped over.
KeyLeft DeleteSubkeys(const char *path, const View &view);

// Deletes the key at `path` in `view` with its whole subtree: ERROR_SUCCESS
// when it went, ERROR_FILE_NOT_FOUND when there was no such key, another
// error when it stays.
LONG DeleteKey(const char *path, const View &view);

// A "Debug" warning box.
void ShowWarning(const char *text);
