#include "patch/patch.h"

#include <cstring>

namespace {

void ShowBox(const char *text, const char *caption, UINT icon) {
  MessageBoxA(nullptr, text, caption, icon);
}

// Tells the outcome: a box, or with /quiet its exit code. Without /quiet
// the exit code is 0 whatever happened, as callers of the box version have
// always had it.
int Outcome(bool quiet, const char *text, const char *caption, UINT icon, int code) {
  if (quiet) {
    return code;
  }
  ShowBox(text, caption, icon);
  return 0;
}

// Copies `length` characters of `text` to `out`, as far as `end` leaves room
// for the terminating zero; returns where the copy ended.
char *Append(char *out, const char *end, const char *text, std::size_t length) {
  for (; length && *text && out + 1 < end; --length) {
    *out++ = *text++;
  }
  *out = '\0';
  return out;
}

// Enough of an unknown argument to recognise it by.
constexpr std::size_t ShownArgumentLength = 100;

void ShowUnknownArgument(const Arguments &arguments) {
  char text[sizeof UnknownArgumentText + ShownArgumentLength + 2 + sizeof UsageText];
  const char *end = text + sizeof text;
  char *out = Append(text, end, UnknownArgumentText, sizeof UnknownArgumentText);
  out = Append(out, end, arguments.unknown,
               arguments.unknownLength < ShownArgumentLength ? arguments.unknownLength
                                                             : ShownArgumentLength);
  out = Append(out, end, "\n\n", 2);
  Append(out, end, UsageText, sizeof UsageText);
  ShowBox(text, ErrorCaption, MB_ICONERROR);
}

// 5.1 is Windows XP; 5.2 is XP x64 and Server 2003. 5.0 (2000) and 6.x
// (Vista on) have registries the driver was never made for.
bool IsSupportedVersion(const OSVERSIONINFOA &version) {
  return version.dwMajorVersion == 5 && version.dwMinorVersion >= 1;
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

} // namespace

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
  Arguments arguments = ReadArguments(GetCommandLineA());
  bool quiet = arguments.quiet;
  if (arguments.unknown) {
    if (!quiet) {
      ShowUnknownArgument(arguments);
    }
    return ExitUnknownArgument;
  }
  if (arguments.help) {
    return Outcome(quiet, UsageText, HelpCaption, MB_ICONINFORMATION, ExitKeyGone);
  }
  // Zeroed first, so that a query that fails reads as version 0.0 and is
  // refused rather than decided on whatever the stack held.
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
#ifdef _MSC_VER
  // Deprecated for programs that could ask VerifyVersionInfo instead; this
  // one targets XP and wants the two numbers as they are.
#pragma warning(suppress : 4996)
#endif
  GetVersionExA(&version);
  if (!IsSupportedVersion(version)) {
    return Outcome(quiet, VersionRefusedText, ErrorCaption, MB_ICONERROR, ExitWrongVersion);
  }
  if (!IsAdministrator()) {
    return Outcome(quiet, NotAdministratorText, ErrorCaption, MB_ICONERROR, ExitNotAdministrator);
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
    LONG result = DeleteKey(HKEY_LOCAL_MACHINE, PatchKeyPath, Walk{views[i], ntDeleteKey, quiet});
    gone = (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) && gone;
  }
  if (gone) {
    return Outcome(quiet, SuccessText, SuccessCaption, MB_ICONINFORMATION, ExitKeyGone);
  }
  return Outcome(quiet, FailureText, ErrorCaption, MB_ICONERROR, ExitKeysLeft);
}
