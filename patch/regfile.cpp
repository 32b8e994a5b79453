// The /backup file: what Windows XP's regedit writes when it exports a key
// ("Windows Registry Editor Version 5.00", UTF-16LE after a byte-order
// mark, CRLF line ends), appended to, and flushed to disk on demand.
#include "patch/backup.h"
#include "patch/functions.h"
#include "patch/log.h"
#include "patch/openfile.h"
#include "patch/regformat.h"

namespace {

using regformat::ByteOrderMark;
using regformat::Header;
using regformat::HexWidth;
// The bytes a file must begin with to be appended to.
constexpr DWORD HeadSize = (1 + sizeof Header - 1) * sizeof(WCHAR);
// How much of its end is read to see how it ends: a few line ends and the
// character before them.
constexpr DWORD TailSize = 64;
// What waits is written, in one write, at the end of the file.
bool WriteOut(Backup &backup) {
  if (backup.error != ERROR_SUCCESS) {
    return false;
  }
  if (backup.length == 0) {
    return true;
  }
  // A handle without FILE_WRITE_DATA writes only at the end of a local
  // file; a share may not keep that promise, and the file pointer was left
  // where the checks of the file's beginning and end read it.
  DWORD size = static_cast<DWORD>(backup.length * sizeof(WCHAR));
  DWORD written = 0;
  if (SetFilePointer(backup.file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER ||
      !WriteFile(backup.file, backup.text, size, &written, nullptr) || written != size) {
    backup.error = LastErrorOr(ERROR_WRITE_FAULT);
    return false;
  }
  backup.length = 0;
  ++backup.writes;
  backup.unflushed = true;
  return true;
}

void Put(Backup &backup, WCHAR c) {
  if (backup.length == sizeof backup.text / sizeof backup.text[0] && !WriteOut(backup)) {
    return;
  }
  backup.text[backup.length++] = c;
}

// A byte of the data, or a character of it, as stored: little-endian.
WCHAR CharAt(const BYTE *data, std::size_t i) {
  return static_cast<WCHAR>(data[2 * i] | data[2 * i + 1] << 8);
}

// A character of a quoted name or string.
void PutEscaped(Backup &backup, WCHAR c) {
  if (regformat::Escaped(c)) {
    Put(backup, '\\');
  }
  Put(backup, c);
}

void PutHexDigits(Backup &backup, DWORD value, unsigned digits) {
  while (digits--) {
    Put(backup, static_cast<WCHAR>("0123456789abcdef"[(value >> (4 * digits)) & 0xF]));
  }
}

// Whether REG_SZ data comes back byte for byte from a quoted string: one
// terminating zero, at its end, and no line end, which would end the line.
bool Quotable(const BYTE *data, DWORD size) {
  if (size < sizeof(WCHAR) || size % sizeof(WCHAR) || CharAt(data, size / 2 - 1) != 0) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < size / 2; ++i) {
    WCHAR c = CharAt(data, i);
    if (c == 0 || c == '\r' || c == '\n') {
      return false;
    }
  }
  return true;
}

// Whether a file that begins as a .reg file ends where a record ends, so
// that what a run appends is read as records of its own: an even size, and
// a blank line after its last line, which must not be continued (",\"); or
// the header and nothing more. A run cut short (a power cut, a full disk, a
// share that went) leaves neither, and appended to, the file would lose keys
// on import: regedit takes the lines after a continued value as its data,
// and imports a value cut short over a key that was never deleted. XP's
// regedit and reg, and Wine's, end an export with a blank line.
bool EndsWhereARecordEnds(Backup &backup) {
  DWORD size = SetFilePointer(backup.file, 0, nullptr, FILE_END);
  if (size == INVALID_SET_FILE_POINTER) {
    backup.error = LastErrorOr(ERROR_WRITE_FAULT);
    return false;
  }
  if (size % 2 != 0) {
    backup.error = BackupCutShort; // half a character
    return false;
  }
  // Its last bytes after the header, which was read: at most TailSize.
  DWORD from = size - HeadSize > TailSize ? size - TailSize : HeadSize;
  BYTE tail[TailSize];
  DWORD read = 0;
  if (SetFilePointer(backup.file, static_cast<LONG>(from), nullptr, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER ||
      !ReadFile(backup.file, tail, size - from, &read, nullptr)) {
    backup.error = LastErrorOr(ERROR_WRITE_FAULT);
    return false;
  }
  // The line ends it ends with, and the character before them.
  DWORD end = read;
  DWORD lineEnds = 0;
  while (end >= 4 && CharAt(tail, end / 2 - 2) == '\r' && CharAt(tail, end / 2 - 1) == '\n') {
    end -= 4;
    ++lineEnds;
  }
  bool complete =
      read == size - from &&
      (from + end == HeadSize || (lineEnds >= 2 && end > 0 && CharAt(tail, end / 2 - 1) != '\\'));
  if (!complete) {
    backup.error = BackupCutShort;
  }
  return complete;
}

} // namespace

bool OpenBackup(Backup &backup) {
  if (backup.file != INVALID_HANDLE_VALUE || backup.error != ERROR_SUCCESS) {
    return backup.error == ERROR_SUCCESS;
  }
  // Appended to, and read for its first line; no other writer meanwhile,
  // another run's or a log's, whose lines would land inside the records.
  // The walk runs on XP and later only, which have links of both kinds.
  OpenedFile opened =
      OpenChecked(backup.path, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, true, true);
  backup.file = opened.file;
  if (backup.file == INVALID_HANDLE_VALUE) {
    backup.error = opened.error;
    return false;
  }
  BYTE head[HeadSize];
  DWORD read = 0;
  if (opened.existed && !ReadFile(backup.file, head, HeadSize, &read, nullptr)) {
    backup.error = LastErrorOr(ERROR_WRITE_FAULT);
    return false;
  }
  if (read == 0) { // new, or empty
    Put(backup, ByteOrderMark);
    PutText(backup, Header);
    PutText(backup, "\r\n");
  }
  bool begins = read == HeadSize;
  for (DWORD i = 0; begins && i < read; ++i) {
    // The byte-order mark, then the header, each character a byte and a
    // zero.
    begins = head[i] == (i < 2   ? static_cast<BYTE>(ByteOrderMark >> 8 * i)
                         : i % 2 ? 0
                                 : static_cast<BYTE>(Header[i / 2 - 1]));
  }
  if (read != 0 && !begins) {
    // Not a file of this kind: what a run appended could not be imported,
    // and might bury what the file held.
    backup.error = BackupOtherKind;
    return false;
  }
  if (read != 0 && !EndsWhereARecordEnds(backup)) {
    return false;
  }
  // Each run's records under a line that tells when they were removed.
  SYSTEMTIME now;
  GetLocalTime(&now);
  Line line = {};
  Format(line,
         "\r\n; Removed by quenlor-patch " PATCH_VERSION " on %4u-%2u-%2u %2u:%2u:%2u\r\n\r\n",
         DWORD{now.wYear}, DWORD{now.wMonth}, DWORD{now.wDay}, DWORD{now.wHour}, DWORD{now.wMinute},
         DWORD{now.wSecond});
  PutText(backup, line.text);
  return backup.error == ERROR_SUCCESS;
}

void PutText(Backup &backup, const char *text) {
  for (; *text; ++text) {
    // ASCII alone comes here; a byte above it would be the code page's.
    Put(backup, static_cast<WCHAR>(static_cast<unsigned char>(*text)));
  }
}

void PutWide(Backup &backup, const WCHAR *text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    Put(backup, text[i]);
  }
}

