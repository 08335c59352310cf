"""A private desktop for driving the real vornix program the way a person does.

DesktopSession starts, each of its own: an X server (Xvfb), a session bus on which D-Bus
activation works (so the accessibility bus comes up on demand), a stand-in system bus, a system
tray (trayer), and stand-ins for the idle inhibitors vornix asks for (see inhibit_services.py).
It then starts vornix in it with configuration and runtime folders of its own, so nothing of the
user's desktop, settings or drives is touched. Everything it started is ended when it closes,
even after a failure: it is the child subreaper of its process, so nothing started underneath
can slip away by being orphaned.
"""

import contextlib
import ctypes
import glob
import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
SCREEN = (1280, 800)


class Skip(Exception):
    """The machine cannot run this: the reason is printed and the run counts as skipped."""


class Failure(Exception):
    pass


def wait_for(condition, timeout, what, interval=0.02):
    """Polls `condition` until it returns something true, which is returned; fails after
    `timeout` seconds, naming `what` was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def required_tools():
    """Skips, saying what is missing, where a tool of the desktop is not installed."""
    missing = [tool for tool in ("Xvfb", "trayer", "xdotool", "import", "dbus-daemon")
               if not shutil.which(tool)]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core (org.a11y.Bus)")
    for module in ("pyatspi", "dbus", "gi", "Xlib"):
        try:
            __import__(module)
        except ImportError:
            missing.append(f"python3 module {module} (run with Debian's python3)")
    if missing:
        raise Skip("missing: " + ", ".join(missing))


def removable_media_mounts():
    with open("/proc/self/mountinfo") as table:  # "My Disk" is listed as "My\040Disk"
        points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
                  for line in table]
    return [point for point in points if point.startswith(("/media/", "/run/media/"))]


# --- processes --------------------------------------------------------------------------------

def _stat(pid):
    """(state, ppid, pgid, sid) of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    except (OSError, IndexError, ValueError):
        return None


def _alive(pid):
    st = _stat(pid)
    return st is not None and st[0] != "Z"


def live_processes(predicate):
    """Pids (not zombies) whose (ppid, pgid, sid) satisfy `predicate`."""
    found = []
    for pid in (int(entry) for entry in os.listdir("/proc") if entry.isdigit()):
        st = _stat(pid)
        if st and st[0] != "Z" and predicate(*st[1:]):
            found.append(pid)
    return found


def descendants(pid):
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        for task in glob.glob(f"/proc/{parent}/task/*/children"):
            with contextlib.suppress(OSError, ValueError), open(task) as f:
                children = [int(c) for c in f.read().split()]
                found += children
                todo += children
    return found


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "?"


