// The administrator test.
#pragma once

// Whether the caller's own token holds the built-in Administrators group
// (S-1-5-32-544). False when the platform cannot answer.
bool IsAdministrator();
