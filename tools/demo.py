"""`make run`: the patch's job on a scratch Windows XP under Wine.

Seeds a sample HKLM\\Software\\Crystal Semiconductor subtree into a 32-bit
(XP) prefix under the build tree, shows it, runs dist/quenlor-patch.exe
against it with /log and /backup, prints each message box as the user sees
it, says what is left of the key afterwards, and shows the run's log and
backup. On a host that
runs no 32-bit code, the same is done with dist/quenlor-patch-x64.exe in a
64-bit (XP x64) prefix. With a desktop (DISPLAY set) the boxes appear there
for the user to click; otherwise a private Xvfb is used and the boxes are
dismissed here. Each box is saved as a screenshot.

With --docs DIR it instead stages the boxes a user can meet (success,
refusal, warning, failure, a backup that cannot be written, and the help
that /? shows) and saves one PNG of each into DIR.
"""

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelab  # noqa: E402

KEY = r"Software\Crystal Semiconductor"
SAMPLE = {
    KEY: {"InstallDir": r"C:\Program Files\Crystal"},
    KEY + r"\CS4280": {"DriverVersion": "5.10.2600", "Enabled": "1"},
    KEY + r"\CS4280\Mixer": {"MasterVolume": "75"},
    KEY + r"\CS4280\Mixer\Channels\Line In": {"Muted": "0"},
    KEY + r"\CS4280\Mixer\Channels\Wave": {"Muted": "0"},
    KEY + r"\CS4280\Codec": {"SampleRate": "48000"},
    KEY + r"\Uninstall": {},
}


VIEW_NAMES = {64: "the 64-bit view", 32: "the 32-bit view (Software\\Wow6432Node)"}


def show_tree(prefix, views, trees=None):
    """Prints the key's subtree in each view (`trees`, if already read)."""
    for view in views:
        indent = "    " if view else "  "
        if view:
            print(f"  In {VIEW_NAMES[view]}:")
        tree = trees[view] if trees else prefix.tree(KEY, view=view)
        if not tree:
            print(f"{indent}HKEY_LOCAL_MACHINE\\{KEY}: (no such key)")
        for key in sorted(tree, key=str.lower):
            print(f"{indent}HKEY_LOCAL_MACHINE\\{key}")
            for name, data in tree[key].items():
                print(f"{indent}    {name or '(Default)'} = {data}")


def show_after(prefix, views):
    """Says in words what the run left: nothing, or which keys."""
    trees = {view: prefix.tree(KEY, view=view) for view in views}
    if not any(trees.values()):
        where = " in either registry view" if len(views) > 1 else ""
        print(f"\nAfter: the key is gone; HKEY_LOCAL_MACHINE\\{KEY} is no longer there{where}.")
        return
    print("\nAfter: these keys are left:")
    show_tree(prefix, views, trees)


def run(prefix, exe, shots, interactive, stem="box", arguments=()):
    """Runs the patch and saves each box as shots/<stem>-N.png; returns the run."""
    shots.mkdir(parents=True, exist_ok=True)
    saved = []

    def on_box(n, caption, text, frame):
        path = shots / f"{stem}-{n}.png"
        prefix.display.screenshot(path, frame)
        saved.append(path)
        if interactive:
            print(f"  box {n} is on your screen: \"{text}\" -- click OK")

    mode = "watch" if interactive else "hold"
    result = prefix.run(exe, mode=mode, on_box=on_box, timeout=600 if interactive else 60,
                        desktop=None if interactive else "640x480", arguments=arguments)
    result.screenshots = saved
    return result


