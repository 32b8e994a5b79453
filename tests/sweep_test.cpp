// Every platform call of a run made to fail, one at a time, with each error
// Windows could plausibly return for it, over many subtree shapes; after
// every run the properties that must hold whatever failed are checked.
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

struct Shape {
  std::string name;
  std::vector<std::string> keys; // below the patch key, parents first
  bool exists;
  DWORD major, minor;
  bool administrator;
  // Registry links by their path below the patch key ("" for the key
  // itself), each a leaf, with the NT path they point at.
  std::map<std::string, std::string> links;
  // On 64-bit Windows, the views that hold the key, its subtree and links;
  // 0 stands for the one view of 32-bit Windows.
  std::vector<unsigned> views;
};

Shape Make(const std::string &name, std::vector<std::string> keys, bool exists = true,
           DWORD major = 5, DWORD minor = 1, bool administrator = true) {
  return Shape{name, std::move(keys), exists, major, minor, administrator, {}, {0}};
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

// Not found is left out for RegDeleteKeyA: Windows does not say it of a key
// that exists, and the patch rightly takes it as "gone". For the same reason
// a deletion, or an opening, is made to fail only where it would have
// succeeded: no other error is plausible for a key that is not there. Nor
// does Windows say "not found" of a link opened as itself, or of the value
// that makes it one.
std::vector<LONG> PlausibleErrors(Op op) {
  switch (op) {
  case Op::RegOpenKeyExA:
    return {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE};
  case Op::RegEnumKeyExA:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS};
  case Op::RegDeleteKeyA:
  case Op::RegDeleteKeyExA:
  case Op::RegQueryValueExA:
    return {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
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
  default: // the version query, FreeSid and MessageBoxA only fail or not
    return {ERROR_INVALID_PARAMETER};
  }
}

// Every operation that can fail (GetCurrentProcess cannot).
const Op AllOps[] = {Op::GetVersionExA,        Op::AllocateAndInitializeSid,
                     Op::CheckTokenMembership, Op::FreeSid,
                     Op::RegOpenKeyExA,        Op::RegEnumKeyExA,
                     Op::RegDeleteKeyA,        Op::RegDeleteKeyExA,
                     Op::RegQueryValueExA,     Op::NtDeleteKey,
                     Op::RegCloseKey,          Op::MessageBoxA,
                     Op::GetModuleHandleA,     Op::GetProcAddress,
                     Op::IsWow64Process};
const std::set<Op> GateOps = {Op::GetVersionExA, Op::AllocateAndInitializeSid,
                              Op::CheckTokenMembership, Op::FreeSid, Op::MessageBoxA};

struct Fault {
  Op op;
  unsigned n;
  LONG error;
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
  }
  for (unsigned view : shape.views) {
    if (shape.exists) {
      emulated::SetValue(Below("", view), "InstallDir", "C:\\");
    }
    for (std::size_t i = 0; i < shape.keys.size(); ++i) {
      std::string path = Below(shape.keys[i], view);
      i % 4 ? emulated::CreateKey(path) : emulated::SetValue(path, "Setting", "1");
    }
    for (const auto &link : shape.links) {
      emulated::CreateLink(Below(link.first, view), link.second);
    }
  }
}

