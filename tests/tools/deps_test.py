"""tools/deps against package mirrors that fail as real ones do: apt-get,
dpkg and dpkg-query are small scripts on PATH that keep what is installed in
a folder, and fail as $FAIL says: update, i386 (any install that holds an
i386 package, as when the security suite's i386 list is missing), all."""
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

DEPS = Path(__file__).resolve().parents[2] / "tools" / "deps"
FAKES = {
    "dpkg-query": 'grep -qx "${@: -1}" "$STATE/installed" && echo "install ok installed"',
    "dpkg": '[[ $1 == --add-architecture ]] || cat "$STATE/arches" 2>/dev/null; true',
    "sudo": 'exec "$@"',
    "apt-get": r'''echo "$*" >>"$STATE/calls"
if [[ $1 == update ]]; then
  [[ $FAIL != *update* ]] || { echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100; }
  exit 0
fi
packages=$(for a in "${@:2}"; do [[ $a == -* || $prev == -t ]] || echo "$a"; prev=$a; done)
[[ $FAIL != *all* ]] || { echo "E: Unable to locate package ${packages%%$'\n'*}" >&2; exit 100; }
if [[ $FAIL == *i386* ]] && grep -q ':i386$' <<<"$packages"; then
  echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
fi
echo "$packages" >>"$STATE/installed"''',
}


def run_deps(fail):
    """tools/deps for every group against a mirror where `fail` fails: its
    exit code and standard error, what it set out to install, what got
    installed, the apt-get calls, and the file that tells why the 32-bit
    Wine is missing."""
    state = Path(tempfile.mkdtemp())
    for name, body in FAKES.items():
        (state / name).write_text(f"#!/usr/bin/env bash\n{body}\n")
        (state / name).chmod(0o755)
    (state / "installed").write_text("")
    why = state / "wine32-unavailable"
    done = subprocess.run(
        ["bash", str(DEPS), "host", "windows", "wine", "sign", "token"], capture_output=True,
        text=True, stdin=subprocess.DEVNULL, timeout=60,
        env=dict(os.environ, PATH=f"{state}:{os.environ['PATH']}", STATE=str(state), FAIL=fail,
                 WINE32_UNAVAILABLE=str(why)))
    wanted = set(done.stdout.partition("Installing: ")[2].splitlines()[0].split())
    return (done.returncode, done.stderr, wanted, set((state / "installed").read_text().split()),
            (state / "calls").read_text().splitlines(), why)


class DepsTest(unittest.TestCase):
    def test_each_way_a_mirror_fails(self):
        codename = next(line.split("=", 1)[1].strip('"\n') for line in
                        open("/etc/os-release") if line.startswith("VERSION_CODENAME="))
        # what fails: exit code, whether the i386 packages are left out,
        # what standard error says
        cases = [
            ("", 0, False, []),
            ("update", 0, False, ["warning: apt-get update failed twice", "Mirror sync"]),
            ("i386", 0, True, ["32-bit Wine is unavailable on this host", "held broken"]),
            ("update i386", 0, True, ["Mirror sync", "32-bit Wine is unavailable"]),
            ("all", 1, False, ["cannot install", "Unable to locate package"]),
        ]
        for fail, code, left_out, said in cases:
            with self.subTest(fail=fail):
                exit_code, stderr, wanted, got, calls, why = run_deps(fail)
                self.assertEqual(code, exit_code, stderr)
                self.assertIn("wine32:i386", wanted)
                self.assertEqual(set() if code else wanted - {"wine32:i386"} if left_out
                                 else wanted, got)
                for text in said:
                    self.assertIn(text, stderr)
                self.assertEqual(2 if "update" in fail else 1,
                                 sum(c.startswith("update") for c in calls))
                # The release's own versions are tried before anything is
                # left out or given up; the reason is kept for the Wine runs,
                # and said in one line, only where the 32-bit Wine is missing.
                self.assertEqual(fail.replace("update", "").strip() != "",
                                 any(f"-t {codename}" in c for c in calls), calls)
                self.assertEqual(left_out, why.exists())
                self.assertEqual(int(left_out), stderr.count("32-bit Wine"))
                if left_out:
                    self.assertIn("held broken packages", why.read_text())


if __name__ == "__main__":
    unittest.main()
