// The machine's files, as far as a program that appends to one sees them:
// folders that exist or not, names compared without regard to case, handles
// that write where their access says (append-only ones at the end, however
// the file grew meanwhile), a disk that fills up, and a current folder for
// relative paths; files that are on disk as far as they were last flushed,
// and handles that share a file only as their share modes allow; files
// of several names (hard links), and symbolic links, which an open follows
// unless it asks to open the link itself.
#include "model.h"

#include <algorithm>
#include <map>
#include <set>

namespace emulated {
namespace {

using model::Fault;
using model::Hex;
using model::Quote;
using model::Record;

constexpr DWORD FileWriteData = 0x0002;

struct OpenFile {
  std::string path; // folded: the file opened, or the link itself
  bool write;
  bool appendOnly;
  std::size_t position;
  bool read;
  DWORD share;
  bool attributes; // may read the file's attributes
  bool lockable;   // opened for read or write data: LockFile may lock it
};

// A byte range a handle locked.
struct Lock {
  ULONG_PTR handle;
  unsigned long long offset, length;
};

struct FileSystem {
  std::set<std::string> folders;              // folded, without a trailing backslash
  std::map<std::string, std::string> files;   // folded path: contents
  std::map<std::string, std::string> flushed; // folded path: contents at the last flush
  std::map<ULONG_PTR, OpenFile> handles;
  std::map<std::string, DWORD> links;         // folded path: its names, where more than one
  std::map<std::string, std::string> targets; // a symbolic link's folded path: its target's
  ULONG_PTR nextHandle = 0x1000;
  std::size_t space = static_cast<std::size_t>(-1);
  std::set<char> noMedium;                        // drive letters, upper case
  std::map<std::string, std::vector<Lock>> locks; // folded path: its locked ranges
  std::set<std::string> heldByOther;              // folded paths another process locks
};

FileSystem disk;

// The full path that `name` stands for, folded; a relative one is below the
// current folder.
std::string FullPath(const std::string &name) {
  bool absolute =
      (name.size() >= 3 && name[1] == ':' && name[2] == '\\') || name.compare(0, 2, "\\\\") == 0;
  std::string path = absolute ? name : std::string(CurrentFolder) + "\\" + name;
  for (char &c : path) {
    c = model::Upper(c);
  }
  return path;
}

std::string Folder(const std::string &path) { return path.substr(0, path.rfind('\\')); }

// Why `name` cannot be a file's name, or ERROR_SUCCESS.
DWORD NameError(const std::string &name) {
  if (name.empty()) {
    return ERROR_PATH_NOT_FOUND;
  }
  if (name.size() >= MAX_PATH) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 32 || std::string("\"<>|*?").find(name[i]) != std::string::npos ||
        (c == ':' && i != 1)) {
      return ERROR_INVALID_NAME;
    }
  }
  return name.back() == '\\' ? ERROR_INVALID_NAME : ERROR_SUCCESS;
}

OpenFile *Opened(HANDLE handle) {
  auto found = disk.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return found == disk.handles.end() ? nullptr : &found->second;
}

// Whether `path` (full, folded) is on a drive with no medium: the open
// fails, after the system's box unless the program asked for none.
bool NoMedium(const std::string &path) {
  if (path.size() < 2 || path[1] != ':' || !disk.noMedium.count(path[0])) {
    return false;
  }
  if (!(model::ErrorMode() & SEM_FAILCRITICALERRORS)) {
    model::SystemBox("There is no disk in the drive. Please insert a disk into drive " +
                         path.substr(0, 2) + ".",
                     "Windows - No Disk");
  }
  return true;
}

