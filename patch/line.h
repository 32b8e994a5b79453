// A line of text built on the stack, shared by the boxes, the log and the
// backup's comments: what comes from outside is shown so that it cannot end
// a line.
#pragma once

#include "platform/win32.h"
#include <cstddef>

// A line of text built on the stack: a log line, or a box's text. What
// does not fit is left out.
struct Line {
  char text[1024];
  std::size_t length;
};
// What a line holds before the CRLF that ends a log line.
constexpr std::size_t LineRoom = sizeof Line::text - 3;
void Add(Line &line, const char *text, std::size_t length = static_cast<std::size_t>(-1));
// Adds text from outside (a key name, a link's target, the command line),
// up to `length` characters or its zero, so that it cannot end the line: a
// control character (below U+0020, and U+007F) as '%' and its code in two
// hexadecimal digits, and '%' itself as %25. The wide form converts to the
// ANSI code page without best fit, so that a character the code page lacks
// is '?', never a look-alike.
void AddShown(Line &line, const char *text, std::size_t length);
void AddShown(Line &line, const WCHAR *text, std::size_t length);
// Adds `pattern`, each %s in it standing for the next argument, a string,
// each %u for a number (a DWORD), %2u for one of at least two digits (any
// digit from 1 to 9), and %x for a number in eight hexadecimal digits.
void Format(Line &line, const char *pattern, ...);
// "error N, " and the system's text for it.
void AddError(Line &line, DWORD error);
