"""Drives Windows executables under Wine: prefixes, a private X display,
registry set-up and read-back, message boxes read from the real windows,
and the relay trace of the platform calls an executable makes.

Every Wine process writes to files, never to pipes: Wine's helper processes
inherit standard handles and would keep a pipe open long after the program.
"""

import functools
import os
import re
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

# The operations the patch uses, as the relay trace names them.
OPERATIONS = [
    "kernel32.GetVersionExA",
    "ntdll.RtlGetVersion",
    "kernel32.IsWow64Process",
    "kernelbase.IsWow64Process",  # what GetProcAddress finds behind kernel32's forward
    "kernel32.GetProcAddress",
    "kernelbase.GetProcAddress",
    "advapi32.AllocateAndInitializeSid",
    "advapi32.CheckTokenMembership",
    "advapi32.FreeSid",
    "advapi32.RegOpenKeyExA",
    "advapi32.RegEnumKeyExA",
    # The walk's, looked up: GetProcAddress finds KERNELBASE's behind
    # ADVAPI32's forwards.
    "advapi32.RegOpenKeyExW",
    "kernelbase.RegOpenKeyExW",
    "advapi32.RegEnumKeyExW",
    "kernelbase.RegEnumKeyExW",
    "advapi32.RegDeleteKeyA",
    "advapi32.RegDeleteKeyExA",
    "advapi32.RegQueryValueExA",
    "ntdll.NtDeleteKey",
    "advapi32.RegCloseKey",
    "user32.MessageBoxA",
]
# And those that make the DLL search safe, and that the patch takes a locked
# key over with, which Wine's KERNEL32 and ADVAPI32 may forward to
# KERNELBASE.
DLL_SEARCH = ["SetDllDirectoryA", "SetDefaultDllDirectories", "GetSystemDirectoryA",
              "LoadLibraryExA"]
OPERATIONS += [f"{dll}.{name}" for name in DLL_SEARCH for dll in ("kernel32", "kernelbase")]
OPERATIONS += [f"{dll}.{name}" for name in ("RegGetKeySecurity", "RegSetKeySecurity",
                                            "OpenProcessToken", "AdjustTokenPrivileges")
               for dll in ("advapi32", "kernelbase")] + ["advapi32.LookupPrivilegeValueA"]
# And what a /backup reads each key's values with, and writes the file with.
BACKUP_READS = ["RegQueryInfoKeyW", "RegEnumValueW"]
BACKUP_WRITES = ["CreateFileW", "ReadFile", "SetFilePointer", "WriteFile", "FlushFileBuffers",
                 "MultiByteToWideChar", "WideCharToMultiByte"]
OPERATIONS += [f"{dll}.{name}" for name in BACKUP_READS for dll in ("advapi32", "kernelbase")]
OPERATIONS += [f"{dll}.{name}" for name in BACKUP_WRITES for dll in ("kernel32", "kernelbase")]

ICONS = {0x10: "error", 0x30: "warning", 0x40: "information"}

# Debian's /usr/bin/wine always tries the 32-bit loader first, so each
# prefix names its loader itself. The 64-bit one starts 32-bit programs
# through the 32-bit one, where the host runs 32-bit code at all.
LOADERS = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
# Debian's Wine 8 has no preloader to keep Windows' fixed addresses free, and
# newer kernels start a program's heap anywhere in a gigabyte above it: now
# and then on 0x7ffe0000, where Windows keeps its shared user data, and the
# process then fails to start ("failed to map the shared user data", seen
# once or twice in a run of the suite). Laid out as linked, without address
# randomisation, the heap starts right after the loader, far below.
FIXED_LAYOUT = ["setarch", "-R"]


MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")
# Where tools/deps tells why it could not install the 32-bit Wine.
WINE32_UNAVAILABLE = Path(__file__).resolve().parent.parent / "build" / "wine32-unavailable"


class HostError(RuntimeError):
    """What this host lacks for a Wine run, in one line for the user."""


