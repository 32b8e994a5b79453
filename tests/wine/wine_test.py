"""The shipped executables under Wine, playing Windows XP: what they show,
what they leave in the registry, their exit code, and every platform call
they make, read from Wine's relay trace.

Configured by the environment (CTest sets it):
  PATCH_EXE      the executable under test
  WINE_ARCH      win32 or win64
  WINE_PREFIX    where the prefix lives (created on first use, then reused)
  WINE_TOOLS     where boxreader.exe and reglink.exe for the prefix's
                 architecture are

On a host that runs no 32-bit code (or with PATCH_WINE_32=0), a run that
needs it exits with SKIP_CODE after saying why.
"""

import os
import sys
import unittest
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import winelab  # noqa: E402

KEY = r"Software\Crystal Semiconductor"
HKLM = 0x80000002
KEY_ALL_ACCESS = 0xF003F
REG_OPTION_OPEN_LINK = 8
SUCCESS = ("", "Patch successful. You may now install the Quenlor audio driver")
VERSION_REFUSED = ("Error", "This patch is for Windows XP only")
NOT_ADMINISTRATOR = ("Error", "You must have administrator rights to apply this patch")
FAILURE = ("Error", "Patch failed. Some registry keys could not be deleted")
WARNING = ("Debug", "Could not delete a child key")
NEIGHBOURS = [r"Software\Crystal", r"Software\Crystal Semiconductor2\Keep",
              r"Software\Crystal Semi"]
# A key outside ours, with values, subkeys and an empty leaf: what a followed
# link would lose.
VICTIM = r"Software\Victim"
VICTIM_KEYS = [VICTIM + r"\Empty", VICTIM + r"\Service\Parameters"]
GATES = ["GetVersionExA", "AllocateAndInitializeSid", "CheckTokenMembership", "FreeSid"]
SKIP_CODE = 77

ARCH = os.environ.get("WINE_ARCH", "win32")
EXE = Path(os.environ["PATCH_EXE"])
X86 = winelab.is_x86(EXE)
# A 64-bit prefix keeps two views of HKLM\Software; the executable works in
# its own.
VIEW = (32 if X86 else 64) if ARCH == "win64" else None
OTHER_VIEW = {32: 64, 64: 32}.get(VIEW)
XP = "winxp64" if ARCH == "win64" else "winxp"
# Wine's names for Windows 5.1 and 5.2.
ADMITTED = ["winxp", "win2003"] + (["winxp64"] if ARCH == "win64" else [])
REFUSED = ["win98", "nt40", "win2k", "vista", "win7", "win10"]


def nt_path(key):
    """The NT path of HKLM\\key in the executable's view, as a link names it."""
    if VIEW == 32:
        key = key.replace("Software\\", "Software\\Wow6432Node\\", 1)
    return "\\Registry\\Machine\\" + key


def lacking():
    """Why this run cannot happen on this host, or None."""
    return winelab.lacks("win32") if X86 or ARCH == "win32" else winelab.lacks(ARCH)


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
    """One level of the walk, as the trace shows it."""
    path: str
    handle: int = None
    subkeys: int = 0  # enumerations that found one
    tested: bool = False  # the link test was made


