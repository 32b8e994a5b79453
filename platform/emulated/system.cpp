// The rest of the machine: the version queries, the caller's token, SIDs,
// message boxes, the names of the machine and its user, its clock and
// message table, the loaded system DLLs and what they export, and the call
// record and fault switches that every operation goes through.
#include "model.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <type_traits>

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
                          {"user32", model::User32Base}};

struct Export {
  const char *module;
  const char *name;
  FARPROC address;
};

struct System {
  std::string commandLine = "quenlor-patch.exe"; // UTF-8, as NT keeps it wide
  std::string narrowLine;                        // what GetCommandLineA handed out
  std::u16string wideLine;                       // what GetCommandLineW handed out
  UINT errorMode = 0;
  DWORD major = 5;
  DWORD minor = 1;
  DWORD platform = VER_PLATFORM_WIN32_NT;
  DWORD toldMajor = 5; // what GetVersionExA tells: a compatibility mode's
  DWORD toldMinor = 1;
  std::string computer = "XP-MACHINE";
  std::string user = "Administrator";
  DWORD lastError = ERROR_SUCCESS;
  bool administrator = true;
  Station station = Station::Visible;
  unsigned windowsBits = 32;
  unsigned processBits = 32;
  // Exports this Windows lacks.
  std::set<std::string> withheld = {"RegDeleteKeyExA", "SetDefaultDllDirectories"};
  std::map<PSID, std::unique_ptr<Sid>> sids;
  std::vector<Call> calls;
  std::vector<Box> boxes;
  std::vector<KeyFault> keyFaults;
  std::vector<CountFault> countFaults;
  std::map<Op, unsigned> counts;
  std::size_t callLimit = static_cast<std::size_t>(-1);
  std::size_t changeAt = 0;
  std::function<void()> change;
  unsigned rivalEvery = 0;
  std::function<void()> rival;
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
  if (machine.rivalEvery && (machine.calls.size() + 1) % machine.rivalEvery == 0) {
    machine.rival();
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
  // By hand, not through snprintf: the fault sweep renders some ten
  // million of these, and the format parser was an eighth of its time.
  char text[19];
  char *at = text + sizeof text;
  do {
    *--at = "0123456789abcdef"[value % 16];
    value /= 16;
  } while (value);
  *--at = 'x';
  *--at = '0';
  return std::string(at, text + sizeof text);
}

void ResetSystem() { machine = System{}; }

UINT ErrorMode() { return machine.errorMode; }

void SystemBox(const std::string &text, const std::string &caption) {
  // System-modal, and waiting for its answer: MB_SYSTEMMODAL | MB_ICONERROR.
  machine.boxes.push_back(Box{nullptr, text, caption, false, 0x1000 | MB_ICONERROR});
}

std::u16string Wide(const std::string &text) {
  const std::string bytes = Utf16(text);
  std::u16string wide(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
  return wide;
}

bool AdministratorsEnabled() { return machine.administrator; }

unsigned WindowsBits() { return machine.windowsBits; }

DWORD Version() { return machine.major * 100 + machine.minor; }
bool Nt() { return machine.platform == VER_PLATFORM_WIN32_NT; }

void SetLastError(DWORD error) { machine.lastError = error; }
unsigned ProcessBits() { return machine.processBits; }

} // namespace model

} // namespace emulated

using namespace emulated;
using model::Fault;
using model::Hex;
using model::Record;

