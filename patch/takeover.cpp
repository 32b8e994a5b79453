// A key of the subtree that refuses the walk, taken over as an
// administrator would in regedit (Permissions, Advanced, Owner): made
// Administrators' own where they cannot change its DACL, given a DACL that
// lets them delete it, deleted as any key, and given its DACL back should
// it stay after all. Windows gives every administrator this power on
// purpose; the walk uses it only below its own key, and only on a key that
// refused it.
#include "patch/takeover.h"
#include "patch/backup.h"
#include "patch/functions.h"
#include "patch/log.h"
#include "patch/walk.h"

namespace {

// Constant self-relative security descriptors in Windows' own layout, so
// that no function that an old Windows lacks has to build one. Both name
// the built-in Administrators group, S-1-5-32-544: revision 1, two
// sub-authorities, the NT authority (5), then 32 and 544.
alignas(4) constexpr BYTE OwnerAdministrators[] = {
    1,  0, 0x00, 0x80, // revision; control: self-relative
    20, 0, 0,    0,    // the owner, right after this header
    0,  0, 0,    0,    // no group,
    0,  0, 0,    0,    // no SACL,
    0,  0, 0,    0,    // no DACL
    1,  2, 0,    0,    0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
// One entry, not inherited by subkeys: Administrators may read the key's
// values (for a backup), list its subkeys, delete it, and read and set
// its DACL, to put the old one back.
alignas(4) constexpr BYTE AdministratorsMayDelete[] = {
    1, 0, 0x04, 0x90,       // revision; control: self-relative, DACL present, protected
    0, 0, 0, 0,             // no owner,
    0, 0, 0, 0,             // no group,
    0, 0, 0, 0,             // no SACL,
    20, 0, 0, 0,            // the DACL, right after this header
    2, 0, 32, 0,            // ACL revision 2, 32 bytes
    1, 0, 0, 0,             // one entry
    0, 0, 24, 0,            // allowed, no inheritance, 24 bytes
    0x09, 0x00, 0x07, 0x00, // KEY_QUERY_VALUE, KEY_ENUMERATE_SUB_KEYS, DELETE, READ_CONTROL,
                            // WRITE_DAC
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
static_assert(sizeof AdministratorsMayDelete == 52, "the ACL's sizes add up");

// Room for a key's DACL while the walk holds the key; a larger one is not
// changed, and its key stays. Installers' DACLs take a few hundred bytes.
constexpr DWORD DaclRoom = 1024;
constexpr REGSAM DaclAccess = READ_CONTROL | WRITE_DAC;

// Through void *: the API takes a descriptor it does not change as a
// pointer to a changeable one.
PSECURITY_DESCRIPTOR Descriptor(const BYTE *bytes) {
  return const_cast<void *>(static_cast<const void *>(bytes));
}

bool LookUp(Takeover &takeover) {
  if (!takeover.lookedUp) {
    takeover.lookedUp = true;
    takeover.regGetKeySecurity =
        SystemFunction<decltype(&RegGetKeySecurity)>("advapi32.dll", "RegGetKeySecurity");
    takeover.regSetKeySecurity =
        SystemFunction<decltype(&RegSetKeySecurity)>("advapi32.dll", "RegSetKeySecurity");
    takeover.openProcessToken =
        SystemFunction<decltype(&OpenProcessToken)>("advapi32.dll", "OpenProcessToken");
    takeover.lookupPrivilegeValue =
        SystemFunction<decltype(&LookupPrivilegeValueA)>("advapi32.dll", "LookupPrivilegeValueA");
    takeover.adjustTokenPrivileges =
        SystemFunction<decltype(&AdjustTokenPrivileges)>("advapi32.dll", "AdjustTokenPrivileges");
  }
  return takeover.regGetKeySecurity && takeover.regSetKeySecurity && takeover.openProcessToken &&
         takeover.lookupPrivilegeValue && takeover.adjustTokenPrivileges;
}

// SeTakeOwnershipPrivilege, which every administrator's token holds
// disabled, enabled in the process's own token: once in a run, when a key
// first needs a new owner. ERROR_NOT_ALL_ASSIGNED if the token lacks it.
DWORD EnableTakeOwnership(Takeover &takeover) {
  if (takeover.privilegeAsked) {
    return takeover.privilegeError;
  }
  takeover.privilegeAsked = true;
  HANDLE token = nullptr;
  if (!takeover.openProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    takeover.privilegeError = LastErrorOr(ERROR_ACCESS_DENIED);
    return takeover.privilegeError;
  }
  TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  if (!takeover.lookupPrivilegeValue(nullptr, SE_TAKE_OWNERSHIP_NAME,
                                     &privileges.Privileges[0].Luid) ||
      !takeover.adjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
    takeover.privilegeError = LastErrorOr(ERROR_ACCESS_DENIED);
  } else {
    takeover.privilegeError = GetLastError(); // success only if it was assigned
  }
  CloseHandle(token);
  return takeover.privilegeError;
}

// Makes Administrators the key's owner, and opens it anew for its DACL,
// which its owner may always change.
LONG TakeOwnership(HKEY parent, const Trail &trail, const Walk &walk, HKEY &dacl) {
  DWORD error = EnableTakeOwnership(*walk.takeover);
  if (error != ERROR_SUCCESS) {
    return static_cast<LONG>(error);
  }
  HKEY owner = nullptr;
  LONG result =
      walk.regOpenKey(parent, trail.name, REG_OPTION_OPEN_LINK, WRITE_OWNER | walk.view, &owner);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  result = walk.takeover->regSetKeySecurity(owner, OWNER_SECURITY_INFORMATION,
                                            Descriptor(OwnerAdministrators));
  if (result == ERROR_SUCCESS) {
    LogKey(*walk.report, "Owner made Administrators: ", trail, walk.view);
    result = walk.regOpenKey(owner, WIDE(""), REG_OPTION_OPEN_LINK, DaclAccess | walk.view, &dacl);
  }
  RegCloseKey(owner);
  return result;
}

// The DACL the key had, set again through `key`, and the log told.
void PutBack(HKEY key, const BYTE *saved, bool owned, const Trail &trail, const Walk &walk) {
  LONG result = walk.takeover->regSetKeySecurity(key, DACL_SECURITY_INFORMATION, Descriptor(saved));
  LogKey(*walk.report,
         result != ERROR_SUCCESS ? "DACL not put back: "
         : owned                 ? "DACL put back, owner left Administrators: "
                                 : "DACL put back: ",
         trail, walk.view, static_cast<DWORD>(result));
}

// The fate of a key from a call of the takeover that failed: one that
// another process deleted meanwhile, the key or its parent, is gone, though
// another key may since stand in its name.
Fate Held(LONG result) { return result == ERROR_KEY_DELETED ? Vanished : Fate{result, 0}; }

} // namespace

Fate TakeOver(HKEY parent, const Trail &trail, const Walk &walk) {
  if (!LookUp(*walk.takeover)) {
    return Fate{ERROR_ACCESS_DENIED, 0};
  }
  HKEY dacl = nullptr;
  LONG result =
      walk.regOpenKey(parent, trail.name, REG_OPTION_OPEN_LINK, DaclAccess | walk.view, &dacl);
  bool owned = result == ERROR_ACCESS_DENIED;
  if (owned) {
    result = TakeOwnership(parent, trail, walk, dacl);
  }
  if (result != ERROR_SUCCESS) {
    return Held(result);
  }
  // The DACL as it was, for a key that stays after all.
  alignas(4) BYTE saved[DaclRoom];
  DWORD size = sizeof saved;
  result = walk.takeover->regGetKeySecurity(dacl, DACL_SECURITY_INFORMATION, saved, &size);
  if (result == ERROR_SUCCESS) {
    result = walk.takeover->regSetKeySecurity(dacl, DACL_SECURITY_INFORMATION,
                                              Descriptor(AdministratorsMayDelete));
  }
  HKEY key = nullptr;
  if (result == ERROR_SUCCESS) {
    // A new handle to the key already open: no name is looked up again,
    // so nothing that another process swaps in meanwhile is reached. It
    // may set the DACL too, to put the old one back through it.
    result =
        walk.regOpenKey(dacl, WIDE(""), REG_OPTION_OPEN_LINK, WalkAccessOf(walk) | WRITE_DAC, &key);
    if (result != ERROR_SUCCESS) {
      PutBack(dacl, saved, owned, trail, walk);
    }
  }
  // Closed before the key can go: nothing but the walk's own handle is
  // open on a key it deletes.
  RegCloseKey(dacl);
  if (result != ERROR_SUCCESS) {
    return Held(result);
  }
  ++walk.report->takenOver;
  LogKey(*walk.report, "Taken over: ", trail, walk.view);
  Fate fate = walk.backup ? SaveAndDelete(key, trail, walk, true) : Delete(key, trail, walk);
  if (fate.error != ERROR_SUCCESS && fate.error != ERROR_FILE_NOT_FOUND) {
    PutBack(key, saved, owned, trail, walk);
  }
  RegCloseKey(key);
  return fate;
}
