// HKEY_LOCAL_MACHINE as Windows NT 5.x keeps it: names compared without
// regard to case but stored as created, subkeys enumerated in that
// case-insensitive order, no deletion of a key that still has subkeys,
// handles that outlive the deletion of their key, registry links, which a
// path follows to their target unless it ends in one opened as itself, and
// on 64-bit Windows the 32-bit view of HKLM\Software; and each key's owner
// and DACL, checked at every open, each handle then allowing only the
// access it was opened for.
#include "model.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

namespace emulated {
namespace {

using model::Fault;
using model::Hex;
using model::Quote;
using model::Record;

using model::Upper;

// HKEY_LOCAL_MACHINE's NT path, the start of every link target the model
// can follow; a link to anywhere else leads nowhere.
constexpr char MachinePath[] = "\\Registry\\Machine";
constexpr char LinkValueName[] = "SymbolicLinkValue";
// Where 64-bit Windows keeps the 32-bit view of HKLM\Software.
constexpr char Software[] = "Software";
constexpr char Wow64Node[] = "Wow6432Node";
// Windows gives up on a path after this many links, as on a loop.
constexpr unsigned MaxLinkHops = 16;

std::string Folded(const std::string &path) {
  std::string folded = path;
  std::transform(folded.begin(), folded.end(), folded.begin(), Upper);
  return folded;
}

struct NameLess {
  bool operator()(const std::string &a, const std::string &b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      // UTF-8 in byte order is in the order of the
      // characters, as Windows sorts them.
      return static_cast<unsigned char>(Upper(x)) < static_cast<unsigned char>(Upper(y));
    });
  }
};

struct Value {
  DWORD type;
  std::string data;
};

// A key's values in the order they were made, which is the order Windows
// lists them in; names compared without regard to case. A value set again
// keeps its place.
struct Values {
  using List = std::vector<std::pair<std::string, Value>>;
  List list;

  List::iterator begin() { return list.begin(); }
  List::iterator end() { return list.end(); }
  List::const_iterator begin() const { return list.begin(); }
  List::const_iterator end() const { return list.end(); }
  std::size_t size() const { return list.size(); }
  List::const_iterator find(const std::string &name) const {
    return std::find_if(list.begin(), list.end(),
                        [&name](const auto &entry) { return SameName(entry.first, name); });
  }
  Value &operator[](const std::string &name) {
    auto found = std::find_if(list.begin(), list.end(),
                              [&name](const auto &entry) { return SameName(entry.first, name); });
    return found != list.end() ? found->second : list.emplace_back(name, Value{}).second;
  }
  void erase(const std::string &name) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&name](const auto &entry) { return SameName(entry.first, name); }),
               list.end());
  }
};

std::shared_ptr<const model::Security> Default() {
  static const auto security = std::make_shared<const model::Security>(model::DefaultSecurity());
  return security;
}

struct Key {
  std::string name;
  std::string path; // below HKEY_LOCAL_MACHINE, as stored; "" for the root
  Key *parent = nullptr;
  bool deleted = false;
  bool link = false;
  unsigned handles = 0;
  // Shared with every key that has the default until one is set.
  std::shared_ptr<const model::Security> security = Default();
  std::map<std::string, std::shared_ptr<Key>, NameLess> subkeys;
  Values values;
  unsigned long long written = 0; // the model's clock when it last changed
};

struct Handle {
  std::shared_ptr<Key> key;
  REGSAM access;
};

struct Registry {
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::unordered_map<std::string, Key *> index; // every live key by its folded path
  std::unordered_map<ULONG_PTR, Handle> handles;
  ULONG_PTR nextHandle = 0x100;
  unsigned links = 0; // while there are none, a path is a plain look-up
  std::vector<std::string> deletedWhileOpen;
  std::vector<std::shared_ptr<Key>> deleted; // by the program, values as they went
  unsigned long long clock = 0;              // ticks at every change
};

Registry registry;

std::string Shown(const Key *key) { return key->path.empty() ? "HKLM" : key->path; }

// Whether `handle` was opened with every right in `needed`; the predefined
// key allows everything.
bool Allows(HKEY handle, DWORD needed) {
  auto found = registry.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return handle == HKEY_LOCAL_MACHINE ||
         (found != registry.handles.end() && (found->second.access & needed) == needed);
}

// The key that a handle names, or null for a handle that is not open.
Key *Resolve(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) {
    return registry.root.get();
  }
  auto found = registry.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return found == registry.handles.end() ? nullptr : found->second.key.get();
}

std::string Described(HKEY handle) {
  return handle == HKEY_LOCAL_MACHINE ? "HKLM" : Hex(reinterpret_cast<ULONG_PTR>(handle));
}

// Splits `subKey` below `base` into `rest` (the part to look up, without the
// trailing backslash Windows accepts) and `named` (the full path as named,
// for the record). A leading backslash or an empty name inside is a bad path.
bool Target(const Key *base, const char *subKey, std::string &rest, std::string &named) {
  named = base->path;
  rest.clear();
  std::size_t length = subKey ? std::strlen(subKey) : 0;
  if (length > 0 && subKey[length - 1] == '\\') {
    --length;
  }
  if (length == 0) {
    return true;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (subKey[i] == '\\' && (i == 0 || i + 1 == length || subKey[i - 1] == '\\')) {
      return false;
    }
  }
  rest.assign(subKey, length);
  if (!named.empty()) {
    named += '\\';
  }
  named += rest;
  return true;
}