namespace {

// The build and service pack of each version the tests play.
DWORD Build(DWORD major, DWORD minor) {
  switch (major * 100 + minor) {
  case 400:
    return 1381; // NT 4.0 (95 is 950)
  case 410:
    return 2222; // 98 SE
  case 500:
    return 2195;
  case 501:
    return 2600;
  case 600:
    return 6002;
  case 601:
    return 7601;
  default:
    return 3790;
  }
}

template <typename Record> void Fill(Record &record, DWORD major, DWORD minor) {
  record.dwMajorVersion = major;
  record.dwMinorVersion = minor;
  record.dwPlatformId = machine.platform;
  // 9x keeps its version in the build number's high word.
  record.dwBuildNumber = machine.platform == VER_PLATFORM_WIN32_NT
                             ? Build(major, minor)
                             : (major << 24 | minor << 16 | Build(major, minor));
  const char *pack = machine.platform == VER_PLATFORM_WIN32_NT ? "Service Pack 3" : " A";
  for (std::size_t i = 0; i <= std::strlen(pack); ++i) {
    record.szCSDVersion[i] =
        static_cast<std::remove_reference_t<decltype(record.szCSDVersion[0])>>(pack[i]);
  }
}

} // namespace

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  DWORD size = lpVersionInformation ? lpVersionInformation->dwOSVersionInfoSize : 0;
  std::string args = "size " + std::to_string(size);
  if (Fault(Op::GetVersionExA, "") || !lpVersionInformation ||
      (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))) {
    return (Record(Op::GetVersionExA, "", args, FALSE));
  }
  Fill(*lpVersionInformation, machine.toldMajor, machine.toldMinor);
  args += " -> " + std::to_string(machine.toldMajor) + "." + std::to_string(machine.toldMinor);
  return (Record(Op::GetVersionExA, "", args, TRUE));
}

LONG WINAPI emulated::model::RtlGetVersion(OSVERSIONINFOW *lpVersionInformation) {
  DWORD size = lpVersionInformation ? lpVersionInformation->dwOSVersionInfoSize : 0;
  std::string args = "size " + std::to_string(size);
  if (LONG status = Fault(Op::RtlGetVersion, "")) {
    return Record(Op::RtlGetVersion, "", args, status);
  }
  // The extended record is 284 bytes, on Windows as here.
  if (!lpVersionInformation || (size != sizeof(OSVERSIONINFOW) && size != 284)) {
    return Record(Op::RtlGetVersion, "", args, StatusInvalidParameter);
  }
  Fill(*lpVersionInformation, machine.major, machine.minor);
  args += " -> " + std::to_string(machine.major) + "." + std::to_string(machine.minor);
  return Record(Op::RtlGetVersion, "", args, StatusSuccess);
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
  model::LoadForBox();
  // On a window station that no one can see, the box would wait for ever;
  // the model records it all the same, for the test to find.
  machine.boxes.push_back(
      Box{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", lpCaption == nullptr, uType});
  return (Record(Op::MessageBoxA, "", args, IDOK));
}

namespace {

// The process's window station, as GetProcessWindowStation names it.
constexpr ULONG_PTR StationHandle = 0x7C;

} // namespace

HWINSTA WINAPI GetProcessWindowStation() {
  if (DWORD error = static_cast<DWORD>(Fault(Op::GetProcessWindowStation, ""))) {
    model::SetLastError(error);
    model::Log(Op::GetProcessWindowStation, "", "", 0);
    return nullptr;
  }
  model::Log(Op::GetProcessWindowStation, "", "-> " + Hex(StationHandle),
             static_cast<long long>(StationHandle));
  return reinterpret_cast<HWINSTA>(StationHandle);
}

BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hObj)) + ", " + std::to_string(nIndex) + ", " +
                     std::to_string(nLength);
  DWORD error = static_cast<DWORD>(Fault(Op::GetUserObjectInformationA, ""));
  bool station = reinterpret_cast<ULONG_PTR>(hObj) == StationHandle;
  if (!error && (!station || nIndex != UOI_FLAGS)) {
    error = !station ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
  }
  if (!error && lpnLengthNeeded) {
    *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
  }
  if (!error && (!pvInfo || nLength < sizeof(USEROBJECTFLAGS))) {
    error = ERROR_INSUFFICIENT_BUFFER;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::GetUserObjectInformationA, "", args, FALSE);
  }
  bool visible = machine.station == Station::Visible;
  *static_cast<USEROBJECTFLAGS *>(pvInfo) =
      USEROBJECTFLAGS{FALSE, FALSE, visible ? WSF_VISIBLE : 0u};
  return Record(Op::GetUserObjectInformationA, "", args + (visible ? " -> visible" : " -> hidden"),
                TRUE);
}

