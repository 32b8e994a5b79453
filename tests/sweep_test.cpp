// Every platform call of a run made to fail, one at a time, with each error
// Windows could plausibly return for it, and another process racing the run
// at every call, over many subtree shapes; after every run the properties
// that must hold whatever failed or changed are checked.
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

namespace {

struct Shape {
  std::string name;
  std::vector<std::string> keys; // below the patch key, parents first
  bool exists;
  DWORD major, minor;
  bool administrator;
  bool quiet;          // run with /quiet: no box, and each outcome's exit code
  bool log;            // run with /log:patch.log
  bool backup = false; // run with /backup:backup.reg
  // Registry links by their path below the patch key ("" for the key
  // itself), each a leaf, with the NT path they point at.
  std::map<std::string, std::string> links;
  // On 64-bit Windows, the views that hold the key, its subtree and links;
  // 0 stands for the one view of 32-bit Windows.
  std::vector<unsigned> views;
  // Owners and DACLs (SDDL) set by an installer, by path below the patch
  // key ("" for the key itself) or, from "Software\", outside it.
  std::map<std::string, std::string> locks = {};
  // The DLL search's calls fare alike whatever the tree: the fixed shapes
  // alone make them fail.
  bool dllSearchFails = true;
};

Shape Make(const std::string &name, std::vector<std::string> keys, bool exists = true,
           DWORD major = 5, DWORD minor = 1, bool administrator = true) {
  return Shape{name,  std::move(keys), exists, major, minor, administrator,
               false, false,           false,  {},    {0}};
}

// How installers lock keys: "read-only" for Administrators (Read and Delete,
// no write); shut out of it (only SYSTEM allowed), owned by Administrators
// or by SYSTEM; and denied it, however another entry allows it.
constexpr char ReadAndDelete[] = "O:BAD:P(A;;KR;;;WD)(A;;SD;;;BA)";
constexpr char ShutOut[] = "O:BAD:P(A;;KA;;;SY)";
constexpr char ShutOutBySystem[] = "O:SYD:P(A;;KA;;;SY)";
constexpr char Denied[] = "O:SYD:P(D;;KA;;;BA)(A;;KA;;;WD)";

// The same shape with `locks`.
Shape Locked(Shape shape, const std::string &name, std::map<std::string, std::string> locks) {
  shape.name = name;
  shape.locks = std::move(locks);
  return shape;
}

// The same shape on XP x64 (5.2), with the key in `views`.
Shape On64(Shape shape, std::vector<unsigned> views) {
  shape.name += " on XP x64, view";
  for (unsigned view : views) {
    shape.name += " " + std::to_string(view);
  }
  shape.major = 5;
  shape.minor = 2;
  shape.views = std::move(views);
  return shape;
}

// The same shape, run with /quiet.
Shape Quiet(Shape shape) {
  shape.name += ", quiet";
  shape.quiet = true;
  return shape;
}

// The same shape, run with a log.
Shape Logged(Shape shape) {
  shape.name += ", logged";
  shape.log = true;
  return shape;
}

// The same shape, run with a backup.
Shape BackedUp(Shape shape) {
  shape.name += ", backed up";
  shape.backup = true;
  return shape;
}

bool Windows64(const Shape &shape) { return shape.views.front() != 0; }

// Keys beside the patch key, and a victim subtree that links point into:
// a run must leave all of them exactly as they were.
const std::vector<std::string> Neighbours = {"Software\\Crystal",
                                             "Software\\Crystal Semiconductor2\\Keep"};
const std::vector<std::string> VictimKeys = {"Software\\Victim\\Inner\\Leaf",
                                             "Software\\Victim\\Empty"};
const std::vector<std::string> LinkTargets = {
    "\\Registry\\Machine\\Software\\Victim",
    "\\Registry\\Machine\\Software\\Victim\\Inner",
    "\\Registry\\Machine\\Software\\Victim\\Empty", // empty, so deletable by path
    "\\Registry\\Machine\\Software\\Victim\\Inner\\Leaf",
    "\\Registry\\Machine\\Software\\Gone", // dangling
    "\\Registry\\User\\S-1-5-18",          // outside HKEY_LOCAL_MACHINE
    "\\Registry\\Machine\\Software\\Crystal Semiconductor",
};

// Where a path below HKLM\Software is kept in `view`: 64-bit Windows keeps
// the 32-bit view under Software\Wow6432Node.
std::string InView(const std::string &path, unsigned view) {
  return view == 32 ? "Software\\Wow6432Node" + path.substr(std::strlen("Software")) : path;
}

std::string Below(const std::string &path, unsigned view = 0) {
  return InView(path.empty() ? PatchKeyPath : std::string(PatchKeyPath) + "\\" + path, view);
}

// Every copy of the patch key that the machine can hold.
std::vector<std::string> Copies(const Shape &shape) {
  return Windows64(shape) ? std::vector<std::string>{Below("", 64), Below("", 32)}
                          : std::vector<std::string>{PatchKeyPath};
}

// "Not found" (or "deleted") is left out of what an open may fail with:
// Windows says it only of a key that is not there, which the patch rightly
// takes as gone, and the races below make keys go for real. For the same
// reason an opening is made to fail only where it would have succeeded.
std::vector<LONG> PlausibleErrors(Op op) {
  switch (op) {
  case Op::RegOpenKeyExW:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
  case Op::RegEnumKeyExW:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS};
  case Op::IsWow64Process:
    return {ERROR_INVALID_HANDLE};
  case Op::NtDeleteKey:
    return {emulated::StatusAccessDenied, emulated::StatusCannotDelete,
            emulated::StatusInvalidHandle};
  case Op::RegCloseKey:
    return {ERROR_INVALID_HANDLE};
  case Op::AllocateAndInitializeSid:
    return {ERROR_NOT_ENOUGH_MEMORY};
  case Op::CheckTokenMembership:
    return {ERROR_NO_TOKEN};
  case Op::GetModuleHandleA:
    return {ERROR_MOD_NOT_FOUND};
  case Op::GetProcAddress:
    return {ERROR_PROC_NOT_FOUND};
  case Op::RtlGetVersion:
    return {emulated::StatusInvalidParameter};
  case Op::CreateFileA:
  case Op::CreateFileW:
    return {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND};
  case Op::WriteFile:
  case Op::FlushFileBuffers:
    return {ERROR_DISK_FULL, ERROR_NETNAME_DELETED};
  case Op::ReadFile:
  case Op::RegQueryInfoKeyW:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
  case Op::RegEnumValueW: // a value that grew past the room; one that goes is a race's
    return {ERROR_ACCESS_DENIED, ERROR_MORE_DATA};
  case Op::MultiByteToWideChar:
    return {ERROR_INSUFFICIENT_BUFFER};
  case Op::FormatMessageA:
    return {ERROR_MR_MID_NOT_FOUND};
  case Op::CloseHandle:
    return {ERROR_INVALID_HANDLE};
  case Op::RegGetKeySecurity: // a DACL too large for the walk's room, too
    return {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER};
  case Op::RegSetKeySecurity:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_OWNER};
  case Op::OpenProcessToken:
    return {ERROR_ACCESS_DENIED};
  case Op::LookupPrivilegeValueA:
    return {ERROR_NO_SUCH_PRIVILEGE};
  case Op::AdjustTokenPrivileges: // a token without the privilege, too
    return {ERROR_NOT_ALL_ASSIGNED, ERROR_ACCESS_DENIED};
  default: // the version query, FreeSid and MessageBoxA only fail or not
    return {ERROR_INVALID_PARAMETER};
  }
}