Key *Lookup(const std::string &path) {
  auto found = registry.index.find(Folded(path));
  return found == registry.index.end() ? nullptr : found->second;
}

// Where a link points, as a path below HKEY_LOCAL_MACHINE; false for a link
// whose value is missing, of another type, or outside HKEY_LOCAL_MACHINE.
bool LinkTarget(const Key &link, std::string &target) {
  auto value = link.values.find(LinkValueName);
  if (value == link.values.end() || value->second.type != REG_LINK) {
    return false;
  }
  const std::string nt = Utf8(value->second.data);
  std::size_t root = std::strlen(MachinePath);
  if (nt.size() < root || !SameName(nt.substr(0, root), MachinePath) ||
      (nt.size() > root && (nt[root] != '\\' || nt.size() == root + 1))) {
    return false;
  }
  target = nt.size() > root ? nt.substr(root + 1) : "";
  return true;
}

// Points a path below HKEY_LOCAL_MACHINE into the view that `access` and
// the process choose; false for a request of both views at once. Only
// HKLM\Software has two views, and only on 64-bit Windows.
bool InView(std::string &rest, REGSAM access) {
  if ((access & KEY_WOW64_32KEY) && (access & KEY_WOW64_64KEY)) {
    return false;
  }
  bool view32 =
      (access & KEY_WOW64_32KEY) || (!(access & KEY_WOW64_64KEY) && model::ProcessBits() == 32);
  std::size_t length = std::strlen(Software);
  bool software = rest.size() >= length && SameName(rest.substr(0, length), Software) &&
                  (rest.size() == length || rest[length] == '\\');
  if (model::WindowsBits() == 32 || !view32 || !software) {
    return true;
  }
  std::string below = rest.size() > length ? rest.substr(length + 1) : "";
  if (!SameName(below.substr(0, below.find('\\')), Wow64Node)) {
    rest.insert(length, std::string("\\") + Wow64Node);
  }
  return true;
}

// The key that `rest` names below `from`, found as Windows parses a path: a
// link met on the way is followed to its target, except the last component
// when `openLink`. Null when nothing is there, a dangling link included.
Key *Find(Key *from, const std::string &rest, bool openLink, unsigned hops = 0) {
  if (registry.links == 0) {
    return Lookup(from->path.empty() || rest.empty() ? from->path + rest
                                                     : from->path + "\\" + rest);
  }
  Key *key = from;
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = std::min(rest.find('\\', start), rest.size());
    auto found = key->subkeys.find(rest.substr(start, end - start));
    if (found == key->subkeys.end()) {
      return nullptr;
    }
    key = found->second.get();
    start = end + 1;
    bool last = end == rest.size();
    if (key->link && !(last && openLink)) {
      std::string target;
      if (hops == MaxLinkHops || !LinkTarget(*key, target)) {
        return nullptr;
      }
      if (!last) {
        target += (target.empty() ? "" : "\\") + rest.substr(start);
      }
      return Find(registry.root.get(), target, openLink, hops + 1);
    }
  }
  return key;
}

Key *Create(const std::string &path) {
  Key *key = registry.root.get();
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = std::min(path.find('\\', start), path.size());
    std::string name = path.substr(start, end - start);
    auto &slot = key->subkeys[name];
    if (!slot) {
      slot = std::make_shared<Key>();
      slot->name = name;
      slot->path = key->path.empty() ? name : key->path + "\\" + name;
      slot->parent = key;
      slot->written = key->written = ++registry.clock;
      registry.index[Folded(slot->path)] = slot.get();
    }
    key = slot.get();
    start = end + 1;
  }
  return key;
}

// Takes a key without subkeys out of the tree; its open handles still hold
// it. `deleting` counts the program's handles the deletion goes through,
// which are not left open by anyone; another process's deletion is no
// deletion of a key the program holds open.
void Remove(Key *key, unsigned deleting, bool byProgram = true) {
  if (byProgram && key->handles > deleting) {
    registry.deletedWhileOpen.push_back(key->path);
  }
  if (byProgram) {
    registry.deleted.push_back(key->parent->subkeys.at(key->name));
  }
  Key *parent = key->parent;
  std::string name = key->name; // the erase below may free the key
  registry.index.erase(Folded(key->path));
  registry.links -= key->link ? 1 : 0;
  key->deleted = true;
  key->parent = nullptr;
  parent->subkeys.erase(name);
  parent->written = ++registry.clock;
}

} // namespace
} // namespace emulated

using namespace emulated;