// CreateFileA and CreateFileW: `name` is UTF-8, as the model's names are,
// and `quoted` how the call shows it.
HANDLE Create(Op op, const std::string &name, const std::string &quoted, DWORD dwDesiredAccess,
              DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  std::string args = quoted + ", " + Hex(dwDesiredAccess) + ", " + Hex(dwShareMode) + ", " +
                     std::to_string(dwCreationDisposition);
  std::string path = FullPath(name);
  DWORD error = static_cast<DWORD>(Fault(op, path));
  if (!error) {
    error = NameError(name);
  }
  if (!error && NoMedium(path)) {
    error = ERROR_NOT_READY;
  }
  if (!error &&
      (lpSecurityAttributes || hTemplateFile ||
       (dwCreationDisposition != OPEN_ALWAYS && dwCreationDisposition != OPEN_EXISTING) ||
       (dwFlagsAndAttributes & ~DWORD{FILE_FLAG_OPEN_REPARSE_POINT}) != FILE_ATTRIBUTE_NORMAL)) {
    error = ERROR_INVALID_PARAMETER; // what the model does not play
  }
  auto link = disk.targets.find(path);
  if (!error && link != disk.targets.end() &&
      !(dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT)) {
    path = link->second; // followed
    args += " (followed to " + path + ")";
  }
  if (!error && !disk.folders.count(Folder(path))) {
    error = ERROR_PATH_NOT_FOUND;
  }
  if (!error && disk.folders.count(path)) {
    error = ERROR_ACCESS_DENIED; // a folder
  }
  bool write = (dwDesiredAccess & (GENERIC_WRITE | FileWriteData | FILE_APPEND_DATA)) != 0;
  bool read = (dwDesiredAccess & (GENERIC_READ | FILE_READ_DATA)) != 0;
  for (const auto &other : disk.handles) {
    const OpenFile &open = other.second;
    if (!error && open.path == path &&
        ((write && !(open.share & FILE_SHARE_WRITE)) || (read && !(open.share & FILE_SHARE_READ)) ||
         (open.write && !(dwShareMode & FILE_SHARE_WRITE)) ||
         (open.read && !(dwShareMode & FILE_SHARE_READ)))) {
      error = ERROR_SHARING_VIOLATION;
    }
  }
  bool existed = disk.files.count(path) > 0;
  if (!error && !existed && dwCreationDisposition == OPEN_EXISTING) {
    error = ERROR_FILE_NOT_FOUND;
  }
  if (error) {
    model::SetLastError(error);
    model::Log(op, path, args, -1);
    return INVALID_HANDLE_VALUE;
  }
  disk.files[path]; // made if missing
  bool appendOnly =
      (dwDesiredAccess & FILE_APPEND_DATA) && !(dwDesiredAccess & (GENERIC_WRITE | FileWriteData));
  ULONG_PTR handle = disk.nextHandle;
  disk.nextHandle += 4;
  disk.handles[handle] = OpenFile{
      path,
      write,
      appendOnly,
      0,
      read,
      dwShareMode,
      read || (dwDesiredAccess & FILE_READ_ATTRIBUTES) != 0,
      (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FileWriteData)) != 0};
  model::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  model::Log(op, path, args + " -> " + Hex(handle), static_cast<long long>(handle));
  return reinterpret_cast<HANDLE>(handle);
}

} // namespace
} // namespace emulated

