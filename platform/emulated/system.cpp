// The rest of the machine: the version query, the caller's token, SIDs,
// message boxes, the loaded system DLLs and what they export, and the call
// record and fault switches that every operation goes through.
#include "model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace emulated {
namespace {

struct Sid {
  SID_IDENTIFIER_AUTHORITY authority;
  std::vector<DWORD> subAuthorities;
};

struct KeyFault {
  Op op;
  std::string path;
  LONG error;
};

struct CountFault {
  Op op;
  unsigned n;
  LONG error;
};

// The system DLLs every process has loaded, at XP's usual addresses, and
// the functions the program looks up in them at run time.
struct Module {
  const char *name;
  ULONG_PTR base;
};
const Module Modules[] = {{"kernel32", 0x7c800000},
                          {"ntdll", 0x7c900000},
                          {"advapi32", 0x77dd0000},
                          {"user32", 0x7e410000}};

struct Export {
  const char *module;
  const char *name;
  FARPROC address;
};

struct System {
  std::string commandLine = "quenlor-patch.exe";
  DWORD major = 5;
  DWORD minor = 1;
  bool administrator = true;
  unsigned windowsBits = 32;
  unsigned processBits = 32;
  std::set<std::string> withheld = {"RegDeleteKeyExA"}; // exports this Windows lacks
  std::map<PSID, std::unique_ptr<Sid>> sids;
  std::vector<Call> calls;
  std::vector<Box> boxes;
  std::vector<KeyFault> keyFaults;
  std::vector<CountFault> countFaults;
  std::map<Op, unsigned> counts;
  std::size_t callLimit = static_cast<std::size_t>(-1);
  std::size_t changeAt = 0;
  std::function<void()> change;
  bool limitReached = false;
};

System machine;

bool IsAdministratorsSid(const Sid &sid) {
  const BYTE nt[6] = {0, 0, 0, 0, 0, 5};
  return std::memcmp(sid.authority.Value, nt, sizeof nt) == 0 &&
         sid.subAuthorities ==
             std::vector<DWORD>{SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
}

} // namespace

namespace model {

void Log(Op op, const std::string &key, const std::string &args, long long result) {
  machine.calls.push_back(Call{op, key, args, result});
}

LONG Fault(Op op, const std::string &key) {
  if (machine.change && machine.calls.size() + 1 >= machine.changeAt) {
    auto change = std::move(machine.change);
    machine.change = nullptr;
    change();
  }
  if (machine.calls.size() >= machine.callLimit) {
    machine.limitReached = true;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  unsigned n = ++machine.counts[op];
  for (const auto &fault : machine.countFaults) {
    if (fault.op == op && fault.n == n) {
      return fault.error;
    }
  }
  for (const auto &fault : machine.keyFaults) {
    if (fault.op == op && SameName(fault.path, key)) {
      return fault.error;
    }
  }
  return ERROR_SUCCESS;
}

std::string Quote(const char *text) { return text ? "\"" + std::string(text) + "\"" : "NULL"; }

std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", value);
  return text;
}

void ResetSystem() { machine = System{}; }

unsigned WindowsBits() { return machine.windowsBits; }
unsigned ProcessBits() { return machine.processBits; }

} // namespace model

} // namespace emulated

