#include "patch/patch.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Past one argument: everything up to white space outside double quotes, as
// Windows' own command-line parsers group "C:\Program Files\...".
const char *End(const char *at) {
  bool quoted = false;
  for (; *at && (quoted || !IsSpace(*at)); ++at) {
    quoted = *at == '"' ? !quoted : quoted;
  }
  return at;
}

// Whether [begin, end) is "/name" or "-name", in any letter case, quoted or
// not; `name` is in lower case.
bool IsSwitch(const char *begin, const char *end, const char *name) {
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') {
    ++begin;
    --end;
  }
  if (begin == end || (*begin != '/' && *begin != '-')) {
    return false;
  }
  for (++begin; begin != end && *name && Lower(*begin) == *name; ++begin, ++name) {
  }
  return begin == end && !*name;
}

} // namespace

Arguments ReadArguments(const char *commandLine) {
  Arguments arguments = {false, false, nullptr, 0};
  const char *at = End(commandLine ? commandLine : ""); // the program's own name
  for (;;) {
    while (IsSpace(*at)) {
      ++at;
    }
    if (!*at) {
      return arguments;
    }
    const char *end = End(at);
    if (IsSwitch(at, end, "quiet") || IsSwitch(at, end, "q")) {
      arguments.quiet = true;
    } else if (IsSwitch(at, end, "?") || IsSwitch(at, end, "help") || IsSwitch(at, end, "h")) {
      arguments.help = true;
    } else if (!IsSwitch(at, end, "norestart") && !arguments.unknown) {
      // Deployment tools pass /norestart by habit; nothing here restarts.
      arguments.unknown = at;
      arguments.unknownLength = static_cast<std::size_t>(end - at);
    }
    at = end;
  }
}