@functools.lru_cache(maxsize=None)
def lacks_32bit():
    """Why this host cannot run 32-bit Windows programs, or None if it can.
    Some virtual machines refuse 32-bit x86 code outright; PATCH_WINE_32=0
    plays such a host on one that does not."""
    if os.environ.get("PATCH_WINE_32") == "0":
        return "PATCH_WINE_32=0 is set"
    loader = LOADERS["win32"]
    try:
        done = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        why = (WINE32_UNAVAILABLE.read_text().strip() if WINE32_UNAVAILABLE.exists()
               else "wine32:i386 is not installed")
        return f"{loader} is missing: {why}"
    except OSError as error:
        return f"this host runs no 32-bit x86 code ({loader}: {error.strerror})"
    if done.returncode != 0:
        why = (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]
        return f"{loader} --version fails: {why}"
    return None


def lacks(arch):
    """Why a prefix of `arch` cannot run here, or None."""
    if arch == "win32":
        return lacks_32bit()
    if not os.access(LOADERS[arch], os.X_OK):
        return f"{LOADERS[arch]} is missing (tools/deps wine installs it)"
    return None


@dataclass
class XpMachine:
    """The Windows XP that `make run` and `make bench` play, and the
    executables for it."""
    name: str  # the prefix's directory name under build/wine/
    arch: str
    version: str  # HKCU\Software\Wine\Version
    views: list  # its registry views: [None] for the only one, or [64, 32]
    exe: Path
    baseline: Path  # the do-nothing program built alongside
    tools: Path  # where the box reader and the registry tool for `arch` are
    description: str


def xp_machine(build, dist, stem):
    """32-bit Windows XP with the x86 executable where the host runs 32-bit
    code, otherwise Windows XP x64 with the x64 executable; `lacks_32bit()`
    tells why."""
    build, dist = Path(build), Path(dist)
    if lacks_32bit() is None:
        return XpMachine(f"{stem}-xp", "win32", "winxp", [None], dist / "quenlor-patch.exe",
                         build / "windows-x86" / "baseline-quenlor-patch.exe",
                         build / "windows-x86", "Windows XP (32-bit)")
    return XpMachine(f"{stem}-xp64", "win64", "winxp64", [64, 32], dist / "quenlor-patch-x64.exe",
                     build / "windows-x64" / "baseline-quenlor-patch-x64.exe",
                     build / "windows-x64", "Windows XP x64")