def demo(prefix, machine, shots, interactive):
    # On XP x64 the key is seeded into both views: 64-bit and 32-bit
    # installers may each have left a copy.
    for view in machine.views:
        prefix.apply(remove=[KEY], keys=list(SAMPLE), values=SAMPLE, version=machine.version,
                     view=view)
    print(f"\nBefore: the registry of a {machine.description} machine "
          f"(Wine, version {machine.version})")
    show_tree(prefix, machine.views)
    # The run keeps a log and a backup, as a fleet's runs would; both are
    # shown below.
    log = prefix.path / "drive_c" / "quenlor-patch.log"
    backup = prefix.path / "drive_c" / "quenlor-backup.reg"
    log.unlink(missing_ok=True)
    backup.unlink(missing_ok=True)
    arguments = [r"/log:C:\quenlor-patch.log", r"/backup:C:\quenlor-backup.reg"]
    print(f"\nRunning {machine.exe.name} {' '.join(arguments)} ...")
    result = run(prefix, machine.exe, shots, interactive, arguments=arguments)
    for (caption, icon, text), shot in zip(result.shown(), result.screenshots):
        print(f"  [{icon}] caption \"{caption}\": {text}    ({shot})")
    print(f"  exit code {result.exit_code}")
    show_after(prefix, machine.views)
    print(f"\nThe log of this run, C:\\quenlor-patch.log ({log}):")
    text = log.read_bytes().decode("cp1252") if log.exists() else "(no log was written)\n"
    print("  " + text.rstrip("\r\n").replace("\r\n", "\n  "))
    print(f"\nWhat it removed, C:\\quenlor-backup.reg ({backup}), which "
          "`regedit /s C:\\quenlor-backup.reg` or `reg import C:\\quenlor-backup.reg` puts back:")
    text = backup.read_bytes().decode("utf-16") if backup.exists() else "(no backup was written)\n"
    print("  " + text.rstrip("\r\n").replace("\r\n", "\n  "))


def docs(prefix, machine, where):
    """The boxes, each staged the way a user would meet it."""
    # A subkey owned by SYSTEM and shut to everyone else, which no
    # administrator can take over: it stays, so CS4280, then the key stay.
    stuck = KEY + r"\CS4280"
    stages = [
        # name, Windows version, a child that stays, the box to keep, arguments
        ("success", machine.version, False, 1, []),
        ("refusal", "win2k", False, 1, []),
        ("warning", machine.version, True, 1, []),
        ("failure", machine.version, True, 3, []),
        ("help", machine.version, False, 1, ["/?"]),
        ("backup-failure", machine.version, False, 1, [r"/backup:C:\Backups\quenlor.reg"]),
    ]
    for view in machine.views[1:]:
        prefix.apply(remove=[KEY], view=view)
    for name, version, stays, box, arguments in stages:
        prefix.apply(remove=[KEY], keys=[stuck], version=version, view=machine.views[0])
        if stays:
            prefix.script(prefix.with_view(machine.views[0], [
                ["name", stuck, "Mixer"], ["lock", stuck + r"\Mixer", "O:SYD:P(A;;KA;;;SY)"]]))
        result = run(prefix, machine.exe, where / "raw", False, stem=name, arguments=arguments)
        os.replace(result.screenshots[box - 1], where / f"box-{name}.png")
        print(f"{where / f'box-{name}.png'}: {result.shown()[box - 1]}")
    prefix.apply(remove=[KEY], view=machine.views[0])
    for leftover in (where / "raw").glob("*"):
        leftover.unlink()
    (where / "raw").rmdir()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--dist", default="dist")
    parser.add_argument("--docs", help="save the documentation screenshots here")
    args = parser.parse_args()
    build = Path(args.build)
    machine = winelab.xp_machine(build, args.dist, "demo")
    if machine.arch == "win64":
        print(f"{winelab.lacks_32bit()}: running {machine.exe.name} on a scratch "
              f"{machine.description} prefix instead.")
    interactive = bool(os.environ.get("DISPLAY")) and not args.docs
    try:
        with winelab.Display(use_desktop=interactive) as display:
            prefix = winelab.Prefix(build / "wine" / machine.name, machine.arch,
                                    machine.tools)
            print(f"Scratch {machine.description} prefix: {prefix.path}")
            with prefix.open(display):
                if args.docs:
                    docs(prefix, machine, Path(args.docs))
                else:
                    demo(prefix, machine, build / "screenshots", interactive)
    except winelab.HostError as error:
        sys.exit(f"make run: {error}")


if __name__ == "__main__":
    main()
