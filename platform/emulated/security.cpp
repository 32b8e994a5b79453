// Who may do what to a key, as Windows XP decides it: the caller's token
// (its user, its groups, Administrators enabled or deny-only, and its
// privileges, held disabled until asked for), each key's owner and DACL in
// Windows' own binary form, and the access check that every open makes.
#include "model.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace emulated {
namespace {

using model::Fault;
using model::Hex;
using model::Quote;
using model::Record;

constexpr char Administrators[] = "S-1-5-32-544";
constexpr char UserSid[] = "S-1-5-21-1004336348-1177238915-682003330-500";
// The groups of an administrator's token besides Administrators itself.
const char *const OtherGroups[] = {"S-1-1-0", "S-1-5-32-545", "S-1-5-11", "S-1-2-0"};
constexpr WORD SelfRelative = 0x8000;
constexpr WORD DaclPresent = 0x0004;
constexpr BYTE InheritOnly = 0x08;
constexpr DWORD KeyWrite = 0x20006;
constexpr DWORD GenericRead = 0x80000000, GenericWrite = 0x40000000, GenericExecute = 0x20000000,
                GenericAll = 0x10000000;

// SDDL's names for the SIDs and rights the tests use, made when first
// needed: the registry's keys are made before the first test starts.
const std::map<std::string, std::string> &SidNames() {
  static const std::map<std::string, std::string> table = {
      {"SY", "S-1-5-18"}, {"BA", Administrators}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
      {"AU", "S-1-5-11"}, {"CO", "S-1-3-0"},      {"LA", UserSid},
  };
  return table;
}
const std::map<std::string, DWORD> &RightNames() {
  static const std::map<std::string, DWORD> table = {
      {"KA", KEY_ALL_ACCESS},
      {"KR", KEY_READ},
      {"KW", KeyWrite},
      {"KX", KEY_READ},
      {"SD", DELETE},
      {"RC", READ_CONTROL},
      {"WD", WRITE_DAC},
      {"WO", WRITE_OWNER},
      {"GA", GenericAll},
      {"GR", GenericRead},
      {"GW", GenericWrite},
      {"GX", GenericExecute},
      {"CC", 0x1},
      {"DC", 0x2},
      {"LC", 0x4},
      {"SW", 0x8},
      {"RP", 0x10},
      {"WP", 0x20},
  };
  return table;
}
const std::map<std::string, BYTE> &FlagNames() {
  static const std::map<std::string, BYTE> table = {
      {"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08}, {"ID", 0x10}};
  return table;
}
const std::map<std::string, LUID> &Privileges() {
  static const std::map<std::string, LUID> table = {{SE_TAKE_OWNERSHIP_NAME, {9, 0}},
                                                    {"SeBackupPrivilege", {17, 0}},
                                                    {"SeRestorePrivilege", {18, 0}}};
  return table;
}

struct Token {
  std::set<std::string> held = {SE_TAKE_OWNERSHIP_NAME, "SeRestorePrivilege"};
  std::set<std::string> enabled;
  std::map<ULONG_PTR, DWORD> handles; // open token handles and their access
  ULONG_PTR nextHandle = 0x2000;
};

Token token;

// Groups count for allow entries only when enabled; a deny-only group still
// counts for deny entries, which is what keeps a standard user out.
bool Holds(const std::string &sid, bool forDeny) {
  if (sid == UserSid ||
      std::find(std::begin(OtherGroups), std::end(OtherGroups), sid) != std::end(OtherGroups)) {
    return true;
  }
  return sid == Administrators && (forDeny || model::AdministratorsEnabled());
}

DWORD Mapped(DWORD mask) {
  DWORD mapped = mask & 0x0FFFFFFF;
  mapped |= mask & GenericRead ? KEY_READ : 0;
  mapped |= mask & GenericWrite ? KeyWrite : 0;
  mapped |= mask & GenericExecute ? KEY_READ : 0;
  mapped |= mask & GenericAll ? KEY_ALL_ACCESS : 0;
  return mapped;
}

void Put(std::vector<BYTE> &out, DWORD value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) {
    out.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
}

// A little-endian field of `bytes` bytes at `at`.
void PutAt(std::vector<BYTE> &out, std::size_t at, DWORD value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) {
    out[at + i] = static_cast<BYTE>(value >> (8 * i));
  }
}

DWORD Get(const BYTE *at, unsigned bytes) {
  DWORD value = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    value |= static_cast<DWORD>(at[i]) << (8 * i);
  }
  return value;
}

void PutSid(std::vector<BYTE> &out, const std::string &text) {
  std::vector<unsigned long long> parts; // "S-1-5-32-544": revision, authority, sub-authorities
  for (std::size_t at = 2; at <= text.size();) {
    std::size_t dash = std::min(text.find('-', at), text.size());
    parts.push_back(std::stoull(text.substr(at, dash - at)));
    at = dash + 1;
  }
  out.push_back(static_cast<BYTE>(parts[0]));
  out.push_back(static_cast<BYTE>(parts.size() - 2));
  for (int shift = 40; shift >= 0; shift -= 8) {
    out.push_back(static_cast<BYTE>(parts[1] >> shift)); // the authority is big-endian
  }
  for (std::size_t i = 2; i < parts.size(); ++i) {
    Put(out, static_cast<DWORD>(parts[i]), 4);
  }
}

// The SID at `at` as text, and its length in bytes; false if it is no SID.
bool GetSid(const BYTE *at, std::string &text, std::size_t &length) {
  if (at[0] != 1 || at[1] > 15) {
    return false;
  }
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i) {
    authority = authority << 8 | at[i];
  }
  text = "S-1-" + std::to_string(authority);
  for (BYTE i = 0; i < at[1]; ++i) {
    text += "-" + std::to_string(Get(at + 8 + std::size_t{4} * i, 4));
  }
  length = 8 + 4u * at[1];
  return true;
}

