// The /log file and the lines written to it: plain text in the ANSI code
// page, CRLF line ends, each line dated and appended in one write. What
// comes from outside is shown so that it cannot end a line: a key's name
// could otherwise write a line that reads as the run's own.
#include "patch/log.h"
#include "patch/functions.h"
#include "patch/openfile.h"
#include "patch/report.h"
#include "patch/texts.h"
#include "patch/version.h"
#include "patch/walk.h"

#include <cstdarg>

namespace {

// Room kept for the CRLF that ends a log line.
constexpr std::size_t LineRoom = sizeof Line::text - 3;
// The most of a line that a key's path may take.
constexpr std::size_t PathRoom = 600;
constexpr WCHAR Wow64PatchKeyPath[] = WIDE("Software\\Wow6432Node\\Crystal Semiconductor");

template <typename Char> std::size_t Length(const Char *text) {
  std::size_t length = 0;
  while (text[length]) {
    ++length;
  }
  return length;
}

void AddNumber(Line &line, DWORD value, unsigned base, unsigned digits) {
  char text[12];
  std::size_t at = sizeof text - 1;
  text[at] = '\0';
  do {
    text[--at] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while ((value || sizeof text - 1 - at < digits) && at > 0);
  Add(line, text + at);
}

bool Escaped(unsigned c) { return c < 0x20 || c == 0x7F || c == '%'; }

void AddEscape(Line &line, unsigned c) {
  Add(line, "%");
  AddNumber(line, c, 16, 2);
}

} // namespace

void Add(Line &line, const char *text, std::size_t length) {
  for (; length && *text && line.length < LineRoom; --length) {
    line.text[line.length++] = *text++;
  }
  line.text[line.length] = '\0';
}

void AddShown(Line &line, const char *text, std::size_t length) {
  for (std::size_t i = 0; i < length && text[i]; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    Escaped(c) ? AddEscape(line, c) : Add(line, text + i, 1);
  }
}

void AddShown(Line &line, const WCHAR *text, std::size_t length) {
  // Up to its zero, as the narrow form; converted a run at a time, straight
  // into the line; a run that does not fit is left out.
  for (std::size_t end = 0; end < length; ++end) {
    length = text[end] ? length : end;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    bool escaped = i < length && Escaped(text[i]);
    if (i < length && !escaped) {
      continue;
    }
    int room = static_cast<int>(LineRoom - line.length);
    int added = i > start && room > 0
                    ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text + start,
                                          static_cast<int>(i - start), line.text + line.length,
                                          room, nullptr, nullptr)
                    : 0;
    line.length += added > 0 ? static_cast<std::size_t>(added) : 0;
    line.text[line.length] = '\0';
    if (escaped) {
      AddEscape(line, text[i]);
    }
    start = i + 1;
  }
}

void Format(Line &line, const char *pattern, ...) {
  va_list arguments;
  va_start(arguments, pattern);
  for (const char *at = pattern; *at; ++at) {
    if (*at != '%') {
      Add(line, at, 1);
      continue;
    }
    unsigned digits = 1;
    if (at[1] >= '1' && at[1] <= '9') {
      digits = static_cast<unsigned>(*++at - '0');
    }
    switch (*++at) {
    case 's':
      Add(line, va_arg(arguments, const char *));
      break;
    case 'u':
      AddNumber(line, va_arg(arguments, DWORD), 10, digits);
      break;
    case 'x':
      AddNumber(line, va_arg(arguments, DWORD), 16, 8);
      break;
    default:
      --at; // no pattern: the % stands for itself
      Add(line, "%");
    }
  }
  va_end(arguments);
}

bool KeyPath(const Trail &key, REGSAM view, WCHAR *path, std::size_t size, std::size_t &start) {
  // Built backwards from the key, as only the chain upwards is known.
  start = size;
  for (const Trail *level = &key; level; level = level->parent) {
    const WCHAR *name = level->parent || view != KEY_WOW64_32KEY ? level->name : Wow64PatchKeyPath;
    std::size_t length = Length(name);
    if (length + 1 > start) {
      return false;
    }
    start -= length;
    for (std::size_t i = 0; i < length; ++i) {
      path[start + i] = name[i];
    }
    path[--start] = '\\';
  }
  return true;
}

void AddPath(Line &line, const Trail &key, REGSAM view) {
  WCHAR path[PathRoom];
  std::size_t start = 0;
  Add(line, KeyPath(key, view, path, PathRoom, start) ? MachineKeyName : "...");
  AddShown(line, path + start, PathRoom - start);
}

void AddError(Line &line, DWORD error) {
  Format(line, "error %u, ", error);
  // Windows' own text for the code, on one line.
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, error, 0, line.text + line.length,
                                static_cast<DWORD>(LineRoom - line.length), nullptr);
  for (DWORD i = 0; i < length; ++i) {
    char &c = line.text[line.length + i];
    c = c == '\r' || c == '\n' ? ' ' : c;
  }
  line.length += length;
  while (line.length && line.text[line.length - 1] == ' ') {
    --line.length;
  }
  line.text[line.length] = '\0';
}

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
