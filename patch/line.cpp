// The lines of boxes, the log and the backup's comments: text added up to
// the line's room, numbers without a C runtime, and what comes from outside
// escaped so that it cannot end the line.
#include "patch/line.h"

#include <cstdarg>

namespace {

void AddNumber(Line &line, DWORD value, unsigned base, unsigned digits) {
  char text[12];
  std::size_t at = sizeof text - 1;
  text[at] = '\0';
  do {
    text[--at] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while ((value || sizeof text - 1 - at < digits) && at > 0);
  Add(line, text + at);
}

bool Escaped(unsigned c) { return c < 0x20 || c == 0x7F || c == '%'; }

void AddEscape(Line &line, unsigned c) {
  Add(line, "%");
  AddNumber(line, c, 16, 2);
}

} // namespace

void Add(Line &line, const char *text, std::size_t length) {
  for (; length && *text && line.length < LineRoom; --length) {
    line.text[line.length++] = *text++;
  }
  line.text[line.length] = '\0';
}

void AddShown(Line &line, const char *text, std::size_t length) {
  for (std::size_t i = 0; i < length && text[i]; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    Escaped(c) ? AddEscape(line, c) : Add(line, text + i, 1);
  }
}

void AddShown(Line &line, const WCHAR *text, std::size_t length) {
  // Up to its zero, as the narrow form; converted a run at a time, straight
  // into the line; a run that does not fit is left out.
  for (std::size_t end = 0; end < length; ++end) {
    length = text[end] ? length : end;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    bool escaped = i < length && Escaped(text[i]);
    if (i < length && !escaped) {
      continue;
    }
    int room = static_cast<int>(LineRoom - line.length);
    int added = i > start && room > 0
                    ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text + start,
                                          static_cast<int>(i - start), line.text + line.length,
                                          room, nullptr, nullptr)
                    : 0;
    line.length += added > 0 ? static_cast<std::size_t>(added) : 0;
    line.text[line.length] = '\0';
    if (escaped) {
      AddEscape(line, text[i]);
    }
    start = i + 1;
  }
}

void Format(Line &line, const char *pattern, ...) {
  va_list arguments;
  va_start(arguments, pattern);
  for (const char *at = pattern; *at; ++at) {
    if (*at != '%') {
      Add(line, at, 1);
      continue;
    }
    unsigned digits = 1;
    if (at[1] >= '1' && at[1] <= '9') {
      digits = static_cast<unsigned>(*++at - '0');
    }
    switch (*++at) {
    case 's':
      Add(line, va_arg(arguments, const char *));
      break;
    case 'u':
      AddNumber(line, va_arg(arguments, DWORD), 10, digits);
      break;
    case 'x':
      AddNumber(line, va_arg(arguments, DWORD), 16, 8);
      break;
    default:
      --at; // no pattern: the % stands for itself
      Add(line, "%");
    }
  }
  va_end(arguments);
}

void AddError(Line &line, DWORD error) {
  Format(line, "error %u, ", error);
  // Windows' own text for the code, on one line.
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, error, 0, line.text + line.length,
                                static_cast<DWORD>(LineRoom - line.length), nullptr);
  for (DWORD i = 0; i < length; ++i) {
    char &c = line.text[line.length + i];
    c = c == '\r' || c == '\n' ? ' ' : c;
  }
  line.length += length;
  while (line.length && line.text[line.length - 1] == ' ') {
    --line.length;
  }
  line.text[line.length] = '\0';
}
