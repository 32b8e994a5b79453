#include "patch/patch.h"

#include <cstring>

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

void ShowBox(const char *text, const char *caption, UINT icon) {
  MessageBoxA(nullptr, text, caption, icon);
}

// Tells the outcome: a box, or with /quiet its exit code. Without /quiet
// the exit code is 0 whatever happened, as callers of the box version have
// always had it.
int Tell(bool quiet, const Outcome &outcome) {
  if (quiet) {
    return outcome.code;
  }
  ShowBox(outcome.text, outcome.caption, outcome.icon);
  return 0;
}

// Enough of an unknown argument to recognise it by.
constexpr std::size_t ShownArgumentLength = 100;
static_assert(sizeof UnknownArgumentText + ShownArgumentLength + 2 + sizeof UsageText <
                  sizeof Line::text - 3,
              "the box for an unknown argument holds the whole usage");

void ShowUnknownArgument(const Arguments &arguments) {
  Line text = {};
  Add(text, UnknownArgumentText);
  Add(text, arguments.unknown,
      arguments.unknownLength < ShownArgumentLength ? arguments.unknownLength
                                                    : ShownArgumentLength);
  Format(text, "\n\n%s", UsageText);
  ShowBox(text.text, ErrorCaption, MB_ICONERROR);
}

// The log's path without the double quotes that group it on the command
// line; false if it is longer than a path may be.
bool LogPath(const Arguments &arguments, char (&path)[MAX_PATH]) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < arguments.logLength; ++i) {
    if (arguments.log[i] != '"') {
      if (length + 1 == MAX_PATH) {
        path[length] = '\0';
        return false;
      }
      path[length++] = arguments.log[i];
    }
  }
  path[length] = '\0';
  return true;
}

void ShowLogFailure(const char *path, DWORD error) {
  Line text = {};
  Format(text, "%s%s: ", LogFailedText, path);
  AddError(text, error);
  ShowBox(text.text, ErrorCaption, MB_ICONERROR);
}

// RtlGetVersion (NTDLL, Windows 2000 on) answers with the version Windows
// is, where GetVersionExA answers with the one that a compatibility mode
// plays: "Windows XP" mode on Windows 7 says 5.1.
using RtlGetVersionFunction = LONG(WINAPI *)(OSVERSIONINFOW *version);

// GetVersionExA's answer; version 0.0 if it gives none.
bool ToldVersion(OSVERSIONINFOA &version) {
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
#ifdef _MSC_VER
  // Deprecated for programs that could ask VerifyVersionInfo instead; this
  // one must also start on 9x and NT 4.0, and wants the numbers as they are.
#pragma warning(suppress : 4996)
#endif
  return GetVersionExA(&version) != FALSE;
}

// The version the gates decide on: RtlGetVersion's, or GetVersionExA's where
// there is none (9x, NT 4.0). Returns whether it was RtlGetVersion's. A query
// that fails leaves version 0.0, which is refused.
bool QueryVersion(OSVERSIONINFOA &version) {
  OSVERSIONINFOW wide;
  std::memset(&wide, 0, sizeof wide);
  wide.dwOSVersionInfoSize = sizeof wide;
  auto rtlGetVersion = SystemFunction<RtlGetVersionFunction>("ntdll.dll", "RtlGetVersion");
  if (!rtlGetVersion || rtlGetVersion(&wide) < 0) {
    ToldVersion(version);
    return false;
  }
  std::memset(&version, 0, sizeof version);
  version.dwMajorVersion = wide.dwMajorVersion;
  version.dwMinorVersion = wide.dwMinorVersion;
  version.dwBuildNumber = wide.dwBuildNumber;
  version.dwPlatformId = wide.dwPlatformId;
  // "Service Pack 3": ASCII in every language of Windows.
  for (std::size_t i = 0; i + 1 < sizeof version.szCSDVersion && wide.szCSDVersion[i]; ++i) {
    version.szCSDVersion[i] =
        wide.szCSDVersion[i] < 0x80 ? static_cast<char>(wide.szCSDVersion[i]) : '?';
  }
  return true;
}

// 5.1 is Windows XP; 5.2 is XP x64 and Server 2003. 5.0 (2000) and 6.x
// (Vista on) have registries the driver was never made for.
bool IsSupportedVersion(const OSVERSIONINFOA &version) {
  return version.dwMajorVersion == 5 && version.dwMinorVersion >= 1;
}

// The first lines of a run: who runs what where, and on which Windows.
void LogStart(Report &report, const char *commandLine, const OSVERSIONINFOA &version, bool real) {
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof computer;
  bool named = GetComputerNameA(computer, &size);
  char user[257]; // UNLEN + 1
  size = sizeof user;
  Line line;
  BeginLine(line);
  Format(line, "quenlor-patch " PATCH_VERSION " on %s by %s: %s", named ? computer : "?",
         GetUserNameA(user, &size) ? user : "?", commandLine);
  WriteLine(report, line);

  BeginLine(line);
  // 9x keeps its version in the build number's high word.
  Format(line, "Windows %u.%u.%u %s", version.dwMajorVersion, version.dwMinorVersion,
         version.dwPlatformId == VER_PLATFORM_WIN32_NT ? version.dwBuildNumber
                                                       : version.dwBuildNumber & 0xFFFF,
         version.szCSDVersion);
  OSVERSIONINFOA told;
  if (real && ToldVersion(told) &&
      (told.dwMajorVersion != version.dwMajorVersion ||
       told.dwMinorVersion != version.dwMinorVersion)) {
    Format(line, " (a compatibility mode reports %u.%u)", told.dwMajorVersion, told.dwMinorVersion);
  }
  WriteLine(report, line);
}

