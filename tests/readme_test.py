"""The README against the code it describes: what an administrator reads
there must be what the program does."""
import re
import sys
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
README = (SOURCE / "README.md").read_text()
PATCH_H = (SOURCE / "patch" / "patch.h").read_text()


def section(title):
    """The README's section under the heading `title`, to the next of its rank."""
    found = re.search(rf"^(#+) {re.escape(title)}\n(.*?)(?=^\1 |\Z)", README, re.M | re.S)
    return found.group(2)


def first_column(text):
    """The first cell of each row of the tables in `text`, but the headers."""
    rows = [line.split("|")[1].strip() for line in text.splitlines() if line.startswith("|")]
    return [cell for cell in rows if not set(cell) <= set("-: ") and cell[0] in "`0123456789"]


def readme_exit_codes():
    return {int(cell.split()[0]) for cell in first_column(section("Exit codes"))}


def code_exit_codes():
    # Each ExitX is a Windows error constant, whose value the model's header
    # gives as Windows' does.
    values = dict(re.findall(r"^#define (ERROR_\w+) (\d+)$",
                             (SOURCE / "platform" / "emulated" / "windows.h").read_text(), re.M))
    return {int(values[name]) for name in
            re.findall(r"^constexpr int Exit\w+ = (ERROR_\w+);", PATCH_H, re.M)}


def usage_text():
    found = re.search(r"UsageText\[\] = (.*?);", PATCH_H, re.S)
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', found.group(1))).replace(r"\n", "\n")


def readme_switches():
    return {name for cell in first_column(section("Switches"))
            for name in re.findall(r"`([^`]+)`", cell)}


def usage_switches():
    # "/quiet or /q: ...", one a line.
    return {name for line in usage_text().splitlines() if line.startswith("/")
            for name in line.split(": ")[0].split(" or ")}


def usage_exit_codes():
    return {int(line.split(":")[0]) for line in usage_text().splitlines()
            if re.match(r"\d+:", line)}


def readme_sources():
    return set(re.findall(r"`([\w/.-]+\.cpp)`", section("Layout")))


def built_sources():
    # Named by their file name where the layout lists a folder's files.
    cmake = "".join(path.read_text() for path in
                    [SOURCE / "CMakeLists.txt", SOURCE / "tests" / "CMakeLists.txt",
                     *(SOURCE / "cmake").glob("*.cmake")])
    return {Path(name).name for name in re.findall(r"[\w/.${}-]+\.cpp\b", cmake)}


class ReadmeTest(unittest.TestCase):
    def test_the_readme_says_what_the_code_does(self):
        # what, the README's side, the code's side
        checks = [
            ("exit codes against patch.h", readme_exit_codes, code_exit_codes),
            ("exit codes against the /? box", readme_exit_codes, usage_exit_codes),
            ("switches against the /? box", readme_switches, usage_switches),
            ("layout against what CMake builds", readme_sources, built_sources),
        ]
        for what, readme, code in checks:
            with self.subTest(what):
                self.assertTrue(code(), "nothing read from the code")
                self.assertEqual(code(), readme())


if __name__ == "__main__":
    sys.exit(unittest.main())
