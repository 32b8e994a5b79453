"""`make bench`: the patch against the tools a user would pick instead, under
Wine, on one prefix: reg.exe's `reg delete /f`, `regedit /s` with a
deleting .reg file, and the do-nothing program that shows one box (the floor
for any program that shows one), on a wide tree (20 subkeys a key) and a
deep one (2 a key), and the patch with /backup on the smaller trees. Each
subtree is built fresh before every timing; each timing is the median of
several runs, measured by the box reader from process start to exit. Writes
docs/benchmarks.md.
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelab  # noqa: E402

KEY = r"Software\Crystal Semiconductor"
# name: subkeys a key
SHAPES = {"wide": 20, "deep": 2}
# The walk's registry calls, from the relay trace.
WALK = ("RegOpenKeyExW", "RegEnumKeyExW", "NtDeleteKey", "RegCloseKey")
# The patch saving each key into a new file before it goes.
BACKED_UP = "with /backup"


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
        self.backup = prefix.path / "drive_c" / "bench-backup.reg"
        self.tools = {
            machine.exe.name: machine.exe,
            BACKED_UP: machine.exe,
            "reg delete /f": ["reg", "delete", "HKLM\\" + KEY, "/f"],
            "regedit /s": ["regedit", "/s", winelab.windows_path(self.deleter)],
            "do-nothing (one box)": machine.baseline,
        }
        self.arguments = {BACKED_UP: [r"/backup:C:\bench-backup.reg"]}
        self.patch = machine.exe.name

    def time(self, tool, keys, width=20):
        """Median seconds of `tool` on a fresh subtree of `keys` keys, `width`
        a key."""
        seconds = []
        tree = subtree(keys, width)
        for _ in range(self.repeats):
            self.prefix.apply(remove=[KEY], keys=[KEY] + tree, values=self.values(tree),
                              view=self.view)
            self.backup.unlink(missing_ok=True)
            # In a virtual desktop: with no window manager, Wine waits two
            # seconds for one to acknowledge each closed top-level window.
            run = self.prefix.run(self.tools[tool], relay=False, timeout=1800, desktop="640x480",
                                  arguments=self.arguments.get(tool, ()))
            if run.timed_out or run.exit_code != 0:
                raise RuntimeError(f"{tool} on {keys} keys: exit {run.exit_code}")
            if self.prefix.tree(KEY, view=self.view):
                raise RuntimeError(f"{tool} left the key on {keys} keys")
            seconds.append(run.seconds)
        return statistics.median(seconds)

    @staticmethod
    def values(tree):
        """A value on every tenth key, as installers leave some."""
        return {key: {"Setting": "1"} for key in tree[::10]}

    def startup(self, tools):
        """Seconds of each of `tools` on an absent key, in runs taken in
        turn, so that whatever else the machine does meanwhile falls on each
        alike: {tool: sorted samples}. Start-up is a few hundred
        milliseconds that vary by tens from run to run (the box reader polls
        every 20 ms): four times the samples."""
        self.prefix.apply(remove=[KEY], view=self.view)
        samples = {tool: [] for tool in tools}
        for _ in range(self.repeats * 4):
            for tool in tools:
                run = self.prefix.run(self.tools[tool], relay=False, timeout=1800,
                                      desktop="640x480", arguments=self.arguments.get(tool, ()))
                # reg.exe rightly exits 1 when there is no key to delete.
                if run.timed_out or (run.exit_code != 0 and not tool.startswith("reg ")):
                    raise RuntimeError(f"{tool} on no key: exit {run.exit_code}")
                samples[tool].append(run.seconds)
        return {tool: sorted(times) for tool, times in samples.items()}

    def restore_times(self, keys, width=20):
        """Median seconds of the patch's /restore and of `reg import`, each
        putting back the /backup of `keys` keys (a value on every tenth):
        {tool: seconds}, the two taken in turn."""
        tree = subtree(keys, width)
        self.prefix.apply(remove=[KEY], keys=[KEY] + tree, values=self.values(tree),
                          view=self.view)
        self.backup.unlink(missing_ok=True)
        run = self.prefix.run(self.tools[BACKED_UP], relay=False, timeout=1800,
                              arguments=["/quiet"] + self.arguments[BACKED_UP])
        if run.exit_code != 0:
            raise RuntimeError(f"/backup of {keys} keys: exit {run.exit_code}")
        file = r"C:\bench-backup.reg"
        commands = {"/restore": (self.tools[self.patch], ["/quiet", "/restore:" + file]),
                    "reg import": (["reg", "import", file], [])}
        seconds = {tool: [] for tool in commands}
        for _ in range(self.repeats):
            for tool, (command, arguments) in commands.items():
                self.prefix.apply(remove=[KEY], view=self.view)
                run = self.prefix.run(command, relay=False, timeout=1800, arguments=arguments)
                if run.exit_code != 0 or len(self.prefix.tree(KEY, view=self.view)) != keys + 1:
                    raise RuntimeError(f"{tool} of {keys} keys: exit {run.exit_code}")
                seconds[tool].append(run.seconds)
        return {tool: statistics.median(times) for tool, times in seconds.items()}

    def calls_per_key(self, keys, width, tool):
        """Platform calls the executable makes, from the relay trace."""
        tree = subtree(keys, width)
        self.prefix.apply(remove=[KEY], keys=[KEY] + tree, values=self.values(tree),
                          view=self.view)
        self.backup.unlink(missing_ok=True)
        run = self.prefix.run(self.tools[tool], relay=True, timeout=1800,
                              arguments=self.arguments.get(tool, ()))
        counts = {}
        for call in run.calls:
            counts[call.function] = counts.get(call.function, 0) + 1
        return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--dist", default="dist")
    parser.add_argument("--sizes", default="1000,10000")
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
                startup = bench.startup(bench.tools)
                results = {}
                for tool in bench.tools:
                    results[tool, "", 0] = statistics.median(startup[tool])
                    print(f"{tool:24}        no key: {results[tool, '', 0] * 1000:9.1f} ms",
                          flush=True)
                    if tool == "do-nothing (one box)":
                        continue  # it shows its box and ends: start-up is all it has
                    for shape, width in SHAPES.items():
                        # A flush for each key: the smaller trees only.
                        for keys in sizes[:1] if tool == BACKED_UP else sizes:
                            results[tool, shape, keys] = bench.time(tool, keys, width)
                            print(f"{tool:24} {shape:4} {keys:6} keys: "
                                  f"{results[tool, shape, keys] * 1000:9.1f} ms", flush=True)
                restores = {keys: bench.restore_times(keys) for keys in sizes}
                for keys, times in restores.items():
                    print(f"restore {keys:6} keys: " + ", ".join(
                        f"{tool} {seconds * 1000:.1f} ms" for tool, seconds in times.items()),
                        flush=True)
                calls = {(shape, tool): bench.calls_per_key(sizes[0], width, tool)
                         for shape, width in SHAPES.items() for tool in (bench.patch, BACKED_UP)}
                wine = prefix.wine_version()
    except winelab.HostError as error:
        sys.exit(f"make bench: {error}")
    report(results, startup, calls, sizes, args, machine, wine, restores)


def floor(keys, width):
    """The fewest registry calls this walk can make on the subtree below the
    key and the key itself, in one registry view: each key costs its
    parent's enumeration that finds it (the key itself: none), its open, its
    deletion and its close; each key with subkeys one more deletion, refused
    first, and one more enumeration, that finds nothing."""
    tree = subtree(keys, width)
    parents = {key.rsplit("\\", 1)[0] for key in tree}
    return 4 * keys + 3 + 2 * len(parents)


def spread(samples):
    """The middle half of `samples` (sorted), as (first quartile, third)."""
    quartiles = statistics.quantiles(samples, n=4)
    return quartiles[0], quartiles[2]


def report(results, startup, calls, sizes, args, machine, wine, restores):
    patch = machine.exe.name
    tools = [patch, "reg delete /f", "regedit /s"]
    largest = sizes[-1]

    def marginal(tool, shape, keys):
        return (results[tool, shape, keys] - results[tool, "", 0]) / keys

    bits = "64-bit" if machine.arch == "win64" else "32-bit"
    lines = ["# Benchmarks", "",
             "Produced by `make bench` (`python3 tools/bench.py "
             f"--sizes {args.sizes} --repeats {args.repeats}`) under Wine ({wine}), with "
             f"`{patch}` in one {bits} prefix reporting {machine.description} "
             f"(`{machine.version}`), against that prefix's own {bits} `reg.exe` and `regedit`, "
             "on this project's 2-core machine. Each figure is the median of "
             f"{args.repeats} runs ({4 * args.repeats} for start-up, the tools' runs taken in "
             "turn), timed by the box reader "
             "from process start to exit (the programs run in a Wine virtual desktop, as on a "
             "machine with a window manager), on a subtree built fresh before every run: a "
             "breadth-first tree, 20 subkeys a key (wide), or 2 a key (deep: 13 levels for "
             "10,000 keys).", "",
             "## Time (ms)", "",
             "| tool | no key (start-up) | " +
             " | ".join(f"{shape} {n}" for shape in SHAPES for n in sizes) + " |",
             "|---|---|" + "---|" * len(sizes) * len(SHAPES)]
    for tool in tools + [BACKED_UP, "do-nothing (one box)"]:
        row = [f"{results[tool, '', 0] * 1000:.1f}"]
        row += [f"{results[tool, shape, n] * 1000:.1f}" if (tool, shape, n) in results else ""
                for shape in SHAPES for n in sizes]
        lines.append(f"| {tool} | " + " | ".join(row) + " |")
    lines += ["", "## Marginal cost per key (µs): (time on N keys − start-up) / N", "",
              "| tool | " + " | ".join(f"{shape} {n}" for shape in SHAPES for n in sizes) + " |",
              "|---|" + "---|" * len(sizes) * len(SHAPES)]
    for tool in tools + [BACKED_UP]:
        lines.append(f"| {tool} | " + " | ".join(
            f"{marginal(tool, shape, n) * 1e6:.1f}" if (tool, shape, n) in results else ""
            for shape in SHAPES for n in sizes) + " |")
    ratios = {shape: marginal(patch, shape, largest) / marginal("reg delete /f", shape, largest)
              for shape in SHAPES}
    lines += ["", f"Per-key cost against `reg delete /f` on {largest} keys: " +
              ", ".join(f"{ratios[shape]:.2f} ({shape})" for shape in SHAPES) + "."]
    first = sizes[0]
    lines += ["", "## Restore (ms)", "",
              "Putting back the /backup of a wide subtree (a value on every tenth key), the "
              "patch's `/restore` (with /quiet) and `reg import` taken in turn, from process "
              f"start to exit. Per key: the time beyond {first} keys over the keys beyond "
              "them, which start-up does not touch.", "",
              "| keys | /restore | reg import | /restore per key (µs) | reg import per key (µs) "
              "| ratio |", "|---|---|---|---|---|---|"]
    for keys, times in restores.items():
        row = f"| {keys} | {times['/restore'] * 1000:.1f} | {times['reg import'] * 1000:.1f} |"
        if keys == first:
            lines.append(row + " | | |")
            continue
        own, imported = ((times[tool] - restores[first][tool]) / (keys - first)
                         for tool in ("/restore", "reg import"))
        lines.append(row + f" {own * 1e6:.1f} | {imported * 1e6:.1f} | {own / imported:.2f} |")
    nothing = "do-nothing (one box)"
    (low, high), (floor_low, floor_high) = spread(startup[patch]), spread(startup[nothing])
    overlap = low <= floor_high and floor_low <= high
    lines += ["", "## Start-up", "",
              f"On an absent key, {4 * args.repeats} runs of each, taken in turn (ms):", "",
              "| tool | median | middle half | fastest–slowest |", "|---|---|---|---|"]
    for tool in [patch, nothing, "reg delete /f", "regedit /s"]:
        first, third = spread(startup[tool])
        lines.append(f"| {tool} | {statistics.median(startup[tool]) * 1000:.1f} | "
                     f"{first * 1000:.1f}–{third * 1000:.1f} | "
                     f"{startup[tool][0] * 1000:.1f}–{startup[tool][-1] * 1000:.1f} |")
    lines += ["", f"The middle halves of the patch's runs and the do-nothing program's "
              f"{'overlap' if overlap else 'do not overlap'}: the patch's start-up is "
              f"{'within' if overlap else 'beyond'} the spread of a program that only shows "
              "a box.", "",
              f"## Platform calls on {sizes[0]} keys (relay trace)", "",
              "A value on every tenth key. With /backup, each key's values are read wide "
              "(`RegQueryInfoKeyW`, then `RegEnumValueW` for each value, the last first), "
              "and the file is written and flushed before each deletion that follows a write.",
              "", "| call | " + " | ".join(f"{shape}{', /backup' if tool == BACKED_UP else ''}"
                                            for shape, tool in calls) + " |",
              "|---|" + "---|" * len(calls)]
    names = sorted({name for counts in calls.values() for name in counts})
    lines += [f"| {name} | " + " | ".join(str(counts.get(name, 0)) for counts in calls.values())
              + " |" for name in names]
    lines.append("")
    for shape, width in SHAPES.items():
        walk = sum(calls[shape, patch].get(name, 0) for name in WALK)
        # On 64-bit Windows the other view is opened too, and holds nothing.
        least = floor(sizes[0], width) + len(machine.views) - 1
        lines.append(f"- {shape}: {walk} registry calls for {sizes[0]} keys and the key itself, "
                     f"{walk / sizes[0]:.3f} a key, against a floor of {least / sizes[0]:.3f}.")
    for shape in SHAPES:
        every = sum(n for name, n in calls[shape, BACKED_UP].items())
        without = sum(n for name, n in calls[shape, patch].items())
        lines.append(f"- {shape}, /backup: {every} platform calls in all, "
                     f"{(every - without) / sizes[0]:.3f} a key more than without it.")
    lines += ["", "The floor: each key costs its parent's enumeration that finds it, its open, "
              "its deletion and its close (4); each key with subkeys one refused deletion and "
              "one enumeration that finds nothing more (2).", "",
              "## Size", "", "| file | bytes |", "|---|---|"]
    build = Path(args.build)
    for path in [Path(args.dist) / "quenlor-patch.exe",
                 build / "windows-x86" / "baseline-quenlor-patch.exe",
                 Path(args.dist) / "quenlor-patch-x64.exe",
                 build / "windows-x64" / "baseline-quenlor-patch-x64.exe"]:
        lines.append(f"| {path.name} | {path.stat().st_size} |")
    lines += ["", "per-key cost ratio (patch/reg): " +
              ", ".join(f"{shape} {ratios[shape]:.2f}" for shape in SHAPES)]
    Path(args.out).write_text("\n".join(lines) + "\n")
    print("\n".join(lines[lines.index("## Marginal cost per key (µs): (time on N keys − start-up) / N"):]))


if __name__ == "__main__":
    main()
