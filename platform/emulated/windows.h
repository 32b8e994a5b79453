// The slice of the Win32 API that the patch uses, for hosts without Windows.
//
// Types, constants and numeric values are Windows' own, so the patch logic
// compiles unchanged against this header or the real <windows.h>. The
// functions are served by an in-memory model of Windows NT 5.x (registry.cpp,
// system.cpp); tests drive and inspect it through the emulated namespace at
// the end of this file.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using CHAR = char;
using WCHAR = char16_t; // two bytes, as on Windows
using ULONG_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
using LPBYTE = BYTE *;
using LPSTR = char *;
using LPCSTR = const char *;
using LPWSTR = WCHAR *;
using LPCWSTR = const WCHAR *;
using LPBOOL = BOOL *;
using LPDWORD = DWORD *;
using PBOOL = BOOL *;
using REGSAM = DWORD;
using SIZE_T = std::size_t;
using PVOID = void *;
using LPVOID = void *;
using LPCVOID = const void *;
using PLONG = LONG *;
using PSID = void *;
using HANDLE = void *;
using PHANDLE = HANDLE *;
using PDWORD = DWORD *;
using SECURITY_INFORMATION = DWORD;
using PSECURITY_DESCRIPTOR = void *;

struct HKEY__;
struct HWND__;
struct HWINSTA__;
struct HINSTANCE__;
using HKEY = HKEY__ *;
using PHKEY = HKEY *;
using HWND = HWND__ *;
using HWINSTA = HWINSTA__ *;
using HINSTANCE = HINSTANCE__ *;
using HMODULE = HINSTANCE;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using PFILETIME = FILETIME *;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME *;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION *;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED *;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES *;

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY *;

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID *;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES *;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA *;

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};

#define WINAPI
using FARPROC = INT_PTR(WINAPI *)();
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define MAXIMUM_ALLOWED 0x02000000
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define REG_OPTION_OPEN_LINK 0x00000008
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_RELEASE 0x00008000
#define PAGE_READWRITE 0x04
#define OWNER_SECURITY_INFORMATION 0x00000001
#define DACL_SECURITY_INFORMATION 0x00000004
#define SE_DACL_PROTECTED 0x1000
#define TOKEN_QUERY 0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_TAKE_OWNERSHIP_NAME "SeTakeOwnershipPrivilege"
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define CP_ACP 0
#define WC_NO_BEST_FIT_CHARS 0x00000400

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_READ_DATA 0x0001
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_BEGIN 0
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define MAX_COMPUTERNAME_LENGTH 15
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOOPENFILEERRORBOX 0x8000

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_NOT_READY 21
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_DATA 13
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_FILE_EXISTS 80
#define ERROR_NOT_SUPPORTED 50
#define ERROR_NETNAME_DELETED 64
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_DISK_FULL 112
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_INSTALL_LOG_FAILURE 1622
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_PARAMETER 87
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_BAD_PATHNAME 161
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_CANTWRITE 1013
#define ERROR_TOO_MANY_LINKS 1142
#define ERROR_REPARSE_ATTRIBUTE_CONFLICT 4391
#define ERROR_KEY_DELETED 1018
#define ERROR_NO_TOKEN 1008
#define ERROR_NOT_ALL_ASSIGNED 1300
#define ERROR_INVALID_OWNER 1307
#define ERROR_NO_SUCH_PRIVILEGE 1313
#define ERROR_INVALID_ACL 1336
#define ERROR_INVALID_SID 1337
#define ERROR_INVALID_SECURITY_DESCR 1338

#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

#define SECURITY_NT_AUTHORITY                                                                      \
  {                                                                                                \
    { 0, 0, 0, 0, 0, 5 }                                                                           \
  }
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220

#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001
#define ERROR_DLL_INIT_FAILED 1114

struct USEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
};

#define MB_OK 0x00000000
#define MB_ICONERROR 0x00000010
#define MB_ICONWARNING 0x00000030
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                     BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                                     DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4,
                                     DWORD nSubAuthority5, DWORD nSubAuthority6,
                                     DWORD nSubAuthority7, PSID *pSid);
BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember);
PVOID WINAPI FreeSid(PSID pSid);

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LONG WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime);
LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);
LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor);
LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor);
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName);
BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
HANDLE WINAPI GetCurrentProcess();
LPSTR WINAPI GetCommandLineA();
LPWSTR WINAPI GetCommandLineW();
UINT WINAPI SetErrorMode(UINT uMode);
BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                           DWORD flProtect);
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh,
                     DWORD nNumberOfBytesToLockLow, DWORD nNumberOfBytesToLockHigh);
BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh,
                       DWORD nNumberOfBytesToUnlockLow, DWORD nNumberOfBytesToUnlockHigh);