namespace emulated {
namespace {

// Both opens: `subKey` is the name in UTF-8, as the W function gets it, or
// as the A function's ANSI text widens; null for none.
LONG OpenKey(Op op, HKEY hKey, const char *subKey, DWORD ulOptions, REGSAM samDesired,
             PHKEY phkResult) {
  std::string args = Described(hKey) + ", " + Quote(subKey) + ", " + std::to_string(ulOptions) +
                     ", " + Hex(samDesired);
  Key *base = Resolve(hKey);
  std::string rest;
  std::string named;
  bool valid = base && Target(base, subKey, rest, named);
  // Below HKLM\Software, KEY_WOW64_32KEY reaches the 32-bit view as it does
  // from HKLM itself.
  if (valid && (samDesired & KEY_WOW64_32KEY) && base->parent == registry.root.get() &&
      SameName(base->name, Software)) {
    rest = rest.empty() ? std::string(Software) : std::string(Software) + "\\" + rest;
    base = registry.root.get();
  }
  bool viewed = !base || base != registry.root.get() || InView(rest, samDesired);
  if (valid && viewed && base == registry.root.get()) {
    named = rest; // as the view keeps it
  }
  if (phkResult) {
    *phkResult = nullptr; // what a failed open leaves
  }
  if (LONG error = Fault(op, named)) {
    return Record(op, named, args, error);
  }
  if (!base) {
    return Record(op, named, args, ERROR_INVALID_HANDLE);
  }
  if (!phkResult || !viewed) {
    return Record(op, named, args, ERROR_INVALID_PARAMETER);
  }
  if (!valid) {
    return Record(op, named, args, ERROR_BAD_PATHNAME);
  }
  if (base->deleted) {
    return Record(op, named, args, ERROR_KEY_DELETED);
  }
  Key *key = Find(base, rest, (ulOptions & REG_OPTION_OPEN_LINK) != 0);
  if (!key) {
    return Record(op, named, args, ERROR_FILE_NOT_FOUND);
  }
  // MAXIMUM_ALLOWED asks for every right the DACL grants, and fails only
  // where it grants none.
  bool maximum = (samDesired & MAXIMUM_ALLOWED) != 0;
  REGSAM asked = samDesired & ~static_cast<REGSAM>(MAXIMUM_ALLOWED);
  REGSAM granted = asked;
  if (maximum) {
    granted |= key->parent ? model::MaximumAllowed(*key->security) : KEY_ALL_ACCESS;
  }
  if (key->parent &&
      (!model::AccessAllowed(*key->security, asked) ||
       (maximum && !(granted & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY))))) {
    return Record(op, named, args, ERROR_ACCESS_DENIED);
  }
  ULONG_PTR handle = registry.nextHandle;
  registry.nextHandle += 4;
  std::shared_ptr<Key> owner = key->parent ? key->parent->subkeys.at(key->name) : registry.root;
  registry.handles[handle] = Handle{owner, granted};
  ++key->handles;
  *phkResult = reinterpret_cast<HKEY>(handle);
  return Record(op, named, args + " -> " + Hex(handle), ERROR_SUCCESS);
}

// The name as each enumeration hands it out: in the ANSI code page, or in
// UTF-16 as stored.
std::basic_string<char> Handed(const std::string &name, const char *) { return Narrow(name); }
std::basic_string<WCHAR> Handed(const std::string &name, const WCHAR *) {
  const std::string bytes = Utf16(name);
  std::basic_string<WCHAR> wide;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide += static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                               static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  return wide;
}

// Both enumerations; lengths are in characters of their own kind.
template <typename Char>
LONG EnumKey(Op op, HKEY hKey, DWORD dwIndex, Char *lpName, LPDWORD lpcchName, LPDWORD lpReserved,
             Char *lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  std::string args = Described(hKey) + ", " + std::to_string(dwIndex) + ", " +
                     (lpcchName ? std::to_string(*lpcchName) : "NULL");
  Key *key = Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  if (LONG error = Fault(op, path)) {
    return Record(op, path, args, error);
  }
  if (!key) {
    return Record(op, path, args, ERROR_INVALID_HANDLE);
  }
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) {
    return Record(op, path, args, ERROR_INVALID_PARAMETER);
  }
  if (!Allows(hKey, KEY_ENUMERATE_SUB_KEYS)) {
    return Record(op, path, args, ERROR_ACCESS_DENIED);
  }
  if (key->deleted) {
    return Record(op, path, args, ERROR_KEY_DELETED);
  }
  if (dwIndex >= key->subkeys.size()) {
    return Record(op, path, args, ERROR_NO_MORE_ITEMS);
  }
  const std::string &stored = std::next(key->subkeys.begin(), dwIndex)->first;
  const auto name = Handed(stored, lpName);
  if (*lpcchName <= name.size()) {
    return Record(op, path, args, ERROR_MORE_DATA);
  }
  std::copy(name.begin(), name.end(), lpName);
  lpName[name.size()] = 0;
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass) {
    if (*lpcchClass < 1) {
      return Record(op, path, args, ERROR_MORE_DATA);
    }
    lpClass[0] = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) {
    *lpftLastWriteTime = FILETIME{0, 0};
  }
  const std::string shown = sizeof(Char) == 1 ? Narrow(stored) : stored;
  return Record(op, path, args + " -> " + Quote(shown.c_str()), ERROR_SUCCESS);
}