void PutQuoted(Backup &backup, const WCHAR *text, std::size_t length) {
  Put(backup, '"');
  for (std::size_t i = 0; i < length; ++i) {
    PutEscaped(backup, text[i]);
  }
  Put(backup, '"');
}

void PutValue(Backup &backup, const WCHAR *name, DWORD nameLength, DWORD type, const BYTE *data,
              DWORD size) {
  std::size_t start = backup.length;
  DWORD writes = backup.writes;
  if (nameLength == 0) {
    Put(backup, '@'); // the key's default value
  } else {
    PutQuoted(backup, name, nameLength);
  }
  Put(backup, '=');
  if (type == REG_SZ && Quotable(data, size)) {
    WCHAR c = 0;
    Put(backup, '"');
    for (std::size_t i = 0; (c = CharAt(data, i)) != 0; ++i) {
      PutEscaped(backup, c);
    }
    Put(backup, '"');
  } else if (type == REG_DWORD && size == sizeof(DWORD)) {
    PutText(backup, regformat::DwordForm);
    PutHexDigits(backup,
                 static_cast<DWORD>(data[0] | data[1] << 8 | data[2] << 16) |
                     static_cast<DWORD>(data[3]) << 24,
                 8);
  } else {
    // Every other type, and data that the forms above would not give back
    // byte for byte, as regedit writes them: "hex:" for REG_BINARY,
    // "hex(N):" for type N, N in hexadecimal.
    PutText(backup, regformat::HexForm);
    if (type != REG_BINARY) {
      Put(backup, '(');
      unsigned digits = 1;
      while (digits < 8 && type >> 4 * digits) {
        ++digits;
      }
      PutHexDigits(backup, type, digits);
      Put(backup, ')');
    }
    Put(backup, ':');
    // The column, where the line is all in the buffer; else a new line.
    std::size_t column = backup.writes == writes ? backup.length - start : HexWidth;
    for (DWORD i = 0; i < size; ++i) {
      PutHexDigits(backup, data[i], 2);
      column += 2;
      if (i + 1 < size) {
        Put(backup, ',');
        if (++column >= HexWidth) {
          PutText(backup, regformat::Continued);
          column = 2;
        }
      }
    }
  }
  PutText(backup, "\r\n");
}

bool FlushBackup(Backup &backup) {
  if (!WriteOut(backup)) {
    return false;
  }
  if (backup.unflushed) {
    if (!FlushFileBuffers(backup.file)) {
      backup.error = LastErrorOr(ERROR_WRITE_FAULT);
      return false;
    }
    backup.unflushed = false;
  }
  return true;
}

bool CloseBackup(Backup &backup) {
  if (backup.file == INVALID_HANDLE_VALUE) {
    return backup.error == ERROR_SUCCESS;
  }
  FlushBackup(backup);
  CloseHandle(backup.file);
  backup.file = INVALID_HANDLE_VALUE;
  return backup.error == ERROR_SUCCESS;
}
