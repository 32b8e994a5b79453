"""`make bench`: the patch against the tools a user would pick instead, under
Wine, on one prefix: reg.exe's `reg delete /f`, `regedit /s` with a
deleting .reg file, and the do-nothing program that shows one box (the floor
for any program that shows one). Each subtree is built fresh before every
timing; each timing is the median of several runs, measured by the box
reader from process start to exit. Writes docs/benchmarks.md.
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelab  # noqa: E402

KEY = r"Software\Crystal Semiconductor"


def subtree(count, width=20):
    """`count` keys below the patch key, breadth-first, `width` per parent."""
    keys, parents = [], [KEY]
    while len(keys) < count:
        parent = parents.pop(0)
        for i in range(min(width, count - len(keys))):
            keys.append(f"{parent}\\Node{len(keys):05d}")
            parents.append(keys[-1])
    return keys


class Bench:
    def __init__(self, prefix, machine, repeats):
        # The subtree goes into the native view; the patch also looks into
        # the other view of a 64-bit machine, and finds nothing there.
        self.prefix, self.view, self.repeats = prefix, machine.views[0], repeats
        self.deleter = prefix.logs / "delete.reg"
        self.deleter.parent.mkdir(parents=True, exist_ok=True)
        self.deleter.write_bytes(b"REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\" + KEY.encode() +
                                 b"]\r\n\r\n")
        # In a 64-bit prefix these are the 64-bit reg.exe and regedit, which
        # work in the same registry view as the x64 patch.
        self.tools = {
            machine.exe.name: machine.exe,
            "reg delete /f": ["reg", "delete", "HKLM\\" + KEY, "/f"],
            "regedit /s": ["regedit", "/s", winelab.windows_path(self.deleter)],
            "do-nothing (one box)": machine.baseline,
        }
        self.patch = machine.exe.name

    def time(self, tool, keys):
        """Median seconds of `tool` on a fresh subtree of `keys` keys (0: no key)."""
        seconds = []
        tree = subtree(keys)
        # Start-up is a few hundred milliseconds that vary by tens from run
        # to run (the box reader polls every 20 ms): four times the samples.
        for _ in range(self.repeats * (4 if keys == 0 else 1)):
            self.prefix.apply(remove=[KEY], keys=[KEY] + tree if keys else [], view=self.view)
            # In a virtual desktop: with no window manager, Wine waits two
            # seconds for one to acknowledge each closed top-level window.
            run = self.prefix.run(self.tools[tool], relay=False, timeout=1800, desktop="640x480")
            # reg.exe rightly exits 1 when there is no key to delete.
            if run.timed_out or (run.exit_code != 0 and not (keys == 0 and tool.startswith("reg "))):
                raise RuntimeError(f"{tool} on {keys} keys: exit {run.exit_code}")
            if keys and tool != "do-nothing (one box)" and self.prefix.tree(KEY, view=self.view):
                raise RuntimeError(f"{tool} left the key on {keys} keys")
            seconds.append(run.seconds)
        return statistics.median(seconds)

    def calls_per_key(self, keys):
        """Platform calls the executable makes, from the relay trace."""
        self.prefix.apply(remove=[KEY], keys=[KEY] + subtree(keys), view=self.view)
        run = self.prefix.run(self.tools[self.patch], relay=True, timeout=1800)
        counts = {}
        for call in run.calls:
            counts[call.function] = counts.get(call.function, 0) + 1
        return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--dist", default="dist")
    parser.add_argument("--sizes", default="1000,10000,30000")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default="docs/benchmarks.md")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    build = Path(args.build)
    machine = winelab.xp_machine(build, args.dist, "bench")
    if machine.arch == "win64":
        print(f"{winelab.lacks_32bit()}: timing {machine.exe.name} on a "
              f"{machine.description} prefix instead.")
    try:
        with winelab.Display() as display:
            prefix = winelab.Prefix(build / "wine" / machine.name, machine.arch,
                                    machine.tools)
            with prefix.open(display):
                bench = Bench(prefix, machine, args.repeats)
                prefix.apply(version=machine.version)
                results = {}
                for tool in bench.tools:
                    for keys in [0] + sizes:
                        if keys and tool == "do-nothing (one box)":
                            continue
                        results[tool, keys] = bench.time(tool, keys)
                        print(f"{tool:24} {keys:6} keys: {results[tool, keys] * 1000:9.1f} ms",
                              flush=True)
                calls = bench.calls_per_key(sizes[0])
                wine = prefix.wine_version()
    except winelab.HostError as error:
        sys.exit(f"make bench: {error}")
    report(results, calls, sizes, args, machine, wine)


def report(results, calls, sizes, args, machine, wine):
    patch = machine.exe.name
    tools = [patch, "reg delete /f", "regedit /s"]
    largest = sizes[-1]

    def marginal(tool, keys):
        return (results[tool, keys] - results[tool, 0]) / keys

    bits = "64-bit" if machine.arch == "win64" else "32-bit"
    lines = ["# Benchmarks", "",
             "Produced by `make bench` (`python3 tools/bench.py "
             f"--sizes {args.sizes} --repeats {args.repeats}`) under Wine ({wine}), with "
             f"`{patch}` in one {bits} prefix reporting {machine.description} "
             f"(`{machine.version}`), against that prefix's own {bits} `reg.exe` and `regedit`, "
             "on this project's 2-core machine. Each figure is the median of "
             f"{args.repeats} runs ({4 * args.repeats} for start-up), timed by the box reader from process start to exit (the "
             "programs run in a Wine virtual desktop, as on a machine with a window manager), on a "
             "subtree built fresh before every run (a breadth-first tree, 20 subkeys a key).", "",
             "## Time (ms)", "",
             "| tool | no key (start-up) | " + " | ".join(f"{n} keys" for n in sizes) + " |",
             "|---|---|" + "---|" * len(sizes)]
    for tool in tools + ["do-nothing (one box)"]:
        row = [f"{results[tool, 0] * 1000:.1f}"]
        row += [f"{results[tool, n] * 1000:.1f}" if (tool, n) in results else "" for n in sizes]
        lines.append(f"| {tool} | " + " | ".join(row) + " |")
    lines += ["", "## Marginal cost per key (µs): (time on N keys − start-up) / N", "",
              "| tool | " + " | ".join(f"{n} keys" for n in sizes) + " |",
              "|---|" + "---|" * len(sizes)]
    for tool in tools:
        lines.append(f"| {tool} | " +
                     " | ".join(f"{marginal(tool, n) * 1e6:.1f}" for n in sizes) + " |")
    floor = results["do-nothing (one box)", 0]
    startup = results[patch, 0]
    ratio = marginal(patch, largest) / marginal("reg delete /f", largest)
    total = sum(calls.values())
    lines += ["", "## Start-up", "",
              f"On an absent key the patch takes {startup * 1000:.1f} ms against "
              f"{floor * 1000:.1f} ms for the do-nothing program: "
              f"{(startup / floor - 1) * 100:+.1f}%.", "",
              f"## Platform calls on {sizes[0]} keys (relay trace)", "",
              "| call | count |", "|---|---|"]
    lines += [f"| {name} | {count} |" for name, count in sorted(calls.items())]
    tree = subtree(sizes[0])
    parents = {key.rsplit("\\", 1)[0] for key in tree}
    leaves = sum(key not in parents for key in tree)
    floor = 5 + leaves / sizes[0]
    lines += ["", f"{total} calls for {sizes[0]} keys: {total / sizes[0]:.3f} a key, against "
              f"a floor of {floor:.3f} a key for this walk: 5 for each key (one open, one close, "
              "one delete, one enumeration that finds the key and one that finds nothing below "
              f"it), and a link test for each of the {leaves} keys found without subkeys.", "",
              "## Size", "", "| file | bytes |", "|---|---|"]
    build = Path(args.build)
    for path in [Path(args.dist) / "quenlor-patch.exe",
                 build / "windows-x86" / "baseline-quenlor-patch.exe",
                 Path(args.dist) / "quenlor-patch-x64.exe",
                 build / "windows-x64" / "baseline-quenlor-patch-x64.exe"]:
        lines.append(f"| {path.name} | {path.stat().st_size} |")
    lines += ["", f"per-key cost ratio (patch/reg): {ratio:.2f}"]
    Path(args.out).write_text("\n".join(lines) + "\n")
    print("\n".join(lines[lines.index("## Marginal cost per key (µs): (time on N keys − start-up) / N"):]))


if __name__ == "__main__":
    main()