// A W function's name in UTF-8, as the model keeps names; "" for null.
std::string FromWide(LPCWSTR text) {
  std::string bytes;
  for (; text && *text; ++text) {
    bytes += static_cast<char>(*text & 0xFF);
    bytes += static_cast<char>(*text >> 8);
  }
  return Utf8(bytes);
}

} // namespace
} // namespace emulated

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  return OpenKey(Op::RegOpenKeyExA, hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  const std::string name = FromWide(lpSubKey);
  return OpenKey(Op::RegOpenKeyExW, hKey, lpSubKey ? name.c_str() : nullptr, ulOptions, samDesired,
                 phkResult);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
  return EnumKey(Op::RegEnumKeyExA, hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass,
                 lpcchClass, lpftLastWriteTime);
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
  return EnumKey(Op::RegEnumKeyExW, hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass,
                 lpcchClass, lpftLastWriteTime);
}

namespace emulated {
namespace {

// Opens the key with delete access, in the view that `access` and the
// process choose, following every link on the way, the last component's
// too, and deletes what it reached, as Windows does.
LONG DeleteNamed(Op op, HKEY hKey, LPCSTR lpSubKey, REGSAM access, DWORD reserved,
                 std::string args) {
  Key *base = Resolve(hKey);
  std::string rest;
  std::string named;
  bool valid = base && lpSubKey && Target(base, lpSubKey, rest, named);
  bool viewed = !base || base != registry.root.get() || InView(rest, access);
  if (LONG error = Fault(op, named)) {
    return Record(op, named, args, error);
  }
  if (!base) {
    return Record(op, named, args, ERROR_INVALID_HANDLE);
  }
  if (!lpSubKey || !viewed || reserved) {
    return Record(op, named, args, ERROR_INVALID_PARAMETER);
  }
  if (!valid) {
    return Record(op, named, args, ERROR_BAD_PATHNAME);
  }
  Key *key = base->deleted ? nullptr : Find(base, rest, false);
  if (!key) {
    return Record(op, named, args, ERROR_FILE_NOT_FOUND);
  }
  if (!key->parent || !key->subkeys.empty() || !model::AccessAllowed(*key->security, DELETE)) {
    return Record(op, named, args, ERROR_ACCESS_DENIED);
  }
  if (key->path != named) {
    args += " (reached " + key->path + ")";
  }
  Remove(key, 0);
  return Record(op, named, args, ERROR_SUCCESS);
}

} // namespace
} // namespace emulated

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return DeleteNamed(Op::RegDeleteKeyA, hKey, lpSubKey, 0, 0,
                     Described(hKey) + ", " + Quote(lpSubKey));
}

