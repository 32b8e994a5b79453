"""The executables in dist/ as Windows XP's loader sees them: PE header,
imports, version resource, size, and a byte-identical rebuild.

Environment (CTest sets it): SOURCE_DIR, DIST_DIR, BUILD_DIR (where the
x86 baseline was built).
"""

import hashlib
import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ["SOURCE_DIR"])
DIST = Path(os.environ["DIST_DIR"])
BUILD = Path(os.environ["BUILD_DIR"])
TARGETS = {
    # name: (objdump format, magic, highest OS and subsystem version, toolchain)
    "quenlor-patch.exe": ("pei-i386", "PE32", (5, 1), "mingw-i686"),
    "quenlor-patch-x64.exe": ("pei-x86-64", "PE32+", (5, 2), "mingw-x86_64"),
}
DLLS = {"KERNEL32.dll", "ADVAPI32.dll", "USER32.dll", "msvcrt.dll"}


def objdump(exe, *flags):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *flags, str(exe)], capture_output=True,
                          text=True, check=True).stdout


def imports(dump):
    found, dll = set(), None
    for line in dump.splitlines():
        match = re.match(r"\s+DLL Name: (\S+)", line)
        if match:
            dll = match.group(1)
        elif dll and re.match(r"\s+[0-9a-f]+\s+\d+\s+\S+$", line):
            found.add((dll, line.split()[-1]))
        elif not line.strip():
            dll = None
    return found


def header(dump, field):
    return int(re.search(rf"^{field}\s+([0-9a-fA-F]+)", dump, re.M).group(1), 16)


def build(toolchain, where):
    subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(where), "--toolchain",
                    str(SOURCE / "cmake" / f"{toolchain}.cmake"), "-DCMAKE_BUILD_TYPE=MinSizeRel"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(where), "-j2"], check=True, stdout=subprocess.DEVNULL)


class Executables(unittest.TestCase):
    def test_headers_say_gui_program_for_xp(self):
        for name, (fmt, magic, highest, _) in TARGETS.items():
            with self.subTest(name):
                dump = objdump(DIST / name, "-p")
                self.assertIn(f"file format {fmt}", dump)
                self.assertRegex(dump, rf"Magic\s+\w+\s+\({re.escape(magic)}\)")
                self.assertEqual(2, header(dump, "Subsystem"), "Windows GUI")
                for kind in ["OSystemVersion", "SubsystemVersion"]:
                    version = (header(dump, "Major" + kind), header(dump, "Minor" + kind))
                    self.assertLessEqual(version, highest, kind)
                self.assertRegex(dump, r"Time/Date\s+Thu Jan  1 00:00:00 1970")

    def test_imports_only_what_xp_exports(self):
        allowed = set()
        for line in (SOURCE / "tests" / "windows" / "xp-imports.txt").read_text().splitlines():
            if line and not line.startswith("#"):
                allowed.add(tuple(line.split()))
        for name in TARGETS:
            with self.subTest(name):
                found = imports(objdump(DIST / name, "-p"))
                self.assertTrue(found, "no imports read")
                self.assertEqual(set(), {dll for dll, _ in found} - DLLS)
                self.assertEqual(set(), found - allowed)
                for needed in ["GetVersionExA", "RegDeleteKeyA", "MessageBoxA"]:
                    self.assertIn(needed, {function for _, function in found})

    def test_version_resource_names_the_product(self):
        for name in TARGETS:
            with self.subTest(name):
                self.assertIn(".rsrc", objdump(DIST / name, "-h"))
                image = (DIST / name).read_bytes()
                for text in ["FileDescription", "Quenlor audio driver pre-install patch", name]:
                    self.assertIn(text.encode("utf-16-le"), image, text)

    def test_x86_is_within_2_kib_of_a_program_that_only_shows_a_box(self):
        patch = (DIST / "quenlor-patch.exe").stat().st_size
        baseline = (BUILD / "baseline-quenlor-patch.exe").stat().st_size
        print(f"\nsize: quenlor-patch.exe {patch} bytes, do-nothing baseline {baseline} bytes")
        self.assertLessEqual(patch - baseline, 2048)

    def test_clean_builds_are_byte_identical_and_summed(self):
        sums = {}
        for line in (DIST / "SHA256SUMS").read_text().splitlines():
            digest, name = line.split()
            sums[name.lstrip("*")] = digest
        self.assertEqual(set(TARGETS), set(sums))
        for name, (_, _, _, toolchain) in TARGETS.items():
            with self.subTest(name):
                digest = hashlib.sha256((DIST / name).read_bytes()).hexdigest()
                self.assertEqual(sums[name], digest)
                with tempfile.TemporaryDirectory() as where:
                    build(toolchain, Path(where) / "elsewhere")
                    rebuilt = Path(where) / "elsewhere" / name
                    self.assertEqual(digest, hashlib.sha256(rebuilt.read_bytes()).hexdigest())


if __name__ == "__main__":
    unittest.main(verbosity=2)