// The properties of one finished run, given the registry outside the patch
// key as it was before; returns what was violated.
std::vector<std::string> Check(const Shape &shape, const Fault *fault, int exitCode,
                               const std::vector<std::string> &outside) {
  std::vector<std::string> wrong;
  auto failed = [&](Op op) { return fault && fault->op == op; };
  if (emulated::CallLimitReached()) {
    wrong.push_back("the run did not end within its call limit");
  }
  if (exitCode != 0) {
    wrong.push_back("exit code " + std::to_string(exitCode));
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
  // Every child that enumeration finds is then either removed, by path or as
  // a link, or warned about once.
  std::size_t registryCalls = 0, otherCalls = 0, children = 0, removed = 0, warnings = 0;
  std::vector<const emulated::Call *> boxes;
  std::vector<std::string> roots = Copies(shape);
  roots.emplace_back(PatchKeyPath);
  for (const auto &call : emulated::Calls()) {
    Place place = Place::Outside;
    if (emulated::IsRegistry(call.op)) {
      ++registryCalls;
      place = Where(call.key, roots);
      if (place == Place::Outside) {
        wrong.push_back("touched " + call.key);
      }
    } else if (!GateOps.count(call.op)) {
      ++otherCalls;
    }
    if ((call.op == Op::RegDeleteKeyA || call.op == Op::RegDeleteKeyExA ||
         call.op == Op::NtDeleteKey) &&
        call.result == 0 && place == Place::Below) {
      ++removed;
    }
    if (call.op == Op::RegEnumKeyExA && call.result == ERROR_SUCCESS) {
      ++children;
    }
    if (call.op == Op::MessageBoxA) {
      boxes.push_back(&call);
      warnings += call.args == "0x0, \"" + std::string(ChildNotDeletedText) + "\", \"Debug\", 0x30";
    }
  }
  bool versionRefused = failed(Op::GetVersionExA) || shape.major != 5 || shape.minor < 1;
  bool adminRefused = !versionRefused && (failed(Op::AllocateAndInitializeSid) ||
                                          failed(Op::CheckTokenMembership) || !shape.administrator);
  std::string expected;
  if (versionRefused) {
    expected = VersionRefusedText;
  } else if (adminRefused) {
    expected = NotAdministratorText;
  } else {
    bool left = false;
    for (const auto &copy : Copies(shape)) {
      left = left || emulated::KeyExists(copy);
    }
    expected = left ? FailureText : SuccessText;
  }
  if ((versionRefused || adminRefused) && registryCalls + otherCalls) {
    wrong.push_back("a refusing gate let " + std::to_string(registryCalls + otherCalls) +
                    " calls by");
  }
  if (warnings + removed != children) {
    wrong.push_back(std::to_string(warnings) + " warnings and " + std::to_string(removed) +
                    " removals for " + std::to_string(children) + " children");
  }
  if (boxes.size() != warnings + 1) {
    wrong.push_back(std::to_string(boxes.size()) + " boxes for " + std::to_string(warnings) +
                    " warnings and one outcome");
  } else if (boxes.back()->args.find("\"" + expected + "\"") == std::string::npos) {
    wrong.push_back("last box " + boxes.back()->args + ", expected \"" + expected + "\"");
  }
  return wrong;
}

struct Tally {
  std::size_t runs = 0;
  std::set<std::string> points;
  std::vector<std::string> violations;
};

void RunOnce(const Shape &shape, const Fault *fault, std::size_t limit, Tally &tally) {
  Build(shape);
  std::vector<std::string> outside = emulated::Outside(Copies(shape));
  emulated::SetCallLimit(limit);
  if (fault) {
    emulated::FailAt(fault->op, fault->n, fault->error);
  }
  int exitCode = WinMain(nullptr, nullptr, nullptr, 0);
  ++tally.runs;
  for (const auto &what : Check(shape, fault, exitCode, outside)) {
    std::ostringstream line;
    line << shape.name;
    if (fault) {
      line << ", " << emulated::Name(fault->op) << " #" << fault->n << " failing with "
           << fault->error;
    }
    line << ": " << what;
    tally.violations.push_back(line.str());
  }
}

// Runs the shape unfaulted, then with each call position failing; `sample`
// bounds the faulted runs (0: all of them).
void Sweep(const Shape &shape, Tally &tally, std::size_t sample = 0, unsigned seed = 0) {
  // A clean run makes about six calls a key; twenty a key is a loop.
  std::size_t bound = 20 * (shape.keys.size() + shape.links.size() + 10);
  std::size_t before = tally.violations.size();
  RunOnce(shape, nullptr, bound, tally);
  if (tally.violations.size() > before) {
    return; // faults on top of a broken run would only repeat it
  }
  std::vector<emulated::Call> clean = emulated::Calls();
  Build(shape); // as it was, to tell which keys the clean run opened were links
  std::map<Op, unsigned> counts;
  std::set<std::pair<Op, unsigned>> failing; // deletions and openings that fail anyway
  std::set<unsigned> links;                  // the RegOpenKeyExA calls that opened a link
  for (const auto &call : clean) {
    unsigned n = ++counts[call.op];
    if ((call.op == Op::RegDeleteKeyA || call.op == Op::RegDeleteKeyExA ||
         call.op == Op::RegOpenKeyExA) &&
        call.result != ERROR_SUCCESS) {
      failing.insert({call.op, n});
    }
    // Every 64-bit Windows has IsWow64Process and RegDeleteKeyExA: a failed
    // look-up of either is a 32-bit Windows, which this machine is not.
    if ((call.op == Op::GetModuleHandleA || call.op == Op::GetProcAddress) && Windows64(shape) &&
        call.args.find("ntdll") == std::string::npos &&
        call.args.find("NtDeleteKey") == std::string::npos) {
      failing.insert({call.op, n});
    }
    // As named: in the 32-bit view of 64-bit Windows, the same name is kept
    // elsewhere.
    if (call.op == Op::RegOpenKeyExA &&
        (emulated::IsLink(call.key) ||
         (Windows64(shape) && emulated::IsLink(InView(call.key, 32))))) {
      links.insert(n);
    }
  }
  // A run that fails once makes no more calls than a clean one, plus its
  // warnings; ten times that is a loop.
  std::size_t limit = 10 * clean.size() + 100;
  std::vector<Fault> faults;
  for (Op op : AllOps) {
    for (unsigned n = 1; n <= counts[op]; ++n) {
      if (failing.count({op, n})) {
        continue;
      }
      for (LONG error : PlausibleErrors(op)) {
        if (op == Op::RegOpenKeyExA && error == ERROR_FILE_NOT_FOUND && links.count(n)) {
          continue;
        }
        faults.push_back(Fault{op, n, error});
      }
    }
  }
  if (sample && faults.size() > sample) {
    std::mt19937 pick(seed);
    std::shuffle(faults.begin(), faults.end(), pick);
    faults.resize(sample);
  }
  for (const auto &fault : faults) {
    tally.points.insert(shape.name + "/" + emulated::Name(fault.op) + "#" +
                        std::to_string(fault.n));
    RunOnce(shape, &fault, limit, tally);
  }
}

// A chain of keys whose deepest path is as long as it can be without
// passing `pathLength`, every level listed.
std::vector<std::string> Chain(std::size_t pathLength) {
  std::vector<std::string> keys = {"C"};
  while (std::strlen(PatchKeyPath) + 1 + keys.back().size() + 2 <= pathLength) {
    keys.push_back(keys.back() + "\\C");
  }
  return keys;
}

Shape RandomTree(const std::string &name, std::mt19937 &random, std::size_t size) {
  Shape shape = Make(name, {});
  std::vector<std::string> paths = {""};
  std::uniform_int_distribution<int> letter(0, 5);
  for (std::size_t i = 0; i < size; ++i) {
    const std::string &parent = paths[random() % paths.size()];
    // Mostly short names in mixed case, now and then one long enough to
    // push a path past the buffer.
    std::size_t length = random() % 20 == 0 ? 60 + random() % 70 : 1 + random() % 4;
    std::string leaf;
    for (std::size_t c = 0; c < length; ++c) {
      leaf += static_cast<char>((random() % 2 ? 'a' : 'A') + letter(random));
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
      Make("not an administrator", {"A", "A\\B"}, true, 5, 1, false),
      Make("server 2003", {"A", "A\\B"}, true, 5, 2),
      Make("chain to 259", Chain(259)),
      Make("chain past 259", Chain(290)),
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
  shapes.push_back(On64(named("patch key is a link"), {32}));
  for (const auto &shape : shapes) {
    Sweep(shape, tally);
  }
  std::mt19937 random(20261208);
  std::size_t trees = Setting("SWEEP_RANDOM_TREES", 1000);
  for (std::size_t i = 0; i < trees; ++i) {
    Shape tree = RandomTree("random tree " + std::to_string(i), random, 1 + random() % 40);
    // One in five on XP x64, in one view or both.
    const std::vector<unsigned> views[] = {{0}, {0}, {0}, {0}, {64, 32}, {64}, {32}};
    const std::vector<unsigned> &chosen = views[i % 5 == 4 ? 4 + random() % 3 : 0];
    Sweep(chosen.front() ? On64(tree, chosen) : tree, tally);
  }
  std::size_t large = Setting("SWEEP_LARGE_TREES", 3);
  for (std::size_t i = 0; i < large; ++i) {
    Sweep(RandomTree("large tree " + std::to_string(i), random, 2000 + random() % 2000), tally, 300,
          static_cast<unsigned>(i));
  }
  std::printf("fault sweep: %zu runs, %zu distinct failure points, %zu violations\n", tally.runs,
              tally.points.size(), tally.violations.size());
  for (std::size_t i = 0; i < tally.violations.size() && i < 20; ++i) {
    ADD_FAILURE() << tally.violations[i];
  }
  EXPECT_TRUE(tally.violations.empty());
}

} // namespace
