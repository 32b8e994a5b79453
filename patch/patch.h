// The patch: remove HKEY_LOCAL_MACHINE\Software\Crystal Semiconductor and its
// whole subtree, on Windows XP and later 5.x only, for administrators only.
#pragma once

#include "platform/win32.h"

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
KeyLeft DeleteSubkeys(const char *path);

// Deletes the key at `path` with its whole subtree: ERROR_SUCCESS when it
// went, ERROR_FILE_NOT_FOUND when there was no such key, another error when
// it stays.
LONG DeleteKey(const char *path);

// A "Debug" warning box.
void ShowWarning(const char *text);
