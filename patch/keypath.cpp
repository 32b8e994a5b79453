// A key's path from HKEY_LOCAL_MACHINE, built from the walk's Trails: names
// as the registry holds them, each after a backslash.
#include "patch/keypath.h"
#include "patch/texts.h"

namespace {

// The most of a line that a key's path may take.
constexpr std::size_t PathRoom = 600;
constexpr WCHAR Wow64PatchKeyPath[] = WIDE("Software\\Wow6432Node\\Crystal Semiconductor");

std::size_t Length(const WCHAR *text) {
  std::size_t length = 0;
  while (text[length]) {
    ++length;
  }
  return length;
}

} // namespace

bool KeyPath(const Trail &key, REGSAM view, WCHAR *path, std::size_t size, std::size_t &start) {
  // Built backwards from the key, as only the chain upwards is known.
  start = size;
  for (const Trail *level = &key; level; level = level->parent) {
    const WCHAR *name = level->parent || view != KEY_WOW64_32KEY ? level->name : Wow64PatchKeyPath;
    std::size_t length = Length(name);
    if (length + 1 > start) {
      return false;
    }
    start -= length;
    for (std::size_t i = 0; i < length; ++i) {
      path[start + i] = name[i];
    }
    path[--start] = '\\';
  }
  return true;
}

void AddPath(Line &line, const Trail &key, REGSAM view) {
  WCHAR path[PathRoom];
  std::size_t start = 0;
  Add(line, KeyPath(key, view, path, PathRoom, start) ? MachineKeyName : "...");
  AddShown(line, path + start, PathRoom - start);
}