LONG WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  std::string args = Described(hKey) + ", " + Quote(lpSubKey) + ", " + Hex(samDesired) + ", " +
                     std::to_string(Reserved);
  return DeleteNamed(Op::RegDeleteKeyExA, hKey, lpSubKey, samDesired, Reserved, args);
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  const std::string name = FromWide(lpValueName);
  std::string args = Described(hKey) + ", " + Quote(name.c_str());
  Key *key = Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  LONG error = Fault(Op::RegQueryValueExW, path);
  error = error                                         ? error
          : !key                                        ? ERROR_INVALID_HANDLE
          : lpReserved || (lpData && !lpcbData)         ? ERROR_INVALID_PARAMETER
          : !Allows(hKey, KEY_QUERY_VALUE)              ? ERROR_ACCESS_DENIED
          : key->deleted                                ? ERROR_KEY_DELETED
          : key->values.find(name) == key->values.end() ? ERROR_FILE_NOT_FOUND
                                                        : ERROR_SUCCESS;
  if (error) {
    return Record(Op::RegQueryValueExW, path, args, error);
  }
  const Value &value = key->values.find(name)->second;
  if (lpType) {
    *lpType = value.type;
  }
  LONG result = lpData && *lpcbData < value.data.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
  if (lpData && result == ERROR_SUCCESS) {
    std::copy(value.data.begin(), value.data.end(), lpData);
  }
  if (lpcbData) {
    *lpcbData = static_cast<DWORD>(value.data.size());
  }
  return Record(Op::RegQueryValueExW, path, args + " -> type " + std::to_string(value.type),
                result);
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  const std::string name = FromWide(lpSubKey);
  Key *base = Resolve(hKey);
  std::string rest, named;
  bool valid = base && lpSubKey && Target(base, name.c_str(), rest, named);
  bool viewed = !base || base != registry.root.get() || InView(rest, samDesired);
  std::string args = Described(hKey) + ", " + Quote(name.c_str()) + ", " +
                     std::to_string(dwOptions) + ", " + Hex(samDesired);
  if (phkResult) {
    *phkResult = nullptr;
  }
  LONG error = Fault(Op::RegCreateKeyExW, named);
  error = error   ? error
          : !base ? ERROR_INVALID_HANDLE
          : !phkResult || !viewed || Reserved || lpClass || lpSecurityAttributes ||
                  (dwOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK))
              ? ERROR_INVALID_PARAMETER
          : !valid || rest.empty() ? ERROR_BAD_PATHNAME
          : base->deleted          ? ERROR_KEY_DELETED
                                   : ERROR_SUCCESS;
  if (error) {
    return Record(Op::RegCreateKeyExW, named, args, error);
  }
  bool openLink = (dwOptions & REG_OPTION_OPEN_LINK) != 0;
  if (Find(base, rest, openLink)) {
    if (lpdwDisposition) {
      *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    }
    std::string existing = FromWide(lpSubKey);
    return OpenKey(Op::RegCreateKeyExW, hKey, existing.c_str(), openLink ? REG_OPTION_OPEN_LINK : 0,
                   samDesired, phkResult);
  }
  // The parent, through any link on the way, must let the caller create.
  std::size_t cut = rest.rfind('\\');
  Key *parent = cut == std::string::npos ? base : Find(base, rest.substr(0, cut), false);
  if (!parent) {
    return Record(Op::RegCreateKeyExW, named, args, ERROR_FILE_NOT_FOUND);
  }
  if (parent->parent && !model::AccessAllowed(*parent->security, KEY_CREATE_SUB_KEY)) {
    return Record(Op::RegCreateKeyExW, named, args, ERROR_ACCESS_DENIED);
  }
  std::string leaf = cut == std::string::npos ? rest : rest.substr(cut + 1);
  Create(parent->path.empty() ? leaf : parent->path + "\\" + leaf);
  if (lpdwDisposition) {
    *lpdwDisposition = REG_CREATED_NEW_KEY;
  }
  std::string created = FromWide(lpSubKey);
  return OpenKey(Op::RegCreateKeyExW, hKey, created.c_str(), openLink ? REG_OPTION_OPEN_LINK : 0,
                 samDesired, phkResult);
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData) {
  const std::string name = FromWide(lpValueName);
  std::string args = Described(hKey) + ", " + Quote(name.c_str()) + ", type " +
                     std::to_string(dwType) + ", " + std::to_string(cbData);
  Key *key = Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  LONG error = Fault(Op::RegSetValueExW, path);
  error = error                             ? error
          : !key                            ? ERROR_INVALID_HANDLE
          : Reserved || (cbData && !lpData) ? ERROR_INVALID_PARAMETER
          : !Allows(hKey, KEY_SET_VALUE)    ? ERROR_ACCESS_DENIED
          : key->deleted                    ? ERROR_KEY_DELETED
                                            : ERROR_SUCCESS;
  if (error) {
    return Record(Op::RegSetValueExW, path, args, error);
  }
  key->values[name] = Value{dwType, std::string(reinterpret_cast<const char *>(lpData), cbData)};
  key->written = ++registry.clock;
  return Record(Op::RegSetValueExW, path, args, ERROR_SUCCESS);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  std::string args = Described(hKey) + ", " + Quote(lpValueName);
  Key *key = Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  if (LONG error = Fault(Op::RegQueryValueExA, path)) {
    return Record(Op::RegQueryValueExA, path, args, error);
  }
  if (!key) {
    return Record(Op::RegQueryValueExA, path, args, ERROR_INVALID_HANDLE);
  }
  if (lpReserved || (lpData && !lpcbData)) {
    return Record(Op::RegQueryValueExA, path, args, ERROR_INVALID_PARAMETER);
  }
  if (!Allows(hKey, KEY_QUERY_VALUE)) {
    return Record(Op::RegQueryValueExA, path, args, ERROR_ACCESS_DENIED);
  }
  if (key->deleted) {
    return Record(Op::RegQueryValueExA, path, args, ERROR_KEY_DELETED);
  }
  auto value = key->values.find(lpValueName ? lpValueName : "");
  if (value == key->values.end()) {
    return Record(Op::RegQueryValueExA, path, args, ERROR_FILE_NOT_FOUND);
  }
  // Strings as the A functions hand them out, in the ANSI code page.
  DWORD type = value->second.type;
  bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  const std::string data = text ? Narrow(Utf8(value->second.data)) : value->second.data;
  args += " -> type " + std::to_string(value->second.type);
  if (lpType) {
    *lpType = value->second.type;
  }
  LONG result = ERROR_SUCCESS;
  if (lpData && *lpcbData < data.size()) {
    result = ERROR_MORE_DATA;
  } else if (lpData) {
    std::copy(data.begin(), data.end(), lpData);
  }
  if (lpcbData) {
    *lpcbData = static_cast<DWORD>(data.size());
  }
  return Record(Op::RegQueryValueExA, path, args, result);
}