std::string Abbreviated(const std::string &sid) {
  for (const auto &entry : SidNames()) {
    if (entry.second == sid) {
      return entry.first;
    }
  }
  return sid;
}

std::string SidFromName(const std::string &name) {
  auto found = SidNames().find(name);
  return found == SidNames().end() ? name : found->second;
}

} // namespace

namespace model {

Security DefaultSecurity() { return ParseSddl("O:BAD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;BU)"); }

Security ParseSddl(const std::string &sddl) {
  Security security;
  std::size_t dacl = sddl.find("D:");
  if (sddl.rfind("O:", 0) == 0) {
    security.owner =
        SidFromName(sddl.substr(2, (dacl == std::string::npos ? sddl.size() : dacl) - 2));
  }
  if (dacl == std::string::npos) {
    return security;
  }
  std::string rest = sddl.substr(dacl + 2);
  if (rest == "NO_ACCESS_CONTROL") {
    security.nullDacl = true;
    return security;
  }
  std::size_t open = rest.find('(');
  std::string flags = rest.substr(0, open);
  security.control =
      static_cast<WORD>(flags.find('P') != std::string::npos ? SE_DACL_PROTECTED : 0);
  for (; open != std::string::npos; open = rest.find('(', open + 1)) {
    std::string ace = rest.substr(open + 1, rest.find(')', open) - open - 1);
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= ace.size();) {
      std::size_t semi = std::min(ace.find(';', at), ace.size());
      fields.push_back(ace.substr(at, semi - at));
      at = semi + 1;
    }
    Ace entry = {fields.at(0) == "A", 0, 0, SidFromName(fields.at(5))};
    for (std::size_t i = 0; i + 1 < fields[1].size(); i += 2) {
      entry.flags = static_cast<BYTE>(entry.flags | FlagNames().at(fields[1].substr(i, 2)));
    }
    if (fields[2].rfind("0x", 0) == 0) {
      entry.mask = static_cast<DWORD>(std::stoul(fields[2], nullptr, 16));
    } else {
      for (std::size_t i = 0; i + 1 < fields[2].size(); i += 2) {
        entry.mask |= RightNames().at(fields[2].substr(i, 2));
      }
    }
    security.dacl.push_back(entry);
  }
  return security;
}

std::string Describe(const Security &security) {
  if (!security.described.empty()) {
    return security.described;
  }
  std::string &text = security.described;
  text = "O:" + Abbreviated(security.owner) + "D:";
  if (security.nullDacl) {
    return text += "NO_ACCESS_CONTROL";
  }
  text += security.control & SE_DACL_PROTECTED ? "P" : "";
  for (const Ace &ace : security.dacl) {
    text += std::string("(") + (ace.allow ? "A" : "D") + ";" + Hex(ace.flags) + ";" +
            Hex(ace.mask) + ";;;" + Abbreviated(ace.sid) + ")";
  }
  return text;
}