// What cannot fail.
const std::set<Op> Infallible = {Op::GetCommandLineA,   Op::GetCommandLineW, Op::SetErrorMode,
                                 Op::GetCurrentProcess, Op::GetLastError,    Op::GetLocalTime};
// What a run that the gates refuse may not call, besides the registry.
const std::set<Op> WalkOps = {Op::IsWow64Process,        Op::GetCurrentProcess,
                              Op::NtDeleteKey,           Op::OpenProcessToken,
                              Op::LookupPrivilegeValueA, Op::AdjustTokenPrivileges};
// What only the log calls: a failure of one changes nothing else.
const std::set<Op> LogOps = {Op::WriteFile,          Op::CloseHandle,  Op::FormatMessageA,
                             Op::GetComputerNameW,   Op::GetUserNameW, Op::GetVersionExA,
                             Op::WideCharToMultiByte};
// What may fail on the backup file, and end the run with its own code.
const std::set<Op> BackupOps = {Op::CreateFileW, Op::GetFileInformationByHandle,
                                Op::ReadFile,    Op::SetFilePointer,
                                Op::WriteFile,   Op::FlushFileBuffers};
constexpr char LogFile[] = "patch.log";
constexpr char BackupFile[] = "backup.reg";
const std::string BackupPath = "C:\\WORK\\BACKUP.REG"; // as the model names the file
const char *const SidFunctions[] = {"AllocateAndInitializeSid", "CheckTokenMembership", "FreeSid"};

// What another process does to the subtree at one moment of the run.
enum class Race {
  None,
  Swap,   // a key becomes a link to a key outside
  Remove, // a key goes, with its subtree
  Add,    // a key appears below a key
  Relock, // a key's owner and DACL change to shut administrators out
  Change, // the value about to be read changes
  Unset,  // the first value goes
};
const char *const RaceNames[] = {"",       "swap for a link", "remove",       "add",
                                 "relock", "change a value",  "unset a value"};

// One faulted or raced run: call n of `op` fails with `error`, or `race`
// happens before call `at` (counted from 1 over every call).
struct Event {
  Op op;
  unsigned n; // for a race on a value, its index
  LONG error;
  bool refusesAdministrator; // the fault is a failed look-up of a SID function
  bool changesNothing;       // a call of the log's or of the DLL search's fails
  bool backupFails;          // a call on the backup file fails
  Race race;
  std::size_t at;
  std::string next; // the key the race acts on, as kept, or the function looked up
};

std::string Folded(std::string path) {
  for (char &c : path) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return path;
}

enum class Place { Outside, Copy, Below };

// Where a call's key, as named or as kept in its view, lies against `roots`:
// the patch key as named, and every copy of it the machine can hold.
Place Where(const std::string &key, const std::vector<std::string> &roots) {
  for (const auto &root : roots) {
    if (key.size() >= root.size() && emulated::SameName(key.substr(0, root.size()), root)) {
      if (key.size() == root.size()) {
        return Place::Copy;
      }
      if (key[root.size()] == '\\') {
        return Place::Below;
      }
    }
  }
  return Place::Outside;
}

void Build(const Shape &shape) {
  emulated::Reset();
  emulated::SetVersion(shape.major, shape.minor);
  emulated::SetAdministrator(shape.administrator);
  emulated::SetCommandLine(std::string("quenlor-patch.exe") + (shape.quiet ? " /quiet" : "") +
                           (shape.log ? " /log:" + std::string(LogFile) : "") +
                           (shape.backup ? " /backup:" + std::string(BackupFile) : ""));
  emulated::SetWindowsBits(Windows64(shape) ? 64 : 32);
  for (unsigned view : Windows64(shape) ? std::vector<unsigned>{64, 32} : shape.views) {
    for (const auto &key : Neighbours) {
      emulated::CreateKey(InView(key, view));
    }
    for (const auto &key : VictimKeys) {
      emulated::CreateKey(InView(key, view));
    }
    emulated::SetValue(InView("Software\\Victim", view), "Config", "keep");
    emulated::SetValue(InView("Software\\Victim\\Inner", view), "Start", "2");
    emulated::SetValue(InView("Software\\Victim\\Inner\\Leaf", view), "Keep", "1");
  }
  for (unsigned view : shape.views) {
    if (shape.exists) {
      emulated::SetValue(Below("", view), "InstallDir", "C:\\");
    }
    if (shape.exists && shape.backup) { // values that another process can move
      emulated::SetValue(Below("", view), "Version", REG_DWORD, std::string("\1\0\0\0", 4));
    }
    for (std::size_t i = 0; i < shape.keys.size(); ++i) {
      std::string path = Below(shape.keys[i], view);
      i % 4 ? emulated::CreateKey(path) : emulated::SetValue(path, "Setting", "1");
    }
    for (const auto &link : shape.links) {
      emulated::CreateLink(Below(link.first, view), link.second);
    }
    for (const auto &lock : shape.locks) {
      bool outside = lock.first.rfind("Software\\", 0) == 0;
      emulated::SetKeySecurity(outside ? InView(lock.first, view) : Below(lock.first, view),
                               lock.second);
    }
  }
}

// Every copy of the patch key that is left, and every key below one.
std::vector<std::string> KeysLeft(const Shape &shape) {
  std::vector<std::string> left;
  for (const auto &copy : Copies(shape)) {
    std::vector<std::string> level = {copy};
    while (!level.empty() && emulated::KeyExists(copy)) {
      left.push_back(level.back());
      level.pop_back();
      for (const auto &name : emulated::Subkeys(left.back())) {
        level.push_back(left.back() + "\\" + name);
      }
    }
  }
  return left;
}

// A path as the log spells it: from HKEY_LOCAL_MACHINE, in the ANSI code
// page without best fit; the sweep's names hold no control character.
std::string Logged(const std::string &path) {
  return "HKEY_LOCAL_MACHINE\\" + emulated::Narrow(path, false);
}

// Whether the log's `named` (whole, or its last levels after "...") is
// `path`.
bool Names(const std::string &named, const std::string &path) {
  if (named.rfind("...", 0) != 0) {
    return emulated::SameName(named, path);
  }
  std::size_t tail = named.size() - 3;
  return path.size() >= tail &&
         emulated::SameName(path.substr(path.size() - tail), named.substr(3));
}

// Whether `named` is `path` or a key above it.
bool Covers(const std::string &named, const std::string &path) {
  for (std::size_t cut = path.find('\\'); cut != std::string::npos;
       cut = path.find('\\', cut + 1)) {
    if (Names(named, path.substr(0, cut))) {
      return true;
    }
  }
  return Names(named, path);
}

constexpr char Stamp[] = "2026-12-08 09:05:07 ";

