// HKEY_LOCAL_MACHINE as Windows NT 5.x keeps it: names compared without
// regard to case but stored as created, subkeys enumerated in that
// case-insensitive order, no deletion of a key that still has subkeys, and
// handles that outlive the deletion of their key.
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

std::string Folded(const std::string &path) {
  std::string folded = path;
  std::transform(folded.begin(), folded.end(), folded.begin(), Upper);
  return folded;
}

struct NameLess {
  bool operator()(const std::string &a, const std::string &b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Upper(x) < Upper(y); });
  }
};

struct Key {
  std::string name;
  std::string path; // below HKEY_LOCAL_MACHINE; "" for the root
  Key *parent = nullptr;
  bool deleted = false;
  unsigned handles = 0;
  std::map<std::string, std::shared_ptr<Key>, NameLess> subkeys;
  std::map<std::string, std::string, NameLess> values;
};

struct Registry {
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::unordered_map<std::string, Key *> index; // every live key by its folded path
  std::unordered_map<ULONG_PTR, std::shared_ptr<Key>> handles;
  ULONG_PTR nextHandle = 0x100;
  std::vector<std::string> deletedWhileOpen;
};

Registry registry;

std::string Shown(const Key *key) { return key->path.empty() ? "HKLM" : key->path; }

// The key that a handle names, or null for a handle that is not open.
Key *Resolve(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) {
    return registry.root.get();
  }
  auto found = registry.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return found == registry.handles.end() ? nullptr : found->second.get();
}

std::string Described(HKEY handle) {
  return handle == HKEY_LOCAL_MACHINE ? "HKLM" : Hex(reinterpret_cast<ULONG_PTR>(handle));
}

// The full path that `subKey` names below `base`, whether or not the key
// exists. A trailing backslash is accepted, as Windows does; a leading one
// or an empty name inside is a bad path.
bool Target(const Key *base, const char *subKey, std::string &path) {
  path = base->path;
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
  if (!path.empty()) {
    path += '\\';
  }
  path.append(subKey, length);
  return true;
}

Key *Lookup(const std::string &path) {
  auto found = registry.index.find(Folded(path));
  return found == registry.index.end() ? nullptr : found->second;
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
      registry.index[Folded(slot->path)] = slot.get();
    }
    key = slot.get();
    start = end + 1;
  }
  return key;
}

} // namespace
} // namespace emulated

using namespace emulated;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  std::string args = Described(hKey) + ", " + Quote(lpSubKey) + ", " + std::to_string(ulOptions) +
                     ", " + Hex(samDesired);
  Key *base = Resolve(hKey);
  std::string target;
  bool valid = base && Target(base, lpSubKey, target);
  if (LONG error = Fault(Op::RegOpenKeyExA, target)) {
    return Record(Op::RegOpenKeyExA, target, args, error);
  }
  if (!base) {
    return Record(Op::RegOpenKeyExA, target, args, ERROR_INVALID_HANDLE);
  }
  if (!phkResult) {
    return Record(Op::RegOpenKeyExA, target, args, ERROR_INVALID_PARAMETER);
  }
  if (!valid) {
    return Record(Op::RegOpenKeyExA, target, args, ERROR_BAD_PATHNAME);
  }
  if (base->deleted) {
    return Record(Op::RegOpenKeyExA, target, args, ERROR_KEY_DELETED);
  }
  Key *key = Lookup(target);
  if (!key) {
    return Record(Op::RegOpenKeyExA, target, args, ERROR_FILE_NOT_FOUND);
  }
  ULONG_PTR handle = registry.nextHandle;
  registry.nextHandle += 4;
  std::shared_ptr<Key> owner = key->parent ? key->parent->subkeys.at(key->name) : registry.root;
  registry.handles[handle] = owner;
  ++key->handles;
  *phkResult = reinterpret_cast<HKEY>(handle);
  return Record(Op::RegOpenKeyExA, target, args + " -> " + Hex(handle), ERROR_SUCCESS);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
  std::string args = Described(hKey) + ", " + std::to_string(dwIndex) + ", " +
                     (lpcchName ? std::to_string(*lpcchName) : "NULL");
  Key *key = Resolve(hKey);
  std::string path = key ? Shown(key) : "";
  if (LONG error = Fault(Op::RegEnumKeyExA, path)) {
    return Record(Op::RegEnumKeyExA, path, args, error);
  }
  if (!key) {
    return Record(Op::RegEnumKeyExA, path, args, ERROR_INVALID_HANDLE);
  }
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) {
    return Record(Op::RegEnumKeyExA, path, args, ERROR_INVALID_PARAMETER);
  }
  if (key->deleted) {
    return Record(Op::RegEnumKeyExA, path, args, ERROR_KEY_DELETED);
  }
  if (dwIndex >= key->subkeys.size()) {
    return Record(Op::RegEnumKeyExA, path, args, ERROR_NO_MORE_ITEMS);
  }
  const std::string &name = std::next(key->subkeys.begin(), dwIndex)->first;
  if (*lpcchName <= name.size()) {
    return Record(Op::RegEnumKeyExA, path, args, ERROR_MORE_DATA);
  }
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass) {
    if (*lpcchClass < 1) {
      return Record(Op::RegEnumKeyExA, path, args, ERROR_MORE_DATA);
    }
    lpClass[0] = '\0';
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) {
    *lpftLastWriteTime = FILETIME{0, 0};
  }
  return Record(Op::RegEnumKeyExA, path, args + " -> " + Quote(lpName), ERROR_SUCCESS);
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  std::string args = Described(hKey) + ", " + Quote(lpSubKey);
  Key *base = Resolve(hKey);
  std::string target;
  bool valid = base && lpSubKey && Target(base, lpSubKey, target);
  if (LONG error = Fault(Op::RegDeleteKeyA, target)) {
    return Record(Op::RegDeleteKeyA, target, args, error);
  }
  if (!base) {
    return Record(Op::RegDeleteKeyA, target, args, ERROR_INVALID_HANDLE);
  }
  if (!lpSubKey) {
    return Record(Op::RegDeleteKeyA, target, args, ERROR_INVALID_PARAMETER);
  }
  if (!valid) {
    return Record(Op::RegDeleteKeyA, target, args, ERROR_BAD_PATHNAME);
  }
  Key *key = base->deleted ? nullptr : Lookup(target);
  if (!key) {
    return Record(Op::RegDeleteKeyA, target, args, ERROR_FILE_NOT_FOUND);
  }
  if (!key->parent || !key->subkeys.empty()) {
    return Record(Op::RegDeleteKeyA, target, args, ERROR_ACCESS_DENIED);
  }
  if (key->handles > 0) {
    registry.deletedWhileOpen.push_back(key->path);
  }
  Key *parent = key->parent;
  std::string name = key->name; // the erase below may free the key
  registry.index.erase(Folded(key->path));
  key->deleted = true;
  key->parent = nullptr;
  parent->subkeys.erase(name); // an open handle still holds the key
  return Record(Op::RegDeleteKeyA, target, args, ERROR_SUCCESS);
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

void CreateKey(const std::string &path) { Create(path); }

void SetValue(const std::string &path, const std::string &name, const std::string &data) {
  Create(path)->values[name] = data;
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
} // namespace

std::size_t KeyCount() { return CountBelow(*registry.root); }

unsigned OpenHandles() { return static_cast<unsigned>(registry.handles.size()); }

const std::vector<std::string> &DeletedWhileOpen() { return registry.deletedWhileOpen; }

void model::ResetRegistry() {
  registry = Registry{};
  registry.index[""] = registry.root.get();
  Create("Software");
}

} // namespace emulated