class Trace:
    """Holds a relay trace against the order and arguments the patch must
    use, replaying it over the keys that were there before the run."""

    def __init__(self, test, run, keys):
        self.test, self.calls = test, run.calls
        self.keys = {k.lower() for k in keys}

    def functions(self):
        return [c.function for c in self.calls]

    def check_gates(self):
        t, calls = self.test, self.calls
        t.assertEqual(GATES, self.functions()[:4])
        sid = calls[1]
        # DWORD arguments travel in 64-bit registers on x64; only the low
        # half is the argument.
        t.assertEqual([2, 0x20, 0x220, 0, 0, 0, 0, 0, 0],
                      [a & 0xFFFFFFFF for a in sid.args[1:10]])
        t.assertEqual(1, sid.result)
        t.assertEqual(0, calls[2].arg(0), "CheckTokenMembership must ask about the caller's token")
        t.assertEqual(1, calls[2].result)
        t.assertEqual(calls[2].arg(1), calls[3].arg(0), "FreeSid must free the SID it asked about")

    def check_walk(self, expect_failures=False):
        """Post-order deletion by full path under HKLM, every key opened as
        itself, every handle closed in LIFO order and before its key is
        deleted by path, index 0 while nothing failed, a link test only on a
        key found without subkeys, and a link removed only through its own
        handle, after that test. Returns the paths of the links removed."""
        t, keys, links = self.test, set(self.keys), []
        opened = []  # a Level for each key still open, innermost last
        for call in self.calls[4:]:
            name = call.function
            level = opened[-1] if opened else None
            if name in ("RegEnumKeyExA", "RegQueryValueExA", "NtDeleteKey", "RegCloseKey"):
                t.assertTrue(level, f"{name} without an open key")
                if level.handle is None:
                    level.handle = call.arg(0)
                t.assertEqual(level.handle, call.arg(0), f"{name} on a handle not on top")
            if name == "RegOpenKeyExA":
                t.assertTrue(hklm(call.arg(0)))
                t.assertEqual([REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS],
                              [a & 0xFFFFFFFF for a in call.args[2:4]])
                t.assertLessEqual(len(call.arg(1)), 259)
                if call.result == 0:
                    opened.append(Level(call.arg(1).lower()))
            elif name == "RegEnumKeyExA":
                t.assertEqual([0, 0, 0, 0], call.args[4:8])
                if not expect_failures:
                    t.assertEqual(0, call.arg(1) & 0xFFFFFFFF)
                level.subkeys += call.result == 0
            elif name == "RegQueryValueExA":
                t.assertEqual(0, level.subkeys, "a link test on a key that had subkeys")
                t.assertEqual(["SymbolicLinkValue", 0], call.args[1:3])
                t.assertEqual([0, 0], call.args[4:6], "the link test reads the type only")
                level.tested = True
            elif name == "NtDeleteKey":
                t.assertTrue(level.tested, "a key removed by handle without a link test")
                if call.result == 0:
                    links.append(level.path)
            elif name == "RegCloseKey":
                opened.pop()
            elif name == "RegDeleteKeyA":
                path = call.arg(1).lower()
                t.assertTrue(hklm(call.arg(0)))
                t.assertNotIn(path, [level.path for level in opened],
                              "deleted a key whose handle is open")
                t.assertNotIn(path, links, "deleted a link by its path")
                if call.result == 0:
                    t.assertFalse([k for k in keys if k.startswith(path + "\\")],
                                  f"{path} deleted before its subkeys")
                    keys.discard(path)
            elif name == "MessageBoxA":
                t.assertEqual(0, call.arg(0))
                t.assertIn(call.arg(3) & 0xFFFFFFFF, (0x10, 0x30, 0x40))
            else:
                t.fail(f"unexpected call {name}")
        t.assertEqual([], opened, "handles left open")
        return links