// The log of a finished run: whole dated lines; unless a write failed, the
// outcome and its exit code at the end; every key left named as stayed;
// and, unless another process was at work, only keys left named.
void CheckLog(const std::vector<std::string> &keysLeft, const Event *event, bool walked,
              const std::string &outcome, int code, std::vector<std::string> &wrong) {
  std::string text = emulated::FileText(LogFile);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    if (end == std::string::npos) {
      wrong.push_back("a log line without its end: " + text.substr(at));
      return;
    }
    lines.push_back(text.substr(at, end - at));
  }
  std::vector<std::string> named;
  std::vector<std::string> unopened; // named without an NTSTATUS: never opened
  for (const auto &line : lines) {
    if (line.rfind(Stamp, 0) != 0) {
      wrong.push_back("an undated log line: " + line);
    } else if (line.compare(std::strlen(Stamp), 8, "Stayed: ") == 0) {
      std::size_t from = std::strlen(Stamp) + 8;
      // The path ends where its reason begins: an error, or a subkey.
      std::size_t why =
          std::min(line.rfind(": error "), line.rfind(": " + std::string(SubkeyStayedText)));
      named.push_back(line.substr(from, why - from));
      if (line.find("NTSTATUS") == std::string::npos) {
        unopened.push_back(named.back());
      }
    }
  }
  bool plain = !event || event->race == Race::None;
  bool written = !(plain && event && event->op == Op::WriteFile && !event->backupFails);
  // A failed backup's end names the file and its error after the outcome.
  bool fileNamed = event && event->backupFails;
  std::string end = std::string(Stamp) + "End: " + outcome;
  std::string tail = " (exit code " + std::to_string(code) + ")";
  const std::string &last = lines.empty() ? text : lines.back();
  if (written && (last.rfind(end, 0) != 0 || last.size() < end.size() + tail.size() ||
                  last.compare(last.size() - tail.size(), tail.size(), tail) != 0 ||
                  (!fileNamed && last.size() != end.size() + tail.size()))) {
    wrong.push_back("the log does not end with " + end);
  }
  std::vector<std::string> left;
  left.reserve(keysLeft.size());
  for (const auto &path : keysLeft) {
    left.push_back(Logged(path));
  }
  // A key is named itself, unless it lies below one that could not be
  // opened (and is named so), or one whose listing failed, or another
  // process added it after its parent was listed.
  bool seen = plain && !(event && event->op == Op::RegEnumKeyExW);
  auto covered = [](const std::vector<std::string> &names, const std::string &path) {
    return std::any_of(names.begin(), names.end(),
                       [&path](const std::string &n) { return Covers(n, path); });
  };
  // A failed backup stops the run: a view not walked is not named.
  for (const auto &path : written &&walked && !fileNamed ? left : std::vector<std::string>{}) {
    if (std::none_of(named.begin(), named.end(),
                     [&path](const std::string &n) { return Names(n, path); }) &&
        !covered(seen ? unopened : named, path)) {
      wrong.push_back("the log does not name " + path + ", which stayed");
    }
  }
  // 32-bit Windows that could not tell that it is is walked in both views,
  // and the second walk's keys are named as the 32-bit view would keep them.
  bool exact = plain && !(event && event->op == Op::IsWow64Process);
  for (const auto &n : exact ? named : std::vector<std::string>{}) {
    if (std::none_of(left.begin(), left.end(),
                     [&n](const std::string &path) { return Names(n, path); })) {
      wrong.push_back("the log names " + n + " as stayed, which went");
    }
  }
}

// A key's DACL, as the model reads it back.
std::string Dacl(const std::string &path) {
  std::string security = emulated::KeySecurity(path);
  return security.substr(security.find("D:"));
}

// Whether a key of the run may refuse the walk's open, so that the walk
// may take it over: a locked one, or one whose open is made to fail.
bool MayTakeOver(const Shape &shape, const Event *event) {
  return !shape.locks.empty() || (event && event->op == Op::RegOpenKeyExW);
}

// The DACL of every key of the subtree, by folded path, where the run may
// change one.
std::map<std::string, std::string> Dacls(const Shape &shape, const Event *event) {
  std::map<std::string, std::string> dacls;
  for (const auto &path :
       MayTakeOver(shape, event) ? KeysLeft(shape) : std::vector<std::string>{}) {
    dacls[Folded(path)] = Dacl(path);
  }
  return dacls;
}

// A .reg file's records: each key's values, by its folded path, as import
// leaves them (a name given twice, its last); and each link it names.
using Values = std::map<std::string, std::string>; // name: "type:bytes"
struct Saved {
  std::multimap<std::string, Values> keys;
  std::set<std::string> links;
};

// The quoted text at `at`, without its escapes; `at` is left past it.
std::string Unquoted(const std::string &line, std::size_t &at) {
  std::string text;
  for (++at; at < line.size() && line[at] != '"'; ++at) {
    at += line[at] == '\\' ? 1 : 0;
    text += line[at];
  }
  ++at;
  return text;
}

Saved ReadBackup(const std::string &utf16) {
  Saved saved;
  Values *values = nullptr;
  const std::string machine = "HKEY_LOCAL_MACHINE\\", link = " was a registry link to ";
  std::string text = emulated::Utf8(utf16), line;
  for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    line += text.substr(at, end - at);
    if (!line.empty() && line.back() == '\\') { // continued, after two spaces
      line.pop_back();
      end += 2;
      continue;
    }
    std::size_t past = line.rfind('@', 0) == 0 ? 1 : 0;
    if (line.rfind("[" + machine, 0) == 0) {
      std::string path = line.substr(machine.size() + 1, line.size() - machine.size() - 2);
      values = &saved.keys.emplace(Folded(path), Values{})->second;
    } else if (line.rfind("; " + machine, 0) == 0 && line.find(link) != std::string::npos) {
      saved.links.insert(
          Folded(line.substr(2 + machine.size(), line.find(link) - 2 - machine.size())));
    } else if (values && (past || line.rfind('"', 0) == 0)) {
      std::string name = past ? "" : Unquoted(line, past);
      std::string data = line.substr(past + 1);
      std::string bytes;
      DWORD type = data[0] == '"' ? REG_SZ : data[0] == 'd' ? REG_DWORD : REG_BINARY;
      if (type == REG_SZ) {
        std::size_t from = 0;
        bytes = emulated::Utf16(Unquoted(data, from)) + std::string(2, '\0');
      } else if (type == REG_DWORD) {
        auto number = static_cast<DWORD>(std::stoul(data.substr(6), nullptr, 16));
        bytes = std::string(reinterpret_cast<const char *>(&number), 4);
      } else {
        type = data[3] == '(' ? static_cast<DWORD>(std::stoul(data.substr(4), nullptr, 16)) : type;
        for (std::size_t hex = data.find(':') + 1; hex + 1 < data.size(); hex += 3) {
          hex += data[hex] == ' ' ? 2 : 0;
          bytes += static_cast<char>(std::stoul(data.substr(hex, 2), nullptr, 16));
        }
      }
      (*values)[name] = std::to_string(type) + ":" + bytes;
    }
    line.clear();
  }
  return saved;
}

