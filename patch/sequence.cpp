// The run: its arguments, the two gates, the registry views, and how the
// outcome is told.
#include "patch/sequence.h"
#include "patch/admin.h"
#include "patch/arguments.h"
#include "patch/backup.h"
#include "patch/boxes.h"
#include "patch/dllsearch.h"
#include "patch/functions.h"
#include "patch/log.h"
#include "patch/openfile.h"
#include "patch/report.h"
#include "patch/restore.h"
#include "patch/takeover.h"
#include "patch/texts.h"
#include "patch/version.h"
#include "patch/walk.h"

namespace {

// How a run ends: the box it shows, and the exit code /quiet gives for it.
struct Outcome {
  const char *text;
  const char *caption;
  UINT icon;
  int code;
};
constexpr Outcome KeyGone = {SuccessText, SuccessCaption, MB_ICONINFORMATION, ExitKeyGone};
constexpr Outcome KeysLeft = {FailureText, ErrorCaption, MB_ICONERROR, ExitKeysLeft};
constexpr Outcome WrongVersion = {VersionRefusedText, ErrorCaption, MB_ICONERROR, ExitWrongVersion};
constexpr Outcome NotAdministrator = {NotAdministratorText, ErrorCaption, MB_ICONERROR,
                                      ExitNotAdministrator};
constexpr Outcome Help = {UsageText, HelpCaption, MB_ICONINFORMATION, ExitKeyGone};

// Tells the outcome: a box, or with /quiet its exit code. Without /quiet
// the exit code is 0 whatever happened, as callers of the box version have
// always had it; a run whose boxes no one could see is quiet.
int Tell(const Report &report, const Outcome &outcome) {
  if (report.quiet) {
    return outcome.code;
  }
  ShowBox(report, outcome.text, outcome.caption, outcome.icon);
  return 0;
}

// Enough of an argument to recognise it by.
constexpr std::size_t ShownArgumentLength = 100;
static_assert(sizeof RepeatedArgumentText + ShownArgumentLength + 2 + sizeof UsageText <
                  sizeof Line::text - 3,
              "the box for an argument not understood holds the whole usage");

// A run refused for its arguments: 87, with a box that names the argument,
// and the same line at the end of the log, where there is one, so that a
// typo in a fleet's script leaves a trace.
int RefuseArgument(Report &report, const Arguments &arguments) {
  Line text = {};
  const WCHAR *argument = arguments.repeated   ? arguments.repeated
                          : arguments.conflict ? arguments.conflict
                                               : arguments.unknown;
  std::size_t length = arguments.repeated   ? arguments.repeatedLength
                       : arguments.conflict ? arguments.conflictLength
                                            : arguments.unknownLength;
  Add(text, arguments.repeated   ? RepeatedArgumentText
            : arguments.conflict ? ConflictingArgumentText
                                 : UnknownArgumentText);
  AddShown(text, argument, length < ShownArgumentLength ? length : ShownArgumentLength);
  LogEnd(report, text.text, ExitUnknownArgument);
  Format(text, "\n\n%s", UsageText);
  ShowBox(report, text.text, ErrorCaption, MB_ICONERROR);
  return ExitUnknownArgument;
}

// "Could not ... file <path>: " and why: "error N, " and Windows' text for
// it, or, for a backup that a run cut short or of another kind and a file
// refused, what that means. The path is shown as the log shows a key's name: no best fit,
// and nothing that could end a line.
void FileFailure(Line &text, const char *what, const WCHAR *path, DWORD error) {
  Add(text, what);
  AddShown(text, path, MAX_PATH);
  Add(text, ": ");
  const char *words = error == BackupCutShort            ? BackupCutShortText
                      : error == BackupOtherKind         ? BackupOtherKindText
                      : error == ERROR_SHARING_VIOLATION ? FileInUseText
                      : error == FileHasOtherNames       ? FileHasOtherNamesText
                      : error == FileIsLink              ? FileIsLinkText
                                                         : nullptr;
  if (words) {
    Add(text, words);
  } else {
    AddError(text, error);
  }
}

void ShowLogFailure(const Report &report, const WCHAR *path, DWORD error) {
  Line text = {};
  FileFailure(text, LogFailedText, path, error);
  ShowBox(report, text.text, ErrorCaption, MB_ICONERROR);
}

// A backup that failed ends the run with its own code, quiet or not; the
// log has the file's error, the box what it means for the keys.
int TellBackupFailure(Report &report, const WCHAR *path, DWORD error) {
  Line text = {};
  FileFailure(text, BackupFailedText, path, error);
  LogEnd(report, text.text, ExitBackupFailed);
  Format(text, "\n\n%s", BackupStoppedText);
  ShowBox(report, text.text, ErrorCaption, MB_ICONERROR);
  return ExitBackupFailed;
}

// A restore, once the gates passed: its outcome told as a removal's, but a
// file refused (13) or unread (30) ends with its code, quiet or not.
int TellRestore(Report &report, const Arguments &arguments) {
  WCHAR path[MAX_PATH];
  Line text = {};
  int code =
      Unquoted(arguments.restore, arguments.restoreLength, path)
          ? Restore(path, report, text)
          : (FileFailure(text, "Could not read the backup file ", path, ERROR_FILENAME_EXCED_RANGE),
             ExitRestoreUnread);
  LogEnd(report, text.text, code);
  bool fileFailed = code == ExitRestoreInvalid || code == ExitRestoreUnread;
  ShowBox(report, text.text, code == ERROR_SUCCESS ? SuccessCaption : ErrorCaption,
          code == ERROR_SUCCESS ? MB_ICONINFORMATION : MB_ICONERROR);
  return report.quiet || fileFailed ? code : 0;
}

bool IsWindows64() {
#ifdef _WIN64
  return true; // a 64-bit program runs on 64-bit Windows only
#else
  // Looked up, as XP before SP2 lacks it, and only 32-bit Windows does.
  // Should the call itself fail, both views are assumed: on 32-bit Windows
  // that costs a second pass over its one view, never a copy left behind.
  using IsWow64ProcessFunction = BOOL(WINAPI *)(HANDLE process, PBOOL wow64);
  auto isWow64Process = SystemFunction<IsWow64ProcessFunction>("kernel32.dll", "IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64Process && (!isWow64Process(GetCurrentProcess(), &wow64) || wow64);
#endif
}

// Whether the patch key is gone from the walk's view now: opened as itself,
// a link too, with the least access there is to ask for.
bool Absent(const Walk &walk) {
  HKEY key = nullptr;
  LONG result = walk.regOpenKey(HKEY_LOCAL_MACHINE, PatchKeyPathW, REG_OPTION_OPEN_LINK,
                                KEY_QUERY_VALUE | walk.view, &key);
  if (result == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  return result == ERROR_FILE_NOT_FOUND;
}

// The gates, then the removal from every view, saved first into `backup`
// where there is one.
// The gates, which a removal and a restore pass alike: null where both
// pass, else the refusal.
const Outcome *Refusal(const OSVERSIONINFOA &version, Report &report) {
  if (!IsSupportedVersion(version)) {
    LogText(report, "Refused: not Windows XP, XP x64 or Server 2003");
    return &WrongVersion;
  }
  if (!IsAdministrator()) {
    LogText(report, "Refused: not run by a member of the Administrators group");
    return &NotAdministrator;
  }
  return nullptr;
}

const Outcome &Patch(Report &report, Backup *backup) {
  // Every NT version has these; without them nothing could be listed and
  // opened by its own name and deleted through its own handle, and nothing
  // is deleted any other way.
  auto ntDeleteKey = SystemFunction<NtDeleteKeyFunction>("ntdll.dll", "NtDeleteKey");
  auto regOpenKey = SystemFunction<decltype(&RegOpenKeyExW)>("advapi32.dll", "RegOpenKeyExW");
  auto regEnumKey = SystemFunction<decltype(&RegEnumKeyExW)>("advapi32.dll", "RegEnumKeyExW");
  // Success means the key is gone now from every view, whether this run
  // removed it or it was never there; anything else would tell a lie.
  bool gone = ntDeleteKey && regOpenKey && regEnumKey;
  REGSAM views[2];
  std::size_t count = gone ? RegistryViews(views) : 0;
  Takeover takeover = {};
  if (backup) {
    backup->regQueryInfoKey =
        SystemFunction<decltype(&RegQueryInfoKeyW)>("advapi32.dll", "RegQueryInfoKeyW");
    backup->regEnumValue =
        SystemFunction<decltype(&RegEnumValueW)>("advapi32.dll", "RegEnumValueW");
  }
  for (std::size_t i = 0; i < count && !BackupFailed(backup); ++i) {
    report.removed = 0;
    report.stayed = 0;
    report.takenOver = 0;
    report.vanished = 0;
    const Walk walk = {views[i], ntDeleteKey, regOpenKey, regEnumKey, &report, &takeover, backup};
    const Trail key = {PatchKeyPathW, nullptr};
    // Deleted by another process while held: another key may stand in its
    // name by now, so it is looked for again, a few times at most. One
    // that keeps vanishing is not known to be gone.
    auto vanished = [](Fate fate) {
      return fate.error == Vanished.error && fate.status == Vanished.status;
    };
    Fate fate = DeleteKey(HKEY_LOCAL_MACHINE, key, walk);
    for (int tries = 0; tries < 3 && vanished(fate); ++tries) {
      fate = DeleteKey(HKEY_LOCAL_MACHINE, key, walk);
    }
    fate = vanished(fate) ? Fate{ERROR_KEY_DELETED, 0} : fate;
    if (fate.error != ERROR_FILE_NOT_FOUND) {
      ReportKey(walk, key, fate);
    }
    LogView(report, views[i], fate);
    // The outcome is what the registry holds: a key that the walk saw stay
    // may since have gone, removed by another run or by the driver's own
    // uninstaller.
    gone =
        (fate.error == ERROR_SUCCESS || fate.error == ERROR_FILE_NOT_FOUND || Absent(walk)) && gone;
  }
  return gone ? KeyGone : KeysLeft;
}

} // namespace

void ReportKey(const Walk &walk, const Trail &key, Fate fate) {
  Report &report = *walk.report;
  if (fate.error == ERROR_SUCCESS) {
    ++report.removed;
    return;
  }
  ++report.stayed;
  LogStayed(report, key, walk.view, fate);
  // A key left by a backup that failed is told by the run's end.
  if (key.parent && fate.error != ERROR_WRITE_FAULT) {
    ShowWarning(report, ChildNotDeletedText);
  }
}

std::size_t RegistryViews(REGSAM (&views)[2]) {
  if (!IsWindows64()) {
    views[0] = 0;
    return 1;
  }
  // Both named, so that neither build's own view hides the other.
  views[0] = KEY_WOW64_64KEY;
  views[1] = KEY_WOW64_32KEY;
  return 2;
}

namespace {

// The backup's file and what waits to be written to it: outside the run's
// stack, whose frames each stay within a page, as the program is built
// without stack probes.
Backup backup;

} // namespace

int ApplyPatch() {
  // First: a file on a drive with no medium, or a DLL that fails to load,
  // answers with an error code that the run handles, not with the
  // system's own box, which waits for an answer even in a quiet run, and
  // even where no one can see it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Before anything that could load a DLL by name, the first box among
  // them; the version decides how.
  OSVERSIONINFOA version;
  bool real = QueryVersion(version);
  SecureDllSearch(version);
  // Then the arguments, so that a bad one never reaches the gates or the
  // registry, on any system.
  bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  const WCHAR *commandLine = CommandLine(nt);
  Arguments arguments = ReadArguments(commandLine);
  Report report = {arguments.quiet, INVALID_HANDLE_VALUE, !nt, false, 0, 0, 0, 0, nullptr};
  // Before the first box, which every run that is not quiet shows.
  DWORD unseenError = ERROR_SUCCESS;
  const char *unseen = arguments.quiet ? nullptr : OpenBoxes(report, unseenError);
  bool refused = arguments.unknown || arguments.repeated || arguments.conflict;
  if (arguments.help && !refused) {
    return Tell(report, Help);
  }
  // Opened before the gates, so that a refusal is recorded too, and before
  // the registry is touched, so that a run that cannot be recorded changes
  // nothing. A log named twice is not opened: which one was meant is not
  // for the run to guess.
  if (arguments.log && !arguments.logRepeated) {
    WCHAR path[MAX_PATH];
    bool fits = Unquoted(arguments.log, arguments.logLength, path);
    OpenedFile log = fits ? OpenLog(path, version)
                          : OpenedFile{INVALID_HANDLE_VALUE, ERROR_FILENAME_EXCED_RANGE, false};
    report.log = log.file;
    // An argument that was not understood is the first thing to mend, and
    // its code says so, log or not.
    if (report.log == INVALID_HANDLE_VALUE && !refused) {
      ShowLogFailure(report, path, log.error);
      return ExitLogFailed;
    }
    LogStart(report, commandLine, version, real);
  }
  if (unseen) {
    LogText(report, unseen, unseenError);
  }
  if (refused) {
    return RefuseArgument(report, arguments);
  }
  if (arguments.backup) {
    backup = {};
    backup.file = INVALID_HANDLE_VALUE;
    if (!Unquoted(arguments.backup, arguments.backupLength, backup.path)) {
      return TellBackupFailure(report, backup.path, ERROR_FILENAME_EXCED_RANGE);
    }
  }
  const Outcome *refusal = Refusal(version, report);
  if (!refusal && arguments.restore) {
    return TellRestore(report, arguments);
  }
  const Outcome &outcome = refusal ? *refusal : Patch(report, arguments.backup ? &backup : nullptr);
  if (arguments.backup && !CloseBackup(backup)) {
    return TellBackupFailure(report, backup.path, backup.error);
  }
  // Ended and closed before the box, which may wait long for its OK.
  LogEnd(report, outcome.text, outcome.code);
  return Tell(report, outcome);
}
