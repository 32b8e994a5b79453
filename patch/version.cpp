// Which Windows this is, and whether the patch is for it.
#include "patch/version.h"
#include "patch/functions.h"

#include <cstring>

namespace {

// RtlGetVersion (NTDLL, Windows 2000 on) answers with the version Windows
// is, where GetVersionExA answers with the one that a compatibility mode
// plays: "Windows XP" mode on Windows 7 says 5.1.
using RtlGetVersionFunction = LONG(WINAPI *)(OSVERSIONINFOW *version);

} // namespace

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

bool IsSupportedVersion(const OSVERSIONINFOA &version) {
  return version.dwMajorVersion == 5 && version.dwMinorVersion >= 1;
}
