// /restore: the back-out that needs no trust in the file. The file may lie
// on a share that every machine can write to, and regedit or reg import
// would write whatever it names, through any link on the way, as SYSTEM.
// Here the whole file is read and checked first (git apply's rule: all or
// nothing), every record must lie inside the patch key, and writing goes
// below handles already open, each key by its one name, as the walk
// deletes: a link on the way stops that branch, and is never written
// through.
#include "patch/restore.h"
#include "patch/functions.h"
#include "patch/log.h"
#include "patch/openfile.h"
#include "patch/regformat.h"
#include "patch/regread.h"
#include "patch/sequence.h"
#include "patch/texts.h"

namespace {

// Windows allows 512 levels; the patch key is one of them.
constexpr std::size_t MaxDepth = 512;
constexpr DWORD MaxKeyNameLength = 255;
constexpr WCHAR SoftwareName[] = WIDE("Software");
constexpr WCHAR LinkValueName[] = WIDE("SymbolicLinkValue");
constexpr REGSAM ChainAccess = KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_QUERY_VALUE;
// Enough of a value name to recognise it by, in the log.
constexpr std::size_t ShownNameLength = 200;

// The wide registry functions that Windows 95 lacks, looked up once the
// gates have passed.
struct Functions {
  decltype(&RegOpenKeyExW) openKey;
  decltype(&RegCreateKeyExW) createKey;
  decltype(&RegSetValueExW) setValue;
  decltype(&RegQueryValueExW) queryValue;
};

// The keys open from the patch key down to the record at hand, kept while
// the next record shares them: records come parent first, so most of a
// path is open already.
struct Chain {
  REGSAM view;
  HKEY software; // HKLM\Software in the view, opened by that one name
  HKEY handles[MaxDepth];
  const WCHAR *names[MaxDepth];
  std::size_t lengths[MaxDepth];
  std::size_t depth;  // open handles
  std::size_t linkAt; // a link at this depth (from 1), 0 for none
};
Chain chain;
// A record's names, each where it begins in the file's text and how long.
const WCHAR *pathNames[MaxDepth];
std::size_t pathLengths[MaxDepth];

// A record's place: its view, and its path's names after "Software\".
struct Place {
  REGSAM view;
  const WCHAR *names; // "Crystal Semiconductor\..."
  std::size_t length;
};

bool SameName(const WCHAR *a, std::size_t aLength, const WCHAR *b, std::size_t bLength) {
  if (aLength != bLength) {
    return false;
  }
  for (std::size_t i = 0; i < aLength; ++i) {
    if (regformat::Upper(a[i]) != regformat::Upper(b[i])) {
      return false;
    }
  }
  return true;
}

// The two places a record may lie: the patch key in the native view, and
// on 64-bit Windows its twin in the 32-bit one.
struct Scope {
  const char *path;
  std::size_t length;
  REGSAM view;       // on 64-bit Windows
  std::size_t names; // where the names below "Software\\" begin
};
constexpr char NativeScope[] = "Software\\Crystal Semiconductor";
constexpr char Wow64Scope[] = "Software\\Wow6432Node\\Crystal Semiconductor";
constexpr Scope Scopes[] = {
    {NativeScope, sizeof NativeScope - 1, KEY_WOW64_64KEY, sizeof "Software"},
    {Wow64Scope, sizeof Wow64Scope - 1, KEY_WOW64_32KEY, sizeof "Software\\Wow6432Node"}};

// Whether the record's path lies at or below the patch key (compared as
// Windows compares names), and where; `windows64` admits the 32-bit view's
// twin. Each name must be one Windows allows.
bool Inside(const RegItem &item, bool windows64, Place &place) {
  for (const Scope &scope : Scopes) {
    const std::size_t length = scope.length;
    if ((scope.view == KEY_WOW64_32KEY && !windows64) || item.pathLength < length ||
        !regformat::Begins(item.path, item.path + length, scope.path) ||
        (item.pathLength > length && item.path[length] != '\\')) {
      continue;
    }
    place.view = windows64 ? scope.view : 0;
    place.names = item.path + scope.names;
    place.length = item.pathLength - scope.names;
    std::size_t depth = 1, run = 0;
    for (std::size_t i = 0; i < place.length; ++i) {
      run = place.names[i] == '\\' ? 0 : run + 1;
      depth += place.names[i] == '\\' ? 1 : 0;
      if ((place.names[i] == '\\' && (i + 1 == place.length || place.names[i + 1] == '\\')) ||
          run > MaxKeyNameLength) {
        return false;
      }
    }
    return depth <= MaxDepth - 3; // below HKLM\Software (and Wow6432Node)
  }
  return false;
}

void CloseChain(std::size_t depth) {
  while (chain.depth > depth) {
    RegCloseKey(chain.handles[--chain.depth]);
  }
  chain.linkAt = chain.linkAt > depth ? 0 : chain.linkAt;
}

bool IsLink(const Functions &f, HKEY key) {
  DWORD type = REG_NONE;
  return f.queryValue(key, LinkValueName, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         type == REG_LINK;
}

// A line of the log about the key at `names` (up to `length`) in `view`.
void LogPlace(Report &report, const char *what, REGSAM view, const WCHAR *names, std::size_t length,
              const WCHAR *value, DWORD error) {
  if (report.log == INVALID_HANDLE_VALUE) {
    return;
  }
  Line line;
  BeginLine(line);
  Add(line, what);
  Add(line, MachineKeyName);
  Add(line, view == KEY_WOW64_32KEY ? "\\Software\\Wow6432Node\\" : "\\Software\\");
  AddShown(line, names, length);
  if (value) {
    Add(line, ", value ");
    AddShown(line, value, ShownNameLength);
  }
  if (error != ERROR_SUCCESS) {
    Add(line, ": ");
    AddError(line, error);
  }
  WriteLine(report, line);
}

// The open key of the record at `place`, each name on the way opened, or
// created, below its parent's handle as itself; null where a link stands
// on the way (logged once, and what lies below it in the file is not
// restored either) or a key cannot be opened (logged with its error).
HKEY Descend(const Functions &f, Report &report, const Place &place, bool &link) {
  link = false;
  if (place.view != chain.view) {
    CloseChain(0);
    if (chain.software) {
      RegCloseKey(chain.software);
    }
    chain.software = nullptr;
    chain.view = place.view;
  }
  if (!chain.software &&
      f.openKey(HKEY_LOCAL_MACHINE, SoftwareName, 0, KEY_CREATE_SUB_KEY | place.view,
                &chain.software) != ERROR_SUCCESS) {
    chain.software = nullptr;
    return nullptr;
  }
  // The names of the path, and how many of them the chain holds already.
  std::size_t depth = 0, kept = 0;
  const WCHAR *name = place.names;
  const WCHAR *end = place.names + place.length;
  const WCHAR **names = pathNames;
  std::size_t *lengths = pathLengths;
  while (name <= end && depth < MaxDepth) {
    const WCHAR *stop = name;
    while (stop != end && *stop != '\\') {
      ++stop;
    }
    names[depth] = name;
    lengths[depth] = static_cast<std::size_t>(stop - name);
    kept += kept == depth && depth < chain.depth &&
                    SameName(chain.names[depth], chain.lengths[depth], name, lengths[depth])
                ? 1
                : 0;
    ++depth;
    name = stop + 1;
  }
  if (chain.linkAt && chain.linkAt <= kept) {
    link = true; // below a link met before, and logged then
    return nullptr;
  }
  CloseChain(kept);
  for (std::size_t i = kept; i < depth; ++i) {
    HKEY parent = i ? chain.handles[i - 1] : chain.software;
    HKEY key = nullptr;
    // WCHAR names are cut from the file's text: each is copied with its
    // zero, as the registry functions take names.
    WCHAR one[MaxKeyNameLength + 1];
    for (std::size_t c = 0; c < lengths[i]; ++c) {
      one[c] = names[i][c];
    }
    one[lengths[i]] = '\0';
    // Opened as itself where it is there, created where not: one call.
    DWORD disposition = REG_CREATED_NEW_KEY;
    LONG result = f.createKey(parent, one, 0, nullptr, REG_OPTION_OPEN_LINK,
                              ChainAccess | place.view, nullptr, &key, &disposition);
    std::size_t shown = static_cast<std::size_t>(names[i] + lengths[i] - place.names);
    if (result != ERROR_SUCCESS) {
      LogPlace(report, "Not restored: ", place.view, place.names, shown, nullptr,
               static_cast<DWORD>(result));
      return nullptr;
    }
    // A key made just now is no link; one that was there may be.
    if (disposition == REG_OPENED_EXISTING_KEY && IsLink(f, key)) {
      RegCloseKey(key);
      LogPlace(report, "Link, which is not written through: ", place.view, place.names, shown,
               nullptr, ERROR_SUCCESS);
      chain.linkAt = i + 1;
      link = true;
      return nullptr;
    }
    chain.handles[i] = key;
    chain.names[i] = names[i];
    chain.lengths[i] = lengths[i];
    chain.depth = i + 1;
  }
  return chain.handles[depth - 1];
}

// The file, whole, into memory of its own: `size` bytes; null, with the
// error, where it cannot be read.
BYTE *ReadWhole(const WCHAR *path, DWORD &size, DWORD &error) {
  OpenedFile opened = OpenChecked(path, GENERIC_READ, FILE_SHARE_READ, true, true, OPEN_EXISTING);
  error = opened.error;
  if (opened.file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  BYTE *file = nullptr;
  if (!GetFileInformationByHandle(opened.file, &information)) {
    error = LastErrorOr(ERROR_READ_FAULT);
  } else if (information.nFileSizeHigh || information.nFileSizeLow > 0x40000000) {
    error = ERROR_NOT_ENOUGH_MEMORY; // over a gigabyte: no backup of this key
  } else {
    size = information.nFileSizeLow;
    file = static_cast<BYTE *>(
        VirtualAlloc(nullptr, size ? size : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    error = file ? ERROR_SUCCESS : LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (DWORD at = 0, read = 0; file && at < size; at += read) {
    if (!ReadFile(opened.file, file + at, size - at, &read, nullptr) || read == 0) {
      error = read == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_HANDLE_EOF
                                                           : LastErrorOr(ERROR_READ_FAULT);
      VirtualFree(file, 0, MEM_RELEASE);
      file = nullptr;
    }
  }
  CloseHandle(opened.file);
  return file;
}

} // namespace

int Restore(const WCHAR *path, Report &report, Line &text) {
  Functions f = {SystemFunction<decltype(&RegOpenKeyExW)>("advapi32.dll", "RegOpenKeyExW"),
                 SystemFunction<decltype(&RegCreateKeyExW)>("advapi32.dll", "RegCreateKeyExW"),
                 SystemFunction<decltype(&RegSetValueExW)>("advapi32.dll", "RegSetValueExW"),
                 SystemFunction<decltype(&RegQueryValueExW)>("advapi32.dll", "RegQueryValueExW")};
  DWORD size = 0, error = ERROR_SUCCESS;
  BYTE *file = f.openKey && f.createKey && f.setValue && f.queryValue ? ReadWhole(path, size, error)
                                                                      : nullptr;
  error = file || error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
  if (!file) {
    Add(text, "Could not read the backup file ");
    AddShown(text, path, MAX_PATH);
    Add(text, ": ");
    AddError(text, error);
    Add(text, RestoreNothingText);
    return ExitRestoreUnread;
  }
  REGSAM views[2];
  bool windows64 = RegistryViews(views) == 2;
  // Everything checked before anything is written.
  RegReader reader;
  RegItem item;
  Place place = {};
  bool sound = OpenReg(reader, file, size);
  while (sound && NextItem(reader, item)) {
    if (item.record && !Inside(item, windows64, place)) {
      reader.why = "a record of a key outside HKEY_LOCAL_MACHINE\\Software\\Crystal "
                   "Semiconductor";
    }
  }
  if (reader.why) {
    VirtualFree(file, 0, MEM_RELEASE);
    Add(text, RestoreRefusedText);
    AddShown(text, path, MAX_PATH);
    Format(text, ": line %u: %s.", reader.line, reader.why);
    Add(text, RestoreNothingText);
    return ExitRestoreInvalid;
  }
  // Then written, in the file's order, so that a file appended by several
  // runs puts back what every run removed.
  DWORD keys = 0, values = 0, failed = 0;
  HKEY key = nullptr;
  chain = {};
  chain.view = static_cast<REGSAM>(-1);
  OpenReg(reader, file, size);
  while (NextItem(reader, item)) {
    if (item.record) {
      Inside(item, windows64, place);
      bool link = false;
      key = Descend(f, report, place, link);
      keys += key ? 1 : 0;
      failed += key ? 0 : 1;
      continue;
    }
    if (!key) {
      ++failed; // its key was not restored, and says why
      continue;
    }
    LONG result = f.setValue(key, item.name, 0, item.type, item.data, item.size);
    values += result == ERROR_SUCCESS ? 1 : 0;
    failed += result == ERROR_SUCCESS ? 0 : 1;
    if (result != ERROR_SUCCESS) {
      const WCHAR none[] = {'@', 0};
      LogPlace(report, "Not restored: ", place.view, place.names, place.length,
               item.name ? item.name : none, static_cast<DWORD>(result));
    }
  }
  CloseChain(0);
  if (chain.software) {
    RegCloseKey(chain.software);
  }
  VirtualFree(file, 0, MEM_RELEASE);
  Line line = {};
  Format(line, "Restored: %u keys, %u values", keys, values);
  if (failed) {
    Format(line, "; %u not", failed);
  }
  LogText(report, line.text);
  if (failed) {
    Add(text, RestoreFailedText);
    Format(text, "%u", failed);
    return ExitKeysLeft;
  }
  Add(text, RestoredText);
  return ERROR_SUCCESS;
}
