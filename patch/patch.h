// The patch: remove HKEY_LOCAL_MACHINE\Software\Crystal Semiconductor and its
// whole subtree, on Windows XP and later 5.x only, for administrators only.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// Relative to HKEY_LOCAL_MACHINE; the walk opens it by its wide twin.
constexpr const char PatchKeyPath[] = "Software\\Crystal Semiconductor";
constexpr const WCHAR PatchKeyPathW[] = WIDE("Software\\Crystal Semiconductor");
constexpr const char MachineKeyName[] = "HKEY_LOCAL_MACHINE";

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
// One switch or exit code a line, as Windows' own help boxes have them;
// no tabs, which a box's proportional font does not line up, and lines
// short enough for a box on a 640 by 480 screen.
constexpr const char UsageText[] = "Usage: quenlor-patch [switches]\n"
                                   "\n"
                                   "/quiet or /q: no boxes, only the exit code\n"
                                   "/log:<file>: append a record to <file>\n"
                                   "/backup:<file>: keep what is removed in <file>\n"
                                   "/norestart: ignored\n"
                                   "/? or /help: this help\n"
                                   "\n"
                                   "Exit codes, with /quiet:\n"
                                   "0: the key is gone\n"
                                   "5: not an administrator\n"
                                   "50: not Windows XP, XP x64 or Server 2003\n"
                                   "1013: some keys could not be deleted\n"
                                   "With or without /quiet:\n"
                                   "87: an argument was not understood\n"
                                   "29: the backup file could not be written\n"
                                   "1622: the log file could not be opened";
constexpr const char LogFailedText[] = "Could not open the log file ";
constexpr const char BackupFailedText[] = "Could not write the backup file ";
constexpr const char BackupCutShortText[] =
    "it ends in the middle of a record, as a run that was cut short leaves it. Look at the file "
    "before it is imported or used again.";
constexpr const char BackupStoppedText[] =
    "No key was deleted after the failure; every key deleted before it is in the file.";

// Exit codes with /quiet, one for each outcome: Windows system error codes,
// so that `net helpmsg N` explains each on any Windows.
constexpr int ExitKeyGone = ERROR_SUCCESS;
constexpr int ExitWrongVersion = ERROR_NOT_SUPPORTED;     // 50, "not supported"
constexpr int ExitNotAdministrator = ERROR_ACCESS_DENIED; // 5
constexpr int ExitKeysLeft = ERROR_CANTWRITE; // 1013, "registry key could not be written"
constexpr int ExitUnknownArgument = ERROR_INVALID_PARAMETER; // 87, with or without /quiet
// 1622, what Windows Installer gives for a log it cannot open; with or
// without /quiet, as a caller that asked for a record must learn it has none.
constexpr int ExitLogFailed = ERROR_INSTALL_LOG_FAILURE;
// 29, "The system cannot write to the specified device": a caller that
// asked for a backup must learn that it has none, quiet or not.
constexpr int ExitBackupFailed = ERROR_WRITE_FAULT;

// What the command line asks for, read before anything else. The program's
// own name comes first and is passed over; every argument after it starts
// with "/" or "-" and is a name in any letter case.
struct Arguments {
  bool quiet;          // /quiet or /q: no box; the exit code tells the outcome
  bool help;           // /?, /help or /h: the usage box, and nothing else
  const char *unknown; // the first argument not understood, or null
  std::size_t unknownLength;
  const char *log; // what follows "/log:", quotes and all, or null
  std::size_t logLength;
  const char *backup; // what follows "/backup:", quotes and all, or null
  std::size_t backupLength;
};
Arguments ReadArguments(const char *commandLine);

// The whole run, as the body of WinMain: the arguments, the version gate,
// the administrator gate, the removal and its report. Returns the exit code:
// 0 whatever happened, unless /quiet asks for the outcome's own code or an
// argument was not understood.
int ApplyPatch();