namespace {

// As GetProcAddress hands out any function, through void(*)(), the one cast
// between function types that means "any".
template <typename Function> FARPROC Exported(Function *function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

std::vector<Export> Exports() {
  return {{"ntdll", "NtDeleteKey", Exported(&model::NtDeleteKey)},
          {"ntdll", "RtlGetVersion", Exported(&model::RtlGetVersion)},
          {"kernel32", "IsWow64Process", Exported(&IsWow64Process)},
          {"kernel32", "LoadLibraryExA", Exported(&LoadLibraryExA)},
          {"kernel32", "GetSystemDirectoryA", Exported(&GetSystemDirectoryA)},
          {"kernel32", "SetDllDirectoryA", Exported(&SetDllDirectoryA)},
          {"kernel32", "SetDefaultDllDirectories", Exported(&SetDefaultDllDirectories)},
          {"advapi32", "AllocateAndInitializeSid", Exported(&AllocateAndInitializeSid)},
          {"advapi32", "CheckTokenMembership", Exported(&CheckTokenMembership)},
          {"advapi32", "FreeSid", Exported(&FreeSid)},
          {"advapi32", "RegDeleteKeyExA", Exported(&RegDeleteKeyExA)},
          {"advapi32", "RegOpenKeyExW", Exported(&RegOpenKeyExW)},
          {"advapi32", "RegEnumKeyExW", Exported(&RegEnumKeyExW)},
          {"advapi32", "RegQueryInfoKeyW", Exported(&RegQueryInfoKeyW)},
          {"advapi32", "RegEnumValueW", Exported(&RegEnumValueW)},
          {"advapi32", "RegQueryValueExW", Exported(&RegQueryValueExW)},
          {"advapi32", "RegCreateKeyExW", Exported(&RegCreateKeyExW)},
          {"advapi32", "RegSetValueExW", Exported(&RegSetValueExW)},
          {"advapi32", "RegGetKeySecurity", Exported(&RegGetKeySecurity)},
          {"advapi32", "RegSetKeySecurity", Exported(&RegSetKeySecurity)},
          {"advapi32", "OpenProcessToken", Exported(&OpenProcessToken)},
          {"advapi32", "LookupPrivilegeValueA", Exported(&LookupPrivilegeValueA)},
          {"advapi32", "AdjustTokenPrivileges", Exported(&AdjustTokenPrivileges)},
          {"advapi32", "GetUserNameW", Exported(&GetUserNameW)},
          {"user32", "MessageBoxA", Exported(&MessageBoxA)},
          {"user32", "GetProcessWindowStation", Exported(&GetProcessWindowStation)},
          {"user32", "GetUserObjectInformationA", Exported(&GetUserObjectInformationA)}};
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
    base = base == model::User32Base && !model::User32Loaded() ? 0 : base;
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
  machine.narrowLine = Narrow(machine.commandLine);
  model::Log(Op::GetCommandLineA, "", "-> " + model::Quote(machine.narrowLine.c_str()), 1);
  return machine.narrowLine.data();
}

LPWSTR WINAPI GetCommandLineW() {
  if (machine.platform != VER_PLATFORM_WIN32_NT) {
    model::SetLastError(ERROR_CALL_NOT_IMPLEMENTED); // 9x's stub
    model::Log(Op::GetCommandLineW, "", "", 0);
    return nullptr;
  }
  machine.wideLine = model::Wide(machine.commandLine);
  model::Log(Op::GetCommandLineW, "", "-> " + model::Quote(machine.commandLine.c_str()), 1);
  return machine.wideLine.data();
}

namespace {
std::map<LPVOID, std::unique_ptr<BYTE[]>> allocations;
} // namespace

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                           DWORD flProtect) {
  std::string args = std::to_string(dwSize);
  DWORD error = static_cast<DWORD>(Fault(Op::VirtualAlloc, ""));
  if (!error && (lpAddress || dwSize == 0 || flAllocationType != (MEM_COMMIT | MEM_RESERVE) ||
                 flProtect != PAGE_READWRITE)) {
    error = ERROR_INVALID_PARAMETER; // what the model does not play
  }
  if (error) {
    model::SetLastError(error);
    model::Log(Op::VirtualAlloc, "", args, 0);
    return nullptr;
  }
  auto memory = std::make_unique<BYTE[]>(dwSize); // zeroed, as committed pages are
  LPVOID address = memory.get();
  allocations[address] = std::move(memory);
  model::Log(Op::VirtualAlloc, "", args, 1);
  return address;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  bool known = allocations.count(lpAddress) && dwSize == 0 && dwFreeType == MEM_RELEASE;
  if (known) {
    allocations.erase(lpAddress);
  }
  model::SetLastError(known ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
  return Record(Op::VirtualFree, "", "", known ? TRUE : FALSE);
}

namespace emulated {
unsigned LiveAllocations() { return static_cast<unsigned>(allocations.size()); }
} // namespace emulated

void WINAPI Sleep(DWORD dwMilliseconds) {
  // No time passes: what another process does meanwhile is its switches'.
  model::Log(Op::Sleep, "", std::to_string(dwMilliseconds), 0);
}

UINT WINAPI SetErrorMode(UINT uMode) {
  UINT previous = machine.errorMode;
  machine.errorMode = uMode;
  return Record(Op::SetErrorMode, "", Hex(uMode), previous);
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

DWORD WINAPI GetLastError() {
  model::Log(Op::GetLastError, "", "", machine.lastError);
  return machine.lastError;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  // A fixed moment: tests compare whole lines.
  *lpSystemTime = SYSTEMTIME{2026, 12, 2, 8, 9, 5, 7, 0};
  model::Log(Op::GetLocalTime, "", "", 0);
}

namespace {

// GetComputerName and GetUserName: the name and its terminating zero into
// a buffer of *size characters; they differ in what *size says afterwards.
template <typename Char>
BOOL CopyName(Op op, const std::basic_string<Char> &name, Char *buffer, LPDWORD size,
              DWORD tooSmall, DWORD counted) {
  std::string args = size ? std::to_string(*size) : "NULL";
  if (LONG error = Fault(op, "")) {
    model::SetLastError(static_cast<DWORD>(error));
    return Record(op, "", args, FALSE);
  }
  if (!buffer || !size || *size < name.size() + 1) {
    if (size) {
      *size = static_cast<DWORD>(name.size() + 1);
    }
    model::SetLastError(tooSmall);
    return Record(op, "", args, FALSE);
  }
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(Char));
  *size = static_cast<DWORD>(name.size() + counted);
  return Record(op, "", args, TRUE);
}

// Windows' own texts for the codes the tests meet, each ending as
// Windows ends them.
const std::map<DWORD, const char *> Messages = {
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by "
                              "another process.\r\n"},
    {ERROR_LOCK_VIOLATION, "The process cannot access the file because another process has "
                           "locked a portion of the file.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_NETNAME_DELETED, "The specified network name is no longer available.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_NOT_ALL_ASSIGNED,
     "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {ERROR_INVALID_OWNER, "This security ID may not be assigned as the owner of this object.\r\n"},
    {ERROR_NO_SUCH_PRIVILEGE, "A specified privilege does not exist.\r\n"},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for "
                        "deletion.\r\n"},
};

} // namespace

BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
  return CopyName(Op::GetComputerNameA, Narrow(machine.computer), lpBuffer, nSize,
                  ERROR_BUFFER_OVERFLOW, 0);
}

BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
  return CopyName(Op::GetUserNameA, Narrow(machine.user), lpBuffer, pcbBuffer,
                  ERROR_INSUFFICIENT_BUFFER, 1);
}

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  return CopyName(Op::GetComputerNameW, model::Wide(machine.computer), lpBuffer, nSize,
                  ERROR_BUFFER_OVERFLOW, 0);
}

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  return CopyName(Op::GetUserNameW, model::Wide(machine.user), lpBuffer, pcbBuffer,
                  ERROR_INSUFFICIENT_BUFFER, 1);
}

namespace {

// The two conversions of the ANSI code page, which holds ASCII only: every
// other character becomes '?', as one that a code page lacks does, or on
// the way to the code page its best fit, unless WC_NO_BEST_FIT_CHARS. Each
// counts the characters of `from` (up to and with its zero, for -1) and
// writes them, or tells how many there are when `room` is 0.
template <typename From, typename To>
int Convert(Op op, UINT codePage, DWORD flags, const From *from, int count, To *to, int room) {
  std::string args =
      std::to_string(codePage) + ", " + std::to_string(count) + ", " + std::to_string(room);
  DWORD error = static_cast<DWORD>(Fault(op, ""));
  bool bestFit = sizeof(To) == 1 && !(flags & WC_NO_BEST_FIT_CHARS);
  flags &= sizeof(To) == 1 ? ~DWORD{WC_NO_BEST_FIT_CHARS} : ~DWORD{0};
  if (!error && (codePage != CP_ACP || flags || !from || count == 0 || count < -1 || room < 0 ||
                 (room && !to))) {
    error = ERROR_INVALID_PARAMETER;
  }
  std::size_t length = 0;
  if (!error && count == -1) {
    while (from[length++] != 0) {
    }
  } else if (!error) {
    length = static_cast<std::size_t>(count);
  }
  if (!error && room && static_cast<std::size_t>(room) < length) {
    error = ERROR_INSUFFICIENT_BUFFER;
  }
  if (error) {
    model::SetLastError(error);
    return Record(op, "", args, 0);
  }
  for (std::size_t i = 0; room && i < length; ++i) {
    auto c = static_cast<unsigned long>(from[i]) & (sizeof(From) == 1 ? 0xFFu : 0xFFFFu);
    char fit = bestFit ? model::BestFit(c) : '\0';
    to[i] = static_cast<To>(c < 0x80 ? static_cast<char>(c) : fit ? fit : '?');
  }
  return Record(op, "", args, static_cast<int>(length));
}

} // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  return Convert(Op::MultiByteToWideChar, CodePage, dwFlags, lpMultiByteStr, cbMultiByte,
                 lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  if (lpDefaultChar || lpUsedDefaultChar) {
    dwFlags |= 0x80000000; // what the model does not play
  }
  return Convert(Op::WideCharToMultiByte, CodePage, dwFlags, lpWideCharStr, cchWideChar,
                 lpMultiByteStr, cbMultiByte);
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list *Arguments) {
  std::string args =
      Hex(dwFlags) + ", " + std::to_string(dwMessageId) + ", " + std::to_string(nSize);
  auto found = Messages.find(dwMessageId);
  if (LONG error = Fault(Op::FormatMessageA, "")) {
    model::SetLastError(static_cast<DWORD>(error));
    return Record(Op::FormatMessageA, "", args, DWORD{0});
  }
  // Only what the program asks for: the system's table, no inserts, in the
  // default language, into its own buffer.
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || !(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) ||
      lpSource || dwLanguageId || Arguments || !lpBuffer) {
    model::SetLastError(ERROR_INVALID_PARAMETER);
    return Record(Op::FormatMessageA, "", args, DWORD{0});
  }
  if (found == Messages.end()) {
    model::SetLastError(ERROR_MR_MID_NOT_FOUND);
    return Record(Op::FormatMessageA, "", args, DWORD{0});
  }
  std::string text = found->second;
  if (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    text.replace(text.size() - 2, 2, " "); // its line break is the message's only one
  }
  if (text.size() + 1 > nSize) {
    model::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return Record(Op::FormatMessageA, "", args, DWORD{0});
  }
  std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
  return Record(Op::FormatMessageA, "", args, static_cast<DWORD>(text.size()));
}