// Every key that went is in the backup on disk as it went, a link named as
// one; each went only once the file on disk held it, and none after the
// file failed. A run that the gates refuse, or that finds nothing, leaves
// no file.
void CheckBackup(const Shape &shape, bool raced, std::vector<std::string> &wrong) {
  Saved saved = ReadBackup(emulated::FlushedText(BackupFile));
  for (const auto &key : emulated::DeletedKeys()) {
    Values values;
    for (const auto &value : key.values) {
      values[value.substr(0, value.find('='))] = value.substr(value.find('=') + 1);
    }
    // A link is named; what else it holds, as any key's values.
    auto target = values.find("SymbolicLinkValue");
    bool link = target != values.end() && target->second.rfind("6:", 0) == 0;
    if (link) {
      values.erase(target);
    }
    auto records = saved.keys.equal_range(Folded(key.path));
    if ((link && !saved.links.count(Folded(key.path))) ||
        ((!link || !values.empty()) &&
         std::none_of(records.first, records.second,
                      [&values](const auto &record) { return record.second == values; }))) {
      wrong.push_back(key.path + " went, and the backup on disk does not hold it as it was");
    }
  }
  bool unflushed = false;
  bool failed = false;
  for (const auto &call : emulated::Calls()) {
    if (call.key == BackupPath) {
      unflushed = call.op == Op::WriteFile ||
                  (unflushed && !(call.op == Op::FlushFileBuffers && call.result));
      long long failure = call.op == Op::SetFilePointer ? INVALID_SET_FILE_POINTER : 0;
      failed =
          failed || (BackupOps.count(call.op) && (call.result == failure || call.result == -1));
    }
    if (call.op == Op::NtDeleteKey && call.result == emulated::StatusSuccess &&
        (unflushed || failed)) {
      wrong.push_back(call.key + " went while the backup on disk lacked it, or had failed");
    }
  }
  if ((shape.major != 5 || shape.minor < 1 || !shape.administrator ||
       (!shape.exists && shape.links.empty() && !raced)) &&
      emulated::FileExists(BackupFile)) {
    wrong.emplace_back("a run that removed nothing made the backup file");
  }
}

// The properties of one finished run, given the registry outside the patch
// key and the subtree's DACLs as they were before; returns what was
// violated.
std::vector<std::string> Check(const Shape &shape, const Event *event, int exitCode,
                               const std::vector<std::string> &outside,
                               const std::map<std::string, std::string> &dacls) {
  std::vector<std::string> wrong;
  auto failed = [&](Op op) { return event && event->race == Race::None && event->op == op; };
  const std::vector<std::string> keysLeft = KeysLeft(shape);
  // A key that stays keeps its DACL, a key taken over getting it back,
  // unless another process was at work or putting it back was what failed
  // (which the log says).
  bool plain = !event || event->race == Race::None;
  for (const auto &path :
       plain && !failed(Op::RegSetKeySecurity) ? keysLeft : std::vector<std::string>{}) {
    auto before = dacls.find(Folded(path));
    if (before != dacls.end() && before->second != Dacl(path)) {
      wrong.push_back("the DACL of " + path + ", which stays, went from " + before->second +
                      " to " + Dacl(path));
    }
  }
  if (emulated::CallLimitReached()) {
    wrong.push_back("the run did not end within its call limit");
  }
  if (emulated::OpenHandles() || emulated::LiveSids()) {
    wrong.push_back("left open: " + std::to_string(emulated::OpenHandles()) + " handles, " +
                    std::to_string(emulated::LiveSids()) + " SIDs");
  }
  if (!emulated::DeletedWhileOpen().empty()) {
    wrong.push_back("deleted while open: " + emulated::DeletedWhileOpen().front());
  }
  if (emulated::Outside(Copies(shape)) != outside) {
    wrong.push_back("the registry outside the key changed");
  }
  std::size_t registryCalls = 0, otherCalls = 0, warnings = 0, passes = 0;
  std::vector<const emulated::Call *> boxes;
  std::vector<std::string> roots = Copies(shape);
  roots.emplace_back(PatchKeyPath);
  for (const auto &call : emulated::Calls()) {
    if (emulated::IsRegistry(call.op)) {
      ++registryCalls;
      if (Where(call.key, roots) == Place::Outside) {
        wrong.push_back("touched " + call.key);
      }
    } else if (WalkOps.count(call.op)) {
      ++otherCalls;
    }
    if (call.op == Op::RegOpenKeyExW && call.args.rfind("HKLM,", 0) == 0) {
      ++passes; // 32-bit Windows that could not tell it is not 64-bit is walked twice
    }
    if (plain && !MayTakeOver(shape, event) && call.op == Op::RegSetKeySecurity) {
      wrong.push_back("a key that did not refuse the walk was taken over: " + call.key);
    }
    if (call.op == Op::MessageBoxA) {
      boxes.push_back(&call);
      warnings += call.args == "0x0, \"" + std::string(ChildNotDeletedText) + "\", \"Debug\", 0x30";
    }
  }
  bool backupFailed = event && event->race == Race::None && event->backupFails;
  // Without user32, or its MessageBoxA, the run tells its outcome as a
  // quiet run does.
  bool quiet = shape.quiet || (event && event->race == Race::None &&
                               (event->next == "user32.dll" || event->next == "MessageBoxA"));
  if (shape.backup) {
    CheckBackup(shape, event && event->race != Race::None, wrong);
  }
  // A log whose open, or the check of what it opened, fails.
  if ((failed(Op::CreateFileW) || failed(Op::GetFileInformationByHandle)) && !backupFailed) {
    // A run that cannot be recorded changes nothing, and says so.
    if (exitCode != ExitLogFailed) {
      wrong.push_back("exit code " + std::to_string(exitCode) + " for a log that did not open");
    }
    if (registryCalls + otherCalls) {
      wrong.push_back("a run without its log went on");
    }
    if (boxes.size() != (quiet ? 0u : 1u) ||
        (!boxes.empty() && boxes[0]->args.find(LogFailedText) == std::string::npos)) {
      wrong.push_back(std::to_string(boxes.size()) + " boxes for a log that did not open");
    }
    return wrong;
  }
  // Either version query tells the same, so that one failing changes nothing.
  bool versionRefused = shape.major != 5 || shape.minor < 1;
  bool adminRefused = !versionRefused &&
                      (failed(Op::AllocateAndInitializeSid) || failed(Op::CheckTokenMembership) ||
                       (event && event->refusesAdministrator) || !shape.administrator);
  std::string expected;
  int code = 0; // with /quiet
  if (versionRefused) {
    expected = VersionRefusedText;
    code = ExitWrongVersion;
  } else if (adminRefused) {
    expected = NotAdministratorText;
    code = ExitNotAdministrator;
  } else {
    bool left = false;
    for (const auto &copy : Copies(shape)) {
      left = left || emulated::KeyExists(copy);
    }
    expected = left ? FailureText : SuccessText;
    code = left ? ExitKeysLeft : ExitKeyGone;
  }
  if (backupFailed) {
    expected = std::string(BackupFailedText) + BackupFile + ": error ";
    code = ExitBackupFailed;
  }
  if (exitCode != (quiet || backupFailed ? code : 0)) {
    wrong.push_back("exit code " + std::to_string(exitCode) + " for \"" + expected + "\"");
  }
  if ((versionRefused || adminRefused) && registryCalls + otherCalls) {
    wrong.push_back("a refusing gate let " + std::to_string(registryCalls + otherCalls) +
                    " calls by");
  }
  // Each warning is for a key that stays, one each a pass at most; keys may
  // stay unwarned only where a level could not list them (its parent is
  // warned). A key that another process adds in front of one that stays
  // brings that one round again, so a raced run is held only to warning
  // about nothing that went.
  std::size_t left = 0;
  for (const auto &path : versionRefused || adminRefused ? std::vector<std::string>{} : keysLeft) {
    left += Where(path, Copies(shape)) == Place::Below ? 1 : 0;
  }
  // Every key that an administrator may delete goes, whatever its name.
  for (const auto &path :
       versionRefused || adminRefused || event ? std::vector<std::string>{} : keysLeft) {
    wrong.push_back(path + " stayed, which an administrator may delete");
  }
  bool raced = event && event->race != Race::None;
  if (raced ? warnings && !left : warnings > left * std::max<std::size_t>(passes, 1)) {
    wrong.push_back(std::to_string(warnings) + " warnings for " + std::to_string(left) +
                    " keys left");
  }
  if (quiet) {
    if (!boxes.empty()) {
      wrong.push_back(std::to_string(boxes.size()) + " boxes in a quiet run");
    }
  } else if (boxes.size() != warnings + 1) {
    wrong.push_back(std::to_string(boxes.size()) + " boxes for " + std::to_string(warnings) +
                    " warnings and one outcome");
  } else if (boxes.back()->args.find("\"" + expected + (backupFailed ? "" : "\"")) ==
             std::string::npos) {
    wrong.push_back("last box " + boxes.back()->args + ", expected \"" + expected + "\"");
  }
  if (shape.log) {
    CheckLog(keysLeft, event, !versionRefused && !adminRefused, expected, code, wrong);
  }
  return wrong;
}

