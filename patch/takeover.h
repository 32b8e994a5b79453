// Keys that refuse the walk, taken over for that key alone.
#pragma once

#include "patch/walk.h"

// What taking over a key needs, looked up when a key first refuses the
// walk (Windows 95 lacks it all), and the state of
// SeTakeOwnershipPrivilege in the process's token: enabled once in a run,
// when a key first needs a new owner.
struct Takeover {
  bool lookedUp;
  decltype(&RegGetKeySecurity) regGetKeySecurity;
  decltype(&RegSetKeySecurity) regSetKeySecurity;
  decltype(&OpenProcessToken) openProcessToken;
  decltype(&LookupPrivilegeValueA) lookupPrivilegeValue;
  decltype(&AdjustTokenPrivileges) adjustTokenPrivileges;
  bool privilegeAsked;
  DWORD privilegeError; // ERROR_SUCCESS once enabled
};

// The key `trail.name` below `parent` refused the walk's open: it is taken
// over as an administrator would in regedit, for this key alone. Owner
// Administrators (with SeTakeOwnershipPrivilege) where they cannot change
// its DACL, then a DACL that lets them delete it; deleted as any key; and
// its DACL put back as it was if it stays after all. Every handle is
// opened below `parent` by the one name, as the key itself, or as a new
// handle to a key already open.
Fate TakeOver(HKEY parent, const Trail &trail, const Walk &walk);