namespace emulated {

bool SameName(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return model::Upper(x) == model::Upper(y);
         });
}

const char *Name(Op op) {
  static const char *const names[] = {
      "GetVersionExA",
      "AllocateAndInitializeSid",
      "CheckTokenMembership",
      "FreeSid",
      "RegOpenKeyExA",
      "RegEnumKeyExA",
      "RegOpenKeyExW",
      "RegEnumKeyExW",
      "RegDeleteKeyA",
      "RegDeleteKeyExA",
      "RegQueryValueExA",
      "RegQueryInfoKeyW",
      "RegEnumValueW",
      "RegQueryValueExW",
      "RegCreateKeyExW",
      "RegSetValueExW",
      "NtDeleteKey",
      "RegGetKeySecurity",
      "RegSetKeySecurity",
      "RegCloseKey",
      "MessageBoxA",
      "GetProcessWindowStation",
      "GetUserObjectInformationA",
      "GetModuleHandleA",
      "GetProcAddress",
      "GetCurrentProcess",
      "IsWow64Process",
      "GetCommandLineA",
      "RtlGetVersion",
      "CreateFileA",
      "WriteFile",
      "SetFilePointer",
      "CloseHandle",
      "GetLastError",
      "GetLocalTime",
      "GetComputerNameA",
      "GetUserNameA",
      "FormatMessageA",
      "OpenProcessToken",
      "LookupPrivilegeValueA",
      "AdjustTokenPrivileges",
      "LoadLibraryExA",
      "GetSystemDirectoryA",
      "SetDllDirectoryA",
      "SetDefaultDllDirectories",
      "ReadFile",
      "FlushFileBuffers",
      "MultiByteToWideChar",
      "WideCharToMultiByte",
      "GetFileInformationByHandle",
      "GetCommandLineW",
      "CreateFileW",
      "GetComputerNameW",
      "GetUserNameW",
      "SetErrorMode",
      "LockFile",
      "UnlockFile",
      "Sleep",
      "VirtualAlloc",
      "VirtualFree",
  };
  return names[static_cast<int>(op)];
}

