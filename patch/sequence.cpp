#include "patch/patch.h"

#include <cstring>

namespace {

void ShowBox(const char *text, const char *caption, UINT icon) {
  MessageBoxA(nullptr, text, caption, icon);
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
    ShowBox(VersionRefusedText, ErrorCaption, MB_ICONERROR);
    return 0;
  }
  if (!IsAdministrator()) {
    ShowBox(NotAdministratorText, ErrorCaption, MB_ICONERROR);
    return 0;
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
    LONG result = DeleteKey(HKEY_LOCAL_MACHINE, PatchKeyPath, Walk{views[i], ntDeleteKey});
    gone = (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) && gone;
  }
  if (gone) {
    ShowBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
  } else {
    ShowBox(FailureText, ErrorCaption, MB_ICONERROR);
  }
  return 0;
}