void LogText(Report &report, const char *text) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, text);
  WriteLine(report, line);
}

// What one view's walk did, after the keys that stayed in it.
void LogView(Report &report, REGSAM view, const Fate &fate) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, view == KEY_WOW64_64KEY   ? "64-bit view: "
            : view == KEY_WOW64_32KEY ? "32-bit view: "
                                      : "Registry: ");
  if (fate.error == ERROR_FILE_NOT_FOUND && !report.removed) {
    Add(line, "the key was not there");
  } else {
    Format(line, "%u keys removed, %u stayed", report.removed, report.stayed);
  }
  WriteLine(report, line);
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

// The gates, then the removal from every view.
const Outcome &Patch(const OSVERSIONINFOA &version, Report &report) {
  if (!IsSupportedVersion(version)) {
    LogText(report, "Refused: not Windows XP, XP x64 or Server 2003");
    return WrongVersion;
  }
  if (!IsAdministrator()) {
    LogText(report, "Refused: not run by a member of the Administrators group");
    return NotAdministrator;
  }
  // Every NT version has NtDeleteKey; without it nothing could be deleted
  // through its own handle, and nothing is deleted any other way.
  auto ntDeleteKey = SystemFunction<NtDeleteKeyFunction>("ntdll.dll", "NtDeleteKey");
  // Success means the key is gone now from every view, whether this run
  // removed it or it was never there; anything else would tell a lie.
  bool gone = ntDeleteKey != nullptr;
  REGSAM views[2];
  std::size_t count = gone ? RegistryViews(views) : 0;
  for (std::size_t i = 0; i < count; ++i) {
    report.removed = 0;
    report.stayed = 0;
    const Walk walk = {views[i], ntDeleteKey, &report};
    const Trail key = {PatchKeyPath, nullptr};
    Fate fate = DeleteKey(HKEY_LOCAL_MACHINE, key, walk);
    if (fate.error != ERROR_FILE_NOT_FOUND) {
      ReportKey(walk, key, fate);
    }
    LogView(report, views[i], fate);
    gone = (fate.error == ERROR_SUCCESS || fate.error == ERROR_FILE_NOT_FOUND) && gone;
  }
  return gone ? KeyGone : KeysLeft;
}

} // namespace

void ShowWarning(const char *text) { MessageBoxA(nullptr, text, WarningCaption, MB_ICONWARNING); }

void ReportKey(const Walk &walk, const Trail &key, Fate fate) {
  Report &report = *walk.report;
  if (fate.error == ERROR_SUCCESS) {
    ++report.removed;
    return;
  }
  ++report.stayed;
  if (report.log != INVALID_HANDLE_VALUE) {
    Line line;
    BeginLine(line);
    Add(line, "Stayed: ");
    AddPath(line, key, walk.view);
    Add(line, ": ");
    AddError(line, static_cast<DWORD>(fate.error));
    if (fate.status < 0) {
      Format(line, " NTSTATUS 0x%x", static_cast<DWORD>(fate.status));
    }
    WriteLine(report, line);
  }
  if (!report.quiet && key.parent) {
    ShowWarning(ChildNotDeletedText);
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

int ApplyPatch() {
  // Read first, so that a bad argument never reaches the registry, on any
  // system.
  const char *commandLine = GetCommandLineA();
  Arguments arguments = ReadArguments(commandLine);
  bool quiet = arguments.quiet;
  if (arguments.unknown) {
    if (!quiet) {
      ShowUnknownArgument(arguments);
    }
    return ExitUnknownArgument;
  }
  if (arguments.help) {
    return Tell(quiet, Help);
  }
  OSVERSIONINFOA version;
  bool real = QueryVersion(version);
  Report report = {quiet, INVALID_HANDLE_VALUE, version.dwPlatformId != VER_PLATFORM_WIN32_NT, 0,
                   0};
  // Opened before the gates, so that a refusal is recorded too, and before
  // the registry is touched, so that a run that cannot be recorded changes
  // nothing.
  if (arguments.log) {
    char path[MAX_PATH];
    bool fits = LogPath(arguments, path);
    report.log = fits ? OpenLog(path, !report.seekToEnd) : INVALID_HANDLE_VALUE;
    if (report.log == INVALID_HANDLE_VALUE) {
      DWORD error = fits ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
      if (!quiet) {
        ShowLogFailure(path, error);
      }
      return ExitLogFailed;
    }
    LogStart(report, commandLine, version, real);
  }
  const Outcome &outcome = Patch(version, report);
  if (report.log != INVALID_HANDLE_VALUE) {
    // Ended and closed before the box, which may wait long for its OK.
    Line line;
    BeginLine(line);
    Format(line, "End: %s (exit code %u)", outcome.text, static_cast<DWORD>(outcome.code));
    WriteLine(report, line);
    if (report.log != INVALID_HANDLE_VALUE) {
      CloseHandle(report.log);
    }
  }
  return Tell(quiet, outcome);
}