class WineSuite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = winelab.Display().__enter__()
        cls.prefix = winelab.Prefix(os.environ["WINE_PREFIX"], ARCH, os.environ["WINE_TOOLS"])
        cls.prefix.open(cls.display)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()
        cls.display.__exit__()

    def prepare(self, keys, version=XP, view=VIEW, links=None):
        """Removes the key, its neighbours and the victim from every view,
        then seeds `keys` (with some values), the neighbours, the victim and
        `links` ({path: target}) into `view`."""
        values = {k: {"DriverVersion": "3.1", "Path": "C:\\\\Quenlor"} for k in keys[::3]}
        values.update({VICTIM: {"Config": "keep"}, VICTIM_KEYS[1]: {"Start": "2"}})
        roots = [KEY, VICTIM] + [n.split("\\Keep")[0] for n in NEIGHBOURS]
        for other in ([32, 64] if VIEW else []):
            if other != view:
                self.prefix.apply(remove=roots, view=other)
        self.prefix.apply(remove=roots, keys=keys + NEIGHBOURS + [VICTIM] + VICTIM_KEYS,
                          values=values, version=version, view=view)
        if links:
            self.prefix.link(links, view=view)

    def neighbours(self, view=VIEW):
        found = {}
        for root in {n.split("\\")[1] for n in NEIGHBOURS}:
            found.update(self.prefix.tree("Software\\" + root, view=view))
        return found

    def expect_removed(self, run, keys, view=VIEW, links=()):
        """The key and its subtree are gone: each of `keys` deleted by path,
        each of `links` removed as a link."""
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([SUCCESS], run.boxes)
        self.assertEqual({}, self.prefix.tree(KEY, view=view))
        trace = Trace(self, run, keys)
        trace.check_gates()
        self.assertEqual(sorted(k.lower() for k in links), sorted(trace.check_walk()))
        self.assertEqual(("", "information", SUCCESS[1]), run.shown()[-1])
        deletes = [c for c in run.calls if c.function == "RegDeleteKeyA" and c.result == 0]
        self.assertEqual(len(keys), len(deletes))

    def test_refused_versions_leave_the_registry_alone(self):
        keys = subtree(2, 2)
        for version in REFUSED:
            with self.subTest(version=version):
                self.prepare(keys, version=version)
                before = self.prefix.tree(KEY, view=VIEW)
                run = self.prefix.run(EXE)
                self.assertEqual(0, run.exit_code)
                self.assertEqual([VERSION_REFUSED], run.boxes)
                # The trace shows that nothing but the version query came first.
                self.assertEqual(["GetVersionExA", "MessageBoxA"],
                                 [c.function for c in run.calls])
                self.assertEqual(("Error", "error", VERSION_REFUSED[1]), run.shown()[0])
                self.assertEqual(before, self.prefix.tree(KEY, view=VIEW))

    def test_admitted_versions_remove_the_key(self):
        keys = subtree(2, 3)
        for version in ADMITTED:
            with self.subTest(version=version):
                self.prepare(keys, version=version)
                self.expect_removed(self.prefix.run(EXE), keys)

    def test_standard_user_is_refused_and_nothing_is_touched(self):
        keys = subtree(2, 2)
        self.prepare(keys)
        before = self.prefix.tree(KEY, view=VIEW)
        self.assertEqual(len(keys), len(before))
        run = self.prefix.run(EXE, standard_user=True)
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([NOT_ADMINISTRATOR], run.boxes)
        self.assertEqual(("Error", "error", NOT_ADMINISTRATOR[1]), run.shown()[0])
        trace = Trace(self, run, keys)
        trace.check_gates()
        self.assertEqual(GATES + ["MessageBoxA"], trace.functions(), "no registry call")
        self.assertEqual(before, self.prefix.tree(KEY, view=VIEW))

    def test_xp_removes_a_deep_wide_subtree_and_nothing_else(self):
        keys = subtree(5, 3)
        self.prepare(keys)
        neighbours = self.neighbours()
        self.assertEqual(len(NEIGHBOURS) + 1, len(neighbours))
        self.expect_removed(self.prefix.run(EXE), keys)
        self.assertEqual(neighbours, self.neighbours())

    def test_links_go_as_links_and_their_targets_stay(self):
        keys = subtree(2, 2)
        links = {KEY + r"\Link": nt_path(VICTIM),
                 keys[-1] + r"\Deep": nt_path(VICTIM_KEYS[0]),  # an empty key outside
                 KEY + r"\Dangling": nt_path(r"Software\Nowhere"),
                 keys[3] + r"\Inside": nt_path(keys[2])}  # a key walked later
        self.prepare(keys, links=links)
        victim = self.prefix.tree(VICTIM, view=VIEW)
        self.assertEqual(len(VICTIM_KEYS) + 2, len(victim))
        self.expect_removed(self.prefix.run(EXE), keys, links=links)
        self.assertEqual(victim, self.prefix.tree(VICTIM, view=VIEW))

    def test_patch_key_that_is_a_link_goes_as_a_link(self):
        self.prepare([], links={KEY: nt_path(VICTIM)})
        victim = self.prefix.tree(VICTIM, view=VIEW)
        self.expect_removed(self.prefix.run(EXE), [], links=[KEY])
        self.assertEqual(victim, self.prefix.tree(VICTIM, view=VIEW))

    def test_second_run_finds_nothing_and_still_succeeds(self):
        keys = subtree(2, 2)
        self.prepare(keys)
        self.expect_removed(self.prefix.run(EXE), keys)
        run = self.prefix.run(EXE)
        self.assertEqual([SUCCESS], run.boxes)
        self.assertEqual(0, run.exit_code)
        self.assertEqual([2], [c.result for c in run.calls if c.function == "RegOpenKeyExA"])
        self.assertEqual([2], [c.result for c in run.calls if c.function == "RegDeleteKeyA"])

    def test_path_past_the_buffer_is_warned_about_not_overrun(self):
        # Three levels under the key; the third's path is 270 characters.
        first = KEY + "\\" + "A" * 120
        second = first + "\\" + "B" * 100
        third = second + "\\" + "C" * 18
        keys = [KEY, first, second, third, KEY + "\\Plain"]
        self.assertGreater(len(third), 259)
        self.prepare(keys)
        run = self.prefix.run(EXE)
        self.assertFalse(run.timed_out)
        self.assertEqual(0, run.exit_code)
        # The third cannot be reached, so second, first and the key stay.
        self.assertEqual([WARNING, WARNING, WARNING, FAILURE], run.boxes)
        self.assertEqual(("Debug", "warning", WARNING[1]), run.shown()[0])
        self.assertEqual(("Error", "error", FAILURE[1]), run.shown()[-1])
        left = {k.lower() for k in self.prefix.tree(KEY, view=VIEW)}
        self.assertEqual({k.lower() for k in keys[:4]}, left)
        trace = Trace(self, run, keys)
        trace.check_gates()
        trace.check_walk(expect_failures=True)

    def test_the_other_registry_view_is_left_alone(self):
        if OTHER_VIEW is None:
            self.skipTest("a 32-bit prefix has one registry view")
        own, other = subtree(2, 2), subtree(1, 2)
        self.prepare(own)
        self.prefix.apply(keys=other, view=OTHER_VIEW)
        self.expect_removed(self.prefix.run(EXE), own)
        self.assertEqual({k.lower() for k in other},
                         {k.lower() for k in self.prefix.tree(KEY, view=OTHER_VIEW)})


if __name__ == "__main__":
    reason = lacking()
    if reason:
        print(f"skipped: {EXE.name} in a {ARCH} prefix: {reason}")
        sys.exit(SKIP_CODE)
    unittest.main(verbosity=2)
