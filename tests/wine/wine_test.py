"""The shipped executables under Wine, playing Windows XP: what they show,
what they leave in the registry, their exit code, and every platform call
they make, read from Wine's relay trace.

Configured by the environment (CTest sets it):
  PATCH_EXE      the executable under test
  WINE_ARCH      win32 or win64
  WINE_PREFIX    where the prefix lives (created on first use, then reused)
  WINE_TOOLS     where boxreader.exe, regtool.exe and trustcheck.exe for the
                 prefix's architecture are
  SIGNED         where the release test left a signed release (release/) and
                 its root (root.cer)
  EXE_BUILD      the executable's own build: the do-nothing program and the
                 DLL to plant beside it, for its architecture

On a host that runs no 32-bit code (or with PATCH_WINE_32=0), a run that
needs it exits with SKIP_CODE after saying why.
"""

import os
import re
from concurrent.futures import ThreadPoolExecutor
import shutil
import sys
import unittest
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import winelab  # noqa: E402

KEY = r"Software\Crystal Semiconductor"
HKLM = 0x80000002
REG_OPTION_OPEN_LINK = 8
# What each open of the walk asks: DELETE | KEY_ENUMERATE_SUB_KEYS; to take
# a key over, READ_CONTROL | WRITE_DAC or WRITE_OWNER, and the walk's access
# with WRITE_DAC on a new handle ("") to a key already open.
WALK_ACCESS, DACL_ACCESS, OWNER_ACCESS = 0x10008, 0x60000, 0x80000
# And, where a view's walk left the key, the open that asks whether it is
# there still: KEY_QUERY_VALUE.
ABSENT_ACCESS = 0x1
REOPEN_ACCESS = {DACL_ACCESS, WALK_ACCESS | 0x40000}
TAKEOVER_CALLS = {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"}
VIEW_FLAGS = {None: 0, 64: 0x100, 32: 0x200}  # KEY_WOW64_64KEY, KEY_WOW64_32KEY
VIEW_OF_FLAG = {flag: view for view, flag in VIEW_FLAGS.items()}
SUCCESS = ("", "Patch successful. You may now install the Quenlor audio driver")
VERSION_REFUSED = ("Error", "This patch is for Windows XP only")
NOT_ADMINISTRATOR = ("Error", "You must have administrator rights to apply this patch")
FAILURE = ("Error", "Patch failed. Some registry keys could not be deleted")
WARNING = ("Debug", "Could not delete a child key")
# The usage box, as the box reader reads it: its line breaks become spaces.
# Read from the logic's texts, which the README's test holds to the README.
USAGE = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', re.search(
    r"UsageText\[\] = (.*?);", (Path(__file__).resolve().parents[2] / "patch" / "texts.h")
    .read_text(), re.S).group(1))).replace(r"\n", " ")
HELP = ("Quenlor audio driver pre-install patch", USAGE)
NEIGHBOURS = [r"Software\Crystal", r"Software\Crystal Semiconductor2\Keep",
              r"Software\Crystal Semi"]
# A key outside ours, with values, subkeys and an empty leaf: what a followed
# link would lose.
VICTIM = r"Software\Victim"
VICTIM_KEYS = [VICTIM + r"\Empty", VICTIM + r"\Service\Parameters"]
GATES = ["RtlGetVersion", "AllocateAndInitializeSid", "CheckTokenMembership", "FreeSid"]
# What the patch looks up rather than imports: Windows 9x and NT 4.0, which
# it must start on to refuse, lack some; the DLL search's, right after the
# version query, so that the imports stay as they were.
DLL_SEARCH = set(winelab.DLL_SEARCH)
# What the log and a backup file use, which the walk's checks pass over.
FILES = set(winelab.BACKUP_READS + winelab.BACKUP_WRITES)
# What the patch looks up in the user32 it loads itself, for a run's boxes.
BOX_FUNCTIONS = {"MessageBoxA", "GetProcessWindowStation", "GetUserObjectInformationA"}
LOOKED_UP = BOX_FUNCTIONS | {"GetUserNameW", "AllocateAndInitializeSid", "CheckTokenMembership", "FreeSid", "IsWow64Process",
             "NtDeleteKey", "RegOpenKeyExW", "RegEnumKeyExW", "RtlGetVersion", "RegGetKeySecurity", "RegSetKeySecurity"} | \
    TAKEOVER_CALLS | DLL_SEARCH | set(winelab.BACKUP_READS)
# The DLLs that the patch loads ahead from the system folder, as its source
# lists them: at the start of every run, and before user32, which only a
# run that shows a box loads.
SOURCE = Path(__file__).resolve().parents[2]


def listed(array):
    return re.findall(r'^\s*"(\w+)",', (SOURCE / "patch" / "dllsearch.cpp").read_text()
                      .split(array + "[] = {")[1].split("};")[0], re.M)


AT_START, FOR_WINDOW = listed("StartDlls"), listed("WindowDlls")
LISTED = AT_START + FOR_WINDOW
SKIP_CODE = 77
# One Wine virtual desktop for every run of the suite: without a window
# manager, Wine waits two seconds for one whenever a top-level window
# closes, and a desktop of each run's own costs a second to start and end.
DESKTOP = "640x480"

ARCH = os.environ.get("WINE_ARCH", "win32")
EXE = Path(os.environ["PATCH_EXE"])
SIGNED = Path(os.environ["SIGNED"]) if os.environ.get("SIGNED") else None
TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST = 0x800B0100, 0x80096010
# A 64-bit prefix keeps two views of HKLM\Software, and either executable
# clears both, the native one first; a 32-bit prefix has one.
VIEWS = [64, 32] if ARCH == "win64" else [None]
XP = "winxp64" if ARCH == "win64" else "winxp"
# Wine's names for Windows 5.1 and 5.2.
ADMITTED = ["winxp", "win2003"] + (["winxp64"] if ARCH == "win64" else [])
REFUSED = ["win98", "nt40", "win2k", "vista", "win7", "win10"]
# A key that no administrator can take over, in Wine as in Windows: owned by
# SYSTEM and shut to everyone else. winelab drops it with the prefix's
# registry file when the key is next cleared.
SYSTEM_ONLY = "O:SYD:P(A;;KA;;;SY)"


def staying(parent, name="Stuck"):
    """The registry tool's commands that make HKLM\\parent\\name (UTF-8,
    %XX for any byte) a key that every walk leaves."""
    return [("name", parent, name), ("lock", parent + "\\" + name, SYSTEM_ONLY)]


def nt_path(key, view):
    """The NT path of HKLM\\key in `view`, as a link names it."""
    return "\\Registry\\Machine\\" + in_view(key, view)


def in_view(key, view):
    """Where `view` keeps HKLM\\key, as a path below HKLM."""
    return key.replace("Software\\", "Software\\Wow6432Node\\", 1) if view == 32 else key


def view_name(view):
    """How the log names a registry view."""
    return {None: "Registry", 64: "64-bit view", 32: "32-bit view"}[view]


def lacking():
    """Why this run cannot happen on this host, or None."""
    needs_32bit = winelab.is_x86(EXE) or ARCH == "win32"
    return winelab.lacks("win32") if needs_32bit else winelab.lacks(ARCH)


