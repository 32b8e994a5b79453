// The Windows version, and its gate.
#pragma once

#include "platform/win32.h"

// GetVersionExA's answer, which a compatibility mode may change; version
// 0.0 if it gives none.
bool ToldVersion(OSVERSIONINFOA &version);
// The version the gates decide on: RtlGetVersion's, or GetVersionExA's where
// there is none (9x, NT 4.0). Returns whether it was RtlGetVersion's. A query
// that fails leaves version 0.0, which is refused.
bool QueryVersion(OSVERSIONINFOA &version);
// 5.1 is Windows XP; 5.2 is XP x64 and Server 2003. 5.0 (2000) and 6.x
// (Vista on) have registries the driver was never made for.
bool IsSupportedVersion(const OSVERSIONINFOA &version);
