#include "patch/arguments.h"

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

// Past `name` at `at`, in any letter case, with double quotes anywhere
// passed over as Windows' own parsers drop them; null if `name` is not there.
// `name` is in lower case.
const char *Past(const char *at, const char *end, const char *name) {
  for (; *name; ++name, ++at) {
    while (at != end && *at == '"') {
      ++at;
    }
    if (at == end || Lower(*at) != *name) {
      return nullptr;
    }
  }
  return at;
}

bool OnlyQuotes(const char *at, const char *end) {
  while (at != end && *at == '"') {
    ++at;
  }
  return at == end;
}

// What follows "/name" or "-name" in [begin, end), or null.
const char *AfterSwitch(const char *begin, const char *end, const char *name) {
  const char *at = Past(begin, end, "/");
  at = at ? at : Past(begin, end, "-");
  return at ? Past(at, end, name) : nullptr;
}

bool IsSwitch(const char *begin, const char *end, const char *name) {
  const char *rest = AfterSwitch(begin, end, name);
  return rest && OnlyQuotes(rest, end);
}

} // namespace

Arguments ReadArguments(const char *commandLine) {
  Arguments arguments = {false, false, nullptr, 0, nullptr, 0, nullptr, 0};
  const char *at = End(commandLine ? commandLine : ""); // the program's own name
  for (;;) {
    while (IsSpace(*at)) {
      ++at;
    }
    if (!*at) {
      return arguments;
    }
    const char *end = End(at);
    // "/log:C:\x.log", quoted as a whole or after the colon; a name that
    // is only quotes is no name. The same for /backup.
    const char *log = AfterSwitch(at, end, "log:");
    const char *backup = AfterSwitch(at, end, "backup:");
    if (log && !OnlyQuotes(log, end)) {
      arguments.log = log;
      arguments.logLength = static_cast<std::size_t>(end - log);
    } else if (backup && !OnlyQuotes(backup, end)) {
      arguments.backup = backup;
      arguments.backupLength = static_cast<std::size_t>(end - backup);
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