def subtree(depth, width):
    """Keys of a tree `depth` levels deep with `width` children per key."""
    keys, level = [KEY], [KEY]
    for d in range(depth):
        level = [f"{parent}\\Level{d} Child{w}" for parent in level for w in range(width)][:40]
        keys += level
    return keys


def hklm(value):
    # A predefined key is a sign-extended 32-bit value on x64.
    return value & 0xFFFFFFFF == HKLM


@dataclass
class Level:
    """One key of the walk, as the trace shows it, with the handles open
    on it: each learnt from the first call that uses it."""
    path: str
    view: int
    handles: set = None
    unlearnt: int = 1  # opens whose handle no call has used yet

    def holds(self, handle):
        if handle not in self.handles and self.unlearnt:
            self.handles.add(handle)
            self.unlearnt -= 1
        return handle in self.handles


class Trace:
    """Holds a relay trace against the order and arguments the patch must
    use, replaying it over the keys that each view held before the run."""

    def __init__(self, test, run, keys):
        self.test = test
        # Look-ups of what some Windows lacks, what makes the DLL search
        # safe, and the calls themselves, but the log's and a backup's.
        self.lookups = [c for c in run.calls if c.function == "GetProcAddress"]
        self.search = [c for c in run.calls if c.function in DLL_SEARCH]
        self.calls = [c for c in run.calls if c.function != "GetProcAddress"
                      and c.function not in DLL_SEARCH and c.function not in FILES]
        # A run with /log asks GetVersionExA too, right after RtlGetVersion,
        # to name a compatibility mode in the log: that one call only.
        if [c.function for c in self.calls[:2]] == ["RtlGetVersion", "GetVersionExA"]:
            del self.calls[1]
        self.first = run.calls[0].function if run.calls else None
        self.keys = {view: {k.lower() for k in keys.get(view, ())} for view in VIEWS}

    def functions(self):
        return [c.function for c in self.calls]

    def check_gates(self):
        t, calls = self.test, self.calls
        # Only the version query's own function is looked up before it.
        t.assertEqual(["RtlGetVersion"], [c.arg(1) for c in self.lookups][:1])
        t.assertEqual("GetProcAddress", self.first)
        t.assertEqual(GATES, self.functions()[:4])
        t.assertEqual(0, self.calls[0].result, "RtlGetVersion failed")
        sid = calls[1]
        # DWORD arguments travel in 64-bit registers on x64; only the low
        # half is the argument.
        t.assertEqual([2, 0x20, 0x220, 0, 0, 0, 0, 0, 0],
                      [a & 0xFFFFFFFF for a in sid.args[1:10]])
        t.assertEqual(1, sid.result)
        t.assertEqual(0, calls[2].arg(0), "CheckTokenMembership must ask about the caller's token")
        t.assertEqual(1, calls[2].result)
        t.assertEqual(calls[2].arg(1), calls[3].arg(0), "FreeSid must free the SID it asked about")
        for lookup in self.lookups:
            t.assertIn(lookup.arg(1), LOOKED_UP)
            t.assertNotEqual(0, lookup.result, f"{lookup.arg(1)} not found")

    def check_walk(self, expect_failures=False):
        """Each view in turn, each call naming it. The key opened from HKLM
        by its path (again only while nothing is open: taking it over),
        every key below it by its one name below a handle of its parent, or
        anew from its own handle (""), each as itself, with the walk's
        access or a takeover's; every key deleted through its own handle,
        post-order, and none by path; handles used and closed innermost key
        first; index 0 while nothing failed. Returns the keys deleted in
        each view."""
        t, keys, deleted = self.test, {v: set(k) for v, k in self.keys.items()}, {}
        opened = []  # a Level for each key still open, innermost last
        views = []  # the views in the order the walk took them
        for call in self.calls[4:]:
            name = call.function
            level = opened[-1] if opened else None
            if name in ("RegEnumKeyExW", "NtDeleteKey", "RegCloseKey", "RegGetKeySecurity",
                        "RegSetKeySecurity"):
                t.assertTrue(level, f"{name} without an open key")
                t.assertTrue(level.holds(call.arg(0)), f"{name} on a handle not on top")
            if name == "RegOpenKeyExW":
                t.assertEqual(REG_OPTION_OPEN_LINK, call.arg(2) & 0xFFFFFFFF)
                access = call.arg(3) & 0xFFFFFFFF
                view = VIEW_OF_FLAG.get(access & 0x300)
                access &= ~0x300
                t.assertIn(view, VIEWS, f"access {access:#x} names no view of this machine")
                if hklm(call.arg(0)):
                    t.assertFalse(opened, "a key opened from HKLM inside the walk")
                    t.assertEqual(KEY.lower(), call.arg(1).lower())
                    t.assertIn(access, (WALK_ACCESS, DACL_ACCESS, OWNER_ACCESS, ABSENT_ACCESS))
                    if not views or views[-1] != view:
                        t.assertNotIn(view, views, "a view walked twice")
                        views.append(view)
                    path = KEY.lower()
                else:
                    t.assertTrue(level, "a relative open without an open key")
                    t.assertTrue(level.holds(call.arg(0)), "opened below a handle not on top")
                    t.assertEqual(level.view, view, "the view changed inside the walk")
                    t.assertNotIn("\\", call.arg(1), "a child named by more than its name")
                    if call.arg(1) == "":
                        t.assertIn(access, REOPEN_ACCESS)
                        level.unlearnt += call.result == 0
                        continue
                    t.assertIn(access, (WALK_ACCESS, DACL_ACCESS, OWNER_ACCESS))
                    path = level.path + "\\" + call.arg(1).lower()
                if call.result == 0:
                    opened.append(Level(path, view, set()))
            elif name == "RegEnumKeyExW":
                t.assertEqual([0, 0, 0, 0], call.args[4:8])
                if not expect_failures:
                    t.assertEqual(0, call.arg(1) & 0xFFFFFFFF)
            elif name == "NtDeleteKey":
                if call.result == 0:
                    t.assertFalse([k for k in keys[level.view] if k.startswith(level.path + "\\")],
                                  f"{level.path} deleted before its subkeys")
                    keys[level.view].discard(level.path)
                    deleted.setdefault(level.view, []).append(level.path)
            elif name == "RegCloseKey":
                level.handles.discard(call.arg(0))
                if not level.handles and not level.unlearnt:
                    opened.pop()
            elif name == "MessageBoxA":
                t.assertEqual(0, call.arg(0))
                t.assertIn(call.arg(3) & 0xFFFFFFFF, (0x10, 0x30, 0x40))
            elif name == "IsWow64Process":
                # The x86 build asks, before the walk, whether Windows is 64-bit.
                t.assertFalse(views, "IsWow64Process after the walk began")
                t.assertEqual(0xFFFFFFFF, call.arg(0) & 0xFFFFFFFF, "not the current process")
            elif name not in {"RegGetKeySecurity", "RegSetKeySecurity"} | TAKEOVER_CALLS:
                t.fail(f"unexpected call {name}")  # a deletion by path among them
        t.assertEqual([], opened, "handles left open")
        t.assertEqual(VIEWS, views, "every view of the machine, in turn")
        return deleted


