// The files a run writes, the log and the backup, opened and then checked
// before a byte is read or written. The run has an administrator's rights,
// or SYSTEM's from a start-up script, and others may be able to make names
// in the folder it writes to (C:\Windows\Temp, a folder a user made at the
// root of C:, a share with loose rights): a hard link planted at the name
// would have every run append to a file of that person's choosing, and a
// symbolic link would redirect the open itself. So the name is opened as
// itself, never followed, and what was opened must be a file of one name.
#include "patch/openfile.h"
#include "patch/functions.h"

OpenedFile OpenChecked(const WCHAR *path, DWORD access, DWORD share, bool nt, bool reparsePoints,
                       DWORD disposition) {
  // NT 4.0's CreateFile knows no reparse points, and 9x has neither links
  // nor the question.
  DWORD flags = FILE_ATTRIBUTE_NORMAL | (reparsePoints ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  OpenedFile opened = {INVALID_HANDLE_VALUE, ERROR_SUCCESS, false};
  if (nt) {
    opened.file = CreateFileW(path, access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                              flags, nullptr);
  } else {
    // 9x's wide command line was widened from this code page: back again
    // it is the name as typed.
    char narrow[MAX_PATH];
    opened.file = WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, nullptr, nullptr)
                      ? CreateFileA(narrow, access, share, nullptr, disposition, flags, nullptr)
                      : INVALID_HANDLE_VALUE;
  }
  opened.error =
      opened.file == INVALID_HANDLE_VALUE ? LastErrorOr(ERROR_ACCESS_DENIED) : ERROR_SUCCESS;
  opened.existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (opened.file == INVALID_HANDLE_VALUE || !nt) {
    return opened;
  }
  // A file system or share that cannot say what it opened is not trusted
  // with the run's record: the file is refused with the reason it gave.
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(opened.file, &information)) {
    opened.error = LastErrorOr(ERROR_ACCESS_DENIED);
  } else if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    opened.error = FileIsLink;
  } else if (information.nNumberOfLinks > 1) {
    opened.error = FileHasOtherNames;
  }
  if (opened.error != ERROR_SUCCESS) {
    CloseHandle(opened.file);
    opened.file = INVALID_HANDLE_VALUE;
  }
  return opened;
}
