// The reader of what /backup writes, strict on purpose: the file comes
// back from a share where others may write, and what it says is written
// to the registry with an administrator's rights. A line that /backup
// would not have written refuses the whole file, before anything is
// written.
#include "patch/regread.h"
#include "patch/regformat.h"

namespace {

// The value at hand: its name without escapes, and its data.
WCHAR nameRoom[regformat::MaxValueName + 1];
alignas(4) BYTE dataRoom[regformat::MaxData + 2];

using regformat::Begins;

int HexDigit(WCHAR c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool Refuse(RegReader &reader, const char *why) {
  reader.why = why;
  return false;
}

// The next line, without its CRLF; false where the file ends before one.
bool Line(RegReader &reader, const WCHAR *&from, const WCHAR *&to) {
  from = reader.at;
  for (to = from; to + 1 < reader.end && !(to[0] == '\r' && to[1] == '\n'); ++to) {
  }
  if (to + 1 >= reader.end) {
    return false;
  }
  reader.at = to + 2;
  ++reader.line;
  return true;
}

// A quoted name or string from `at`, its escapes undone, into `out` (room
// for `room` characters); past its closing quote, or null.
const WCHAR *Quoted(const WCHAR *at, const WCHAR *end, WCHAR *out, DWORD room, DWORD &length) {
  length = 0;
  if (at == end || *at++ != '"') {
    return nullptr;
  }
  for (; at != end && *at != '"'; ++at) {
    if (*at == '\\' && (++at == end || !regformat::Escaped(*at))) {
      return nullptr;
    }
    if (length == room) {
      return nullptr;
    }
    out[length++] = *at;
  }
  return at == end ? nullptr : at + 1;
}

// Hex data: two digits a byte, comma-separated, continued on lines of their
// own that begin with two spaces after ",\".
bool HexData(RegReader &reader, const WCHAR *at, const WCHAR *to, RegItem &item) {
  DWORD size = 0;
  while (at != to) {
    int high = HexDigit(*at);
    int low = at + 1 != to ? HexDigit(at[1]) : -1;
    if (high < 0 || low < 0) {
      return Refuse(reader, "hex data that is not two hex digits a byte");
    }
    if (size == regformat::MaxData) {
      return Refuse(reader, "a value larger than /backup writes");
    }
    dataRoom[size++] = static_cast<BYTE>(high << 4 | low);
    at += 2;
    if (at == to) {
      break;
    }
    if (*at++ != ',') {
      return Refuse(reader, "hex data that is not comma-separated");
    }
    if (at + 1 == to && *at == '\\') {
      if (!Line(reader, at, to) || to - at < 3 || at[0] != ' ' || at[1] != ' ') {
        return Refuse(reader, "hex data continued on no line of its own");
      }
      at += 2;
    } else if (at == to) {
      return Refuse(reader, "hex data that ends with a comma");
    }
  }
  item.data = dataRoom;
  item.size = size;
  return true;
}

bool Value(RegReader &reader, const WCHAR *at, const WCHAR *to, RegItem &item) {
  item.record = false;
  DWORD length = 0;
  if (at != to && *at == '@') {
    item.name = nullptr;
    ++at;
  } else {
    at = Quoted(at, to, nameRoom, regformat::MaxValueName, length);
    if (!at || length == 0) {
      return Refuse(reader, "a line that is no record, value or comment");
    }
    nameRoom[length] = '\0';
    item.name = nameRoom;
  }
  if (at == to || *at++ != '=') {
    return Refuse(reader, "a line that is no record, value or comment");
  }
  if (at != to && *at == '-') {
    return Refuse(reader, "a deletion of a value");
  }
  if (at != to && *at == '"') {
    WCHAR *text = reinterpret_cast<WCHAR *>(dataRoom);
    at = Quoted(at, to, text, regformat::MaxData / 2 - 1, length);
    if (at != to) {
      return Refuse(reader, "a string that does not end its line");
    }
    text[length] = '\0';
    item.type = REG_SZ;
    item.data = dataRoom;
    item.size = (length + 1) * sizeof(WCHAR);
    return true;
  }
  if (Begins(at, to, regformat::DwordForm)) {
    at += sizeof regformat::DwordForm - 1;
    DWORD value = 0;
    for (int i = 0; i < 8; ++i, ++at) {
      int digit = at != to ? HexDigit(*at) : -1;
      if (digit < 0) {
        return Refuse(reader, "a dword of other than eight hex digits");
      }
      value = value << 4 | static_cast<DWORD>(digit);
    }
    if (at != to) {
      return Refuse(reader, "a dword of other than eight hex digits");
    }
    for (int i = 0; i < 4; ++i) {
      dataRoom[i] = static_cast<BYTE>(value >> 8 * i);
    }
    item.type = REG_DWORD;
    item.data = dataRoom;
    item.size = 4;
    return true;
  }
  if (!Begins(at, to, regformat::HexForm)) {
    return Refuse(reader, "a value of a form that /backup does not write");
  }
  at += sizeof regformat::HexForm - 1;
  item.type = REG_BINARY;
  if (at != to && *at == '(') {
    DWORD type = 0;
    int digits = 0;
    for (++at; at != to && HexDigit(*at) >= 0 && digits < 8; ++at, ++digits) {
      type = type << 4 | static_cast<DWORD>(HexDigit(*at));
    }
    if (digits == 0 || at == to || *at++ != ')') {
      return Refuse(reader, "a value type that is not in hex");
    }
    item.type = type;
  }
  if (at == to || *at++ != ':') {
    return Refuse(reader, "a value of a form that /backup does not write");
  }
  return HexData(reader, at, to, item);
}

} // namespace

bool OpenReg(RegReader &reader, const BYTE *file, DWORD size) {
  reader = {reinterpret_cast<const WCHAR *>(file), reinterpret_cast<const WCHAR *>(file) + size / 2,
            0, false, nullptr};
  if (size % 2) {
    return Refuse(reader, "half a character at its end, as a run cut short leaves it");
  }
  const WCHAR *from = nullptr, *to = nullptr;
  if (reader.at == reader.end || *reader.at++ != regformat::ByteOrderMark ||
      !Line(reader, from, to) || !Begins(from, to, regformat::Header) ||
      to - from != sizeof regformat::Header - 1) {
    reader.line = 1; // the header's, however far it was read
    return Refuse(reader, "it does not begin as a file that /backup writes");
  }
  return true;
}

bool NextItem(RegReader &reader, RegItem &item) {
  const WCHAR *from = nullptr, *to = nullptr;
  while (!reader.why) {
    if (reader.at == reader.end) {
      // Sound only where the last record ended with its blank line.
      return reader.inRecord ? Refuse(reader, "it ends in the middle of a record") : false;
    }
    if (!Line(reader, from, to)) {
      return Refuse(reader, "its last line has no end, as a run cut short leaves it");
    }
    if (from == to) {
      reader.inRecord = false;
    } else if (*from == ';') {
      continue;
    } else if (*from == '[') {
      if (from + 1 != to && from[1] == '-') {
        return Refuse(reader, "a deletion of a key");
      }
      if (to[-1] != ']' || !Begins(from + 1, to, regformat::Root)) {
        return Refuse(reader, "a record that names no key of HKEY_LOCAL_MACHINE");
      }
      reader.inRecord = true;
      item.record = true;
      item.path = from + sizeof regformat::Root;
      item.pathLength = static_cast<std::size_t>(to - 1 - item.path);
      return true;
    } else if (!reader.inRecord) {
      return Refuse(reader, "a value outside a record");
    } else {
      return Value(reader, from, to, item);
    }
  }
  return false;
}