// GetVersionExA's answer, which a compatibility mode may change; version
// 0.0 if it gives none.
bool ToldVersion(OSVERSIONINFOA &version);
// The version the gates decide on: RtlGetVersion's, or GetVersionExA's where
// there is none (9x, NT 4.0). Returns whether it was RtlGetVersion's. A query
// that fails leaves version 0.0, which is refused.
bool QueryVersion(OSVERSIONINFOA &version);
// 5.1 is Windows XP; 5.2 is XP x64 and Server 2003. 5.0 (2000) and 6.x
// (Vista on) have registries the driver was never made for.
bool IsSupportedVersion(const OSVERSIONINFOA &version);

// Makes the process's DLL search safe, before anything could load a DLL by
// name: a DLL left beside the program never runs inside it. Each DLL that
// Windows loads into any run by name is loaded ahead from the system
// folder; where Windows can (`version` 6 on, with SetDefaultDllDirectories),
// every other load by name comes from there too; and the current folder
// leaves the search wherever SetDllDirectoryA can take it out. Nothing
// here can stop the run or change how it ends.
void SecureDllSearch(const OSVERSIONINFOA &version);
// user32, which the program does not import: a static import would have
// the loader map it, and what it loads by name, before SecureDllSearch
// could run. Loaded from the system folder by its full path when a run
// first needs a box, after what it and a window bring in by name; a quiet
// run never loads it. Null if it will not load (a service's desktop heap
// used up fails its start).
HMODULE LoadUser32();

// Whether the caller's own token holds the built-in Administrators group
// (S-1-5-32-544). False when the platform cannot answer.
bool IsAdministrator();

// GetLastError for a call that failed; `fallback` where it says "success",
// which would let the caller go on as if nothing had.
inline DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? fallback : error;
}

