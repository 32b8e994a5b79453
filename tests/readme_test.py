"""The README against the code it describes: what an administrator reads
there must be what the program does."""
import re
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
README = (SOURCE / "README.md").read_text()
DEVELOPING = (SOURCE / "docs" / "developing.md").read_text()
TEXTS_H = (SOURCE / "patch" / "texts.h").read_text()
# The /? box's text, one switch or exit code a line.
USAGE = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', re.search(
    r"UsageText\[\] = (.*?);", TEXTS_H, re.S).group(1))).replace(r"\n", "\n").splitlines()
# What Windows' error constants stand for, as the model's header gives them.
ERRORS = dict(re.findall(r"^#define (ERROR_\w+) (\d+)$",
                         (SOURCE / "platform" / "emulated" / "windows.h").read_text(), re.M))
# Every string literal of the logic, adjacent ones joined as the compiler
# joins them, escapes undone, and each number or number pattern as "N".
LITERALS = re.sub(r"%\d?[ux]|\d+", "N", "\n".join(
    "".join(part.replace("\\\\", "\\") for part in re.findall(r'"((?:[^"\\]|\\.)*)"', run))
    for path in sorted((SOURCE / "patch").glob("*.[ch]*"))
    for run in re.findall(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+', path.read_text())))
IMPORTS = (SOURCE / "tests" / "windows" / "xp-imports.txt").read_text()
CMAKE = "".join(p.read_text() for p in [SOURCE / "CMakeLists.txt", SOURCE / "tests" /
                                        "CMakeLists.txt", *(SOURCE / "cmake").glob("*.cmake")])


def cells(title):
    """The first cell of each body row of the table under the README's
    heading `title`."""
    text = re.search(rf"^(#+) {re.escape(title)}\n(.*?)(?=^\1 |\Z)", README, re.M | re.S)[2]
    return [row.split("|")[1].strip() for row in text.splitlines()
            if row.startswith("|") and row[2:3] in "`0123456789" and row[2:3]]


class ReadmeTest(unittest.TestCase):
    def test_the_readme_says_what_the_code_does(self):
        layout = re.search(r"^## Layout\n(.*)", DEVELOPING, re.M | re.S)[1]
        # A log line, or a fragment of one, that the README quotes in
        # backticks where it tells what the log holds: each part of it,
        # between ": ", stands in the logic's texts.
        quoting = "".join(re.search(rf"^## {title}\n(.*?)^## ", README, re.M | re.S)[1]
                          for title in ("Exit codes", "Deploying to a fleet", "The log"))
        fragments = [re.sub(r"\s+", " ", f) for f in re.findall(r"`([^`]+)`", quoting) if re.match(r"[A-Z(]", f)
                     and re.search(r"[a-z:]", f) and not re.search(r"[\\<_%]", f)]
        # what, the README's side, the code's side
        checks = [
            ("exit codes against texts.h", {int(c.split()[0]) for c in cells("Exit codes")},
             {int(ERRORS[name]) for name in
              re.findall(r"^constexpr int Exit\w+ = (ERROR_\w+);", TEXTS_H, re.M)}),
            ("exit codes against the /? box", {int(c.split()[0]) for c in cells("Exit codes")},
             {int(line.split(":")[0]) for line in USAGE if re.match(r"\d+:", line)}),
            ("switches against the /? box", {s for c in cells("Switches")
                                             for s in re.findall(r"`([^`]+)`", c)},
             {s for line in USAGE if line.startswith("/")
              for s in line.split(": ")[0].split(" or ")}),
            ("layout against what CMake builds", set(re.findall(r"`([\w/.-]+\.cpp)`", layout)),
             {Path(name).name for name in re.findall(r"[\w/.${}-]+\.cpp\b", CMAKE)}),
            ("DLLs the README names against the import lists",
             set(re.findall(r"\b([A-Z0-9]{5,})\b", re.search(
                 r"import only ([^;.]*)", README)[1])),
             {line.split(".")[0] for line in IMPORTS.splitlines()
              if line and not line.startswith("#")}),
            ("log lines the README quotes against the logic's texts",
             {f for f in fragments if all(part.strip() in LITERALS for part in
                                          re.sub(r"\d+", "N", f).split(": "))},
             set(fragments)),
            ("layout against the logic's headers",
             set(re.findall(r"`(\w+\.h)`", layout.split("\n- `platform/")[0])),
             {path.name for path in (SOURCE / "patch").glob("*.h")}),
        ]
        for what, readme, code in checks:
            with self.subTest(what):
                self.assertTrue(code, "nothing read from the code")
                self.assertEqual(code, readme)


if __name__ == "__main__":
    unittest.main()