class WineSuite(unittest.TestCase):
    maxDiff = None
    @classmethod
    def setUpClass(cls):
        cls.display = winelab.Display().__enter__()
        cls.prefix = winelab.Prefix(os.environ["WINE_PREFIX"], ARCH, os.environ["WINE_TOOLS"])
        cls.prefix.open(cls.display, desktop=DESKTOP)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()
        cls.display.__exit__()

    def run_patch(self, **options):
        return self.prefix.run(EXE, **options)

    def prepare(self, keys, version=XP, views=VIEWS, links=None, then=()):
        """Clears the key, its neighbours and the victim from every view,
        then seeds the neighbours and the victim into every view, and `keys`
        (with some values), `links` ({path: key it points at}) and the
        registry tool's commands `then` into each of `views`: one Wine
        process in all."""
        values = {k: {"DriverVersion": "3.1", "Path": "C:\\Quenlor"} for k in keys[::3]}
        values.update({VICTIM: {"Config": "keep"}, VICTIM_KEYS[1]: {"Start": "2"}})
        roots = [KEY, VICTIM] + [n.split("\\Keep")[0] for n in NEIGHBOURS]
        commands = []
        for view in VIEWS:
            seeded = keys if view in views else []
            commands += self.prefix.apply_commands(
                remove=roots, keys=seeded + NEIGHBOURS + [VICTIM] + VICTIM_KEYS, values=values,
                version=version, view=view)
            if view in views:
                commands += self.prefix.link_commands(
                    {path: nt_path(target, view) for path, target in (links or {}).items()},
                    view=view)
                commands += self.prefix.with_view(view, [list(command) for command in then])
        self.prefix.script(commands)

    def registry(self, *roots, exact=False):
        """What every view holds at and below each of `roots`, read in one
        Wine process; `exact`: each value's type and bytes."""
        trees = self.prefix.trees([(root, view) for view in VIEWS for root in roots], exact)
        return {(view, root): tree for (root, view), tree in trees.items()}

    def outside(self):
        return self.registry(*{"Software\\" + n.split("\\")[1] for n in NEIGHBOURS + [VICTIM]})

    def expect_removed(self, run, keys, views=VIEWS):
        """The key is gone from every view, each of `keys` (links among
        them) deleted through its own handle in each of `views`."""
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([SUCCESS], run.boxes)
        self.assertEqual({(view, KEY): {} for view in VIEWS}, self.registry(KEY))
        trace = Trace(self, run, {view: keys for view in views})
        trace.check_gates()
        deleted = trace.check_walk()
        self.assertEqual(("", "information", SUCCESS[1]), run.shown()[-1])
        for view in VIEWS:
            with self.subTest(view=view):
                expected = keys if view in views else []
                self.assertEqual(sorted(k.lower() for k in expected),
                                 sorted(deleted.get(view, [])))

    def test_refused_versions_leave_the_registry_alone(self):
        keys = subtree(2, 2)
        for version in REFUSED:
            with self.subTest(version=version):
                self.prepare(keys, version=version)
                before = self.registry(KEY)
                run = self.run_patch()
                self.assertEqual(0, run.exit_code)
                self.assertEqual([VERSION_REFUSED], run.boxes)
                # Nothing but the version query came first, and then only
                # what makes the DLL search safe and the box: no look-up
                # either but of their own functions, which these systems
                # may lack; on 9x, whose command line is narrow only, its
                # widening.
                widened = ["MultiByteToWideChar"] if version.startswith("win9") else []
                self.assertEqual(["GetProcAddress", "RtlGetVersion", *widened, "MessageBoxA"],
                                 [c.function for c in run.calls if c.function not in DLL_SEARCH
                                  and (c.function != "GetProcAddress"
                                       or c.arg(1) not in DLL_SEARCH | BOX_FUNCTIONS)])
                self.assertEqual("RtlGetVersion", run.calls[0].arg(1))
                self.assertEqual(("Error", "error", VERSION_REFUSED[1]), run.shown()[0])
                self.assertEqual(before, self.registry(KEY))

    def test_admitted_versions_remove_the_key(self):
        keys = subtree(2, 3)
        for version in ADMITTED:
            with self.subTest(version=version):
                self.prepare(keys, version=version)
                self.expect_removed(self.run_patch(), keys)

    def test_standard_user_is_refused_and_nothing_is_touched(self):
        keys = subtree(2, 2)
        self.prepare(keys)
        before = self.registry(KEY)
        self.assertEqual([len(keys)] * len(VIEWS), [len(tree) for tree in before.values()])
        run = self.run_patch(standard_user=True)
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([NOT_ADMINISTRATOR], run.boxes)
        self.assertEqual(("Error", "error", NOT_ADMINISTRATOR[1]), run.shown()[0])
        trace = Trace(self, run, {})
        trace.check_gates()
        self.assertEqual(GATES + ["MessageBoxA"], trace.functions(), "no registry call")
        self.assertEqual(before, self.registry(KEY))

    def test_xp_removes_a_deep_wide_subtree_and_nothing_else(self):
        keys = subtree(5, 3)
        self.prepare(keys)
        outside = self.outside()
        self.assertEqual((len(NEIGHBOURS) + 1 + len(VICTIM_KEYS) + 2) * len(VIEWS),
                         sum(len(tree) for tree in outside.values()))
        self.expect_removed(self.run_patch(), keys)
        self.assertEqual(outside, self.outside())

    def test_key_goes_from_whichever_view_holds_it(self):
        if len(VIEWS) == 1:
            self.skipTest("a 32-bit prefix has one registry view")
        keys = subtree(2, 2)
        for views in ([64], [32]):
            with self.subTest(views=views):
                self.prepare(keys, views=views)
                outside = self.outside()
                self.expect_removed(self.run_patch(), keys, views=views)
                self.assertEqual(outside, self.outside())

    def test_links_go_as_links_and_their_targets_stay(self):
        keys = subtree(2, 2)
        links = {KEY + r"\Link": VICTIM,
                 keys[-1] + r"\Deep": VICTIM_KEYS[0],  # an empty key outside
                 KEY + r"\Dangling": r"Software\Nowhere",
                 keys[3] + r"\Inside": keys[2]}  # a key walked later
        self.prepare(keys, links=links)
        outside = self.outside()
        self.expect_removed(self.run_patch(), keys + list(links))
        self.assertEqual(outside, self.outside())

    def test_patch_key_that_is_a_link_goes_as_a_link(self):
        self.prepare([], links={KEY: VICTIM})
        outside = self.outside()
        self.expect_removed(self.run_patch(), [KEY])
        self.assertEqual(outside, self.outside())

    def test_second_run_finds_nothing_and_still_succeeds(self):
        keys = subtree(2, 2)
        self.prepare(keys)
        self.expect_removed(self.run_patch(), keys)
        run = self.run_patch()
        self.assertEqual([SUCCESS], run.boxes)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([2] * len(VIEWS),
                         [c.result for c in run.calls if c.function == "RegOpenKeyExW"])
        self.assertEqual([], [c for c in run.calls if c.function == "NtDeleteKey"])

    def test_key_2000_characters_deep_goes(self):
        # 20 levels of 100-character names: no path of the walk's is built,
        # so no length bounds it.
        self.prepare([KEY], then=[("deep", KEY, "20")])
        deep = [KEY]
        for level in range(20):
            deep.append(deep[-1] + "\\" + f"{level:03d}" + "0" * 97)
        self.assertGreater(len(deep[-1]), 2000)
        outside = self.outside()
        self.expect_removed(self.run_patch(), deep)
        self.assertEqual(outside, self.outside())

    def test_names_go_as_the_registry_holds_them_and_steer_nothing(self):
        # In the ANSI code page's best fit, fullwidth "x\\L\\Service" is a
        # path through x\\L, a link to the victim that stays; fullwidth C is
        # its sibling's name; Omega and CJK are 'O' and '?'.
        names = ["C", "\uff23", "Caf\u03a9", "\u4e2d\u6587", "\uff3cA",
                 "\uff58\uff3cL\uff3cService"]
        link = KEY + r"\x\L"
        named = [("name", KEY, name) for name in names]
        self.prepare([KEY, KEY + r"\x"], links={link: VICTIM},
                     then=named + [("lock", link, SYSTEM_ONLY)])
        outside = self.outside()
        run = self.run_patch()
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        # The link and x stay in each view, then the failure.
        self.assertEqual([WARNING] * 2 * len(VIEWS) + [FAILURE], run.boxes)
        self.assertEqual(outside, self.outside(), "a key outside changed")
        self.assertEqual({(view, KEY): sorted([KEY, KEY + r"\x", link]) for view in VIEWS},
                         {place: sorted(tree) for place, tree in self.registry(KEY).items()})
        trace = Trace(self, run, {v: [KEY, KEY + r"\x", link] + [KEY + "\\" + n for n in names]
                                  for v in VIEWS})
        trace.check_gates()
        deleted = trace.check_walk(expect_failures=True)
        self.assertEqual({view: sorted((KEY + "\\" + n).lower() for n in names) for view in VIEWS},
                         {view: sorted(paths) for view, paths in deleted.items()})
        # Without the link: each goes, and the backup puts each back by its name.
        backup = self.prefix.path / "drive_c" / "names.reg"
        backup.unlink(missing_ok=True)
        self.prepare([KEY], then=named)
        tree = self.registry(KEY)
        run = self.run_patch(arguments=["/quiet", r"/backup:C:\names.reg"], relay=False)
        self.assertEqual(0, run.exit_code)
        self.assertEqual({(view, KEY): {} for view in VIEWS}, self.registry(KEY))
        self.prefix.wine("regedit", "/s", r"C:\names.reg", check=True)
        self.assertEqual(tree, self.registry(KEY))

    def test_leaves_swapped_for_links_while_the_walk_runs_lose_nothing_outside(self):
        # Another process waits for the walk to delete each leaf, then at
        # once swaps the next one for a link to a leaf outside that holds a
        # value: the registry link race of a privileged deleter. Three rounds
        # of 200 leaves, in the native view.
        count, rounds, view = 200, 3, VIEWS[0]
        leaves = [KEY + f"\\Leaf{i:03d}" for i in range(count)]
        targets = [VICTIM + f"\\Race\\Victim{i:03d}" for i in range(count)]
        swapped = 0
        for round in range(rounds):
            with self.subTest(round=round):
                self.prepare([KEY] + leaves)
                self.prefix.apply(keys=targets, values={t: {"Keep": "1"} for t in targets},
                                  view=view)
                outside = self.outside()
                racer = self.prefix.start_regtool("race", KEY, str(count),
                                                  nt_path(VICTIM + "\\Race", view), view=view)
                try:
                    self.prefix.wait_for_log("regtool-race.log", "ready", timeout=60)
                    run = self.run_patch(relay=False)
                    # It ends at once when the key is gone; a leaf the walk
                    # left it waits for, spinning, until it is stopped, and
                    # with the patch ended it has nothing more to change.
                    self.prefix.wait_for_log("regtool-race.log", "done", timeout=2)
                except RuntimeError:
                    pass
                finally:
                    racer.kill()
                    racer.wait(timeout=60)
                swapped += self.prefix.log_text("regtool-race.log").count("swapped ")
                self.assertFalse(run.timed_out)
                self.assertEqual(0, run.exit_code)
                self.assertEqual(outside, self.outside(), "a key outside was lost")
                # The box tells what the walk found: a link the other process
                # made after the walk had passed stays, and is told.
                left = any(self.registry(KEY).values())
                self.assertEqual(FAILURE if left else SUCCESS, run.boxes[-1])
        print(f"\nrace: {swapped} leaves swapped for links in {rounds} rounds of {count}")
        self.assertGreater(swapped, 0, "the other process never swapped a leaf")


    def sddl(self, paths):
        """{(view, path): owner and DACL as SDDL} for each of `paths` in
        every view, read in one Wine process."""
        commands = [c for view in VIEWS for c in self.prefix.with_view(view, [["sddl", p] for p in paths])]
        said = [line.split("\t") for line in self.prefix.script(commands, log="sddl.log").splitlines()
                if line.startswith("SDDL\t")]
        return dict(zip([(view, path) for view in VIEWS for path in paths],
                        [fields[2] for fields in said]))

    def test_locked_keys_are_taken_over_and_put_back_if_they_stay(self):
        # Wine checks every open against the key's DACL, as Windows does, but
        # gives its owner DELETE and WRITE_OWNER too, and no WRITE_OWNER for
        # SeTakeOwnershipPrivilege: keys owned by SYSTEM are the model's to
        # prove. Here every lock is Administrators' own key, so that the
        # next set-up's clear can free it.
        keys = subtree(2, 2)
        shut, read_delete = "O:BAD:P(A;;KA;;;SY)", "O:BAD:P(A;;KR;;;WD)(A;;SD;;;BA)"
        link = KEY + r"\Link"
        log = self.prefix.path / "drive_c" / "locked.log"
        logged = r"/log:C:\locked.log"
        cases = [
            # name, locks {key: SDDL}, links {key: target}, the key below
            # which a child never opens, standard user, arguments, keys taken
            # over (in each view)
            ("read and delete only", {keys[1]: read_delete}, {}, None, False, [logged], []),
            ("shut out at depth", {keys[1]: shut, keys[4]: shut}, {}, None, False, [logged],
             [keys[1], keys[4]]),
            ("shut out, the key itself", {KEY: shut}, {}, None, False, [logged], [KEY]),
            ("a locked link", {link: shut}, {link: VICTIM}, None, False, [logged], [link]),
            ("a link to a locked key outside", {VICTIM_KEYS[0]: shut}, {link: VICTIM_KEYS[0]},
             None, False, [logged], []),
            ("a locked key that stays", {keys[1]: shut}, {}, keys[1], False, [logged], [keys[1]]),
            ("a standard user", {keys[1]: shut}, {}, None, True, [logged], []),
            ("quiet and logged", {keys[2]: shut}, {}, None, False, ["/quiet", logged], [keys[2]]),
        ]
        # Each row's set-up frees the locks of the row before; the last
        # row's are freed here.
        self.addCleanup(self.prefix.script, [c for v in VIEWS for c in self.prefix.with_view(
            v, [["clear", KEY], ["clear", VICTIM]])])
        for name, locks, links, stuck, user, arguments, taken in cases:
            with self.subTest(name):
                then = staying(stuck) if stuck else []
                self.prepare(keys, links=links, then=then + [("lock", k, v) for k, v in locks.items()])
                before, outside = self.sddl(list(locks)), self.outside()
                log.unlink(missing_ok=True)
                run = self.run_patch(standard_user=user, arguments=arguments)
                self.assertFalse(run.timed_out)
                self.assertEqual(0, run.exit_code)
                self.assertEqual(outside, self.outside(), "a key outside changed")
                lines = log.read_bytes().decode("cp1252").splitlines()
                told = [line.split(" ", 2)[2] for line in lines]
                self.assertEqual([f"Taken over: HKEY_LOCAL_MACHINE\\{in_view(k, v)}"
                                  for v in VIEWS for k in taken],
                                 [line for line in told if line.startswith("Taken over: ")])
                if user:
                    self.assertEqual([NOT_ADMINISTRATOR], run.boxes)
                    self.assertEqual(GATES + ["MessageBoxA"], Trace(self, run, {}).functions())
                    self.assertEqual(before, self.sddl(list(locks)))
                elif stuck:
                    # The child that never opens stays, so the key taken over
                    # stays too: with its DACL as it was.
                    self.assertEqual([WARNING] * 2 * len(VIEWS) + [FAILURE], run.boxes)
                    self.assertEqual(before, self.sddl(list(locks)))
                    self.assertEqual([f"DACL put back: HKEY_LOCAL_MACHINE\\{in_view(stuck, v)}"
                                      for v in VIEWS],
                                     [line for line in told if line.startswith("DACL put back")])
                    Trace(self, run, {v: keys for v in VIEWS}).check_walk(expect_failures=True)
                else:
                    self.assertEqual([] if "/quiet" in arguments else [SUCCESS], run.boxes)
                    self.assertEqual({(view, KEY): {} for view in VIEWS}, self.registry(KEY))
                    trace = Trace(self, run, {v: keys + list(links) for v in VIEWS})
                    trace.check_gates()
                    trace.check_walk()
                    if links and VICTIM_KEYS[0] in locks:
                        self.assertEqual(before, self.sddl(list(locks)), "the target's lock")

    def test_no_dll_planted_beside_the_patch_runs_in_it(self):
        # Beside the patch and the do-nothing program, a DLL that leaves a
        # marker and declines to load, under each name on the patch's lists
        # (imm32 and version, which Wine's user32 brings in, among them) and
        # each that Wine loads once it runs (ole32's rpcrt4 and combase),
        # all native-first, as Windows searches. Left out: comctl32.dll, from
        # the side-by-side store. On 7 and 10, Wine's graphics driver too, on
        # no list: only the system's switch keeps it out.
        folder = self.prefix.logs / "downloads"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        build = Path(os.environ["EXE_BUILD"])
        baseline = next(build.glob("baseline-*.exe"))
        for program in (EXE, baseline):
            shutil.copy(program, folder)
        planted = LISTED + ["rpcrt4", "combase"]
        for name in planted + ["winex11.drv"]:
            shutil.copy(build / "planted.dll", folder / (name if "." in name else name + ".dll"))
        keys = subtree(2, 2)
        log_failure = ("Error", "Could not open the log file C:\\missing\\run.log: error 3, ")
        rows = [
            # name, Windows, arguments, standard user, a child that stays,
            # boxes (by their start), exit code; the registry is set up anew
            # only where a row needs it.
            ("refused on XP's path", "win2k", [], False, False, [VERSION_REFUSED], 0),
            ("refused on Windows 7's path", "win7", [], False, False, [VERSION_REFUSED], 0),
            ("refused on Windows 10's path", "win10", [], False, False, [VERSION_REFUSED], 0),
            ("a standard user", XP, [], True, False, [NOT_ADMINISTRATOR], 0),
            ("help", XP, ["/?"], False, False, [HELP], 0),
            ("a bad argument", XP, ["/force"], False, False,
             [("Error", "Unknown argument: /force  " + USAGE)], 87),
            ("a log that cannot be opened", XP, [r"/log:C:\missing\run.log"], False, False,
             [log_failure], 1622),
            ("success", XP, [], False, False, [SUCCESS], 0),
            ("quiet", XP, ["/quiet"], False, False, [], 0),
            ("a key that stays", XP, [], False, True, [WARNING] * 2 * len(VIEWS) + [FAILURE], 0),
        ]
        state = None
        for name, version, arguments, user, stays, boxes, code in rows:
            with self.subTest(name):
                switch = version in ("win7", "win10")
                if state != (version, stays):
                    state = (version, stays)
                    self.prepare(keys, version=version,
                                 then=staying(keys[1]) if stays else ())
                for marker in folder.glob("*.loaded"):
                    marker.unlink()
                run = self.prefix.run(folder / EXE.name, arguments=arguments, standard_user=user,
                                      native=planted + ["winex11.drv"] * switch)
                self.assertFalse(run.timed_out)
                self.assertEqual([], sorted(m.name for m in folder.glob("*.loaded")))
                self.assertEqual(code, run.exit_code)
                self.assertEqual(boxes, [(caption, text[:len(start)]) for (caption, text), (_, start)
                                         in zip(run.boxes, boxes)])
                self.assertEqual(len(boxes), len(run.boxes))
                # Each Windows's way: the system's switch from 6 on, and each
                # DLL of the start's list loaded ahead by its full path; then,
                # in a run that shows a box, each of the window's and user32.
                search = Trace(self, run, {}).search
                window = [] if "/quiet" in arguments else FOR_WINDOW + ["user32"]
                self.assertEqual(["SetDllDirectoryA"] + ["SetDefaultDllDirectories"] * switch
                                 + ["GetSystemDirectoryA"] + ["LoadLibraryExA"] * len(AT_START)
                                 + ["GetSystemDirectoryA"] * bool(window)
                                 + ["LoadLibraryExA"] * len(window),
                                 [c.function for c in search])
                self.assertEqual(["", 1], [search[0].arg(0), search[0].result])
                if switch:
                    self.assertEqual([0x800, 1], [search[1].arg(0) & 0xFFFFFFFF, search[1].result])
                loads = [c for c in search if c.function == "LoadLibraryExA"]
                for load, name in zip(loads, AT_START + window):
                    self.assertEqual(f"c:\\windows\\system32\\{name}.dll", load.arg(0).lower())
                    self.assertEqual(8, load.arg(2) & 0xFFFFFFFF, "LOAD_WITH_ALTERED_SEARCH_PATH")
        # The planting is real: the do-nothing program, which imports user32,
        # has the planted version.dll loaded before its first instruction
        # (and so never starts), and without it loads uxtheme.dll for its box.
        for marker in folder.glob("*.loaded"):
            marker.unlink()
        self.prefix.run(folder / baseline.name, relay=False, native=planted)
        self.assertIn("version.dll.loaded", [m.name for m in folder.glob("*.loaded")])
        run = self.prefix.run(folder / baseline.name, relay=False,
                              native=[n for n in planted if n not in ("version", "imm32")])
        self.assertEqual([SUCCESS], run.boxes)
        self.assertIn("uxtheme.dll.loaded", [m.name for m in folder.glob("*.loaded")])

    def test_signed_release_is_trusted_and_still_runs(self):
        if not SIGNED:
            self.skipTest("no signed release: SIGNED is not set")
        signed = SIGNED / "release" / EXE.name
        changed = self.prefix.logs / ("changed-" + EXE.name)
        image = bytearray(signed.read_bytes())
        image[0x400] ^= 0xFF  # the first byte of code
        changed.write_bytes(image)
        # Windows' own check, with the release's root in the machine's Root
        # store (Wine 8 trusts any root, so the root is checked elsewhere).
        tool = Path(os.environ["WINE_TOOLS"]) / "trustcheck.exe"
        self.prefix.wine(str(tool), "/root", winelab.windows_path(SIGNED / "root.cer"),
                         *[winelab.windows_path(f) for f in (signed, changed, EXE)],
                         log="trustcheck.log", check=True)
        results = [int(line.split()[0], 16) for line in
                   self.prefix.log_text("trustcheck.log").splitlines() if line.startswith("0x")]
        self.assertEqual([0, TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE], results)
        # The signature is appended to the file; no loader may mind it.
        keys = subtree(2, 2)
        self.prepare(keys)
        self.expect_removed(self.prefix.run(signed), keys)
        self.prepare(keys, version="win2k")
        self.assertEqual([VERSION_REFUSED], self.prefix.run(signed).boxes)

    def run_batch(self, arguments, standard_user=False):
        """Runs the patch with `arguments` from a batch file, as a deployment
        tool would (cmd /c), reading every box of any process; returns the
        run and the %ERRORLEVEL% the batch file recorded."""
        batch, level = self.prefix.logs / "deploy.cmd", self.prefix.logs / "errorlevel.txt"
        level.unlink(missing_ok=True)
        batch.write_bytes(f'@echo off\r\n"{winelab.windows_path(EXE)}" {arguments}\r\n'
                          f'>"{winelab.windows_path(level)}" echo %ERRORLEVEL%\r\n'.encode())
        run = self.prefix.run(["cmd", "/c", winelab.windows_path(batch)], relay=False,
                              standard_user=standard_user, any_process=True)
        self.assertFalse(run.timed_out)
        return run, int(level.read_text().strip())

    def test_backup_puts_back_every_value_with_regedit_and_reg_import(self):
        def utf16(text, zero=True):
            return (text + ("\0" if zero else "")).encode("utf-16-le").hex() or "-"
        types = KEY + r"\Types"
        values = [  # name, type, bytes
            ("@", 1, utf16("Quenlor")), (r'Path "quoted" C:\Dir=1', 1, utf16(r'a "b" c:\d')),
            ("Omega", 1, utf16("\u03a9 \u20ac \u4e2d")), ("Empty", 1, utf16("")),
            # A REG_SZ without its zero, or of odd length, is written as
            # hex(1) bytes (the unit tests hold the file to them); Wine's
            # regedit and reg add a zero on import, so they are left out.
            ("Dword", 4, "78563412"), ("Expand", 2, utf16(r"%SystemRoot%\x")),
            ("Multi", 7, utf16("a\0b\0")), ("Qword", 11, "0102030405060708"),
            ("Binary", 3, bytes(range(100)).hex()), ("None", 0, "-"), ("Custom", 131072, "01")]
        then = [("typed", types, name, str(kind), data) for name, kind, data in values] + [
            ("key", types + r"\Empty"), ("typed", KEY + r"\Locked", "Kept", "1", utf16("yes"))]
        backup = self.prefix.path / "drive_c" / "backup.reg"
        backup.unlink(missing_ok=True)
        self.prepare([KEY], then=then)
        tree = self.registry(KEY, exact=True)
        self.prefix.script([c for view in VIEWS for c in self.prefix.with_view(view, [
            ["lock", in_view(KEY + r"\Locked", view), "O:BAD:P(A;;KA;;;SY)"],
            ["link", in_view(KEY + r"\Link", view), nt_path(VICTIM, view)]])])
        outside = self.outside()
        log = self.prefix.path / "drive_c" / "backup.log"
        log.unlink(missing_ok=True)
        # regedit and reg put it back; so does the patch's own /restore.
        for runs, restore in enumerate((["regedit", "/s"], ["reg", "import"], ["/restore"])):
            with self.subTest(restore=restore[0]):
                run = self.run_patch(arguments=[r"/quiet", r"/backup:C:\backup.reg",
                                                r"/log:C:\backup.log"], relay=False)
                self.assertEqual(0, run.exit_code)
                self.assertEqual({(view, KEY): {} for view in VIEWS}, self.registry(KEY))
                text = backup.read_bytes().decode("utf-16-le")
                self.assertTrue(text.startswith("\ufeffWindows Registry Editor Version 5.00\r\n"))
                self.assertEqual(1, text.count("Windows Registry Editor"), "one header")
                self.assertEqual(1 + runs, text.count("; Removed by"))
                self.assertNotIn("\n", text.replace("\r\n", ""), "CRLF only")
                if restore[0] == "/restore":
                    run = self.run_patch(arguments=["/quiet", r"/restore:C:\backup.reg"],
                                         relay=False)
                    self.assertEqual(0, run.exit_code)
                else:
                    self.prefix.wine(*restore, r"C:\backup.reg", check=True)
                self.assertEqual(tree, self.registry(KEY, exact=True),
                                 "put back as it was, but the link")
                self.assertEqual(outside, self.outside())
        logged = log.read_bytes().decode("cp1252")
        for view in VIEWS:
            path = "HKEY_LOCAL_MACHINE\\" + in_view(KEY, view)
            self.assertIn(f"Link, which the backup cannot restore: {path}\\Link to "
                          + nt_path(VICTIM, view), logged)
            self.assertIn(f"Permissions, which the backup cannot restore: {path}\\Locked",
                          logged)
            self.assertIn(f"; {path}\\Link was a registry link to {nt_path(VICTIM, view)}", text)
        # A backup that cannot be written deletes nothing, and nor does one that
        # a run cut short (here at an odd byte), which is left as it was.
        torn = self.prefix.path / "drive_c" / "torn.reg"
        cut = backup.read_bytes()[:len(text) | 1]
        torn.write_bytes(cut)
        missing = r"missing\\backup\.reg: error 3, .+"
        cut_short = r"torn\.reg: it ends in the middle of a record, .+ used again\."
        for arguments, boxes, why in (
                ([r"/quiet", r"/backup:C:\missing\backup.reg"], 0, missing),
                ([r"/backup:C:\missing\backup.reg"], 1, missing),
                ([r"/backup:C:\torn.reg"], 1, cut_short)):
            with self.subTest(arguments=arguments):
                run = self.run_patch(arguments=arguments, relay=False)
                self.assertEqual(29, run.exit_code)
                self.assertEqual(boxes, len(run.boxes))
                for caption, box in run.boxes:
                    self.assertEqual("Error", caption)
                    self.assertRegex(box, r"^Could not write the backup file C:\\" + why +
                                     r"  No key was deleted after the failure; every key deleted "
                                     r"before it is in the file\.$")
                self.assertEqual(tree, self.registry(KEY, exact=True))
        self.assertEqual(cut, torn.read_bytes())

    def test_restore_writes_back_nothing_but_what_the_patch_removed(self):
        # Files that /backup did not write, on a share anyone could write
        # to, each refused with 13 and nothing written; a missing one, 30; a
        # record below a link inside the key, which reg import writes
        # through into the link's target, written nowhere by /restore.
        drive = self.prefix.path / "drive_c"
        head = "\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
        key = "HKEY_LOCAL_MACHINE\\" + KEY
        good = f"[{key}\\A]\r\n\"x\"=\"y\"\r\n\r\n"
        files = {
            "victim": good + f"[HKEY_LOCAL_MACHINE\\{VICTIM}\\Run]\r\n\"x\"=\"y\"\r\n\r\n",
            "lookalike": good + f"[{key}2\\Keep]\r\n\"x\"=\"y\"\r\n\r\n",
            "deletion": good + f"[-{key}\\A]\r\n\r\n",
            "cut": good + f"[{key}\\B]\r\n\"x\"=hex:01,\\\r\n",
        }
        self.prepare([KEY, KEY + r"\A"], links={KEY + r"\L": VICTIM})
        before, outside = self.registry(KEY), self.outside()
        for name, records in files.items():
            with self.subTest(name):
                (drive / f"{name}.reg").write_bytes((head + records).encode("utf-16-le"))
                run = self.run_patch(arguments=["/quiet", f"/restore:C:\\{name}.reg"],
                                     relay=False)
                self.assertEqual(13, run.exit_code)
                self.assertEqual((before, outside), (self.registry(KEY), self.outside()))
        run = self.run_patch(arguments=["/quiet", r"/restore:C:\missing.reg"], relay=False)
        self.assertEqual(30, run.exit_code)
        (drive / "link.reg").write_bytes(
            (head + f"[{key}\\L\\Run]\r\n\"x\"=\"y\"\r\n\r\n").encode("utf-16-le"))
        run = self.run_patch(arguments=["/quiet", r"/restore:C:\link.reg"], relay=False)
        self.assertEqual(1013, run.exit_code)
        self.assertEqual((before, outside), (self.registry(KEY), self.outside()))
        # The control: reg import writes through the link, into the victim.
        self.prefix.wine("reg", "import", r"C:\link.reg", check=True)
        self.assertTrue(any(VICTIM + r"\Run" in tree for tree in self.registry(VICTIM).values()))

    def test_deployment_tools_read_each_outcome_from_the_exit_code(self):
        keys = subtree(2, 2)
        # A key that stays, whose name would forge the run's last line.
        forged = ("2026-01-01 00:00:00 End: Patch successful. You may now install the Quenlor "
                  "audio driver (exit code 0)")
        stuck = keys[1] + "\\Caf"  # + Omega, then a line break and the forged line
        log = self.prefix.path / "drive_c" / "logs" / "run.log"
        log.parent.mkdir(exist_ok=True)
        run_log = r' /log:"C:\logs\run.log"'
        done = r"End: .* \(exit code {}\)"
        refused = [r"Windows \d+\.\d+\.\d+ .*", "Refused: .+"]
        cases = [
            # name, Windows, arguments, standard user, a child that stays,
            # %ERRORLEVEL%, boxes, whether the key goes, the log's lines
            # after its first (patterns, each on a line of its own)
            ("removal", XP, "/quiet /norestart" + run_log, False, False, 0, [], True,
             [r"Windows 5\.[12]\.\d+ Service Pack \d"]
             + [f"{view_name(v)}: {len(keys)} keys removed, 0 stayed, 0 taken over" for v in VIEWS]
             + [done.format(0)]),
            ("refused version", "win2k", "/quiet" + run_log, False, False, 50, [], False,
             refused + [done.format(50)]),
            ("standard user", XP, "/Q" + run_log, True, False, 5, [], False,
             refused + [done.format(5)]),
            ("keys left", XP, "-quiet" + run_log, False, True, 1013, [], False,
             [r"Windows .*"] + [line for v in VIEWS for line in (
                 f"Stayed: HKEY_LOCAL_MACHINE\\\\{re.escape(in_view(stuck, v))}\\?%0D%0A"
                 f"{re.escape(forged)}: error 5, .+",
                 f"Stayed: HKEY_LOCAL_MACHINE\\\\{re.escape(in_view(keys[1], v))}: a subkey of "
                 r"it stayed\. NTSTATUS 0xC0000\w\w\w",
                 f"Stayed: HKEY_LOCAL_MACHINE\\\\{re.escape(in_view(KEY, v))}: a subkey of it "
                 r"stayed\. .+",
                 f"{view_name(v)}: {len(keys) - 2} keys removed, 3 stayed, 0 taken over")]
             + [done.format(1013)]),
            ("log in a missing folder", XP, r"/quiet /log:C:\missing\run.log", False, False, 1622,
             [], False, None),
            ("help", XP, "/?", False, False, 0, [HELP], False, None),
            ("unknown argument", XP, "/force", False, False, 87,
             [("Error", "Unknown argument: /force  " + USAGE)], False, None),
            ("unknown argument, quiet", "win98", "/quiet /force", False, False, 87, [], False,
             None),
            ("no argument", XP, "", False, False, 0, [SUCCESS], True, None),
        ]
        for name, version, arguments, user, stays, level, boxes, goes, lines in cases:
            with self.subTest(name):
                self.prepare(keys, version=version,
                             then=staying(keys[1], "Caf\u03a9%0D%0A" + forged) if stays else ())
                log.unlink(missing_ok=True)
                before, outside = self.registry(KEY), self.outside()
                run, errorlevel = self.run_batch(arguments, standard_user=user)
                self.assertEqual(level, errorlevel)
                self.assertEqual(boxes, run.boxes, "with /quiet, no window at all")
                left = self.registry(KEY)
                if goes:
                    self.assertEqual({(view, KEY): {} for view in VIEWS}, left)
                elif not stays:
                    self.assertEqual(before, left, "touched")
                self.assertEqual(outside, self.outside())
                self.assertEqual(lines is not None, log.exists())
                if lines is not None:
                    self.expect_log(log, arguments, lines)

    def test_run_that_no_one_can_see_shows_no_box_and_ends(self):
        # On a window station of its own, as a service's child runs, where a
        # box would wait for ever: no box, and the code /quiet gives, within
        # seconds. On the visible desktop, as controls, the boxes and 0, but
        # for the three codes every run gives.
        keys = subtree(1, 2)
        log = self.prefix.path / "drive_c" / "unseen.log"
        logged = r"/log:C:\unseen.log"
        could_not = "Could not {} file C:\\missing\\{}: error 3, "
        rows = [
            # name, Windows, arguments, standard user, a child that stays,
            # the /quiet code, the boxes on the visible desktop (by their
            # start), its exit code
            ("success", XP, [logged], False, False, 0, [SUCCESS], 0),
            ("refused on 2000", "win2k", [logged], False, False, 50, [VERSION_REFUSED], 0),
            ("refused on Vista", "vista", [], False, False, 50, [VERSION_REFUSED], 0),
            ("a standard user", XP, [], True, False, 5, [NOT_ADMINISTRATOR], 0),
            ("a key that stays", XP, [logged], False, True, 1013,
             [WARNING] * 2 * len(VIEWS) + [FAILURE], 0),
            ("help", XP, ["/?"], False, False, 0, [HELP], 0),
            ("a bad argument", XP, ["/force"], False, False, 87,
             [("Error", "Unknown argument: /force")], 87),
            ("a log that cannot be opened", XP, [r"/log:C:\missing\run.log"], False, False, 1622,
             [("Error", could_not.format("open the log", "run.log"))], 1622),
            ("a backup that cannot be written", XP, [r"/backup:C:\missing\b.reg"], False, False,
             29, [("Error", could_not.format("write the backup", "b.reg"))], 29),
        ]
        for name, version, arguments, user, stays, code, boxes, visible_code in rows:
            for hidden in (True, False):
                with self.subTest(name, hidden=hidden):
                    self.prepare(keys, version=version, then=staying(keys[1]) if stays else ())
                    log.unlink(missing_ok=True)
                    run = self.run_patch(arguments=arguments, standard_user=user, relay=False,
                                         station=hidden, timeout=30)
                    self.assertFalse(run.timed_out, "a box waited for an OK")
                    self.assertEqual(code if hidden else visible_code, run.exit_code)
                    self.assertEqual([] if hidden else boxes,
                                     [(caption, text[:len(start)]) for (caption, text), (_, start)
                                      in zip(run.boxes, boxes)] + run.boxes[len(boxes):])
                    if hidden:
                        self.assertLess(run.seconds, 10)
                    if logged in arguments:
                        said = "no one can see this window station" in log.read_text("cp1252")
                        self.assertEqual(hidden, said)
        # The control: the launcher finds a box there, the do-nothing program's.
        baseline = next(Path(os.environ["EXE_BUILD"]).glob("baseline-*.exe"))
        run = self.prefix.run(baseline, relay=False, station=True, timeout=30)
        self.assertEqual(1, len(run.boxes))

    def test_a_file_with_another_name_is_never_written(self):
        # A hard link made on the host at the log's and the backup's name,
        # to a file that the run would otherwise append to: refused, with
        # nothing touched and that file as it was. As controls, a plain file
        # of one name, with the same bytes, is appended to.
        keys = subtree(1, 2)
        drive = self.prefix.path / "drive_c"
        other = drive / "other.file"
        cases = [("/log:", "linked.log", b"earlier run\r\n", 1622),
                 ("/backup:", "linked.reg",
                  "\ufeffWindows Registry Editor Version 5.00\r\n\r\n".encode("utf-16-le"), 29)]
        for switch, name, content, code in cases:
            named = drive / name
            for linked in (True, False):
                with self.subTest(switch, linked=linked):
                    self.prepare(keys)
                    before = self.registry(KEY)
                    named.unlink(missing_ok=True)
                    other.write_bytes(content)
                    if linked:
                        os.link(other, named)
                    else:
                        named.write_bytes(content)
                    run = self.run_patch(arguments=["/quiet", f"{switch}C:\\{name}"], relay=False)
                    self.assertEqual(code if linked else 0, run.exit_code)
                    self.assertEqual(before if linked else {(v, KEY): {} for v in VIEWS},
                                     self.registry(KEY))
                    self.assertEqual(content, other.read_bytes())
                    grew = named.read_bytes()
                    self.assertEqual(content, grew[:len(content)])
                    self.assertEqual(linked, grew == content)
            named.unlink()

    def test_files_go_where_the_command_line_names_them(self):
        # Folders named outside the ANSI code page, beside the twins that
        # its best fit would make of them, and one in CJK, which it has no
        # fit for: the log and the backup land in the folder named, the
        # twin stays empty, and the log shows each name without best fit.
        keys = subtree(1, 2)
        drive = self.prefix.path / "drive_c"
        for named, twin in (("\u0141ukasz", "Lukasz"), ("\uff51\uff55\uff45\uff4e", "quen"),
                            ("\u65e5\u672c\u8a9e", None)):
            with self.subTest(named):
                folders = [drive / named] + ([drive / twin] if twin else [])
                for folder in folders:
                    shutil.rmtree(folder, ignore_errors=True)
                    folder.mkdir()
                self.prepare(keys)
                arguments = ["/quiet", f"/log:C:\\{named}\\q.log", f"/backup:C:\\{named}\\q.reg"]
                run = self.run_patch(arguments=arguments, relay=False)
                self.assertEqual(0, run.exit_code)
                self.assertEqual({(v, KEY): {} for v in VIEWS}, self.registry(KEY))
                self.assertEqual({"q.log", "q.reg"}, {p.name for p in folders[0].iterdir()})
                for folder in folders[1:]:
                    self.assertEqual([], list(folder.iterdir()))
                shown = " ".join(arguments).encode("cp1252", "replace").decode("cp1252")
                self.expect_log(folders[0] / "q.log", shown, ["Windows .*"]
                                + [r".*: \d+ keys removed.*"] * len(VIEWS) + ["End: Patch.*"])
                for folder in folders:
                    shutil.rmtree(folder)

    def test_runs_at_once_all_end_with_the_key_gone_and_one_log_loses_no_line(self):
        # Four runs at once (a start-up script and a deployment job, a retry,
        # a double-click) on 1,640 keys, one log for all and a backup each:
        # each ends with 0, whichever removed the key, the log holds every
        # line of every run whole, and the backups together hold every key.
        keys = [KEY] + [f"{KEY}\\B{b}" + (f"\\L{leaf}" if leaf >= 0 else "")
                        for b in range(40) for leaf in range(-1, 40)]
        drive = self.prefix.path / "drive_c"
        log = drive / "shared.log"
        backups = [drive / f"run{n}.reg" for n in range(4)]
        for path in [log, *backups]:
            path.unlink(missing_ok=True)
        self.prepare(keys)
        outside = self.outside()

        def run(n):
            return self.run_patch(arguments=["/quiet", "/log:C:\\shared.log",
                                             f"/backup:C:\\run{n}.reg"],
                                  relay=False, report_name=f"boxes{n}.txt", timeout=120)

        with ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(run, range(4)))
        self.assertEqual([0] * 4, [r.exit_code for r in runs])
        self.assertEqual({(v, KEY): {} for v in VIEWS}, self.registry(KEY))
        self.assertEqual(outside, self.outside())
        text = log.read_bytes().decode("cp1252")
        self.assertTrue(text.endswith("\r\n"), text[-200:])
        lines = text[:-2].split("\r\n")
        stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
        for line in lines:
            self.assertRegex(line, "^" + stamp + r"(quenlor-patch \d|Windows \d|"
                             r"(Registry|64-bit view|32-bit view): \d+ keys removed, 0 stayed, "
                             r"0 taken over$|End: Patch successful\. .* \(exit code 0\)$)")
        self.assertEqual(4, sum(" quenlor-patch " in line for line in lines))
        self.assertEqual(4, sum(" End: " in line for line in lines))
        saved = set()
        for backup in backups:
            saved |= {line[len("[HKEY_LOCAL_MACHINE\\"):-1].lower() for line in
                      backup.read_bytes().decode("utf-16-le").splitlines()
                      if line.startswith("[HKEY_LOCAL_MACHINE\\")}
        self.assertEqual({in_view(k, v).lower() for k in keys for v in VIEWS}, saved)

    def expect_log(self, log, arguments, patterns):
        """The log holds one run: its first line, then a line matching each
        of `patterns`, each dated and ended with CRLF."""
        text = log.read_bytes().decode("cp1252")
        self.assertTrue(text.endswith("\r\n"), text)
        lines = text[:-2].split("\r\n")
        stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
        self.assertRegex(lines[0], stamp + r"quenlor-patch \d+\.\d+\.\d+ on \S+ by \S+: .*"
                         + re.escape(arguments) + "$")
        self.assertEqual(len(patterns) + 1, len(lines), text)
        for pattern, line in zip(patterns, lines[1:]):
            self.assertRegex(line, "^" + stamp + pattern + "$")


if __name__ == "__main__":
    reason = lacking()
    if reason:
        print(f"skipped: {EXE.name} in a {ARCH} prefix: {reason}")
        sys.exit(SKIP_CODE)
    unittest.main(verbosity=2)
