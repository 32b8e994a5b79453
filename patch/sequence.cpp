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

} // namespace

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
  // Success means the key is gone now, whether this run removed it or it was
  // never there; anything else would tell the user a lie.
  LONG result = DeleteKey(PatchKeyPath);
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) {
    ShowBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
  } else {
    ShowBox(FailureText, ErrorCaption, MB_ICONERROR);
  }
  return 0;
}