using namespace emulated;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return Create(Op::CreateFileA, lpFileName ? lpFileName : "", Quote(lpFileName), dwDesiredAccess,
                dwShareMode, lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                hTemplateFile);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  std::string name;
  for (const WCHAR *at = lpFileName; at && *at; ++at) {
    name += static_cast<char>(*at & 0xFF);
    name += static_cast<char>(*at >> 8);
  }
  name = Utf8(name);
  return Create(Op::CreateFileW, name, lpFileName ? Quote(name.c_str()) : "NULL", dwDesiredAccess,
                dwShareMode, lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                hTemplateFile);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  std::string text(static_cast<const char *>(lpBuffer), nNumberOfBytesToWrite);
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hFile)) + ", " + Quote(text.c_str()) + ", " +
                     std::to_string(nNumberOfBytesToWrite);
  if (lpNumberOfBytesWritten) {
    *lpNumberOfBytesWritten = 0;
  }
  DWORD error = static_cast<DWORD>(Fault(Op::WriteFile, path));
  if (!error) {
    error = !file                                     ? ERROR_INVALID_HANDLE
            : !file->write                            ? ERROR_ACCESS_DENIED
            : !lpNumberOfBytesWritten || lpOverlapped ? ERROR_INVALID_PARAMETER
                                                      : ERROR_SUCCESS;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::WriteFile, path, args, FALSE);
  }
  std::string &contents = disk.files[path];
  std::size_t at = file->appendOnly ? contents.size() : file->position;
  std::size_t count = std::min<std::size_t>(nNumberOfBytesToWrite, disk.space);
  contents.resize(std::max(contents.size(), at));
  contents.replace(at, std::min(count, contents.size() - at), text, 0, count);
  disk.space -= count;
  file->position = at + count;
  *lpNumberOfBytesWritten = static_cast<DWORD>(count);
  if (count < nNumberOfBytesToWrite) {
    model::SetLastError(ERROR_DISK_FULL);
    return Record(Op::WriteFile, path, args + " -> " + std::to_string(count), FALSE);
  }
  return Record(Op::WriteFile, path, args, TRUE);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  std::string args =
      Hex(reinterpret_cast<ULONG_PTR>(hFile)) + ", " + std::to_string(nNumberOfBytesToRead);
  DWORD error = static_cast<DWORD>(Fault(Op::ReadFile, path));
  if (!error) {
    error = !file                                  ? ERROR_INVALID_HANDLE
            : !file->read                          ? ERROR_ACCESS_DENIED
            : !lpNumberOfBytesRead || lpOverlapped ? ERROR_INVALID_PARAMETER
                                                   : ERROR_SUCCESS;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::ReadFile, path, args, FALSE);
  }
  const std::string &contents = disk.files[path];
  std::size_t count =
      file->position < contents.size()
          ? std::min<std::size_t>(nNumberOfBytesToRead, contents.size() - file->position)
          : 0;
  std::copy_n(contents.begin() +
                  static_cast<std::ptrdiff_t>(std::min(file->position, contents.size())),
              count, static_cast<char *>(lpBuffer));
  file->position += count;
  *lpNumberOfBytesRead = static_cast<DWORD>(count);
  return Record(Op::ReadFile, path, args + " -> " + std::to_string(count), TRUE);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hFile));
  DWORD error = static_cast<DWORD>(Fault(Op::GetFileInformationByHandle, path));
  if (!error && (!file || !file->attributes || !lpFileInformation)) {
    error = !file                ? ERROR_INVALID_HANDLE
            : !lpFileInformation ? ERROR_INVALID_PARAMETER
                                 : ERROR_ACCESS_DENIED;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::GetFileInformationByHandle, path, args, FALSE);
  }
  bool link = disk.targets.count(path) > 0;
  auto names = disk.links.find(path);
  BY_HANDLE_FILE_INFORMATION information = {};
  information.dwFileAttributes =
      link ? FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT : FILE_ATTRIBUTE_ARCHIVE;
  information.nFileSizeLow = static_cast<DWORD>(disk.files[path].size());
  information.nNumberOfLinks = names == disk.links.end() ? 1 : names->second;
  *lpFileInformation = information;
  return Record(Op::GetFileInformationByHandle, path,
                args + " -> " + std::to_string(information.nNumberOfLinks) + " names" +
                    (link ? ", a link" : ""),
                TRUE);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hFile));
  DWORD error = static_cast<DWORD>(Fault(Op::FlushFileBuffers, path));
  if (!error && (!file || !file->write)) {
    error = file ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::FlushFileBuffers, path, args, FALSE);
  }
  disk.flushed[path] = disk.files[path];
  return Record(Op::FlushFileBuffers, path, args, TRUE);
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hFile)) + ", " +
                     std::to_string(lDistanceToMove) + ", " + std::to_string(dwMoveMethod);
  DWORD error = static_cast<DWORD>(Fault(Op::SetFilePointer, path));
  if (!error && (!file || lpDistanceToMoveHigh || dwMoveMethod > FILE_END)) {
    error = file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  }
  long long base = dwMoveMethod == FILE_BEGIN ? 0
                   : dwMoveMethod == FILE_END ? static_cast<long long>(disk.files[path].size())
                                              : static_cast<long long>(file ? file->position : 0);
  if (!error && base + lDistanceToMove < 0) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error) {
    model::SetLastError(error);
    return Record(Op::SetFilePointer, path, args, INVALID_SET_FILE_POINTER);
  }
  file->position = static_cast<std::size_t>(base + lDistanceToMove);
  return Record(Op::SetFilePointer, path, args, static_cast<DWORD>(file->position));
}

namespace {

// LockFile and UnlockFile: the range [offset, offset + length) of the file
// that `hFile` names.
BOOL ByteRange(Op op, HANDLE hFile, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow,
               DWORD lengthHigh) {
  OpenFile *file = Opened(hFile);
  std::string path = file ? file->path : "";
  unsigned long long offset = (static_cast<unsigned long long>(offsetHigh) << 32) | offsetLow;
  unsigned long long length = (static_cast<unsigned long long>(lengthHigh) << 32) | lengthLow;
  std::string args =
      Hex(reinterpret_cast<ULONG_PTR>(hFile)) + ", " + Hex(offset) + ", " + std::to_string(length);
  DWORD error = static_cast<DWORD>(Fault(op, path));
  if (!error && !file) {
    error = ERROR_INVALID_HANDLE;
  } else if (!error && !file->lockable) {
    error = ERROR_ACCESS_DENIED;
  }
  auto handle = reinterpret_cast<ULONG_PTR>(hFile);
  auto &locks = disk.locks[path];
  auto overlaps = [&](const Lock &lock) {
    return lock.offset < offset + length && offset < lock.offset + lock.length;
  };
  auto mine = std::find_if(locks.begin(), locks.end(), [&](const Lock &lock) {
    return lock.handle == handle && lock.offset == offset && lock.length == length;
  });
  if (!error && op == Op::LockFile &&
      (disk.heldByOther.count(path) || std::any_of(locks.begin(), locks.end(), overlaps))) {
    error = ERROR_LOCK_VIOLATION;
  }
  if (!error && op == Op::UnlockFile && mine == locks.end()) {
    error = 158; // ERROR_NOT_LOCKED
  }
  if (error) {
    model::SetLastError(error);
    return Record(op, path, args, FALSE);
  }
  if (op == Op::LockFile) {
    locks.push_back(Lock{handle, offset, length});
  } else {
    locks.erase(mine);
  }
  return Record(op, path, args, TRUE);
}

} // namespace

BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh,
                     DWORD nNumberOfBytesToLockLow, DWORD nNumberOfBytesToLockHigh) {
  return ByteRange(Op::LockFile, hFile, dwFileOffsetLow, dwFileOffsetHigh, nNumberOfBytesToLockLow,
                   nNumberOfBytesToLockHigh);
}

BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh,
                       DWORD nNumberOfBytesToUnlockLow, DWORD nNumberOfBytesToUnlockHigh) {
  return ByteRange(Op::UnlockFile, hFile, dwFileOffsetLow, dwFileOffsetHigh,
                   nNumberOfBytesToUnlockLow, nNumberOfBytesToUnlockHigh);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (model::CloseToken(hObject)) {
    LONG error = Fault(Op::CloseHandle, "");
    model::SetLastError(static_cast<DWORD>(error));
    return Record(Op::CloseHandle, "", Hex(reinterpret_cast<ULONG_PTR>(hObject)) + " (token)",
                  error ? FALSE : TRUE);
  }
  OpenFile *file = Opened(hObject);
  std::string path = file ? file->path : "";
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(hObject));
  // Released even when the call is made to fail, as a failed close cannot
  // be retried.
  LONG error = Fault(Op::CloseHandle, path);
  disk.handles.erase(reinterpret_cast<ULONG_PTR>(hObject));
  auto &locks = disk.locks[path];
  locks.erase(std::remove_if(locks.begin(), locks.end(),
                             [hObject](const Lock &lock) {
                               return lock.handle == reinterpret_cast<ULONG_PTR>(hObject);
                             }),
              locks.end());
  if (error || !file) {
    model::SetLastError(error ? static_cast<DWORD>(error) : ERROR_INVALID_HANDLE);
    return Record(Op::CloseHandle, path, args, FALSE);
  }
  return Record(Op::CloseHandle, path, args, TRUE);
}

namespace emulated {

void CreateFolder(const std::string &path) {
  std::string full = FullPath(path);
  for (std::size_t cut = full.find('\\'); cut != std::string::npos;
       cut = full.find('\\', cut + 1)) {
    disk.folders.insert(full.substr(0, cut));
  }
  disk.folders.insert(full);
}

bool FileExists(const std::string &path) { return disk.files.count(FullPath(path)) > 0; }

std::string FileText(const std::string &path) {
  auto found = disk.files.find(FullPath(path));
  return found == disk.files.end() ? "" : found->second;
}

void SetFileLinks(const std::string &path, DWORD links) {
  disk.files[FullPath(path)];
  disk.links[FullPath(path)] = links;
}

void HoldFileLock(const std::string &path, bool held) {
  if (held) {
    disk.heldByOther.insert(FullPath(path));
  } else {
    disk.heldByOther.erase(FullPath(path));
  }
}

void SetNoMedium(char drive) { disk.noMedium.insert(model::Upper(drive)); }

void CreateFileLink(const std::string &path, const std::string &target) {
  disk.files[FullPath(path)];
  disk.targets[FullPath(path)] = FullPath(target);
}

void AppendToFile(const std::string &path, const std::string &text) {
  disk.files[FullPath(path)] += text;
}

std::string FlushedText(const std::string &path) {
  auto found = disk.flushed.find(FullPath(path));
  return found == disk.flushed.end() ? "" : found->second;
}

void SetDiskSpace(std::size_t bytes) { disk.space = bytes; }

unsigned OpenFiles() { return static_cast<unsigned>(disk.handles.size()); }

void model::ResetFiles() {
  disk = FileSystem{};
  CreateFolder(CurrentFolder);
}

} // namespace emulated