using namespace emulated;
using model::Fault;
using model::Hex;
using model::Record;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  DWORD size = lpVersionInformation ? lpVersionInformation->dwOSVersionInfoSize : 0;
  std::string args = "size " + std::to_string(size);
  if (Fault(Op::GetVersionExA, "") || !lpVersionInformation ||
      (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))) {
    return (Record(Op::GetVersionExA, "", args, FALSE));
  }
  lpVersionInformation->dwMajorVersion = machine.major;
  lpVersionInformation->dwMinorVersion = machine.minor;
  lpVersionInformation->dwBuildNumber = machine.major == 5 && machine.minor == 1 ? 2600 : 3790;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::snprintf(lpVersionInformation->szCSDVersion, sizeof lpVersionInformation->szCSDVersion,
                "Service Pack 3");
  args += " -> " + std::to_string(machine.major) + "." + std::to_string(machine.minor);
  return (Record(Op::GetVersionExA, "", args, TRUE));
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                     BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                                     DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4,
                                     DWORD nSubAuthority5, DWORD nSubAuthority6,
                                     DWORD nSubAuthority7, PSID *pSid) {
  const DWORD all[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                        nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  std::string args = "count " + std::to_string(nSubAuthorityCount);
  for (DWORD value : all) {
    args += ", " + Hex(value);
  }
  if (Fault(Op::AllocateAndInitializeSid, "") || !pIdentifierAuthority || !pSid ||
      nSubAuthorityCount == 0 || nSubAuthorityCount > 8) {
    return (Record(Op::AllocateAndInitializeSid, "", args, FALSE));
  }
  auto sid = std::make_unique<Sid>();
  sid->authority = *pIdentifierAuthority;
  sid->subAuthorities.assign(all, all + nSubAuthorityCount);
  *pSid = sid.get();
  machine.sids[sid.get()] = std::move(sid);
  return (Record(Op::AllocateAndInitializeSid, "", args, TRUE));
}

BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
  std::string args = (TokenHandle ? Hex(reinterpret_cast<ULONG_PTR>(TokenHandle)) : "NULL") + ", " +
                     (SidToCheck ? "sid" : "NULL");
  auto sid = machine.sids.find(SidToCheck);
  // The model has only the caller's own token, so any explicit token is one
  // it does not know.
  if (Fault(Op::CheckTokenMembership, "") || TokenHandle || sid == machine.sids.end() ||
      !IsMember) {
    return (Record(Op::CheckTokenMembership, "", args, FALSE));
  }
  *IsMember = machine.administrator && IsAdministratorsSid(*sid->second) ? TRUE : FALSE;
  args += *IsMember ? " -> member" : " -> not a member";
  return (Record(Op::CheckTokenMembership, "", args, TRUE));
}

PVOID WINAPI FreeSid(PSID pSid) {
  bool failed = Fault(Op::FreeSid, "") != ERROR_SUCCESS;
  bool known = machine.sids.erase(pSid) > 0;
  PVOID result = failed || !known ? pSid : nullptr;
  model::Log(Op::FreeSid, "", pSid ? "sid" : "NULL", result ? 1 : 0);
  return result;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hWnd)) + ", " + model::Quote(lpText) + ", " +
                     model::Quote(lpCaption) + ", " + Hex(uType);
  if (Fault(Op::MessageBoxA, "")) {
    return (Record(Op::MessageBoxA, "", args, 0));
  }
  machine.boxes.push_back(
      Box{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", lpCaption == nullptr, uType});
  return (Record(Op::MessageBoxA, "", args, IDOK));
}

namespace {

// As GetProcAddress hands out any function, through void(*)(), the one cast
// between function types that means "any".
template <typename Function> FARPROC Exported(Function *function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

std::vector<Export> Exports() {
  return {{"ntdll", "NtDeleteKey", Exported(&model::NtDeleteKey)},
          {"kernel32", "IsWow64Process", Exported(&IsWow64Process)},
          {"advapi32", "AllocateAndInitializeSid", Exported(&AllocateAndInitializeSid)},
          {"advapi32", "CheckTokenMembership", Exported(&CheckTokenMembership)},
          {"advapi32", "FreeSid", Exported(&FreeSid)},
          {"advapi32", "RegDeleteKeyExA", Exported(&RegDeleteKeyExA)}};
}

// What GetCurrentProcess returns: a pseudo-handle, the same in every process.
HANDLE CurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  std::string args = model::Quote(lpModuleName);
  ULONG_PTR base = 0;
  if (!Fault(Op::GetModuleHandleA, "")) {
    std::string name = lpModuleName ? lpModuleName : "";
    if (name.size() > 4 && SameName(name.substr(name.size() - 4), ".dll")) {
      name.resize(name.size() - 4);
    }
    for (const Module &module : Modules) {
      base = SameName(name, module.name) ? module.base : base;
    }
    base = lpModuleName ? base : 0x400000; // the program's own image
  }
  model::Log(Op::GetModuleHandleA, "", args + " -> " + Hex(base), static_cast<long long>(base));
  return reinterpret_cast<HMODULE>(base);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hModule)) + ", " + model::Quote(lpProcName);
  FARPROC address = nullptr;
  if (!Fault(Op::GetProcAddress, "") && lpProcName && !machine.withheld.count(lpProcName)) {
    for (const Export &entry : Exports()) {
      for (const Module &module : Modules) {
        if (module.base == reinterpret_cast<ULONG_PTR>(hModule) &&
            std::strcmp(module.name, entry.module) == 0 &&
            std::strcmp(lpProcName, entry.name) == 0) {
          address = entry.address;
        }
      }
    }
  }
  model::Log(Op::GetProcAddress, "", args, address ? 1 : 0);
  return address;
}

