// Runs a program under Wine and reads every message box it shows from the
// real window: the caption is the window text, the message is the static
// control 0xFFFF. Each box is written to the report as
//   BOX <tab> caption <tab> text <tab> left,top,right,bottom
// and then dismissed with IDOK (mode "dismiss"), after the harness creates
// "<report>.go<N>" (mode "hold", for screenshots), or by the user ("watch").
// The first line is "THREAD <the program's main thread id, in hex>"; the last
// lines are "TIME <microseconds from start to exit>" and "EXIT <code>", or
// "TIMEOUT".
//
// With /standard-user the program runs as a standard user would: with this
// process's token, but the Administrators group (S-1-5-32-544) deny-only,
// as in the filtered token Windows gives an administrator's programs. With
// /any-process the boxes of every process count, not only the program's
// own: for a program that starts the one to watch, as cmd.exe runs a batch
// file's. With /station the program runs on a window station of its own,
// which no one can see, as a service's child runs on Service-0x0-3e7$: the
// box reader joins it to find the boxes there.
//
// Usage: boxreader.exe dismiss|hold|watch REPORT TIMEOUT_SECONDS [/standard-user]
//        [/any-process] [/station] PROGRAM [ARGUMENT...]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <shellapi.h>

namespace {

struct Search {
  DWORD process; // 0: any
  bool hidden;   // on a window station no one sees, where no window counts as visible
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto *search = reinterpret_cast<Search *>(parameter);
  char className[16];
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if ((owner == search->process || !search->process) &&
      (search->hidden || IsWindowVisible(window)) &&
      GetClassNameA(window, className, sizeof className) && std::strcmp(className, "#32770") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

void Flatten(char *text) {
  for (; *text; ++text) {
    if (*text == '\t' || *text == '\r' || *text == '\n') {
      *text = ' ';
    }
  }
}

bool Exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// This process's token with the Administrators group disabled, or null.
HANDLE StandardUserToken() {
  HANDLE own = nullptr;
  HANDLE restricted = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                        &own)) {
    return nullptr;
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                               0, 0, 0, 0, &administrators)) {
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    if (!CreateRestrictedToken(own, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted)) {
      restricted = nullptr;
    }
    FreeSid(administrators);
  }
  CloseHandle(own);
  return restricted;
}

} // namespace

int main(int argc, char **argv) {
  int first = 4;
  bool standardUser = argc > first && std::strcmp(argv[first], "/standard-user") == 0;
  first += standardUser ? 1 : 0;
  bool anyProcess = argc > first && std::strcmp(argv[first], "/any-process") == 0;
  first += anyProcess ? 1 : 0;
  bool hidden = argc > first && std::strcmp(argv[first], "/station") == 0;
  first += hidden ? 1 : 0;
  if (argc <= first) {
    std::fprintf(stderr, "usage: boxreader dismiss|hold|watch REPORT TIMEOUT [/standard-user] "
                         "[/any-process] [/station] PROGRAM [ARG...]\n");
    return 2;
  }
  const char *mode = argv[1];
  const char *reportPath = argv[2];
  DWORD timeout = static_cast<DWORD>(std::atoi(argv[3])) * 1000;
  FILE *report = std::fopen(reportPath, "w");
  if (!report) {
    return 2;
  }
  // The program's command line from the wide one, so that a name outside
  // the ANSI code page reaches it as it was given.
  int wideCount = 0;
  LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
  if (!wide || wideCount != argc) {
    return 2;
  }
  wchar_t commandLine[4096] = L"";
  for (int i = first; i < argc; ++i) {
    bool quote = std::wcschr(wide[i], L' ') != nullptr;
    std::size_t used = std::wcslen(commandLine);
    std::swprintf(commandLine + used, sizeof commandLine / sizeof commandLine[0] - used,
                  L"%ls%ls%ls%ls", i > first ? L" " : L"", quote ? L"\"" : L"", wide[i],
                  quote ? L"\"" : L"");
  }
  LocalFree(wide);
  HANDLE token = standardUser ? StandardUserToken() : nullptr;
  if (standardUser && !token) {
    std::fprintf(report, "NOTOKEN %lu\n", GetLastError());
    std::fclose(report);
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  HDESK desktop = nullptr;
  wchar_t desktopName[] = L"quenlor-service\\Default";
  if (hidden) {
    HWINSTA station = CreateWindowStationA("quenlor-service", 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station || !SetProcessWindowStation(station) ||
        !(desktop = CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr))) {
      std::fprintf(report, "NOSTATION %lu\n", GetLastError());
      std::fclose(report);
      return 2;
    }
    startup.lpDesktop = desktopName;
  }
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  BOOL launched = token ? CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, FALSE,
                                               0, nullptr, nullptr, &startup, &process)
                        : CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                                         nullptr, &startup, &process);
  if (token) {
    CloseHandle(token);
  }
  if (!launched) {
    std::fprintf(report, "NOSTART %lu\n", GetLastError());
    std::fclose(report);
    return 2;
  }
  std::fprintf(report, "THREAD %lx\n", process.dwThreadId);
  std::fflush(report);
  DWORD started = GetTickCount();
  int boxes = 0;
  while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
    if (GetTickCount() - started > timeout) {
      TerminateProcess(process.hProcess, 255);
      std::fprintf(report, "TIMEOUT\n");
      std::fclose(report);
      return 1;
    }
    Search search = {anyProcess ? 0 : process.dwProcessId, hidden, nullptr};
    if (desktop) {
      EnumDesktopWindows(desktop, FindBox, reinterpret_cast<LPARAM>(&search));
    } else {
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    }
    if (!search.found) {
      continue;
    }
    if (std::strcmp(mode, "hold") == 0) {
      // As a box shows on a desktop where its program was started by the
      // user, active, for the screenshot.
      // Another process may not take the foreground, so the box is asked to
      // draw its frame as the active window it would be.
      SetForegroundWindow(search.found);
      SendMessageA(search.found, WM_NCACTIVATE, TRUE, 0);
      Sleep(200);
    }
    char caption[512] = "";
    char text[1024] = "";
    GetWindowTextA(search.found, caption, sizeof caption);
    GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text);
    Flatten(caption);
    Flatten(text);
    RECT frame = {};
    GetWindowRect(search.found, &frame);
    std::fprintf(report, "BOX\t%s\t%s\t%ld,%ld,%ld,%ld\n", caption, text, frame.left, frame.top,
                 frame.right, frame.bottom);
    std::fflush(report);
    ++boxes;
    if (std::strcmp(mode, "hold") == 0) {
      char go[MAX_PATH];
      std::snprintf(go, sizeof go, "%s.go%d", reportPath, boxes);
      while (!Exists(go) && GetTickCount() - started < timeout) {
        Sleep(20);
      }
    }
    if (std::strcmp(mode, "watch") != 0) {
      PostMessageA(search.found, WM_COMMAND, IDOK, 0);
    }
    while (IsWindow(search.found) && GetTickCount() - started < timeout) {
      Sleep(10);
    }
  }
  QueryPerformanceCounter(&end);
  std::fprintf(report, "TIME %lld\n",
               (end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  std::fprintf(report, "EXIT %lu\n", code);
  std::fclose(report);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
