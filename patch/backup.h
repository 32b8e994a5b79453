// What /backup keeps of each key, and when the key may go; and the file
// it keeps it in.
#pragma once

#include "patch/walk.h"
#include <cstddef>

// The /backup file, a .reg file that regedit /s and reg import put back:
// each key goes only once its values are in the file and the file is on
// disk. Opened when the first key is saved, so that a run that removes
// nothing leaves no file; once opening, writing or flushing it fails,
// nothing more is deleted.
struct Backup {
  WCHAR path[MAX_PATH]; // without the quotes that group it on the command line
  HANDLE file;          // INVALID_HANDLE_VALUE until the first key is saved
  DWORD error;          // ERROR_SUCCESS while the file holds; what failed then
  bool unflushed;       // written since the last flush
  // The wide-character functions, which Windows 9x lacks: values are read
  // as they are stored, whatever the ANSI code page holds.
  decltype(&RegQueryInfoKeyW) regQueryInfoKey;
  decltype(&RegEnumValueW) regEnumValue;
  DWORD writes;       // made so far
  std::size_t length; // of `text`
  WCHAR text[2048];   // what waits to be written, in one write
};

// With a backup: saves the open key `key` (named by `trail`) with its values,
// then deletes it as Delete does, each NtDeleteKey after the file is on
// disk. A key that cannot be saved stays, with the reason as its fate;
// `takenOver` says the file must tell that its permissions are not kept.
Fate SaveAndDelete(HKEY key, const Trail &trail, const Walk &walk, bool takenOver);
// The file (regfile.cpp). OpenBackup opens it for the first key, checks
// that it begins as such a file does or writes that beginning, and heads
// the run's records; each Put adds to what waits to be written; a key's
// values are PutValue's lines. FlushBackup writes what waits and flushes
// the file to disk. Each returns false, and sets `error`, once the file
// failed; nothing is written after that. An existing file is appended to
// only where it begins as a .reg file (else BackupOtherKind) and ends
// where a record ends (else BackupCutShort).
bool OpenBackup(Backup &backup);
void PutText(Backup &backup, const char *text); // ASCII
void PutWide(Backup &backup, const WCHAR *text, std::size_t length);
void PutQuoted(Backup &backup, const WCHAR *text, std::size_t length);
void PutValue(Backup &backup, const WCHAR *name, DWORD nameLength, DWORD type, const BYTE *data,
              DWORD size);
bool FlushBackup(Backup &backup);
// The file's error when it ends inside a record: ERROR_HANDLE_EOF, which no
// synchronous file call fails with, told in words of its own.
constexpr DWORD BackupCutShort = ERROR_HANDLE_EOF;
// And when it does not begin as a .reg file: ERROR_FILE_EXISTS, which an
// open that creates a missing file never fails with.
constexpr DWORD BackupOtherKind = ERROR_FILE_EXISTS;
// Whether the file failed: the walk deletes nothing more.
inline bool BackupFailed(const Backup *backup) { return backup && backup->error != ERROR_SUCCESS; }
// Ends the backup, flushing what waits; false if that failed.
bool CloseBackup(Backup &backup);