struct Tally {
  std::size_t runs = 0;
  std::set<std::string> points;
  std::vector<std::string> violations;
};

// The other process's move, made with the set-up calls, as its own
// registry calls would make it.
void Act(const Event &event) {
  const std::string &next = event.next;
  std::size_t cut = next.rfind('\\');
  bool parentThere = cut != std::string::npos && emulated::KeyExists(next.substr(0, cut));
  switch (event.race) {
  case Race::Swap:
    emulated::RemoveTree(next);
    if (parentThere) {
      // To a leaf outside with a value: what a deletion by path would take.
      emulated::CreateLink(next, LinkTargets[3]);
    }
    break;
  case Race::Remove:
    emulated::RemoveTree(next);
    break;
  case Race::Add:
    if (emulated::KeyExists(next)) {
      emulated::CreateKey(next + "\\Added");
    }
    break;
  case Race::Relock:
    if (emulated::KeyExists(next)) {
      emulated::SetKeySecurity(next, ShutOutBySystem);
    }
    break;
  case Race::Change: // the value about to be read
    if (event.n < emulated::Values(next).size()) {
      emulated::SetValue(next, emulated::Values(next)[event.n], "new \"\\ data");
    }
    break;
  case Race::Unset: // the first, which moves every other one up
    if (!emulated::Values(next).empty()) {
      emulated::DeleteValue(next, emulated::Values(next)[0]);
    }
    break;
  case Race::None:
    break;
  }
}

// What a run did to the machine: the whole registry after it, and its
// exit code.
struct Effect {
  std::vector<std::string> registry;
  int exitCode;
  bool operator!=(const Effect &other) const {
    return registry != other.registry || exitCode != other.exitCode;
  }
};

// `reference`, if given, is what the clean run did: a failure of the log
// alone must do the same. `outside` is the registry outside the key as the
// shape is built, alike every time: read on the first run only.
Effect RunOnce(const Shape &shape, const Event *event, std::size_t limit, Tally &tally,
               std::vector<std::string> &outside, const Effect *reference = nullptr) {
  Build(shape);
  if (outside.empty()) {
    outside = emulated::Outside(Copies(shape));
  }
  std::map<std::string, std::string> dacls = Dacls(shape, event);
  emulated::SetCallLimit(limit);
  if (event && event->race == Race::None) {
    emulated::FailAt(event->op, event->n, event->error);
  } else if (event) {
    emulated::AtCall(event->at, [event] { Act(*event); });
  }
  int exitCode = WinMain(nullptr, nullptr, nullptr, 0);
  ++tally.runs;
  // The whole registry, read only where it is compared.
  bool compared = !event || event->changesNothing;
  Effect effect = {compared ? emulated::Outside({}) : std::vector<std::string>{}, exitCode};
  std::vector<std::string> wrong = Check(shape, event, exitCode, outside, dacls);
  if (reference && event && event->changesNothing && effect != *reference) {
    wrong.emplace_back("a failure of the log or the DLL search changed what the run did");
  }
  for (const auto &what : wrong) {
    std::ostringstream line;
    line << shape.name;
    if (event && event->race == Race::None) {
      line << ", " << emulated::Name(event->op) << " #" << event->n << " failing with "
           << event->error;
    } else if (event) {
      line << ", another process's " << RaceNames[static_cast<int>(event->race)] << " of "
           << event->next << " before call " << event->at;
    }
    line << ": " << what;
    tally.violations.push_back(line.str());
  }
  return effect;
}

// A run over the shape once more, on its backup as a run cut short in the
// middle of a write left it (a full disk, a power cut): it must end with
// its own code, delete nothing and leave the file as it was.
void RunOnCut(const Shape &shape, const std::string &cut, std::size_t limit, Tally &tally) {
  Build(shape);
  emulated::AppendToFile(BackupFile, cut);
  emulated::SetCallLimit(limit);
  int exitCode = WinMain(nullptr, nullptr, nullptr, 0);
  ++tally.runs;
  std::string wrong = exitCode != ExitBackupFailed ? "exit code " + std::to_string(exitCode)
                      : !emulated::DeletedKeys().empty()
                          ? "deleted " + emulated::DeletedKeys()[0].path
                      : emulated::FileText(BackupFile) != cut           ? "wrote to the file"
                      : emulated::OpenHandles() + emulated::OpenFiles() ? "left handles open"
                                                                        : "";
  if (!wrong.empty()) {
    tally.violations.push_back(shape.name + ", on a backup cut after " +
                               std::to_string(cut.size()) + " bytes: " + wrong);
  }
}