bool IsRegistry(Op op) { return op >= Op::RegOpenKeyExA && op <= Op::RegCloseKey; }

void Reset() {
  model::ResetSystem();
  model::ResetRegistry();
  model::ResetFiles();
  model::ResetSecurity();
  model::ResetLoader();
}

void SetVersion(DWORD major, DWORD minor, DWORD platform) {
  machine.major = machine.toldMajor = major;
  machine.minor = machine.toldMinor = minor;
  machine.platform = platform;
  bool nt = platform == VER_PLATFORM_WIN32_NT;
  SetExported("RtlGetVersion", nt && major >= 5);
  SetExported("SetDllDirectoryA", nt && major * 100 + minor >= 501);
  SetExported("SetDefaultDllDirectories", nt && major * 100 + minor >= 602);
  SetWindowStation(machine.station);
}

void SetWindowStation(Station station) {
  // 9x's USER32 has no window stations, whatever station a test set before
  // it played 9x; the setting itself is kept for an NT it plays later.
  machine.station = station;
  bool answered = machine.platform == VER_PLATFORM_WIN32_NT && station != Station::Unanswered;
  SetExported("GetProcessWindowStation", answered);
  SetExported("GetUserObjectInformationA", answered);
}

void SetCompatibilityMode(DWORD major, DWORD minor) {
  machine.toldMajor = major;
  machine.toldMinor = minor;
}

void SetNames(const std::string &computer, const std::string &user) {
  machine.computer = computer;
  machine.user = user;
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

void SetRival(unsigned every, std::function<void()> step) {
  machine.rivalEvery = every;
  machine.rival = std::move(step);
}

void SetCallLimit(std::size_t limit) { machine.callLimit = limit; }
bool CallLimitReached() { return machine.limitReached; }

const std::vector<Call> &Calls() { return machine.calls; }
const std::vector<Box> &Boxes() { return machine.boxes; }
unsigned LiveSids() { return static_cast<unsigned>(machine.sids.size()); }

} // namespace emulated
