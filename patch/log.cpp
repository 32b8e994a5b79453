// The /log file and the lines written to it: plain text in the ANSI code
// page, CRLF line ends, each line dated and appended in one write. What
// comes from outside is shown so that it cannot end a line: a key's name
// could otherwise write a line that reads as the run's own.
#include "patch/log.h"
#include "patch/functions.h"
#include "patch/keypath.h"
#include "patch/openfile.h"
#include "patch/report.h"
#include "patch/texts.h"
#include "patch/version.h"
#include "patch/walk.h"

OpenedFile OpenLog(const WCHAR *path, const OSVERSIONINFOA &version) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA writes only at the end of the
  // file, never over what is there; FILE_READ_DATA, which LockFile needs
  // one of the two for, reads. 9x knows only GENERIC_WRITE.
  bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  return OpenChecked(path, nt ? FILE_APPEND_DATA | FILE_READ_DATA : GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nt, nt && version.dwMajorVersion >= 5);
}

void BeginLine(Line &line) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  line.length = 0;
  Format(line, "%4u-%2u-%2u %2u:%2u:%2u ", DWORD{now.wYear}, DWORD{now.wMonth}, DWORD{now.wDay},
         DWORD{now.wHour}, DWORD{now.wMinute}, DWORD{now.wSecond});
}

namespace {

// The log's lock: one byte far past any real file's end, which keeps no
// reader out. Many runs append to one log, every machine of a fleet on a
// share, and Windows promises that an append never overwrites another only
// for local files; each line is written under the lock.
constexpr DWORD LockOffsetHigh = 0x7FFFFFFF;
// How long a line waits for it: 100 tries, 50 ms apart, five seconds.
constexpr int LockTries = 100;
constexpr DWORD LockWait = 50;

// Takes the log's lock; false if another holds it for longer than a line
// should take, or the file system locks nothing.
bool LockLog(Report &report) {
  for (int tries = 1; !report.unlocked; ++tries) {
    if (LockFile(report.log, 0, LockOffsetHigh, 1, 0)) {
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION || tries == LockTries) {
      report.unlocked = true;
      break;
    }
    Sleep(LockWait);
  }
  return false;
}

} // namespace

void WriteLine(Report &report, Line &line) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  line.text[line.length++] = '\r';
  line.text[line.length++] = '\n';
  // A lock not granted in time, by a run that hangs or a share that holds
  // it, costs the wait once: the run then writes its lines without it, each
  // still whole in one write, rather than lose them.
  bool locked = LockLog(report);
  if (report.seekToEnd) {
    SetFilePointer(report.log, 0, nullptr, FILE_END);
  }
  DWORD written = 0;
  bool whole =
      WriteFile(report.log, line.text, static_cast<DWORD>(line.length), &written, nullptr) &&
      written == line.length;
  if (locked) {
    UnlockFile(report.log, 0, LockOffsetHigh, 1, 0);
  }
  if (!whole) {
    // A full disk or a share that went: what follows would be cut short too.
    CloseHandle(report.log);
    report.log = INVALID_HANDLE_VALUE;
  }
}

namespace {

// A name of the machine or its user (the wide or the narrow call, as
// GetComputerName and GetUserName take the same arguments), or '?'.
template <typename Char> void AddName(Line &line, BOOL(WINAPI *get)(Char *, LPDWORD)) {
  Char name[257]; // UNLEN + 1, more than MAX_COMPUTERNAME_LENGTH + 1
  DWORD size = sizeof name / sizeof name[0];
  if (get(name, &size)) {
    AddShown(line, name, sizeof name / sizeof name[0]);
  } else {
    Add(line, "?");
  }
}

} // namespace

void LogStart(Report &report, const WCHAR *commandLine, const OSVERSIONINFOA &version, bool real) {
  Line line;
  BeginLine(line);
  Add(line, "quenlor-patch " PATCH_VERSION " on ");
  bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  nt ? AddName(line, GetComputerNameW) : AddName(line, GetComputerNameA);
  Add(line, " by ");
  // Looked up: whether 95's ADVAPI32 exports even a stub of it is not
  // documented, and a missing import would keep the program from starting
  // there to refuse it.
  auto getUserName =
      nt ? SystemFunction<decltype(&GetUserNameW)>("advapi32.dll", "GetUserNameW") : nullptr;
  getUserName ? AddName(line, getUserName) : AddName(line, GetUserNameA);
  Add(line, ": ");
  // As much as a line holds: a run too long for the room left would be
  // left out whole.
  AddShown(line, commandLine, LineRoom - line.length);
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

void LogText(Report &report, const char *text, DWORD error) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, text);
  if (error != ERROR_SUCCESS) {
    Add(line, ": ");
    AddError(line, error);
  }
  WriteLine(report, line);
}

void LogStayed(Report &report, const Trail &key, REGSAM view, Fate fate) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, "Stayed: ");
  AddPath(line, key, view);
  Add(line, ": ");
  if (fate.error == SubkeyStayed) {
    Add(line, SubkeyStayedText);
  } else {
    AddError(line, static_cast<DWORD>(fate.error));
  }
  if (fate.status < 0) {
    Format(line, " NTSTATUS 0x%x", static_cast<DWORD>(fate.status));
  }
  WriteLine(report, line);
}

void LogKey(Report &report, const char *what, const Trail &key, REGSAM view, DWORD error) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, what);
  AddPath(line, key, view);
  if (error != ERROR_SUCCESS) {
    Add(line, ": ");
    AddError(line, error);
  }
  WriteLine(report, line);
}

void LogView(Report &report, REGSAM view, Fate fate) {
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
    Format(line, "%u keys removed, %u stayed, %u taken over", report.removed, report.stayed,
           report.takenOver);
  }
  WriteLine(report, line);
}

void LogEnd(Report &report, const char *outcome, int code) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Format(line, "End: %s (exit code %u)", outcome, static_cast<DWORD>(code));
  WriteLine(report, line);
  if (report.log != INVALID_HANDLE_VALUE) {
    CloseHandle(report.log);
    report.log = INVALID_HANDLE_VALUE;
  }
}