// The shape beside another process that deletes its keys for the whole run
// (another run, the driver's uninstaller): single keys, deepest first, or
// whole branches. The run is held to what a clean one is: every key that an
// administrator may delete goes, nothing is logged or warned of as stayed
// that went, and the outcome is what the registry holds.
void RunBesideRivals(const Shape &shape, std::size_t bound, Tally &tally,
                     std::vector<std::string> &outside) {
  if (!shape.exists || shape.keys.empty()) {
    return;
  }
  for (bool branches : {false, true}) {
    Build(shape);
    std::vector<std::string> keys;
    for (const auto &copy : Copies(shape)) {
      for (auto key = shape.keys.rbegin(); key != shape.keys.rend(); ++key) {
        if (!branches || key->find('\\') == std::string::npos) {
          keys.push_back(copy + "\\" + *key);
        }
      }
    }
    // Deepest first, so that a single key's step takes a leaf; keys only
    // go, so each step goes on from where the last one found a key.
    auto next = std::make_shared<std::size_t>(0);
    emulated::SetRival(branches ? 9 : 4, [keys, next] {
      while (*next < keys.size() && !emulated::KeyExists(keys[*next])) {
        ++*next;
      }
      if (*next < keys.size()) {
        emulated::RemoveTree(keys[*next]);
      }
    });
    emulated::SetCallLimit(bound);
    int exitCode = WinMain(nullptr, nullptr, nullptr, 0);
    ++tally.runs;
    for (const auto &what : Check(shape, nullptr, exitCode, outside, Dacls(shape, nullptr))) {
      tally.violations.push_back(shape.name + ", beside another process that deletes " +
                                 (branches ? "whole branches" : "single keys") + ": " + what);
    }
  }
}

// Runs the shape unfaulted, then with each call position failing, then with
// another process racing it at each call position; `sample` bounds the
// faulted and the raced runs (0: all of them), which are picked at random,
// or with `everyKind` first one of each kind (a call failing with one
// error, or one kind of race) and then at random.
void Sweep(const Shape &shape, Tally &tally, std::size_t sample = 0, unsigned seed = 0,
           bool everyKind = false) {
  // A clean run makes about five calls a key; twenty a key is a loop.
  std::size_t bound = 20 * (shape.keys.size() + shape.links.size() + 10);
  std::size_t before = tally.violations.size();
  std::vector<std::string> outside;
  Effect reference = RunOnce(shape, nullptr, bound, tally, outside);
  std::vector<emulated::Call> clean = emulated::Calls();
  const std::string backedUp = emulated::FileText(BackupFile);
  if (shape.log) {
    Shape unlogged = shape;
    unlogged.log = false;
    if (RunOnce(unlogged, nullptr, bound, tally, outside) != reference) {
      tally.violations.push_back(shape.name + ": the log changed what the run did");
    }
  }
  if (tally.violations.size() > before) {
    return; // faults on top of a broken run would only repeat it
  }
  RunBesideRivals(shape, bound, tally, outside);
  std::map<Op, unsigned> counts;
  std::set<std::pair<Op, unsigned>> skipped; // calls whose failure is not plausible
  std::vector<std::string> lookups;          // the function each look-up was for
  std::vector<std::size_t> modules;          // each module look-up: the look-up after it
  std::vector<std::string> loads;            // the DLL each load was for
  // What loading user32 takes: the system folder asked for again, with the
  // look-ups of what asks, between the command line and user32's load.
  std::set<std::pair<Op, unsigned>> toUser32;
  bool boxPhase = false;
  std::set<std::pair<Op, unsigned>> onBackup; // calls on the backup file
  std::map<unsigned, std::size_t> cuts;       // each write to it: the file cut in its middle
  std::size_t written = 0;
  for (const auto &call : clean) {
    unsigned n = ++counts[call.op];
    if (call.key == BackupPath && BackupOps.count(call.op)) {
      onBackup.insert({call.op, n});
    }
    if (call.key == BackupPath && call.op == Op::WriteFile) {
      std::size_t size = std::stoul(call.args.substr(call.args.rfind(", ") + 2));
      // Never just after a record, which would leave a whole file.
      std::size_t cut = written + size / 2;
      cuts[n] =
          cut + (cut >= 8 && backedUp.compare(cut - 8, 8, "\r\0\n\0\r\0\n\0", 8) == 0 ? 1 : 0);
      written += size;
    }
    if (call.op == Op::RegOpenKeyExW && call.result != ERROR_SUCCESS) {
      skipped.insert({call.op, n}); // it fails anyway
    }
    boxPhase =
        (boxPhase || (call.op == Op::GetCommandLineW && !shape.quiet)) &&
        !(call.op == Op::LoadLibraryExA && call.args.find("\\user32.dll") != std::string::npos);
    if (boxPhase && (call.op == Op::GetModuleHandleA || call.op == Op::GetProcAddress ||
                     call.op == Op::GetSystemDirectoryA)) {
      toUser32.insert({call.op, n});
    }
    if (call.op == Op::GetModuleHandleA) {
      modules.push_back(lookups.size());
    }
    if (call.op == Op::GetProcAddress) {
      lookups.push_back(call.args.substr(call.args.find('"') + 1));
      lookups.back().pop_back();
    }
    if (call.op == Op::LoadLibraryExA) {
      std::size_t end = call.args.find("\", ");
      loads.push_back(
          call.args.substr(call.args.rfind('\\', end) + 1, end - call.args.rfind('\\', end) - 1));
    }
  }
  std::vector<Event> events;
  for (const auto &[op, count] : counts) {
    for (unsigned n = 1; n <= count && !Infallible.count(op); ++n) {
      // The function a look-up was for (a module's: of the look-up after
      // it), or the DLL a load was for.
      std::size_t index = op == Op::GetModuleHandleA && n <= modules.size() ? modules[n - 1]
                          : op == Op::GetProcAddress                        ? n - 1
                                                                            : lookups.size();
      // Any failure on the way to user32 leaves the run without it.
      const std::string function = toUser32.count({op, n})                         ? "user32.dll"
                                   : index < lookups.size()                        ? lookups[index]
                                   : op == Op::LoadLibraryExA && n <= loads.size() ? loads[n - 1]
                                                                                   : "";
      bool sid = std::find(std::begin(SidFunctions), std::end(SidFunctions), function) !=
                 std::end(SidFunctions);
      // What makes the DLL search safe, and its look-ups: a failure of one
      // changes nothing else, as a failure of the log's does not.
      bool dllSearch = (SearchesDlls(op) && function != "user32.dll") ||
                       std::any_of(std::begin(DllSearchOps), std::end(DllSearchOps),
                                   [&function](Op o) { return function == emulated::Name(o); });
      // Nor does the question whether anyone can see a box: unanswered,
      // the boxes are shown, as ever.
      bool station = op == Op::GetProcessWindowStation || op == Op::GetUserObjectInformationA ||
                     function == "GetProcessWindowStation" ||
                     function == "GetUserObjectInformationA";
      // Every NT has NtDeleteKey and the wide registry functions, and every
      // 64-bit Windows IsWow64Process: a failed look-up of one is a Windows
      // this shape is not.
      if (skipped.count({op, n}) || function == "NtDeleteKey" || function == "RegOpenKeyExW" ||
          function == "RegEnumKeyExW" || (function == "IsWow64Process" && Windows64(shape)) ||
          (dllSearch && !shape.dllSearchFails)) {
        continue;
      }
      // Without the functions that read values wide, nothing can be saved.
      bool backup =
          onBackup.count({op, n}) > 0 ||
          (!onBackup.empty() && (function == "RegQueryInfoKeyW" || function == "RegEnumValueW"));
      for (LONG error : PlausibleErrors(op)) {
        events.push_back(Event{op, n, error, sid,
                               dllSearch || station || (LogOps.count(op) && !backup), backup,
                               Race::None, 0, function});
      }
    }
  }
  // A key is swapped or removed just before the run opens it; one is added
  // below the key of the run's next registry call, which may be a level
  // that has just found itself empty. Just before a call of another kind,
  // none of which reads the registry, a move is the same as just before
  // the next registry call, so it is made there only.
  for (std::size_t at = 1; at <= clean.size(); ++at) {
    if (!emulated::IsRegistry(clean[at - 1].op)) {
      continue;
    }
    std::string opened;
    std::string called;
    for (std::size_t i = at - 1; i < clean.size() && opened.empty(); ++i) {
      opened = clean[i].op == Op::RegOpenKeyExW ? clean[i].key : "";
      called = called.empty() && emulated::IsRegistry(clean[i].op) ? clean[i].key : called;
    }
    for (Race race : {Race::Swap, Race::Remove, Race::Add, Race::Relock}) {
      const std::string &next = race == Race::Add || race == Race::Relock ? called : opened;
      if (!next.empty()) {
        events.push_back(Event{Op::GetVersionExA, 0, 0, false, false, false, race, at, next});
      }
    }
    // Between a value's enumeration and its reading, as two calls would
    // read it, it changes or goes.
    const emulated::Call &call = clean[at - 1];
    if (call.op == Op::RegEnumValueW) {
      auto index = static_cast<unsigned>(std::stoul(call.args.substr(call.args.find(", ") + 2)));
      for (Race race : {Race::Change, Race::Unset}) {
        events.push_back(
            Event{Op::GetVersionExA, index, 0, false, false, false, race, at, call.key});
      }
    }
  }
  if (sample && events.size() > sample) {
    std::mt19937 pick(seed);
    std::shuffle(events.begin(), events.end(), pick);
    // A move on a copy of the key itself is a kind apart from one below
    // it, as the run, not the walk, finds that key again; a failed look-up
    // is a kind for each function, as each leads its own way, but for the
    // DLL search's, which all change nothing.
    std::set<std::tuple<Op, LONG, Race, std::string>> kinds;
    auto firstOfKind = [&kinds, &shape](const Event &event) {
      std::string kind = event.race == Race::None ? (event.changesNothing ? "" : event.next)
                         : Where(event.next, Copies(shape)) == Place::Copy ? "key"
                                                                           : "";
      return kinds.insert({event.op, event.error, event.race, kind}).second;
    };
    auto rest = everyKind ? std::stable_partition(events.begin(), events.end(), firstOfKind)
                          : events.begin();
    events.resize(std::max<std::size_t>(sample, static_cast<std::size_t>(rest - events.begin())));
  }
  // A run that fails once makes no more calls than a clean one, plus its
  // warnings and what another process adds; ten times that is a loop.
  std::size_t limit = 10 * clean.size() + 100;
  for (const auto &event : events) {
    tally.points.insert(shape.name + "/" +
                        (event.race == Race::None
                             ? std::string(emulated::Name(event.op)) + "#" + std::to_string(event.n)
                             : "race#" + std::to_string(event.at)));
    RunOnce(shape, &event, limit, tally, outside, &reference);
    auto cut = cuts.find(event.n);
    if (event.op == Op::WriteFile && event.error == ERROR_DISK_FULL && cut != cuts.end()) {
      RunOnCut(shape, backedUp.substr(0, cut->second), limit, tally);
    }
  }
}