namespace emulated {
namespace {

// What both value calls check before they read: the key that `hKey` names
// (null for none), and why they may not read it, or ERROR_SUCCESS.
LONG ValueCall(Op op, HKEY hKey, Key *&key) {
  key = Resolve(hKey);
  if (LONG error = Fault(op, key ? Shown(key) : "")) {
    return error;
  }
  if (!key) {
    return ERROR_INVALID_HANDLE;
  }
  if (!Allows(hKey, KEY_QUERY_VALUE)) {
    return ERROR_ACCESS_DENIED;
  }
  return key->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

} // namespace
} // namespace emulated

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
  std::string args = Described(hKey);
  Key *key = nullptr;
  LONG error = ValueCall(Op::RegQueryInfoKeyW, hKey, key);
  std::string path = key ? Shown(key) : "";
  if (error == ERROR_SUCCESS && (lpReserved || (lpClass && !lpcchClass))) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error != ERROR_SUCCESS) {
    return Record(Op::RegQueryInfoKeyW, path, args, error);
  }
  // No class names: the model keeps none.
  for (LPDWORD none : {lpcchClass, lpcbMaxClassLen}) {
    if (none) {
      *none = 0;
    }
  }
  // The longest names in characters, without their zero; the largest value
  // in bytes.
  DWORD longestSubkey = 0, longestName = 0, largest = 0;
  for (const auto &subkey : key->subkeys) {
    longestSubkey = std::max(longestSubkey, static_cast<DWORD>(Utf16(subkey.first).size() / 2));
  }
  for (const auto &value : key->values) {
    longestName = std::max(longestName, static_cast<DWORD>(Utf16(value.first).size() / 2));
    largest = std::max(largest, static_cast<DWORD>(value.second.data.size()));
  }
  const std::pair<LPDWORD, DWORD> told[] = {
      {lpcSubKeys, static_cast<DWORD>(key->subkeys.size())},
      {lpcbMaxSubKeyLen, longestSubkey},
      {lpcValues, static_cast<DWORD>(key->values.size())},
      {lpcbMaxValueNameLen, longestName},
      {lpcbMaxValueLen, largest},
      {lpcbSecurityDescriptor,
       static_cast<DWORD>(
           model::Descriptor(*key->security, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)
               .size())}};
  for (const auto &entry : told) {
    if (entry.first) {
      *entry.first = entry.second;
    }
  }
  if (lpftLastWriteTime) {
    // The model's clock in seconds from 2026-01-01, in FILETIME's units.
    unsigned long long time = 133800000000000000ULL + key->written * 10000000ULL;
    *lpftLastWriteTime = FILETIME{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  }
  args += " -> " + std::to_string(key->subkeys.size()) + " subkeys, " +
          std::to_string(key->values.size()) + " values";
  return Record(Op::RegQueryInfoKeyW, path, args, ERROR_SUCCESS);
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  std::string args = Described(hKey) + ", " + std::to_string(dwIndex);
  Key *key = nullptr;
  LONG error = ValueCall(Op::RegEnumValueW, hKey, key);
  std::string path = key ? Shown(key) : "";
  if (error == ERROR_SUCCESS &&
      (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error == ERROR_SUCCESS && dwIndex >= key->values.size()) {
    error = ERROR_NO_MORE_ITEMS;
  }
  if (error != ERROR_SUCCESS) {
    return Record(Op::RegEnumValueW, path, args, error);
  }
  const auto &value = *std::next(key->values.begin(), dwIndex);
  std::string name = Utf16(value.first);
  const std::string &data = value.second.data;
  args += " -> " + Quote(value.first.c_str()) + ", type " + std::to_string(value.second.type);
  // Too little room: the type and the data's size are told either way, and
  // the name is copied where only the data overflows.
  bool nameFits = *lpcchValueName > name.size() / 2;
  if (lpType) {
    *lpType = value.second.type;
  }
  if (nameFits) {
    for (std::size_t i = 0; i < name.size() / 2; ++i) {
      lpValueName[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[2 * i]) |
                                          static_cast<unsigned char>(name[2 * i + 1]) << 8);
    }
    lpValueName[name.size() / 2] = 0;
    *lpcchValueName = static_cast<DWORD>(name.size() / 2);
  }
  if (!nameFits || (lpData && *lpcbData < data.size())) {
    if (lpcbData) {
      *lpcbData = static_cast<DWORD>(data.size());
    }
    return Record(Op::RegEnumValueW, path, args, ERROR_MORE_DATA);
  }
  if (lpData) {
    std::copy(data.begin(), data.end(), lpData);
  }
  if (lpcbData) {
    *lpcbData = static_cast<DWORD>(data.size());
  }
  return Record(Op::RegEnumValueW, path, args, ERROR_SUCCESS);
}

LONG WINAPI emulated::model::NtDeleteKey(HANDLE KeyHandle) {
  std::string args = Hex(reinterpret_cast<ULONG_PTR>(KeyHandle));
  auto found = registry.handles.find(reinterpret_cast<ULONG_PTR>(KeyHandle));
  const Handle *handle = found == registry.handles.end() ? nullptr : &found->second;
  std::string path = handle ? Shown(handle->key.get()) : "";
  if (LONG status = Fault(Op::NtDeleteKey, path)) {
    return Record(Op::NtDeleteKey, path, args, status);
  }
  if (!handle) {
    return Record(Op::NtDeleteKey, path, args, StatusInvalidHandle);
  }
  Key *key = handle->key.get();
  if (key->deleted) {
    return Record(Op::NtDeleteKey, path, args, StatusKeyDeleted);
  }
  if (!(handle->access & DELETE) || !key->parent) {
    return Record(Op::NtDeleteKey, path, args, StatusAccessDenied);
  }
  if (!key->subkeys.empty()) {
    return Record(Op::NtDeleteKey, path, args, StatusCannotDelete);
  }
  Remove(key, 1);
  return Record(Op::NtDeleteKey, path, args, StatusSuccess);
}

