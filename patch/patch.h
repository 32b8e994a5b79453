// The patch: remove HKEY_LOCAL_MACHINE\Software\Crystal Semiconductor and its
// whole subtree, on Windows XP and later 5.x only, for administrators only.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// Relative to HKEY_LOCAL_MACHINE.
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
constexpr const char HelpCaption[] = "Quenlor audio driver pre-install patch";
constexpr const char UnknownArgumentText[] = "Unknown argument: ";
constexpr const char UsageText[] = "Usage: quenlor-patch [/quiet] [/norestart] [/?]\n"
                                   "/quiet, /q: no boxes; the exit code tells the outcome:\n"
                                   "0 key gone, 50 not XP or 2003, 5 not an administrator,\n"
                                   "1013 keys left, 87 argument not understood (always).\n"
                                   "/norestart: ignored. /?, /help: this help.";

// Exit codes with /quiet, one for each outcome: Windows system error codes,
// so that `net helpmsg N` explains each on any Windows.
constexpr int ExitKeyGone = ERROR_SUCCESS;
constexpr int ExitWrongVersion = ERROR_NOT_SUPPORTED;     // 50, "not supported"
constexpr int ExitNotAdministrator = ERROR_ACCESS_DENIED; // 5
constexpr int ExitKeysLeft = ERROR_CANTWRITE; // 1013, "registry key could not be written"
constexpr int ExitUnknownArgument = ERROR_INVALID_PARAMETER; // 87, with or without /quiet

// What the command line asks for, read before anything else. The program's
// own name comes first and is passed over; every argument after it starts
// with "/" or "-" and is a name in any letter case.
struct Arguments {
  bool quiet;          // /quiet or /q: no box; the exit code tells the outcome
  bool help;           // /?, /help or /h: the usage box, and nothing else
  const char *unknown; // the first argument not understood, or null
  std::size_t unknownLength;
};
Arguments ReadArguments(const char *commandLine);

// The whole run, as the body of WinMain: the arguments, the version gate,
// the administrator gate, the removal and its report. Returns the exit code:
// 0 whatever happened, unless /quiet asks for the outcome's own code or an
// argument was not understood.
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

// NtDeleteKey deletes the key that a handle names, a link opened as itself
// included, and never a key that still has subkeys. NTDLL exports it on
// every NT version, though the SDK's import libraries do not, so it is
// looked up, once the version gate has passed.
using NtDeleteKeyFunction = LONG(WINAPI *)(HANDLE key);

// The registry views to clear on this machine, into `views`; returns how
// many. 64-bit Windows keeps two views of HKLM\Software, the native one and
// the 32-bit one (Software\Wow6432Node), each named by its flag
// (KEY_WOW64_64KEY, KEY_WOW64_32KEY); 32-bit Windows has one, named by 0.
std::size_t RegistryViews(REGSAM (&views)[2]);

// What the walk needs in one view: the view's flag, passed with every open,
// NtDeleteKey, through which every key goes, and whether warnings are shown.
struct Walk {
  REGSAM view;
  NtDeleteKeyFunction ntDeleteKey;
  bool quiet;
};

// Deletes the key `name` below the open key `parent`, with its whole
// subtree, depth-first. Every key is opened relative to its parent's handle
// as itself (a registry link too, whose target is never reached) and
// deleted through its own handle, so that no path is ever resolved again
// from the root and nothing that another process swaps in can redirect the
// walk. Returns ERROR_SUCCESS when the key went, ERROR_FILE_NOT_FOUND when it
// was already gone, another error when it stays.
LONG DeleteKey(HKEY parent, const char *name, const Walk &walk);

// Deletes every subkey of the open key `key`. Each child that stays gets one
// warning (none when quiet) and is stepped over.
void DeleteSubkeys(HKEY key, const Walk &walk);

// A "Debug" warning box.
void ShowWarning(const char *text);