// A chain of keys whose deepest path from HKLM is about `pathLength`
// characters, every level listed.
std::vector<std::string> Chain(std::size_t pathLength, std::size_t nameLength) {
  const std::string name(nameLength, 'C');
  std::vector<std::string> keys = {name};
  while (std::strlen(PatchKeyPath) + 1 + keys.back().size() < pathLength) {
    keys.push_back(keys.back() + "\\" + name);
  }
  return keys;
}

Shape RandomTree(const std::string &name, std::mt19937 &random, std::size_t size) {
  Shape shape = Make(name, {});
  shape.dllSearchFails = false;
  std::vector<std::string> paths = {""};
  std::uniform_int_distribution<int> letter(0, 5);
  for (std::size_t i = 0; i < size; ++i) {
    const std::string &parent = paths[random() % paths.size()];
    // Mostly short names in mixed case, now and then a long one, or one
    // with a character the ANSI code page cannot hold.
    std::size_t length = random() % 20 == 0 ? 60 + random() % 70 : 1 + random() % 4;
    std::string leaf;
    for (std::size_t c = 0; c < length; ++c) {
      leaf += static_cast<char>((random() % 2 ? 'a' : 'A') + letter(random));
    }
    if (random() % 40 == 0) {
      leaf += "\xCE\xA9"; // Ω
    }
    std::string path = parent;
    if (!path.empty()) {
      path += '\\';
    }
    paths.push_back(path += leaf);
    shape.keys.push_back(paths.back());
  }
  // Now and then a leaf is a link, mostly into the victim subtree.
  std::set<std::string> parents;
  for (const auto &path : shape.keys) {
    std::size_t cut = path.rfind('\\');
    parents.insert(Folded(cut == std::string::npos ? "" : path.substr(0, cut)));
  }
  for (const auto &path : shape.keys) {
    if (!parents.count(Folded(path)) && random() % 5 == 0) {
      shape.links[path] = LinkTargets[random() % LinkTargets.size()];
    }
  }
  return shape;
}

std::size_t Setting(const char *name, std::size_t fallback) {
  const char *value = std::getenv(name);
  return value ? std::strtoul(value, nullptr, 10) : fallback;
}

