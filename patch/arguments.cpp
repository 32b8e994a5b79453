#include "patch/arguments.h"

namespace {

bool IsSpace(WCHAR c) { return c == ' ' || c == '\t'; }

WCHAR Lower(WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

// Past one argument: everything up to white space outside double quotes, as
// Windows' own command-line parsers group "C:\Program Files\...". Only
// U+0022 quotes; a fullwidth quotation mark is a letter like any other.
const WCHAR *End(const WCHAR *at) {
  bool quoted = false;
  for (; *at && (quoted || !IsSpace(*at)); ++at) {
    quoted = *at == '"' ? !quoted : quoted;
  }
  return at;
}

// Past `name` at `at`, in any letter case, with double quotes anywhere
// passed over as Windows' own parsers drop them; null if `name` is not there.
// `name` is in lower case.
const WCHAR *Past(const WCHAR *at, const WCHAR *end, const char *name) {
  for (; *name; ++name, ++at) {
    while (at != end && *at == '"') {
      ++at;
    }
    if (at == end || Lower(*at) != static_cast<WCHAR>(*name)) {
      return nullptr;
    }
  }
  return at;
}

bool OnlyQuotes(const WCHAR *at, const WCHAR *end) {
  while (at != end && *at == '"') {
    ++at;
  }
  return at == end;
}

// What follows "/name" or "-name" in [begin, end), or null.
const WCHAR *AfterSwitch(const WCHAR *begin, const WCHAR *end, const char *name) {
  const WCHAR *at = Past(begin, end, "/");
  at = at ? at : Past(begin, end, "-");
  return at ? Past(at, end, name) : nullptr;
}

bool IsSwitch(const WCHAR *begin, const WCHAR *end, const char *name) {
  const WCHAR *rest = AfterSwitch(begin, end, name);
  return rest && OnlyQuotes(rest, end);
}

// A file switch's value: kept the first time; the whole argument, as the
// repeated one, the second. Returns whether it was repeated.
bool Take(Arguments &arguments, const WCHAR *&value, std::size_t &length, const WCHAR *at,
          const WCHAR *from, const WCHAR *end) {
  if (!value) {
    value = from;
    length = static_cast<std::size_t>(end - from);
    return false;
  }
  if (!arguments.repeated) {
    arguments.repeated = at;
    arguments.repeatedLength = static_cast<std::size_t>(end - at);
  }
  return true;
}

// 9x's command line, widened: no longer than NT's longest.
WCHAR widened[32768];

} // namespace

const WCHAR *CommandLine(bool nt) {
  if (nt) {
    return GetCommandLineW();
  }
  if (!MultiByteToWideChar(CP_ACP, 0, GetCommandLineA(), -1, widened,
                           sizeof widened / sizeof widened[0])) {
    widened[0] = '\0';
  }
  return widened;
}

Arguments ReadArguments(const WCHAR *commandLine) {
  Arguments arguments = {false, false,   nullptr, 0,       nullptr, 0,       false, nullptr,
                         0,     nullptr, 0,       nullptr, 0,       nullptr, 0};
  static constexpr WCHAR none[] = {0};
  const WCHAR *at = End(commandLine ? commandLine : none); // the program's own name
  for (;;) {
    while (IsSpace(*at)) {
      ++at;
    }
    if (!*at) {
      arguments.conflict = arguments.backup ? arguments.conflict : nullptr;
      return arguments;
    }
    const WCHAR *end = End(at);
    // "/log:C:\x.log", quoted as a whole or after the colon; a name that
    // is only quotes is no name. The same for /backup.
    const WCHAR *log = AfterSwitch(at, end, "log:");
    const WCHAR *backup = AfterSwitch(at, end, "backup:");
    const WCHAR *restore = AfterSwitch(at, end, "restore:");
    if (log && !OnlyQuotes(log, end)) {
      arguments.logRepeated |= Take(arguments, arguments.log, arguments.logLength, at, log, end);
    } else if (backup && !OnlyQuotes(backup, end)) {
      Take(arguments, arguments.backup, arguments.backupLength, at, backup, end);
    } else if (restore && !OnlyQuotes(restore, end)) {
      if (!Take(arguments, arguments.restore, arguments.restoreLength, at, restore, end)) {
        arguments.conflict = at;
        arguments.conflictLength = static_cast<std::size_t>(end - at);
      }
    } else if (IsSwitch(at, end, "quiet") || IsSwitch(at, end, "q")) {
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

bool Unquoted(const WCHAR *text, std::size_t length, WCHAR (&path)[MAX_PATH]) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] != '"') {
      if (at + 1 == MAX_PATH) {
        path[at] = '\0';
        return false;
      }
      path[at++] = text[i];
    }
  }
  path[at] = '\0';
  return true;
}