bool AccessAllowed(const Security &security, DWORD desired) {
  DWORD remaining = Mapped(desired & ~static_cast<DWORD>(KEY_WOW64_32KEY | KEY_WOW64_64KEY));
  // The owner may always read and change the DACL (Windows XP's rule: not
  // DELETE, not WRITE_OWNER), and SeTakeOwnershipPrivilege, enabled, gives
  // WRITE_OWNER whatever the DACL says.
  if (Holds(security.owner, false)) {
    remaining &= ~static_cast<DWORD>(READ_CONTROL | WRITE_DAC);
  }
  if (token.enabled.count(SE_TAKE_OWNERSHIP_NAME)) {
    remaining &= ~static_cast<DWORD>(WRITE_OWNER);
  }
  if (security.nullDacl) {
    return true;
  }
  for (const Ace &ace : security.dacl) {
    if (!remaining) {
      break;
    }
    if (ace.flags & InheritOnly || !Holds(ace.sid, !ace.allow)) {
      continue;
    }
    if (!ace.allow && (Mapped(ace.mask) & remaining)) {
      return false;
    }
    remaining &= ace.allow ? ~Mapped(ace.mask) : ~0u;
  }
  return remaining == 0;
}

DWORD MaximumAllowed(const Security &security) {
  // Every right of a key, each granted by the first entry that speaks of
  // it, as the access check walks the DACL for MAXIMUM_ALLOWED.
  constexpr DWORD Every = KEY_ALL_ACCESS | WRITE_DAC | WRITE_OWNER | DELETE | READ_CONTROL;
  DWORD granted = 0, denied = 0;
  if (Holds(security.owner, false)) {
    granted |= READ_CONTROL | WRITE_DAC;
  }
  if (token.enabled.count(SE_TAKE_OWNERSHIP_NAME)) {
    granted |= WRITE_OWNER;
  }
  if (security.nullDacl) {
    return Every;
  }
  for (const Ace &ace : security.dacl) {
    if (ace.flags & InheritOnly || !Holds(ace.sid, !ace.allow)) {
      continue;
    }
    DWORD mask = Mapped(ace.mask) & Every;
    if (ace.allow) {
      granted |= mask & ~denied;
    } else {
      denied |= mask & ~granted;
    }
  }
  return granted;
}

std::vector<BYTE> Descriptor(const Security &security, DWORD which) {
  bool owner = which & OWNER_SECURITY_INFORMATION;
  bool dacl = (which & DACL_SECURITY_INFORMATION) != 0;
  std::vector<BYTE> out = {1, 0};
  WORD control = SelfRelative;
  control = static_cast<WORD>(control | (dacl ? DaclPresent | security.control : 0));
  Put(out, control, 2);
  out.resize(20, 0); // the four offsets, filled in below
  if (owner) {
    PutAt(out, 4, static_cast<DWORD>(out.size()), 4); // the owner's offset
    PutSid(out, security.owner);
  }
  if (dacl && !security.nullDacl) {
    PutAt(out, 16, static_cast<DWORD>(out.size()), 4); // the DACL's offset
    std::vector<BYTE> aces;
    for (const Ace &ace : security.dacl) {
      std::vector<BYTE> sid;
      PutSid(sid, ace.sid);
      aces.push_back(ace.allow ? 0 : 1);
      aces.push_back(ace.flags);
      Put(aces, static_cast<DWORD>(8 + sid.size()), 2);
      Put(aces, ace.mask, 4);
      aces.insert(aces.end(), sid.begin(), sid.end());
    }
    out.push_back(2); // ACL_REVISION
    out.push_back(0);
    Put(out, static_cast<DWORD>(8 + aces.size()), 2);
    Put(out, static_cast<DWORD>(security.dacl.size()), 2);
    Put(out, 0, 2);
    out.insert(out.end(), aces.begin(), aces.end());
  }
  return out;
}

LONG ApplyDescriptor(const BYTE *descriptor, DWORD which, Security &security) {
  WORD control = static_cast<WORD>(Get(descriptor + 2, 2));
  if (descriptor[0] != 1 || !(control & SelfRelative)) {
    return ERROR_INVALID_SECURITY_DESCR;
  }
  Security changed = security;
  changed.described.clear();
  std::size_t length = 0;
  if (which & OWNER_SECURITY_INFORMATION) {
    DWORD at = Get(descriptor + 4, 4);
    if (!at || !GetSid(descriptor + at, changed.owner, length)) {
      return ERROR_INVALID_OWNER;
    }
    // Only a SID of the caller's own token may own what it changes.
    if (changed.owner != UserSid &&
        !(changed.owner == Administrators && Holds(Administrators, false))) {
      return ERROR_INVALID_OWNER;
    }
  }
  if (which & DACL_SECURITY_INFORMATION) {
    DWORD at = Get(descriptor + 16, 4);
    changed.nullDacl = !(control & DaclPresent) || !at;
    changed.control = static_cast<WORD>(control & SE_DACL_PROTECTED);
    changed.dacl.clear();
    const BYTE *acl = descriptor + at;
    if (!changed.nullDacl && acl[0] != 2 && acl[0] != 4) {
      return ERROR_INVALID_ACL;
    }
    const BYTE *ace = acl + 8;
    for (DWORD i = 0; !changed.nullDacl && i < Get(acl + 4, 2); ++i) {
      Ace entry = {ace[0] == 0, ace[1], Get(ace + 4, 4), ""};
      if (ace[0] > 1 || !GetSid(ace + 8, entry.sid, length)) {
        return ERROR_INVALID_ACL;
      }
      changed.dacl.push_back(entry);
      ace += Get(ace + 2, 2);
    }
  }
  security = changed;
  return ERROR_SUCCESS;
}

