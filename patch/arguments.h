// The command line.
#pragma once

#include <cstddef>

// What the command line asks for, read before anything else. The program's
// own name comes first and is passed over; every argument after it starts
// with "/" or "-" and is a name in any letter case.
struct Arguments {
  bool quiet;          // /quiet or /q: no box; the exit code tells the outcome
  bool help;           // /?, /help or /h: the usage box, and nothing else
  const char *unknown; // the first argument not understood, or null
  std::size_t unknownLength;
  const char *log; // what follows "/log:", quotes and all, or null
  std::size_t logLength;
  const char *backup; // what follows "/backup:", quotes and all, or null
  std::size_t backupLength;
};
Arguments ReadArguments(const char *commandLine);