void WINAPI Sleep(DWORD dwMilliseconds);
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod);
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI GetLastError();
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);
BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer);
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list *Arguments);

// USER32's, which the program looks up once it has loaded user32 itself.
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
HWINSTA WINAPI GetProcessWindowStation();
BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded);

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

// Control and inspection of the model, for tests.
namespace emulated {

// NTSTATUS values of the native calls that the model serves through
// GetProcAddress only, as the SDK headers do not declare them.
constexpr LONG StatusSuccess = 0;
constexpr LONG StatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG StatusInvalidHandle = static_cast<LONG>(0xC0000008);
constexpr LONG StatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG StatusCannotDelete = static_cast<LONG>(0xC0000121);
constexpr LONG StatusKeyDeleted = static_cast<LONG>(0xC000017C);

enum class Op {
  GetVersionExA,
  AllocateAndInitializeSid,
  CheckTokenMembership,
  FreeSid,
  RegOpenKeyExA,
  RegEnumKeyExA,
  RegOpenKeyExW,
  RegEnumKeyExW,
  RegDeleteKeyA,
  RegDeleteKeyExA,
  RegQueryValueExA,
  RegQueryInfoKeyW,
  RegEnumValueW,
  RegQueryValueExW,
  RegCreateKeyExW,
  RegSetValueExW,
  NtDeleteKey,
  RegGetKeySecurity,
  RegSetKeySecurity,
  RegCloseKey,
  MessageBoxA,
  GetProcessWindowStation,
  GetUserObjectInformationA,
  GetModuleHandleA,
  GetProcAddress,
  GetCurrentProcess,
  IsWow64Process,
  GetCommandLineA,
  RtlGetVersion,
  CreateFileA,
  WriteFile,
  SetFilePointer,
  CloseHandle,
  GetLastError,
  GetLocalTime,
  GetComputerNameA,
  GetUserNameA,
  FormatMessageA,
  OpenProcessToken,
  LookupPrivilegeValueA,
  AdjustTokenPrivileges,
  LoadLibraryExA,
  GetSystemDirectoryA,
  SetDllDirectoryA,
  SetDefaultDllDirectories,
  ReadFile,
  FlushFileBuffers,
  MultiByteToWideChar,
  WideCharToMultiByte,
  GetFileInformationByHandle,
  GetCommandLineW,
  CreateFileW,
  GetComputerNameW,
  GetUserNameW,
  SetErrorMode,
  LockFile,
  UnlockFile,
  Sleep,
  VirtualAlloc,
  VirtualFree,
};
const char *Name(Op op);
bool IsRegistry(Op op);

// One platform call as it was made. `key` is the full path below
// HKEY_LOCAL_MACHINE of the key the call acted on, as its registry view keeps
// it ("" for none, "HKLM" for the root itself); `args` renders every
// argument as passed.
struct Call {
  Op op;
  std::string key;
  std::string args;
  long long result;
};

struct Box {
  HWND owner;
  std::string text;
  std::string caption;
  bool captionIsNull;
  UINT type;
};

// A fresh machine: Windows XP (5.1), caller in Administrators, an empty
// HKEY_LOCAL_MACHINE with only "Software", no faults, empty records.
void Reset();

// The version Windows is, as RtlGetVersion tells it; NTDLL exports that
// function from NT 5.0 on, KERNEL32 SetDllDirectoryA from XP (SP1) on and
// SetDefaultDllDirectories from Windows 8 on (SetExported plays Vista or 7
// with KB2533623). GetVersionExA tells the same, unless a
// compatibility mode (Vista on) makes it tell another.
void SetVersion(DWORD major, DWORD minor, DWORD platform = VER_PLATFORM_WIN32_NT);
void SetCompatibilityMode(DWORD major, DWORD minor);
// The names, UTF-8, as the W functions hand them out; the A functions hand
// out their Narrow form.
void SetNames(const std::string &computer, const std::string &user);
// The whole command line, UTF-8, as NT keeps it and GetCommandLineW hands
// it out: the program's own name first, then the arguments. A fresh
// machine's names the program only. GetCommandLineA hands out its Narrow
// form, best fit and all, as NT converts it; 9x keeps that narrow form
// alone, and its GetCommandLineW is a stub that fails.
void SetCommandLine(const std::string &commandLine);
// Whether the Administrators group is enabled in the caller's token; a
// standard user's token holds it deny-only.
void SetAdministrator(bool member);
// The privileges the token holds, each disabled until the program enables
// it: SeTakeOwnershipPrivilege and SeRestorePrivilege, as an administrator's
// token has them.
void SetPrivilegeHeld(const std::string &name, bool held);
bool PrivilegeEnabled(const std::string &name);
// 32-bit or 64-bit Windows, and the bitness of the process (match the build
// under test: 32 unless _WIN64). 64-bit Windows keeps the 32-bit view of
// HKLM\Software under Software\Wow6432Node, where KEY_WOW64_32KEY, or a
// 32-bit process that names no view, is redirected; 32-bit Windows ignores
// the view flags. Setting the Windows also sets what its DLLs export, as XP
// and XP x64 do: RegDeleteKeyExA on 64-bit Windows only.
void SetWindowsBits(unsigned bits);
void SetProcessBits(unsigned bits);
// Whether the system DLLs export `function` to GetProcAddress, for a Windows
// older or newer than the one set.
void SetExported(const std::string &function, bool exported);
// The process's window station: WinSta0, which the user sees; a service's
// (Service-0x0-3e7$), which no one can see, where a box waits for ever; or
// none to ask about, as on Windows 95, whose USER32 has no window stations.
enum class Station { Visible, Invisible, Unanswered };
void SetWindowStation(Station station);

// DLLs. The program runs from ProgramFolder, where it was saved, and
// whoever could write there may have left a DLL beside it (PlantDll); the
// system's are in the system folder, each on the Windows that ships it.
// The current folder, for relative paths of every kind, is CurrentFolder.
constexpr char ProgramFolder[] = "C:\\Downloads";
constexpr char CurrentFolder[] = "C:\\Work";
void PlantDll(const std::string &name);
// Every DLL loaded into the process (by the program; by user32 as it
// loads: on NT 5.0 and later, imm32 from the system folder by its full
// path, then lpk and usp10 by name, as a system with complex-script support
// has it; or by the system for a box: visual styles on XP and later), by
// where it was found, in order. No static import brings user32 in: it is
// there only once the program loads it. A load of user32 made to fail with
// FailOnKey(Op::LoadLibraryExA, "user32.dll", ...) plays a service's
// desktop heap that is used up (ERROR_DLL_INIT_FAILED).
std::vector<std::string> LoadedDlls();
// Whether complex-script support (Arabic, Hebrew, Thai, Indic) is
// installed, on by default where one of them is the system's language; a
// fresh machine has it. Where it is, user32, as it starts, loads lpk by
// name. A system DLL starts what it imports as it loads: the model knows
// XP's imports of user32 and gdi32 (which imports user32), and lpk's of
// usp10. Imports are found as a load by name is, user32 and gdi32 as
// KnownDLLs; a DLL loaded by full path with LOAD_WITH_ALTERED_SEARCH_PATH
// has its own folder searched first for them.
void SetComplexScripts(bool installed);

// Whether two key names or paths are the same to the registry: compared
// without regard to case, as Windows compares them.
bool SameName(const std::string &a, const std::string &b);

// A name or path in the ANSI code page. The model's names are UTF-8, and
// its ANSI code page holds ASCII only. The A functions convert as Windows
// does, through the best-fit table that no flag turns off there: a
// fullwidth form (U+FF01 to U+FF5E) comes back as its ASCII twin, a Latin
// letter with a mark (U+00C0 to U+017F) as its base letter, U+03A9 (Omega)
// as 'O', and every other character as '?'. So a name may come back as
// another key's, or as a path of several levels. With `bestFit` false,
// as WideCharToMultiByte with WC_NO_BEST_FIT_CHARS, all of them are '?'.
std::string Narrow(const std::string &name, bool bestFit = true);

// Registry set-up and read-back; paths are below HKEY_LOCAL_MACHINE and name
// keys as they are stored: these never follow a link. Names are UTF-8, as
// the W functions see them in UTF-16; RegEnumKeyExA hands out their
// Narrow form.
void CreateKey(const std::string &path);
// Deletes the key with its subtree, as another process would: the program's
// handles to those keys stay open, on deleted keys.
void RemoveTree(const std::string &path);
// A value of any type; `data` is its bytes as stored, strings in UTF-16LE.
// The short form sets a REG_SZ of UTF-8 `text`.
void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::string &data);
void SetValue(const std::string &path, const std::string &name, const std::string &text);
void DeleteValue(const std::string &path, const std::string &name);
// UTF-8 text as UTF-16LE bytes, without a terminating zero, and back.
std::string Utf16(const std::string &text);
std::string Utf8(const std::string &utf16);
// A registry link, as REG_OPTION_CREATE_LINK makes one: a key whose
// "SymbolicLinkValue" (REG_LINK) holds the target's NT path, such as
// "\Registry\Machine\Software\Other". The target need not exist.
void CreateLink(const std::string &path, const std::string &target);
bool IsLink(const std::string &path);
// A key's owner and DACL, in SDDL's terms, as an administrator's tool sets
// them: "O:SYD:P(A;;KA;;;SY)" (SIDs SY, BA, BU, WD, AU, CO, LA or S-1-...;
// rights as two-letter codes or 0x...; "D:NO_ACCESS_CONTROL" for a null
// DACL). Every key is made with what XP gives HKLM\Software: owner
// Administrators; Administrators and SYSTEM full control, Users read. Read
// back in the same terms, flags and masks in hex.
void SetKeySecurity(const std::string &path, const std::string &sddl);
std::string KeySecurity(const std::string &path);
bool KeyExists(const std::string &path);
std::vector<std::string> Subkeys(const std::string &path);
std::vector<std::string> Values(const std::string &path);
std::size_t KeyCount(); // every key below HKEY_LOCAL_MACHINE
// Every key, link and value outside the keys in `except` (and their subtrees),
// one line each, in a fixed order: what a run must leave as it found it.
std::vector<std::string> Outside(const std::vector<std::string> &except);