bool CloseToken(HANDLE handle) { return token.handles.erase(reinterpret_cast<ULONG_PTR>(handle)); }

unsigned OpenTokens() { return static_cast<unsigned>(token.handles.size()); }

void ResetSecurity() { token = Token{}; }

} // namespace model

void SetPrivilegeHeld(const std::string &name, bool held) {
  if (held) {
    token.held.insert(name);
  } else {
    token.held.erase(name);
    token.enabled.erase(name);
  }
}

bool PrivilegeEnabled(const std::string &name) { return token.enabled.count(name) > 0; }

} // namespace emulated

using namespace emulated;

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(ProcessHandle)) + ", " + Hex(DesiredAccess);
  if (LONG error = Fault(Op::OpenProcessToken, "")) {
    model::SetLastError(static_cast<DWORD>(error));
    return Record(Op::OpenProcessToken, "", args, FALSE);
  }
  if (ProcessHandle != GetCurrentProcess() || !TokenHandle) {
    model::SetLastError(ERROR_INVALID_HANDLE);
    return Record(Op::OpenProcessToken, "", args, FALSE);
  }
  ULONG_PTR handle = token.nextHandle;
  token.nextHandle += 4;
  token.handles[handle] = DesiredAccess;
  *TokenHandle = reinterpret_cast<HANDLE>(handle);
  return Record(Op::OpenProcessToken, "", args + " -> " + Hex(handle), TRUE);
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  std::string args = Quote(lpSystemName) + ", " + Quote(lpName);
  if (LONG error = Fault(Op::LookupPrivilegeValueA, "")) {
    model::SetLastError(static_cast<DWORD>(error));
    return Record(Op::LookupPrivilegeValueA, "", args, FALSE);
  }
  auto found = lpName ? Privileges().find(lpName) : Privileges().end();
  if (lpSystemName || found == Privileges().end() || !lpLuid) {
    model::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return Record(Op::LookupPrivilegeValueA, "", args, FALSE);
  }
  *lpLuid = found->second;
  return Record(Op::LookupPrivilegeValueA, "", args, TRUE);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(TokenHandle)) + ", " +
                     std::to_string(DisableAllPrivileges) + ", " + std::to_string(BufferLength);
  auto handle = token.handles.find(reinterpret_cast<ULONG_PTR>(TokenHandle));
  LONG error = Fault(Op::AdjustTokenPrivileges, "");
  // What a token without the privilege answers: success, and the word
  // that not all was assigned.
  if (error == ERROR_NOT_ALL_ASSIGNED) {
    model::SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return Record(Op::AdjustTokenPrivileges, "", args, TRUE);
  }
  if (error) {
    model::SetLastError(static_cast<DWORD>(error));
    return Record(Op::AdjustTokenPrivileges, "", args, FALSE);
  }
  if (handle == token.handles.end() || DisableAllPrivileges || !NewState || PreviousState ||
      ReturnLength) {
    model::SetLastError(handle == token.handles.end() ? ERROR_INVALID_HANDLE
                                                      : ERROR_INVALID_PARAMETER);
    return Record(Op::AdjustTokenPrivileges, "", args, FALSE);
  }
  if (!(handle->second & TOKEN_ADJUST_PRIVILEGES)) {
    model::SetLastError(ERROR_ACCESS_DENIED);
    return Record(Op::AdjustTokenPrivileges, "", args, FALSE);
  }
  bool all = true;
  for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES &wanted = NewState->Privileges[i];
    for (const auto &known : Privileges()) {
      if (known.second.LowPart != wanted.Luid.LowPart ||
          known.second.HighPart != wanted.Luid.HighPart) {
        continue;
      }
      if (!token.held.count(known.first)) {
        all = false;
      } else if (wanted.Attributes & SE_PRIVILEGE_ENABLED) {
        token.enabled.insert(known.first);
        args += " +" + known.first;
      } else {
        token.enabled.erase(known.first);
      }
    }
  }
  model::SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return Record(Op::AdjustTokenPrivileges, "", args, TRUE);
}