LPSTR WINAPI GetCommandLineA() {
  model::Log(Op::GetCommandLineA, "", "-> " + model::Quote(machine.commandLine.c_str()), 1);
  return machine.commandLine.data();
}

HANDLE WINAPI GetCurrentProcess() {
  model::Log(Op::GetCurrentProcess, "", "", -1);
  return CurrentProcess();
}

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hProcess));
  if (Fault(Op::IsWow64Process, "") || hProcess != CurrentProcess() || !Wow64Process) {
    return (Record(Op::IsWow64Process, "", args, FALSE));
  }
  *Wow64Process = machine.windowsBits == 64 && machine.processBits == 32 ? TRUE : FALSE;
  args += *Wow64Process ? " -> WOW64" : " -> not WOW64";
  return (Record(Op::IsWow64Process, "", args, TRUE));
}

namespace emulated {

bool SameName(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return model::Upper(x) == model::Upper(y);
         });
}

const char *Name(Op op) {
  static const char *const names[] = {
      "GetVersionExA",        "AllocateAndInitializeSid",
      "CheckTokenMembership", "FreeSid",
      "RegOpenKeyExA",        "RegEnumKeyExA",
      "RegDeleteKeyA",        "RegDeleteKeyExA",
      "RegQueryValueExA",     "NtDeleteKey",
      "RegCloseKey",          "MessageBoxA",
      "GetModuleHandleA",     "GetProcAddress",
      "GetCurrentProcess",    "IsWow64Process",
      "GetCommandLineA",
  };
  return names[static_cast<int>(op)];
}

bool IsRegistry(Op op) { return op >= Op::RegOpenKeyExA && op <= Op::RegCloseKey; }

void Reset() {
  model::ResetSystem();
  model::ResetRegistry();
}

void SetVersion(DWORD major, DWORD minor) {
  machine.major = major;
  machine.minor = minor;
}

void SetAdministrator(bool member) { machine.administrator = member; }

void SetCommandLine(const std::string &commandLine) { machine.commandLine = commandLine; }

void SetWindowsBits(unsigned bits) {
  machine.windowsBits = bits;
  SetExported("RegDeleteKeyExA", bits == 64);
}

void SetProcessBits(unsigned bits) { machine.processBits = bits; }

void SetExported(const std::string &function, bool exported) {
  if (exported) {
    machine.withheld.erase(function);
  } else {
    machine.withheld.insert(function);
  }
}

void FailOnKey(Op op, const std::string &path, LONG error) {
  machine.keyFaults.push_back(KeyFault{op, path, error});
}

void FailAt(Op op, unsigned n, LONG error) {
  machine.countFaults.push_back(CountFault{op, n, error});
}

void AtCall(std::size_t n, std::function<void()> change) {
  machine.changeAt = n;
  machine.change = std::move(change);
}

void SetCallLimit(std::size_t limit) { machine.callLimit = limit; }
bool CallLimitReached() { return machine.limitReached; }

const std::vector<Call> &Calls() { return machine.calls; }
const std::vector<Box> &Boxes() { return machine.boxes; }
unsigned LiveSids() { return static_cast<unsigned>(machine.sids.size()); }

} // namespace emulated