// A function that a system DLL may not export on every Windows the program
// must start on (so as to refuse it), or of a DLL it loads itself, looked
// up at run time; null if absent.
template <typename Function> Function ModuleFunction(HMODULE module, const char *name) {
  FARPROC found = module ? GetProcAddress(module, name) : nullptr;
  // Through void(*)(), the one cast between function types that means "any".
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
template <typename Function> Function SystemFunction(const char *module, const char *name) {
  return ModuleFunction<Function>(GetModuleHandleA(module), name);
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

using MessageBoxFunction = decltype(&MessageBoxA);

// Where a run tells what it does: boxes, unless quiet, and the /log file,
// when one is open; and what the walk of the view at hand has found.
struct Report {
  bool quiet;                    // no box: asked for, or no one could answer one
  HANDLE log;                    // INVALID_HANDLE_VALUE without /log, or once a write failed
  bool seekToEnd;                // Windows 9x knows no append-only handle
  DWORD removed;                 // keys this view's walk deleted
  DWORD stayed;                  // keys of this view that stay
  DWORD takenOver;               // keys of this view whose DACL the walk replaced
  MessageBoxFunction messageBox; // user32's, once loaded; null while quiet
};

// Makes ready the boxes of a run that was not asked to be quiet: loads
// user32 and asks whether anyone can see the process's window station. A
// service's (Service-0x0-3e7$, where fleet engines start programs as
// SYSTEM) has no display, and a box there waits for an OK that no one can
// give. Where no one can see it, or user32 will not load, the run is
// quiet from here on, and its exit code tells the outcome; returns why
// then (and `error`, for user32), else null. Where the question cannot be
// asked (Windows 95 has no window stations), boxes are shown.
const char *OpenBoxes(Report &report, DWORD &error);
constexpr char NoStationText[] = "No box, and the exit code tells the outcome as with /quiet: no "
                                 "one can see this window station";
constexpr char NoUser32Text[] = "No box, and the exit code tells the outcome as with /quiet: "
                                "user32.dll could not be loaded";
// A box with no owner window, unless the run is quiet.
void ShowBox(const Report &report, const char *text, const char *caption, UINT icon);

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

// The /backup file, a .reg file that regedit /s and reg import put back:
// each key goes only once its values are in the file and the file is on
// disk. Opened when the first key is saved, so that a run that removes
// nothing leaves no file; once opening, writing or flushing it fails,
// nothing more is deleted.
struct Backup {
  char path[MAX_PATH]; // without the quotes that group it on the command line
  HANDLE file;         // INVALID_HANDLE_VALUE until the first key is saved
  DWORD error;         // ERROR_SUCCESS while the file holds; what failed then
  bool unflushed;      // written since the last flush
  // The wide-character functions, which Windows 9x lacks: values are read
  // as they are stored, whatever the ANSI code page holds.
  decltype(&RegQueryInfoKeyW) regQueryInfoKey;
  decltype(&RegEnumValueW) regEnumValue;
  DWORD writes;       // made so far
  std::size_t length; // of `text`
  WCHAR text[2048];   // what waits to be written, in one write
};

// What the walk needs in one view: the view's flag, passed with every open,
// NtDeleteKey, through which every key goes, the wide functions that list
// and open keys by the names the registry holds, where it reports, what it
// takes a key over with, and the backup, or null without /backup.
//
// The walk is wide on purpose. The A functions hand a name out through the
// ANSI code page's best-fit table, which no flag turns off: a fullwidth
// reverse solidus (U+FF3C) comes back as '\', so a name that holds one
// would be opened as a path of several levels, through any link on the
// way, and a name that best-fits to a sibling's would open the sibling.
// Both W functions are looked up, as Windows 95's ADVAPI32 does not export
// them; the walk never runs where they are missing.
struct Walk {
  REGSAM view;
  NtDeleteKeyFunction ntDeleteKey;
  decltype(&RegOpenKeyExW) regOpenKey;
  decltype(&RegEnumKeyExW) regEnumKey;
  Report *report;
  Takeover *takeover;
  Backup *backup;
};

// What the walk asks of each key: enough to list its subkeys and to delete
// it, and nothing that a key locked "read-only" would refuse; with a
// backup, its values too.
constexpr REGSAM WalkAccess = DELETE | KEY_ENUMERATE_SUB_KEYS;
inline REGSAM WalkAccessOf(const Walk &walk) {
  return WalkAccess | (walk.backup ? KEY_QUERY_VALUE : 0) | walk.view;
}

// The longest key name Windows allows, in characters.
constexpr DWORD MaxKeyName = 255;

// A key of the walk by its name as the registry holds it, with the chain of
// keys above it up to the one the walk began with, all in the walk's own
// stack frames. It names a key in the log and the backup; nothing is ever
// opened by the path it spells.
struct Trail {
  const WCHAR *name;
  const Trail *parent; // null for the key the walk began with
};

// How one key fared: `error` is ERROR_SUCCESS when it went,
// ERROR_FILE_NOT_FOUND when it was already gone, another Win32 error when it
// stays; `status` is NtDeleteKey's refusal when that was why.
struct Fate {
  LONG error;
  LONG status;
};

// Deletes the key `trail.name` below the open key `parent`, with its whole
// subtree, depth-first. Every key is opened relative to its parent's handle
// as itself (a registry link too, whose target is never reached) and
// deleted through its own handle, so that no path is ever resolved again
// from the root and nothing that another process swaps in can redirect the
// walk.
Fate DeleteKey(HKEY parent, const Trail &trail, const Walk &walk);

// Deletes every subkey of the open key `key` (named by `trail`), reporting
// each one that went or stays; one that stays is stepped over.
void DeleteSubkeys(HKEY key, const Trail &trail, const Walk &walk);

// A key's fate from an open that failed, or from NtDeleteKey's answer;
// `subkeyStayed` says that a key below it stays, which is why it does.
Fate Opened(LONG result);
Fate Deleted(LONG status, bool subkeyStayed);
// NtDeleteKey's word for a key that another process deleted while the walk
// held it: gone, though another key may since stand in its name.
constexpr LONG StatusKeyDeleted = static_cast<LONG>(0xC000017C);
// Its word for a key that still has subkeys (Wine says access denied).
constexpr LONG StatusCannotDelete = static_cast<LONG>(0xC0000121);
// The fate of a key that stays because a key below it stays, told in
// words of its own rather than as whatever NtDeleteKey answered.
constexpr LONG SubkeyStayed = ERROR_DIR_NOT_EMPTY;
constexpr char SubkeyStayedText[] = "a subkey of it stayed.";
constexpr Fate Vanished = {ERROR_FILE_NOT_FOUND, StatusKeyDeleted};

// Deletes the open key `key` through its handle, emptying it first if it
// has subkeys. Inline, so that each level of the walk's recursion takes no
// frame for it.
inline Fate Delete(HKEY key, const Trail &trail, const Walk &walk) {
  // Asked first: a leaf, or a link, goes at once; a key with subkeys is
  // refused, then emptied and asked again.
  LONG status = walk.ntDeleteKey(key);
  DWORD stayed = walk.report->stayed;
  if (status < 0 && status != StatusKeyDeleted) {
    DeleteSubkeys(key, trail, walk);
    status = walk.ntDeleteKey(key);
  }
  return Deleted(status, walk.report->stayed != stayed);
}

// With a backup: saves the open key `key` (named by `trail`) with its values,
// then deletes it as Delete does, each NtDeleteKey after the file is on
// disk. A key that cannot be saved stays, with the reason as its fate;
// `takenOver` says the file must tell that its permissions are not kept.
Fate SaveAndDelete(HKEY key, const Trail &trail, const Walk &walk, bool takenOver);
// The file (regfile.cpp). OpenBackup opens it for the first key, checks
// that it begins as such a file does or writes that beginning, and heads
// the run's records; each Put adds to what waits to be written; a key's
// values are PutValue's lines. FlushBackup writes what waits and flushes
// the file to disk. Each returns false, and sets `error`, once the file
// failed; nothing is written after that. An existing file is appended to
// only where it begins as a .reg file (else ERROR_FILE_EXISTS) and ends
// where a record ends (else BackupCutShort).
bool OpenBackup(Backup &backup);
void PutText(Backup &backup, const char *text); // ASCII
void PutWide(Backup &backup, const WCHAR *text, std::size_t length);
void PutQuoted(Backup &backup, const WCHAR *text, std::size_t length);
void PutValue(Backup &backup, const WCHAR *name, DWORD nameLength, DWORD type, const BYTE *data,
              DWORD size);
bool FlushBackup(Backup &backup);
// The file's error when it ends inside a record: ERROR_HANDLE_EOF, which no
// synchronous file call fails with, told in words of its own.
constexpr DWORD BackupCutShort = ERROR_HANDLE_EOF;
// Whether the file failed: the walk deletes nothing more.
inline bool BackupFailed(const Backup *backup) { return backup && backup->error != ERROR_SUCCESS; }
// Ends the backup, flushing what waits; false if that failed.
bool CloseBackup(Backup &backup);

// The key `trail.name` below `parent` refused the walk's open: it is taken
// over as an administrator would in regedit, for this key alone. Owner
// Administrators (with SeTakeOwnershipPrivilege) where they cannot change
// its DACL, then a DACL that lets them delete it; deleted as any key; and
// its DACL put back as it was if it stays after all. Every handle is
// opened below `parent` by the one name, as the key itself, or as a new
// handle to a key already open.
Fate TakeOver(HKEY parent, const Trail &trail, const Walk &walk);

// What the walk reports of each key: counted, and one that stays warned
// about (unless quiet or it is the key the walk began with, which the
// outcome tells) and written to the log with why.
void ReportKey(const Walk &walk, const Trail &key, Fate fate);

// A "Debug" warning box.
void ShowWarning(const Report &report, const char *text);

// A line of text built on the stack: a log line, or a box's text. What
// does not fit is left out.
struct Line {
  char text[1024];
  std::size_t length;
};
void Add(Line &line, const char *text, std::size_t length = static_cast<std::size_t>(-1));
// Adds text from outside (a key name, a link's target, the command line)
// so that it cannot end the line: a control character (below U+0020, and
// U+007F) as '%' and its code in two hexadecimal digits, and '%' itself as
// %25. The wide form converts to the ANSI code page without best fit, so
// that a character the code page lacks is '?', never a look-alike.
void AddShown(Line &line, const char *text, std::size_t length);
void AddShown(Line &line, const WCHAR *text, std::size_t length);
// Adds `pattern`, each %s in it standing for the next argument, a string,
// each %u for a number (a DWORD), %2u for one of at least two digits (any
// digit from 1 to 9), and %x for a number in eight hexadecimal digits.
void Format(Line &line, const char *pattern, ...);
// The path of `key` below HKEY_LOCAL_MACHINE, as `view` keeps it, each
// level after a backslash, built backwards to the end of `path` (`size`
// characters, no terminator): `start` is where the levels that fit begin.
// Returns whether they all did.
bool KeyPath(const Trail &key, REGSAM view, WCHAR *path, std::size_t size, std::size_t &start);
// The path of `key` from HKEY_LOCAL_MACHINE, as `view` keeps it; a path too
// long for a line keeps its last levels, after "...".
void AddPath(Line &line, const Trail &key, REGSAM view);
// "error N, " and the system's text for it.
void AddError(Line &line, DWORD error);

// A file the run writes, as OpenChecked opened it: its handle, or
// INVALID_HANDLE_VALUE with the reason; and whether it was there before.
struct OpenedFile {
  HANDLE file;
  DWORD error;
  bool existed;
};
// Opens `path` (created if missing) for `access` and checks, on NT, what
// was opened before anything is read or written: a file with another name
// elsewhere, a hard link, is refused (FileHasOtherNames), and where Windows
// has reparse points (2000 on) a link in its last place is opened as itself
// and refused (FileIsLink); a refused file is closed as it was. On Windows
// 9x it is opened as it is.
OpenedFile OpenChecked(const char *path, DWORD access, DWORD share, bool nt, bool reparsePoints);
// The reasons of a refused file: Win32 errors that no file call of the run
// fails with, told in words of their own.
constexpr DWORD FileHasOtherNames = ERROR_TOO_MANY_LINKS;
constexpr DWORD FileIsLink = ERROR_REPARSE_ATTRIBUTE_CONFLICT;
constexpr char FileHasOtherNamesText[] =
    "it has another name elsewhere (a hard link), so writing to it could change a file that "
    "someone else chose. Delete this name, or name a file in a folder where only administrators "
    "can create files.";
constexpr char FileIsLinkText[] =
    "it is a link, so writing to it could change a file that someone else chose. Delete the "
    "link, or name a file in a folder where only administrators can create files.";

// The /log file: created if missing and appended to, shared, so that runs on
// many machines can write to one file, and checked as OpenChecked does.
// Windows 9x knows no append-only handle.
OpenedFile OpenLog(const char *path, const OSVERSIONINFOA &version);
// Starts a log line with the local date and time.
void BeginLine(Line &line);
// Ends the line and appends it in one write. A write that fails stops the
// log, never the run.
void WriteLine(Report &report, Line &line);

// The log's lines. Each does nothing once the log is closed, or without one.
// The first lines of a run: who runs what where, and on which Windows;
// `real` says whether `version` is RtlGetVersion's, which a compatibility
// mode's may differ from.
void LogStart(Report &report, const char *commandLine, const OSVERSIONINFOA &version, bool real);
// A line of `text`, with ": " and `error`'s text after it unless ERROR_SUCCESS.
void LogText(Report &report, const char *text, DWORD error = ERROR_SUCCESS);
// A key that stays, by its path (its last levels after "..." where it is
// too long for a line), and why: a subkey of it that stayed, or the error.
void LogStayed(Report &report, const Trail &key, REGSAM view, Fate fate);
// `what` (": " and `error`'s text after it, unless ERROR_SUCCESS) and a
// key's full path: "Taken over: HKEY_LOCAL_MACHINE\..."
void LogKey(Report &report, const char *what, const Trail &key, REGSAM view,
            DWORD error = ERROR_SUCCESS);
// What one view's walk did, after the keys that stayed in it; `fate` is the
// patch key's own.
void LogView(Report &report, REGSAM view, Fate fate);
// The outcome and its exit code; then the log is closed.
void LogEnd(Report &report, const char *outcome, int code);