// Faults. An injected fault makes the call return `error` (FALSE, NULL or the
// SID for the calls that do not return an error code; an NTSTATUS for the
// native ones) and do nothing else,
// except that RegCloseKey and FreeSid still release what they were given: a
// release that fails cannot be retried by the caller, and the model should
// not invent leaks. FailOnKey applies to every call of `op` on that key (any
// case); FailAt to the n-th call of `op` only, counted from 1.
void FailOnKey(Op op, const std::string &path, LONG error);
void FailAt(Op op, unsigned n, LONG error);

// Another process's change to the machine, made just before the n-th call
// (counted from 1 over every call) is served: the way a test races the
// program. One at a time; a later one replaces it.
void AtCall(std::size_t n, std::function<void()> change);

// Another process at work beside the program for the whole run: `step`
// runs before every `every`-th call (counted from 1 over every call), as
// its own registry calls would make its changes. Every 0 ends it.
void SetRival(unsigned every, std::function<void()> step);

// A bound on the calls of one run: past it every call fails, so that a walk
// that would never end does end, and the test can see that it would not.
void SetCallLimit(std::size_t limit);
bool CallLimitReached();

// Files. Paths are compared without regard to case; a relative path is
// below the current folder, C:\Work. Folders exist only once made (C:\ and
// C:\Work are); a file is made in an existing folder only.
void CreateFolder(const std::string &path);
// A drive that holds no medium, as an empty card reader or floppy drive:
// an open of a file on it fails with ERROR_NOT_READY, after the system's
// own "No Disk" box, a box of the Boxes() record that waits for its
// answer, unless SetErrorMode asked for SEM_FAILCRITICALERRORS.
void SetNoMedium(char drive);
bool FileExists(const std::string &path);
std::string FileText(const std::string &path);
// A file of `links` names, as a hard link made elsewhere leaves it: a write
// through this name changes the others, which the model does not keep.
void SetFileLinks(const std::string &path, DWORD links);
// A symbolic link to the file `target`, as mklink makes one (Vista on, or
// a junction's kin on 2000 and XP): CreateFileA follows it, unless asked
// for FILE_FLAG_OPEN_REPARSE_POINT, which opens the link itself; either way
// GetFileInformationByHandle tells which it opened.
void CreateFileLink(const std::string &path, const std::string &target);
// Another process's byte-range lock on the file, held (or let go) as
// another run holds the log's lock: LockFile of any range of it fails
// with ERROR_LOCK_VIOLATION while held. LockFile needs a handle opened
// with read or write data access (FILE_APPEND_DATA alone is not), and
// refuses a range that another handle has locked; CloseHandle lets go of
// what its handle locked.
void HoldFileLock(const std::string &path, bool held);
// Another writer's append, as another machine's run on a shared file.
void AppendToFile(const std::string &path, const std::string &text);
// What the file held when it was last flushed to disk: all that a crash
// would leave of it.
std::string FlushedText(const std::string &path);
// The bytes the disk still takes; a write past them writes what fits and
// fails with ERROR_DISK_FULL.
void SetDiskSpace(std::size_t bytes);
unsigned OpenFiles();
// Memory that VirtualAlloc gave and VirtualFree has not taken back.
unsigned LiveAllocations();

const std::vector<Call> &Calls();
const std::vector<Box> &Boxes();
unsigned OpenHandles(); // registry keys and tokens
unsigned LiveSids();
// Keys deleted while a handle to them was still open, by path.
const std::vector<std::string> &DeletedWhileOpen();
// Each key the program deleted, in order: its path and its values as it
// went, one "name=type:bytes" each, in the order they enumerate.
struct DeletedKey {
  std::string path;
  std::vector<std::string> values;
};
std::vector<DeletedKey> DeletedKeys();

} // namespace emulated