def is_x86(exe):
    """Whether `exe` is a 32-bit x86 Windows program (PE machine 0x14c)."""
    image = Path(exe).read_bytes()[:4096]
    pe = int.from_bytes(image[0x3C:0x40], "little")
    return image[pe:pe + 4] == b"PE\0\0" and image[pe + 4:pe + 6] == b"\x4c\x01"


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Display:
    """An Xvfb of our own on a free display number, or the user's display."""

    def __init__(self, use_desktop=False):
        self.process = None
        self.name = os.environ.get("DISPLAY") if use_desktop else None

    def __enter__(self):
        if self.name:
            return self
        read, write = os.pipe()
        try:
            with tempfile.TemporaryFile() as log:
                self.process = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp"], pass_fds=[write], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        except FileNotFoundError:
            raise HostError("Xvfb is not installed (tools/deps wine installs it)") from None
        finally:
            os.close(write)
        with os.fdopen(read) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise HostError("Xvfb did not start")
        self.name = ":" + number
        return self

    def __exit__(self, *exc):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)

    def screenshot(self, path, frame):
        """Saves the part of the screen that `frame` (left, top, right,
        bottom) covers, with a small margin, as a PNG."""
        left, top, right, bottom = frame
        margin = 6
        crop = (f"{right - left + 2 * margin}x{bottom - top + 2 * margin}"
                f"+{max(left - margin, 0)}+{max(top - margin, 0)}")
        subprocess.run(["import", "-display", self.name, "-window", "root", "-crop", crop,
                        "+repage", str(path)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


@dataclass
class Call:
    function: str
    args: list
    result: int = None

    def arg(self, n):
        return self.args[n]


@dataclass
class Run:
    boxes: list = field(default_factory=list)  # (caption, text)
    exit_code: int = None
    calls: list = field(default_factory=list)
    timed_out: bool = False
    seconds: float = None  # from the program's start to its exit
    thread: int = None  # the program's main thread

    def shown(self):
        """Each box as the user saw it: caption and text from the window, the
        icon from the flags the executable passed."""
        icons = [ICONS.get(c.arg(3) & 0xFFFFFFFF, hex(c.arg(3))) for c in self.calls
                 if c.function == "MessageBoxA"]
        return [(caption, icons[i] if i < len(icons) else "?", text)
                for i, (caption, text) in enumerate(self.boxes)]


class Prefix:
    """A Wine prefix kept under the build tree and reused between runs."""

    def __init__(self, root, arch, tools):
        self.path = Path(root).resolve()
        self.arch = arch  # "win32" or "win64"
        self.launcher = [*FIXED_LAYOUT, LOADERS[arch]]  # the loader, and how it is started
        # The box reader and the registry tool, built for `arch`.
        self.boxreader = Path(tools).resolve() / "boxreader.exe"
        self.regtool = Path(tools).resolve() / "regtool.exe"
        self.display = None
        self.logs = self.path.parent / (self.path.name + "-logs")
        self.stuck = False  # a key locked to SYSTEM alone is in the registry

    def env(self, relay=False, native=()):
        """The environment of a Wine process; `native` names DLLs that Wine
        looks for as Windows does, the program's folder first, rather than
        taking its own builtin one."""
        env = dict(os.environ)
        overrides = "mscoree,mshtml=" + (";" + ",".join(native) + "=n,b" if native else "")
        env.update(WINEPREFIX=str(self.path), WINEARCH=self.arch,
                   WINEDEBUG="-all,+relay" if relay else "-all",
                   WINEDLLOVERRIDES=overrides, DISPLAY=self.display.name)
        return env

    def wine_version(self):
        return subprocess.run([*self.launcher, "--version"], capture_output=True,
                              text=True).stdout.strip()

    def _log(self, name):
        """A new file each time: Wine's helper processes (and the desktop's
        explorer.exe) keep the output files of the process that started
        them, and go on writing at their own offsets into a file that is
        truncated and reused, over a later run's lines. Unlinked first, the
        old file takes what they write."""
        self.logs.mkdir(parents=True, exist_ok=True)
        (self.logs / name).unlink(missing_ok=True)
        return open(self.logs / name, "w")

    def wine(self, *args, relay=False, log="wine.log", check=False, timeout=120):
        with self._log(log) as out:
            done = subprocess.run([*self.launcher, *args], env=self.env(relay),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                  timeout=timeout)
        if check and done.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} exited {done.returncode}: "
                               f"{(self.logs / log).read_text(errors='replace')[-2000:]}")
        return done.returncode

    def open(self, display, desktop=None):
        """Creates the prefix if needed and starts its wineserver. With
        `desktop` ("640x480"), every program runs in one Wine virtual desktop
        of that size, which draws window frames where no window manager
        does and lives as long as the wineserver: a run then costs no
        desktop of its own, and must not ask for one."""
        reason = lacks(self.arch)
        if reason:
            raise HostError(f"a {self.arch} Wine prefix cannot run here: {reason}")
        self.display = display
        ready = self.path / ".ready"
        if not ready.exists():
            shutil.rmtree(self.path, ignore_errors=True)
            with self._log("wineboot.log") as out:
                done = subprocess.run([*self.launcher, "wineboot", "-i"], env=self.env(),
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                      timeout=300)
                subprocess.run(["wineserver", "-w"], env=self.env(), stdout=out, stderr=out,
                               timeout=120)
            if done.returncode != 0:
                raise HostError(f"wineboot -i exited {done.returncode} making {self.path} "
                                f"(see {self.logs / 'wineboot.log'})")
            ready.touch()
        # Debian's Wine does not find its own TrueType fonts; without Marlett
        # the title bar draws its close button as the letter "r".
        fonts = self.path / "drive_c" / "windows" / "Fonts"
        if MARLETT.exists() and not (fonts / MARLETT.name).exists():
            shutil.copy(MARLETT, fonts / MARLETT.name)
        self._drop_stuck_keys()
        subprocess.run(["wineserver", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        settings = [["user", r"Software\Wine\Debug", "RelayInclude", ";".join(OPERATIONS)]]
        if desktop:
            settings += [["user", r"Software\Wine\Explorer", "Desktop", "patch"],
                         ["user", r"Software\Wine\Explorer\Desktops", "patch", desktop]]
        self.script(settings)
        self._warm_desktop()
        return self

    def _warm_desktop(self):        # The explorer.exe that draws the desktop (this one, or Wine's
        # default one for runs that name none) is started by the first
        # process on it, and keeps that process's environment and output
        # files: were that a traced run, its relay trace would go on into the
        # relay log of every later run, over their lines. So the box reader,
        # untraced and with a log of its own, comes first, on a program that
        # ends at once.
        self.wine(str(self.boxreader), "dismiss", windows_path(self.logs / "desktop.txt"), "60",
                  "cmd", "/c", "exit", log="desktop.log", check=True)

    # A key locked to SYSTEM alone stays whatever an administrator does, in
    # Wine as in Windows; only the prefix's registry file, read while no
    # wineserver runs, can lose it. The patch key's sections are all that
    # such a lock is ever put on.
    STUCK_ROOTS = (r"[software\\crystal semiconductor",
                   r"[software\\wow6432node\\crystal semiconductor")

    def _drop_stuck_keys(self):
        """Drops the patch key, in each view, from system.reg; no wineserver
        may run."""
        registry = self.path / "system.reg"
        if not registry.exists():
            return
        text = registry.read_text(encoding="utf-8", errors="surrogateescape")
        sections = text.split("\n\n")
        def stuck(section):
            head = section.split("]", 1)[0].lower()
            return any(head == root or head.startswith(root + "\\\\") for root in self.STUCK_ROOTS)
        kept = [section for section in sections if not stuck(section)]
        if len(kept) != len(sections):
            registry.write_text("\n\n".join(kept), encoding="utf-8", errors="surrogateescape")

    def release_stuck_keys(self):
        """Ends the prefix's processes, drops the keys that no one could
        free from its registry file, and starts it again."""
        self.close()
        self._drop_stuck_keys()
        subprocess.run(["wineserver", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self._warm_desktop()
        self.stuck = False

    def close(self):
        """Ends every Wine process of the prefix; the registry is saved."""
        if self.display:
            subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Registry. `view` is 32 or 64 on a 64-bit prefix (64, the native one,
    # when none is named); a 32-bit prefix has one.

    def _which(self, view):
        return (view or 64) if self.arch == "win64" else None

    def link_commands(self, links, view=None):
        """The registry tool's commands that make each {path below HKLM:
        target NT path} a registry link."""
        return self.with_view(view, [["link", path, target] for path, target in links.items()])

    def with_view(self, view, commands):
        """`commands` for the registry tool, preceded by the switch to `view`."""
        which = self._which(view)
        return ([[f"/{which}"]] if which else []) + commands

    def _regtool_command(self, args, view):
        """The registry tool's command line (tools/regtool.cpp says what
        each command does), in `view`."""
        which = self._which(view)
        return [str(self.regtool), *([f"/{which}"] if which else []), *args]

    def run_regtool(self, *args, view=None):
        """Runs the registry tool and waits for it to succeed."""
        self.wine(*self._regtool_command(args, view), log="regtool.log", check=True)

    def script(self, commands, log="regtool.log"):
        """Runs the registry tool once over `commands` (lists of its
        arguments, one command each), so that a whole set-up or read-back
        starts one Wine process."""
        if self.stuck and any(command[0] == "clear" for command in commands if command):
            self.release_stuck_keys()
        self.stuck = self.stuck or any(command[0] == "lock" and command[2].startswith("O:SY")
                                       for command in commands if command)
        self.logs.mkdir(parents=True, exist_ok=True)
        script = self.logs / "regtool.script"
        lines = []
        for command in commands:
            if any("\t" in field or "\n" in field for field in command):
                raise ValueError(f"a registry tool field holds a tab or line break: {command}")
            lines.append("\t".join(command))
        script.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-8"))
        self.wine(str(self.regtool), "@" + windows_path(script), log=log, check=True)
        return self.log_text(log)

    def log_text(self, name):
        return (self.logs / name).read_text(errors="replace")

    def wait_for_log(self, name, text, timeout):
        """Waits until the log `name` holds `text`."""
        deadline = time.monotonic() + timeout
        while text not in self.log_text(name):
            if time.monotonic() > deadline:
                raise RuntimeError(f"{name} never said {text!r}: {self.log_text(name)[-500:]}")
            time.sleep(0.05)

    def start_regtool(self, *args, view=None):
        """Starts the registry tool beside whatever runs next, as another
        process would; returns the process, whose output goes to a log."""
        with self._log("regtool-race.log") as out:
            return subprocess.Popen([*self.launcher, *self._regtool_command(args, view)],
                                    env=self.env(), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=out)

    def apply(self, remove=(), keys=(), values=None, version=None, view=None):
        """Removes each key in `remove` with its subtree, then creates `keys`
        (paths below HKLM) with `values` {key: {name: data}} and sets the
        Windows version that the prefix reports, in one Wine process."""
        self.script(self.apply_commands(remove, keys, values, version, view))

    def apply_commands(self, remove=(), keys=(), values=None, version=None, view=None):
        """What `apply` runs, for a caller that gathers several set-ups into
        one script. Not reg.exe: its delete and a .reg file's [-key] follow a
        link into its target, and its imports ignore the view they are told
        to use."""
        values = values or {}
        commands = [["clear", key] for key in remove]
        for key in keys:
            commands.append(["key", key])
            commands += [["value", key, name, data] for name, data in values.get(key, {}).items()]
        commands += [["user", "Software\\Wine", "Version", version]] if version else []
        return self.with_view(view, commands)

    def trees(self, places, exact=False):
        """Every key at or below each (key, view) of `places`, with its
        values, as {(key, view): {path below HKLM: {value name: data}}}, {}
        for a key that is missing; read in one Wine process. Each key is read
        as itself: a link shows its target as the value SymbolicLinkValue,
        and is not followed. A key that cannot be read fails the read, so
        that it never passes for one that went. `exact` shows each value as
        "TYPE:HEX", its type and bytes as stored."""
        commands = [["exact"]] if exact else []
        for key, view in places:
            commands += self.with_view(view, [["dump", key]])
        found, current = [], None
        for line in self.script(commands, log="dump.log").splitlines():
            fields = line.split("\t")
            if fields[0] == "DUMP":
                current = {}
                found.append((fields[2], current))
            elif fields[0] == "KEY" and current is not None:
                current[fields[1]] = {}
            elif fields[0] == "LOCKED" and current is not None:
                current[fields[1]] = {"(locked)": ""}  # there, not for reading
            elif fields[0] == "VALUE" and current is not None:
                current[fields[1]][fields[2]] = fields[3]
        if [key for key, _ in found] != [key for key, _ in places]:
            raise RuntimeError(f"the registry tool read {[k for k, _ in found]}, not {places}")
        return {place: tree for place, (_, tree) in zip(places, found)}

    def tree(self, key, view=None):
        """Every key at or below HKLM\\key, with its values, as
        {path below HKLM: {value name: data}}; {} when the key is missing."""
        return self.trees([(key, view)])[key, view]

    # Running an executable.

    def run(self, exe, mode="dismiss", relay=True, report_name="boxes.txt", on_box=None,
            timeout=60, desktop=None, standard_user=False, any_process=False, arguments=(),
            native=(), station=False):
        """Runs `exe` (a Path, with `arguments`, or a Windows command line as
        a list) under the box reader and returns what it showed, its exit
        code, its run time and, with relay, the platform calls made from its
        image.
        `on_box(n, caption, text, (left, top, right, bottom))` sees each box
        while it is on screen; `desktop` ("640x480") runs it in a Wine
        virtual desktop, which draws window frames where no window manager
        does; `standard_user` runs it with the Administrators group
        deny-only in its token, as a standard user's programs run;
        `any_process` reads the boxes of every process, for a command such
        as cmd.exe that starts the program to watch; `native` names DLLs
        that Wine looks for beside the program first, as Windows does;
        `station` runs it on a window station of its own, which no one can
        see, as a service's child runs."""
        report = self.logs / report_name
        for old in self.logs.glob(report_name + "*"):
            old.unlink()
        command = [windows_path(exe), *arguments] if isinstance(exe, Path) else list(exe)
        user = ["/standard-user"] if standard_user else []
        user += ["/any-process"] if any_process else []
        user += ["/station"] if station else []
        args = [str(self.boxreader), mode, windows_path(report), str(timeout), *user, *command]
        if desktop:
            args = ["explorer", f"/desktop=patch,{desktop}"] + args
        with self._log("run.out") as out, self._log("relay.log") as trace:
            process = subprocess.Popen([*self.launcher, *args], env=self.env(relay, native),
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=trace)
        seen = 0
        while process.poll() is None:
            time.sleep(0.05)
            if on_box and report.exists():
                boxes = [line for line in report.read_text(errors="replace").splitlines()
                         if line.startswith("BOX\t")]
                for n in range(seen, len(boxes)):
                    _, caption, text, frame = boxes[n].split("\t")
                    on_box(n + 1, caption, text, tuple(int(v) for v in frame.split(",")))
                    (self.logs / f"{report_name}.go{n + 1}").touch()
                seen = len(boxes)
        result = Run()
        for line in report.read_text(errors="replace").splitlines():
            if line.startswith("BOX\t"):
                _, caption, text, _ = line.split("\t")
                result.boxes.append((caption, text))
            elif line.startswith("THREAD "):
                result.thread = int(line.split()[1], 16)
            elif line.startswith("TIME "):
                result.seconds = int(line.split()[1]) / 1e6
            elif line.startswith("EXIT "):
                result.exit_code = int(line.split()[1])
            elif line == "TIMEOUT":
                result.timed_out = True
        if relay and isinstance(exe, Path):
            result.calls = relay_calls(self.logs / "relay.log", image_range(exe), result.thread)
        return result


def image_range(exe):
    """The address range that the executable's image occupies."""
    objdump = "x86_64-w64-mingw32-objdump"
    out = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True,
                         check=True).stdout
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", out, re.M).group(1), 16)
    size = int(re.search(r"^SizeOfImage\s+([0-9a-fA-F]+)", out, re.M).group(1), 16)
    return base, base + size


# Wine cuts a long string short, with "..." after its closing quote.
ARG = re.compile(r'\s*([0-9a-fA-F]+)(?:\s+(L?)"((?:[^"\\]|\\.)*)"(?:\.\.\.)?)?\s*(?:,|$)')
CALL = re.compile(r'^[0-9a-f]+:Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$')
RET = re.compile(r'^[0-9a-f]+:Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$')


def parse_args(text):
    """Relay arguments: numbers, and a string after a pointer where Wine shows
    one (kept as the string)."""
    args, pos = [], 0
    while pos < len(text):
        match = ARG.match(text, pos)
        if not match:
            raise ValueError(f"cannot read relay arguments: {text!r}")
        string = match.group(3)
        if string is not None and match.group(2):
            # Wine shows a wide string's character outside printable ASCII
            # as a backslash and four hexadecimal digits.
            string = re.sub(r"\\(\\|[0-9a-fA-F]{4})",
                            lambda m: "\\\\" if m.group(1) == "\\" else "\\u" + m.group(1), string)
        args.append(bytes(string, "latin-1").decode("unicode_escape") if string is not None
                    else int(match.group(1), 16))
        pos = match.end()
    return args


def relay_calls(log, image, thread):
    """The traced calls that the program's main thread made from the
    executable's image, in order, each with its result. Wine's own DLLs call
    some of the same functions (MessageBoxA does), from elsewhere; other
    programs, such as Wine's explorer, may have an image at the same
    address, but not the same thread."""
    low, high = image
    calls, pending = [], {}
    mine = f"{thread:04x}:"
    for line in Path(log).read_text(errors="replace").splitlines():
        if not line.startswith(mine):
            continue
        match = CALL.match(line)
        if match and low <= int(match.group(4), 16) < high:
            call = Call(match.group(2), parse_args(match.group(3)))
            calls.append(call)
            pending.setdefault((match.group(2), match.group(4)), []).append(call)
            continue
        match = RET.match(line)
        if match and low <= int(match.group(4), 16) < high:
            waiting = pending.get((match.group(2), match.group(4)))
            if waiting:
                waiting.pop().result = int(match.group(3), 16)
    return calls
