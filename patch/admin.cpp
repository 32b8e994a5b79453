#include "patch/patch.h"

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  // A null token means the caller's own; the group counts only where it is
  // enabled in that token, which is what administrator rights mean.
  BOOL member = FALSE;
  bool answer = CheckTokenMembership(nullptr, administrators, &member) && member;
  FreeSid(administrators);
  return answer;
}
