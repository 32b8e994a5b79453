#include "patch/admin.h"
#include "patch/functions.h"

bool IsAdministrator() {
  // Looked up, not imported: Windows NT 4.0 lacks CheckTokenMembership and
  // 9x the SID functions too, and a program that imports them would not even
  // start there to say that it refuses them. Every version that passes the
  // version gate has all three.
  auto allocateAndInitializeSid = SystemFunction<decltype(&AllocateAndInitializeSid)>(
      "advapi32.dll", "AllocateAndInitializeSid");
  auto checkTokenMembership =
      SystemFunction<decltype(&CheckTokenMembership)>("advapi32.dll", "CheckTokenMembership");
  auto freeSid = SystemFunction<decltype(&FreeSid)>("advapi32.dll", "FreeSid");
  if (!allocateAndInitializeSid || !checkTokenMembership || !freeSid) {
    return false;
  }
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!allocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  // A null token means the caller's own; the group counts only where it is
  // enabled in that token, which is what administrator rights mean.
  BOOL member = FALSE;
  bool answer = checkTokenMembership(nullptr, administrators, &member) && member;
  freeSid(administrators);
  return answer;
}