namespace {

DWORD Needed(SECURITY_INFORMATION which, bool set) {
  DWORD needed = 0;
  needed |= which & OWNER_SECURITY_INFORMATION ? (set ? WRITE_OWNER : READ_CONTROL) : 0;
  needed |= which & DACL_SECURITY_INFORMATION ? (set ? WRITE_DAC : READ_CONTROL) : 0;
  return needed;
}

// What both security calls check before they act: the key that `hKey`
// names (null for none), and why they may not act on it, or ERROR_SUCCESS.
LONG SecurityCall(Op op, HKEY hKey, SECURITY_INFORMATION which, bool given, bool set, Key *&key) {
  key = hKey == HKEY_LOCAL_MACHINE ? nullptr : Resolve(hKey);
  if (LONG error = Fault(op, key ? Shown(key) : "")) {
    return error;
  }
  if (!key) {
    return ERROR_INVALID_HANDLE;
  }
  if (!given || !(which & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))) {
    return ERROR_INVALID_PARAMETER;
  }
  if (key->deleted) {
    return ERROR_KEY_DELETED;
  }
  return Allows(hKey, Needed(which, set)) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor) {
  std::string args = Described(hKey) + ", " + Hex(SecurityInformation) + ", " +
                     (lpcbSecurityDescriptor ? std::to_string(*lpcbSecurityDescriptor) : "NULL");
  Key *key = nullptr;
  LONG error = SecurityCall(Op::RegGetKeySecurity, hKey, SecurityInformation,
                            lpcbSecurityDescriptor != nullptr, false, key);
  std::string path = key ? Shown(key) : "";
  if (error != ERROR_SUCCESS) {
    return Record(Op::RegGetKeySecurity, path, args, error);
  }
  std::vector<BYTE> descriptor = model::Descriptor(*key->security, SecurityInformation);
  DWORD room = *lpcbSecurityDescriptor;
  *lpcbSecurityDescriptor = static_cast<DWORD>(descriptor.size());
  if (!pSecurityDescriptor || room < descriptor.size()) {
    return Record(Op::RegGetKeySecurity, path, args, ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(pSecurityDescriptor, descriptor.data(), descriptor.size());
  return Record(Op::RegGetKeySecurity, path, args + " -> " + model::Describe(*key->security),
                ERROR_SUCCESS);
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  std::string args = Described(hKey) + ", " + Hex(SecurityInformation);
  Key *key = nullptr;
  LONG error = SecurityCall(Op::RegSetKeySecurity, hKey, SecurityInformation,
                            pSecurityDescriptor != nullptr, true, key);
  std::string path = key ? Shown(key) : "";
  if (error != ERROR_SUCCESS) {
    return Record(Op::RegSetKeySecurity, path, args, error);
  }
  model::Security security = *key->security;
  error = model::ApplyDescriptor(static_cast<const BYTE *>(pSecurityDescriptor),
                                 SecurityInformation, security);
  if (error == ERROR_SUCCESS) {
    key->security = std::make_shared<const model::Security>(security);
    args += " -> " + model::Describe(security);
  }
  return Record(Op::RegSetKeySecurity, path, args, error);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  std::string args = Described(hKey);
  Key *key = hKey == HKEY_LOCAL_MACHINE ? nullptr : Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  LONG error = Fault(Op::RegCloseKey, path);
  if (hKey == HKEY_LOCAL_MACHINE) {
    return Record(Op::RegCloseKey, "HKLM", args, error);
  }
  if (!key) {
    return Record(Op::RegCloseKey, path, args, error ? error : ERROR_INVALID_HANDLE);
  }
  --key->handles;
  registry.handles.erase(reinterpret_cast<ULONG_PTR>(hKey));
  return Record(Op::RegCloseKey, path, args, error);
}

namespace emulated {

// Windows' best fit for a character that the ASCII code page lacks, or 0
// where it has none.
char model::BestFit(unsigned long point) {
  // U+00C0 to U+017F, each letter with a mark as its base letter.
  static const char latin[] =
      "AAAAAA?CEEEEIIII?NOOOOO?OUUUUY??aaaaaa?ceeeeiiii?nooooo?ouuuuy?y"
      "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi??JjKk?LlLlLlLlLlNnNnNn???OoOoOo??RrRrRr"
      "SsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZz?";
  static_assert(sizeof latin == 0x180 - 0xC0 + 1, "one letter for each character");
  if (point >= 0xFF01 && point <= 0xFF5E) {
    return static_cast<char>(point - 0xFEE0); // fullwidth forms
  }
  if (point >= 0xC0 && point < 0x180 && latin[point - 0xC0] != '?') {
    return latin[point - 0xC0];
  }
  return point == 0x3A9 ? 'O' : 0;
}

namespace {

// The character of UTF-8 `text` at `i`, which moves past it.
unsigned long NextCharacter(const std::string &text, std::size_t &i) {
  auto c = static_cast<unsigned char>(text[i]);
  std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  unsigned long point = length == 1 ? c : c & (0x3F >> (length - 1));
  for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
    point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  i += length;
  return point;
}

} // namespace

std::string Narrow(const std::string &name, bool bestFit) {
  std::string narrow;
  for (std::size_t i = 0; i < name.size();) {
    unsigned long point = NextCharacter(name, i);
    char fit = bestFit ? model::BestFit(point) : '\0';
    narrow += point < 0x80 ? static_cast<char>(point) : fit ? fit : '?';
  }
  return narrow;
}

void CreateKey(const std::string &path) { Create(path); }

void RemoveTree(const std::string &path) {
  Key *key = Lookup(path);
  if (!key || !key->parent) {
    return;
  }
  while (!key->subkeys.empty()) {
    RemoveTree(key->subkeys.begin()->second->path);
  }
  Remove(key, 0, false);
}

std::string Utf16(const std::string &text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size();) {
    unsigned long point = NextCharacter(text, i);
    auto unit = [&bytes](unsigned long u) {
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    };
    if (point >= 0x10000) {
      unit(0xD800 | ((point - 0x10000) >> 10));
      unit(0xDC00 | ((point - 0x10000) & 0x3FF));
    } else {
      unit(point);
    }
  }
  return bytes;
}

std::string Utf8(const std::string &utf16) {
  std::string text;
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    unsigned long point = static_cast<unsigned char>(utf16[i]) |
                          static_cast<unsigned long>(static_cast<unsigned char>(utf16[i + 1])) << 8;
    if (point >= 0xD800 && point < 0xDC00 && i + 3 < utf16.size()) {
      unsigned long low = static_cast<unsigned char>(utf16[i + 2]) |
                          static_cast<unsigned long>(static_cast<unsigned char>(utf16[i + 3])) << 8;
      point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (point < 0x80) {
      text += static_cast<char>(point);
      continue;
    }
    static const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::size_t length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
    text += static_cast<char>(lead[length] | (point >> (6 * (length - 1))));
    for (std::size_t k = length - 1; k-- > 0;) {
      text += static_cast<char>(0x80 | ((point >> (6 * k)) & 0x3F));
    }
  }
  return text;
}

void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::string &data) {
  Key *key = Create(path);
  key->values[name] = Value{type, data};
  key->written = ++registry.clock;
}

void SetValue(const std::string &path, const std::string &name, const std::string &text) {
  SetValue(path, name, REG_SZ, Utf16(text) + std::string(2, '\0'));
}

void DeleteValue(const std::string &path, const std::string &name) {
  if (Key *key = Lookup(path)) {
    key->values.erase(name);
    key->written = ++registry.clock;
  }
}

void CreateLink(const std::string &path, const std::string &target) {
  Key *key = Create(path);
  registry.links += key->link ? 0 : 1;
  key->link = true;
  key->values[LinkValueName] = Value{REG_LINK, Utf16(target)};
}

bool IsLink(const std::string &path) {
  Key *key = Lookup(path);
  return key && key->link;
}

bool KeyExists(const std::string &path) { return Lookup(path) != nullptr; }

std::vector<std::string> Subkeys(const std::string &path) {
  std::vector<std::string> names;
  if (Key *key = Lookup(path)) {
    for (const auto &entry : key->subkeys) {
      names.push_back(entry.first);
    }
  }
  return names;
}

std::vector<std::string> Values(const std::string &path) {
  std::vector<std::string> names;
  if (Key *key = Lookup(path)) {
    for (const auto &entry : key->values) {
      names.push_back(entry.first);
    }
  }
  return names;
}

namespace {

std::size_t CountBelow(const Key &key) {
  std::size_t count = 0;
  for (const auto &entry : key.subkeys) {
    count += 1 + CountBelow(*entry.second);
  }
  return count;
}

void Describe(const Key &key, const std::vector<const Key *> &except,
              std::vector<std::string> &lines) {
  if (std::find(except.begin(), except.end(), &key) != except.end()) {
    return;
  }
  lines.push_back(Shown(&key) + (key.link ? " (link) " : " ") + model::Describe(*key.security));
  for (const auto &value : key.values) {
    lines.push_back(Shown(&key) + ": " + value.first + " = " + std::to_string(value.second.type) +
                    ":" + value.second.data);
  }
  for (const auto &entry : key.subkeys) {
    Describe(*entry.second, except, lines);
  }
}

} // namespace

std::size_t KeyCount() { return CountBelow(*registry.root); }

std::vector<std::string> Outside(const std::vector<std::string> &except) {
  std::vector<const Key *> skipped;
  skipped.reserve(except.size());
  for (const auto &path : except) {
    skipped.push_back(Lookup(path));
  }
  std::vector<std::string> lines;
  Describe(*registry.root, skipped, lines);
  return lines;
}

unsigned OpenHandles() {
  return static_cast<unsigned>(registry.handles.size()) + model::OpenTokens();
}

void SetKeySecurity(const std::string &path, const std::string &sddl) {
  Create(path)->security = std::make_shared<const model::Security>(model::ParseSddl(sddl));
}

std::string KeySecurity(const std::string &path) {
  Key *key = Lookup(path);
  return key ? model::Describe(*key->security) : "";
}

const std::vector<std::string> &DeletedWhileOpen() { return registry.deletedWhileOpen; }

std::vector<DeletedKey> DeletedKeys() {
  std::vector<DeletedKey> keys;
  for (const auto &key : registry.deleted) {
    keys.push_back(DeletedKey{key->path, {}});
    for (const auto &value : key->values) {
      keys.back().values.push_back(value.first + "=" + std::to_string(value.second.type) + ":" +
                                   value.second.data);
    }
  }
  return keys;
}

void model::ResetRegistry() {
  registry = Registry{};
  registry.index[""] = registry.root.get();
  Create("Software");
}

} // namespace emulated