def _end(pid, grace=3.0):
    """SIGTERM to the process group `pid` leads and to the process, SIGKILL after `grace`."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        for send in (os.killpg, os.kill):
            with contextlib.suppress(OSError):
                send(pid, sig)
        deadline = time.monotonic() + wait
        while _alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)


def _reap():
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass


# --- X11 --------------------------------------------------------------------------------------

class X11:
    """The few X requests the session needs. Windows are given and returned as ids; a window
    that is gone reads as having no children, class or geometry."""

    def __init__(self, display):
        from Xlib import X, error
        from Xlib.display import Display
        self._viewable, self._error = X.IsViewable, error.XError
        try:
            self._display = Display(display)
        except Exception as failure:
            raise Failure(f"cannot open display {display}: {failure}")
        self._display.set_error_handler(lambda *_: None)  # windows come and go under us
        self.root = self._display.screen().root.id

    def close(self):
        if self._display:
            self._display.close()
            self._display = None

    def _ask(self, window, request, otherwise=None):
        try:
            return request(self._display.create_resource_object("window", int(window)))
        except self._error:
            return otherwise

    def tray_owner(self):
        """The window that owns the system-tray selection of screen 0, or 0."""
        owner = self._display.get_selection_owner(
            self._display.intern_atom("_NET_SYSTEM_TRAY_S0"))
        return getattr(owner, "id", owner)

    def children(self, window):
        return self._ask(window, lambda w: [c.id for c in w.query_tree().children], [])

    def window_class(self, window):
        return self._ask(window, lambda w: w.get_wm_class())

    def geometry(self, window):
        """(x, y, width, height) in root coordinates, or None when the window is gone."""
        def ask(w):
            size = w.get_geometry()
            at = self._display.create_resource_object("window", self.root).translate_coords(
                w, 0, 0)
            return at.x, at.y, size.width, size.height
        return self._ask(window, ask)

    def viewable(self, window):
        return self._ask(window, lambda w: w.get_attributes().map_state == self._viewable, False)

    def find_below(self, window, wm_class):
        """The first window under `window` whose WM_CLASS class name is `wm_class`."""
        for child in self.children(window):
            names = self.window_class(child)
            if names and names[1] == wm_class:
                return child
            found = self.find_below(child, wm_class)
            if found:
                return found
        return 0


# --- the session ------------------------------------------------------------------------------

class DesktopSession:
    def __init__(self, artifacts, accessibility=True, log=print):
        self.artifacts = artifacts
        self.accessibility = accessibility
        self.log = log
        self.tmp = tempfile.mkdtemp(prefix="vornix-desktop-")
        self.display = None
        self.session_bus = None
        self.system_bus = None
        self.x11 = None
        self.services = None
        self._processes = []  # (name, Popen), ended in reverse order
        self.vornix = None
        os.makedirs(artifacts, exist_ok=True)

    # The environment every process of the session sees.
    def environment(self):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.environ.get("HOME", self.tmp),
            "LANG": "C.UTF-8",
            "TMPDIR": self._dir("tmp"),
            "XDG_RUNTIME_DIR": self._dir("runtime"),
            **{f"XDG_{name.upper()}_HOME": self._dir(name) for name in ("config", "data", "cache")},
        }
        for name, value in (("DISPLAY", self.display), ("DBUS_SESSION_BUS_ADDRESS",
                            self.session_bus), ("DBUS_SYSTEM_BUS_ADDRESS", self.system_bus)):
            if value:
                env[name] = value
        return env

    def _dir(self, name):
        path = os.path.join(self.tmp, name)
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def _spawn(self, name, argv, **kwargs):
        kwargs.setdefault("env", self.environment())
        log = open(os.path.join(self.artifacts, f"{name}.log"), "wb")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        with log:
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, start_new_session=True,
                                       **kwargs)
        self._processes.append((name, process))
        return process

    def _spawn_printing(self, name, argv, timeout, **kwargs):
        """Starts a program that writes one line to the descriptor it is given (Xvfb's
        -displayfd, dbus-daemon's --print-address) and returns that line."""
        read_end, write_end = os.pipe()
        try:
            argv = [a.replace("{fd}", str(write_end)) for a in argv]
            self._spawn(name, argv, pass_fds=(write_end,), **kwargs)
            os.close(write_end)
            write_end = -1
            data = b""
            deadline = time.monotonic() + timeout
            while b"\n" not in data:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise Failure(f"{name} did not start within {timeout:g} s")
                chunk = os.read(read_end, 4096)
                if not chunk:
                    raise Failure(f"{name} ended at start; see {name}.log")
                data += chunk
            return data.split(b"\n")[0].decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    def start(self):
        required_tools()
        ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: orphans come to us
        number = self._spawn_printing(
            "xvfb", ["Xvfb", "-displayfd", "{fd}", "-screen", "0",
                     f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"], 10)
        self.display = f":{number}"
        self.x11 = X11(self.display)
        if shutil.which("xsetroot"):
            subprocess.run(["xsetroot", "-solid", "#4b5563"], env=self.environment(), check=False)

        self.session_bus = self._spawn_printing(
            "session-bus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address={fd}"], 10)
        config = os.path.join(self.tmp, "system-bus.conf")
        with open(config, "w") as f:
            f.write("<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                    "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                    "<allow own=\"*\"/></policy></busconfig>")
        self.system_bus = self._spawn_printing(
            "system-bus", ["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile",
                           "--print-address={fd}"], 10)

        self.services = InhibitServices(self)
        if self.accessibility:
            self._start_accessibility_bus()

        self._spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                               "percent", "--width", "100", "--height", "28", "--transparent", "false",
                               "--tint", "0xe5e7eb", "--iconspacing", "4"])
        wait_for(self.x11.tray_owner, 10, "the system tray (trayer) to claim the tray selection")
        return self

    def _start_accessibility_bus(self):
        # Qt joins the accessibility bus only once org.a11y.Bus is there, so it is started
        # (activated) before vornix.
        import dbus
        bus = dbus.bus.BusConnection(self.session_bus)
        try:
            bus.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                              "", (), timeout=10)
        except dbus.DBusException as error:
            raise Skip(f"the accessibility bus cannot be started: {error}")
        finally:
            bus.close()
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.environment()[name]

    def start_vornix(self, program, accessible=True, name="vornix"):
        env = self.environment()
        env["QT_QPA_PLATFORM"] = "xcb"
        if accessible:
            env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        argv = [program]
        mounts = removable_media_mounts()
        if mounts:
            # vornix would write its ping file onto the drives of the machine: it gets a mount
            # namespace of its own in which they are not mounted.
            if os.geteuid() != 0 or not shutil.which("unshare"):
                raise Skip("drives are mounted under /media (" + ", ".join(mounts) +
                           "); the test would write to them, and hiding them needs root")
            script = " ".join(f"umount -l {shlex.quote(m)} 2>/dev/null;" for m in reversed(mounts))
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    script + ' exec "$0"', program]
        process = self._spawn(name, argv, env=env)
        if name == "vornix":
            self.vornix = process
        return process

    def tray_icon(self, wm_class="Vornix"):
        """Root-relative geometry of the icon of `wm_class` once it is shown in the tray: a
        viewable window inside trayer's panel. None before that."""
        x11 = self.x11
        for top in x11.children(x11.root):
            if (x11.window_class(top) or ("", ""))[1] != "trayer":
                continue
            icon = x11.find_below(top, wm_class)
            panel, geometry = x11.geometry(top), icon and x11.geometry(icon)
            if not (geometry and panel and x11.viewable(icon)):
                continue
            (x, y, w, h), (px, py, pw, ph) = geometry, panel
            if w > 1 and h > 1 and px <= x and py <= y and x + w <= px + pw and \
                    y + h <= py + ph:
                return geometry
        return None

    def topmost_window(self):
        """Geometry of the highest viewable top-level window, or None."""
        for window in reversed(self.x11.children(self.x11.root)):  # listed bottom to top
            if self.x11.viewable(window):
                return self.x11.geometry(window)
        return None

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.environment(), check=True,
                       timeout=10)

    def click(self, x, y):
        self.xdotool("mousemove", int(x), int(y), "click", "1")

    def hover(self, x, y):
        # Away first, so that the tool tip comes anew.
        self.xdotool("mousemove", 2, SCREEN[1] - 2)
        self.xdotool("mousemove", int(x), int(y))

    def screenshot(self, name, crop=None):
        path = os.path.join(self.artifacts, name)
        argv = ["import", "-display", self.display, "-window", "root"]
        if crop:
            x, y, w, h = crop
            argv += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        subprocess.run(argv + [path], env=self.environment(), check=True, timeout=20)
        self.log(f"  screenshot {path}")
        return path

    def close(self):
        """Ends everything the session started, most recent first, then whatever was
        orphaned under it; never raises."""
        if self.x11:
            self.x11.close()  # before its server goes: Xlib ends a process that loses it
            self.x11 = None
        for _, process in reversed(self._processes):
            _end(process.pid)
        for _ in range(2):  # then the services the buses started for the session
            for pid in live_processes(lambda ppid, pgid, sid: ppid == os.getpid()):
                _end(pid)
        _reap()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class InhibitServices:
    """Runs inhibit_services.py on the session's buses and follows what it reports."""

    def __init__(self, session):
        self._events = []
        self._lock = threading.Lock()
        self._buses = {"session": session.session_bus, "system": session.system_bus}
        self._process = session._spawn(
            "inhibit-services",
            [sys.executable, os.path.join(HERE, "inhibit_services.py"), session.session_bus,
             session.system_bus], stdout=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()
        wait_for(lambda: self.events("ready"), 10, "the stand-in inhibit services")

    def _read(self):
        for line in self._process.stdout:
            event = json.loads(line)
            with self._lock:
                self._events.append(event)

    def events(self, kind=None):
        with self._lock:
            return [e for e in self._events if kind is None or e["event"] == kind]

    def held(self):
        """The inhibitions granted and not yet ended, as {(mechanism, id): event}."""
        held = {}
        for e in self.events():
            if e["event"] == "inhibit":
                held[(e["mechanism"], e["id"])] = e
            elif e["event"] == "release":
                held.pop((e["mechanism"], e["id"]), None)
        return held

    def name_has_owner(self, which, name):
        """Whether `name` is still on the session's "session" or "system" bus."""
        import dbus
        bus = dbus.bus.BusConnection(self._buses[which])
        try:
            return bool(bus.name_has_owner(name))
        finally:
            bus.close()
