// The .reg file that /backup writes and /restore reads, in one place, so
// that the two cannot drift apart: what Windows XP's regedit writes when it
// exports a key. UTF-16LE after a byte-order mark, CRLF line ends, the
// header line, then records: "[HKEY_LOCAL_MACHINE\path]", a line for each
// value, a blank line; "; " lines are comments.
#pragma once

#include "platform/win32.h"
#include <cstddef>

namespace regformat {

constexpr char Header[] = "Windows Registry Editor Version 5.00";
constexpr WCHAR ByteOrderMark = 0xFEFF;
constexpr char Root[] = "HKEY_LOCAL_MACHINE\\";
// A value line: '@' (the default value) or a quoted name, '=', then the
// data: a quoted string for REG_SZ that comes back byte for byte, "dword:"
// and eight hex digits for a REG_DWORD of four bytes, else "hex:" (for
// REG_BINARY) or "hex(N):" (type N in hex) and the bytes as two hex digits
// each, comma-separated.
constexpr char DwordForm[] = "dword:";
constexpr char HexForm[] = "hex";
// Hex data wraps as regedit wraps it: ",\" at the end of a line of about
// 80 characters, and two spaces before the next.
constexpr std::size_t HexWidth = 76;
constexpr char Continued[] = "\\\r\n  ";
// In a quoted name or string, regedit escapes only these two, each with a
// backslash before it.
inline bool Escaped(WCHAR c) { return c == '\\' || c == '"'; }
// The largest data /backup reads of one value; a key with a larger one
// stays, so no file it wrote holds one.
constexpr DWORD MaxData = 1 << 20;
// The longest value name Windows allows.
constexpr DWORD MaxValueName = 16383;

// Names of keys and values are compared as Windows compares them, upper
// case against upper case; what the format itself names is ASCII.
inline WCHAR Upper(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }
// Whether the text at `at` (up to `end`) begins with ASCII `prefix`.
inline bool Begins(const WCHAR *at, const WCHAR *end, const char *prefix) {
  for (; *prefix; ++at, ++prefix) {
    if (at == end || Upper(*at) != Upper(static_cast<WCHAR>(*prefix))) {
      return false;
    }
  }
  return true;
}
// Whether the `length` characters at `text` are ASCII `name`, no more.
// (Its length from the array: the program links no strlen.)
template <std::size_t Size>
bool Same(const WCHAR *text, std::size_t length, const char (&name)[Size]) {
  return length == Size - 1 && Begins(text, text + length, name);
}

} // namespace regformat
