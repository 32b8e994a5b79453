// The files a run writes, opened, then checked to be the file named.
#pragma once

#include "platform/win32.h"

// A file the run writes, as OpenChecked opened it: its handle, or
// INVALID_HANDLE_VALUE with the reason; and whether it was there before.
struct OpenedFile {
  HANDLE file;
  DWORD error;
  bool existed;
};
// Opens `path` (created if missing, unless `disposition` is OPEN_EXISTING)
// for `access` and checks, on NT, what
// was opened before anything is read or written. NT opens it by its wide
// name, exactly as given; 9x, which has no wide file calls, by its name in
// the code page it came from. a file with another name
// elsewhere, a hard link, is refused (FileHasOtherNames), and where Windows
// has reparse points (2000 on) a link in its last place is opened as itself
// and refused (FileIsLink); a refused file is closed as it was. On Windows
// 9x it is opened as it is.
OpenedFile OpenChecked(const WCHAR *path, DWORD access, DWORD share, bool nt, bool reparsePoints,
                       DWORD disposition = OPEN_ALWAYS);
// The reasons of a refused file: Win32 errors that no file call of the run
// fails with, told in words of their own.
constexpr DWORD FileHasOtherNames = ERROR_TOO_MANY_LINKS;
constexpr DWORD FileIsLink = ERROR_REPARSE_ATTRIBUTE_CONFLICT;
constexpr char FileHasOtherNamesText[] =
    "it has another name elsewhere (a hard link), so writing to it could change a file that "
    "someone else chose. Delete this name, or name a file in a folder where only administrators "
    "can create files.";
constexpr char FileIsLinkText[] =
    "it is a link, so writing to it could change a file that someone else chose. Delete the "
    "link, or name a file in a folder where only administrators can create files.";