TEST(FaultSweep, EveryFailurePointKeepsTheRunSound) {
  Tally tally;
  std::vector<Shape> shapes = {
      Make("missing", {}, false),
      Make("empty", {}),
      Make("one leaf", {"Leaf"}),
      Make("A\\B\\C with A\\D", {"A", "A\\B", "A\\B\\C", "A\\D"}),
      Make("refused 5.0", {"A", "A\\B"}, true, 5, 0),
      Make("refused 6.0", {"A", "A\\B"}, true, 6, 0),
      Make("refused 6.2", {"A", "A\\B"}, true, 6, 2),
      Make("not an administrator", {"A", "A\\B"}, true, 5, 1, false),
      Make("server 2003", {"A", "A\\B"}, true, 5, 2),
      Make("chain of one-letter names", Chain(120, 1)),
      Make("chain 2,000 characters deep", Chain(2000, 60)),
  };
  Shape wide = Make("wide", {});
  for (int i = 0; i < 40; ++i) {
    wide.keys.push_back("W" + std::to_string(i));
  }
  shapes.push_back(wide);
  const std::string &victim = LinkTargets[0];
  const std::pair<const char *, std::map<std::string, std::string>> linked[] = {
      {"link at the top", {{"Link", victim}}},
      {"deep link", {{"A\\B\\Link", LinkTargets[1]}}},
      {"link to an empty key outside", {{"Link", LinkTargets[2]}}},
      {"dangling link", {{"Link", LinkTargets[4]}}},
      {"link into the key", {{"Link", std::string(LinkTargets[6]) + "\\A"}}},
      {"patch key is a link", {{"", victim}}},
  };
  for (const auto &entry : linked) {
    Shape shape = Make(entry.first, {"A", "A\\B", "Z"}, entry.second.count("") == 0);
    if (!shape.exists) {
      shape.keys.clear();
    }
    shape.links = entry.second;
    shapes.push_back(shape);
  }
  const Shape both = Make("A\\B\\C with A\\D", {"A", "A\\B", "A\\B\\C", "A\\D"});
  shapes.push_back(On64(Make("missing", {}, false), {64, 32}));
  shapes.push_back(On64(both, {64, 32}));
  shapes.push_back(On64(both, {64}));
  shapes.push_back(On64(both, {32}));
  auto named = [&shapes](const std::string &name) {
    return *std::find_if(shapes.begin(), shapes.end(),
                         [&name](const Shape &shape) { return shape.name == name; });
  };
  shapes.push_back(On64(named("link at the top"), {64, 32}));
  // Keys that installers locked, each kind, at the key itself, deep down,
  // on a link, one above a name the ANSI code page lacks, and one
  // outside that a link points to.
  const Shape abc = Make("", {"A", "A\\B", "A\\B\\C", "Z"});
  shapes.push_back(Locked(abc, "read and delete only, deep", {{"A\\B", ReadAndDelete}}));
  shapes.push_back(Locked(abc, "shut out, owned by Administrators, deep", {{"A\\B", ShutOut}}));
  shapes.push_back(Locked(abc, "shut out, owned by SYSTEM, at the key", {{"", ShutOutBySystem}}));
  shapes.push_back(
      Locked(abc, "Administrators denied, two levels", {{"A", Denied}, {"A\\B", Denied}}));
  Shape stays =
      Locked(abc, "locked key above a name outside the code page", {{"A", ShutOutBySystem}});
  stays.keys.emplace_back("A\\Caf\xCE\xA9");
  shapes.push_back(stays);
  // Names whose best fit in the ANSI code page is a sibling's name, or a
  // path through a link that stays: fullwidth C, and fullwidth "x\L\v".
  Shape alike =
      Locked(Make("", {"C", "\xEF\xBC\xA3", "x", "\xEF\xBD\x98\xEF\xBC\xBCL\xEF\xBC\xBCInner",
                       "\xEF\xBC\xBC\x45mpty", "Caf\xCE\xA9"}),
             "look-alike names beside a link", {{"x\\L", ShutOutBySystem}});
  alike.links = {{"x\\L", victim}};
  shapes.push_back(alike);
  shapes.push_back(Logged(alike));
  Shape link = Locked(abc, "locked link", {{"Link", ShutOutBySystem}});
  link.links = {{"Link", victim}};
  shapes.push_back(link);
  link =
      Locked(abc, "link to a locked key outside", {{"Software\\Victim\\Inner", ShutOutBySystem}});
  link.links = {{"Link", LinkTargets[1]}};
  shapes.push_back(link);
  shapes.push_back(On64(named("shut out, owned by SYSTEM, at the key"), {32}));
  shapes.push_back(Quiet(Logged(named("locked key above a name outside the code page"))));
  shapes.push_back(On64(named("patch key is a link"), {32}));
  for (const char *name : {"A\\B\\C with A\\D", "refused 5.0", "not an administrator",
                           "A\\B\\C with A\\D on XP x64, view 64 32"}) {
    shapes.push_back(Quiet(named(name)));
    shapes.push_back(Logged(named(name)));
  }
  // Each kind of walk with a backup: none, a refusal, a tree (in both
  // views; logged and quiet), links, the key itself a link, keys taken
  // over, one that stays.
  for (const char *name :
       {"missing", "refused 5.0", "A\\B\\C with A\\D", "link at the top", "patch key is a link",
        "Administrators denied, two levels", "locked key above a name outside the code page",
        "A\\B\\C with A\\D on XP x64, view 64 32"}) {
    shapes.push_back(BackedUp(named(name)));
  }
  shapes.push_back(BackedUp(Quiet(Logged(named("A\\B\\C with A\\D")))));
  shapes.push_back(Logged(named("chain 2,000 characters deep")));
  shapes.push_back(Logged(named("Administrators denied, two levels")));
  // SWEEP_SHARD=k/n sweeps every n-th shape from the k-th, so that n
  // processes share the sweep; SWEEP_SAMPLE bounds each shape's faulted and
  // raced runs, for a sweep that looks for memory errors on every code path
  // rather than for every failure point.
  const char *shard = std::getenv("SWEEP_SHARD");
  std::size_t part = 0, parts = 1, index = 0;
  if (shard && std::sscanf(shard, "%zu/%zu", &part, &parts) != 2) {
    parts = 0;
  }
  ASSERT_GT(parts, part) << "SWEEP_SHARD=" << shard;
  std::size_t sample = Setting("SWEEP_SAMPLE", 0);
  auto sweep = [&](const Shape &shape, std::size_t bound, std::size_t seed) {
    if (index++ % parts == part) {
      Sweep(shape, tally, bound, static_cast<unsigned>(seed), sample != 0);
    }
  };
  for (const auto &shape : shapes) {
    sweep(shape, sample, index);
  }
  std::mt19937 random(20261208);
  std::size_t trees = Setting("SWEEP_RANDOM_TREES", 1000);
  for (std::size_t i = 0; i < trees; ++i) {
    Shape tree = RandomTree("random tree " + std::to_string(i), random, 1 + random() % 40);
    // One in five on XP x64, in one view or both.
    const std::vector<unsigned> views[] = {{0}, {0}, {0}, {0}, {64, 32}, {64}, {32}};
    const std::vector<unsigned> &chosen = views[i % 5 == 4 ? 4 + random() % 3 : 0];
    tree = chosen.front() ? On64(tree, chosen) : tree;
    tree = i % 7 == 3 ? Quiet(tree) : tree;                 // one in seven with /quiet
    tree = i % 16 == 5 ? BackedUp(tree) : tree;             // one in sixteen with a backup
    sweep(i % 6 == 1 ? Logged(tree) : tree, sample, index); // one in six with a log
  }
  std::size_t large = Setting("SWEEP_LARGE_TREES", 3);
  for (std::size_t i = 0; i < large; ++i) {
    sweep(RandomTree("large tree " + std::to_string(i), random, 2000 + random() % 2000),
          sample ? std::min<std::size_t>(sample, 300) : 300, i);
  }
  std::printf("fault sweep%s%s: %zu runs, %zu distinct failure points, %zu violations\n",
              shard ? " " : "", shard ? shard : "", tally.runs, tally.points.size(),
              tally.violations.size());
  for (std::size_t i = 0; i < tally.violations.size() && i < 20; ++i) {
    ADD_FAILURE() << tally.violations[i];
  }
  EXPECT_TRUE(tally.violations.empty());
}

} // namespace
