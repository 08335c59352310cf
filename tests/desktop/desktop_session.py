"""A private desktop for driving the real vornix program the way a person does, and the ways it
is read from outside.

Desktop starts the pieces, each of its own: an X server (Xvfb), a session bus on which D-Bus
activation works (so the accessibility bus comes up on demand), a system bus, and a system tray
(trayer); it finds the tray icon, clicks, types and takes screenshots. Processes starts programs
with their output in log files and ends them, and whatever was orphaned under them, newest
first. Accessible reads a program over AT-SPI the way a screen reader does.

DesktopSession is the desktop of the tray smoke test and of the footprint measurement: a
stand-in system bus, stand-ins for the idle inhibitors vornix asks for (see
inhibit_services.py), and vornix started with configuration and runtime folders of its own, so
nothing of the user's desktop, settings or drives is touched.
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
DASH = "\u2014"
TOOLS = ("Xvfb", "trayer", "xdotool", "import", "dbus-daemon")
MODULES = ("pyatspi", "dbus", "Xlib")


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


def missing_tools(tools=TOOLS, modules=MODULES):
    """What of the desktop's programs and Python modules is not installed."""
    missing = [tool for tool in tools if not shutil.which(tool)]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core (org.a11y.Bus)")
    for module in modules:
        try:
            __import__(module)
        except ImportError:
            missing.append(f"python3 module {module} (run with Debian's python3)")
    return missing


def removable_media_mounts():
    with open("/proc/self/mountinfo") as table:  # "My Disk" is listed as "My\040Disk"
        points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
                  for line in table]
    return [point for point in points if point.startswith(("/media/", "/run/media/"))]


def name_has_owner(address, name):
    """Whether `name` is on the bus at `address`."""
    import dbus
    bus = dbus.bus.BusConnection(address)
    try:
        return bool(bus.name_has_owner(name))
    finally:
        bus.close()


# --- processes --------------------------------------------------------------------------------

def _stat(pid):
    """(state, ppid, pgid, sid) of a process, or None once it is gone. `pid` may also be a
    thread, "PID/task/TID"."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    except (OSError, IndexError, ValueError):
        return None


def process_state(pid):
    """The state letter of a process or thread: "Z" for a zombie, None once it is gone."""
    st = _stat(pid)
    return st and st[0]


def live_processes(predicate=lambda ppid, pgid, sid: True):
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


def end(process, grace=3.0):
    """SIGTERM to the process group a process (a Popen or a pid) leads and to the process,
    SIGKILL to what is left after `grace` seconds; a Popen is reaped."""
    pid = getattr(process, "pid", process)
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        for send in (os.killpg, os.kill):
            with contextlib.suppress(OSError):
                send(pid, sig)
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline and (
                process.poll() is None if hasattr(process, "poll")
                else process_state(pid) not in (None, "Z")):
            time.sleep(0.02)


class Processes:
    """Starts programs in sessions of their own, their output in `logs`/NAME.log, and ends
    them all, newest first, then whatever was orphaned under them: the process is made the
    child subreaper, so nothing started underneath slips away."""

    def __init__(self, logs):
        self.logs = logs
        self.started = []  # (name, Popen)
        os.makedirs(logs, exist_ok=True)
        ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER

    def spawn(self, name, argv, env, **kwargs):
        log = open(os.path.join(self.logs, f"{name}.log"), "wb")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        with log:
            process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                       start_new_session=True, **kwargs)
        self.started.append((name, process))
        return process

    def spawn_printing(self, name, argv, env, timeout=10):
        """Starts a program that writes one line to the descriptor it is given in place of
        "{fd}" (Xvfb's -displayfd, dbus-daemon's --print-address) and returns that line."""
        read_end, write_end = os.pipe()
        try:
            argv = [a.replace("{fd}", str(write_end)) for a in argv]
            self.spawn(name, argv, env, pass_fds=(write_end,))
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

    def end_all(self):
        """Never raises."""
        for _, process in reversed(self.started):
            end(process)
        self.started.clear()
        for _ in range(2):  # then the services the buses started, and what they left
            for pid in live_processes(lambda ppid, pgid, sid: ppid == os.getpid()):
                end(pid)
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass


def process_status(pid):
    """/proc/PID/status (or "PID/task/TID") as a dict of stripped strings."""
    with open(f"/proc/{pid}/status") as f:
        return {k: v.strip() for k, _, v in (line.partition(":") for line in f)}


def context_switches(pid):
    """{tid: (name, voluntary + involuntary context switches)} of each thread of `pid`."""
    found = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError):
            f = process_status(f"{pid}/task/{tid}")
            found[int(tid)] = (f["Name"], int(f["voluntary_ctxt_switches"]) +
                               int(f["nonvoluntary_ctxt_switches"]))
    return found


def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return 1000 * (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def settled_memory(pid, timeout):
    """/proc/PID/status's memory fields (KiB) once VmRSS has not changed for a second."""
    last = {"rss": None, "since": time.monotonic()}

    def settled():
        fields = process_status(pid)
        now = {k: int(fields[k].split()[0]) for k in ("VmRSS", "RssAnon", "RssFile", "RssShmem")}
        if now["VmRSS"] != last["rss"]:
            last.update(rss=now["VmRSS"], since=time.monotonic())
        return now if time.monotonic() - last["since"] >= 1.0 else None
    return wait_for(settled, timeout, "resident memory to settle", interval=0.1)


# --- X11 --------------------------------------------------------------------------------------

class X11:
    """The few X requests the desktop needs. Windows are given and returned as ids; a window
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
        """The windows under `window` whose WM_CLASS class name is `wm_class`."""
        found = []
        for child in self.children(window):
            names = self.window_class(child)
            if names and names[1] == wm_class:
                found.append(child)
            found += self.find_below(child, wm_class)
        return found


# --- the desktop ------------------------------------------------------------------------------

class Desktop:
    """The X server, buses and tray of a private desktop, in `scratch`; screenshots go to
    `artifacts`, the programs' output to `processes`' logs."""

    def __init__(self, scratch, artifacts, processes, home=None, log=print):
        self.scratch, self.artifacts, self.processes = scratch, artifacts, processes
        self.home, self.log = home, log
        self.display = self.session_bus = self.system_bus = None
        self.x11 = None
        os.makedirs(artifacts, exist_ok=True)

    # The environment every process of the desktop sees.
    def environment(self):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home or os.environ.get("HOME", self.scratch),
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
        path = os.path.join(self.scratch, name)
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def spawn(self, name, argv, **kwargs):
        return self.processes.spawn(name, argv, kwargs.pop("env", None) or self.environment(),
                                    **kwargs)

    def start_x(self):
        number = self.processes.spawn_printing(
            "xvfb", ["Xvfb", "-displayfd", "{fd}", "-screen", "0",
                     f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
            self.environment())
        self.display = f":{number}"
        self.x11 = X11(self.display)
        if shutil.which("xsetroot"):
            subprocess.run(["xsetroot", "-solid", "#4b5563"], env=self.environment(),
                           check=False, timeout=10)

    def start_system_bus(self, config):
        """A dbus-daemon of the system kind, with the `config` text as its configuration."""
        path = os.path.join(self.scratch, "system-bus.conf")
        with open(path, "w") as f:
            f.write(config)
        self.system_bus = self.processes.spawn_printing(
            "system-bus", ["dbus-daemon", f"--config-file={path}", "--nofork", "--nopidfile",
                           "--print-address={fd}"], self.environment())

    def start_session_bus(self):
        """The session bus and, activated on it, the accessibility bus."""
        self.session_bus = self.processes.spawn_printing(
            "session-bus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address={fd}"], self.environment())
        # Qt joins the accessibility bus only when org.a11y.Bus is there as it starts.
        import dbus
        bus = dbus.bus.BusConnection(self.session_bus)
        try:
            bus.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                              "", (), timeout=15)
        except dbus.DBusException as error:
            raise Skip(f"the accessibility bus cannot be started: {error}")
        finally:
            bus.close()
        # pyatspi, in this process, finds the accessibility bus through these.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.environment()[name]

    def start_tray(self):
        self.spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "percent", "--width", "100", "--height", "28", "--transparent",
                              "false", "--tint", "0xe5e7eb", "--iconspacing", "4"])
        wait_for(self.x11.tray_owner, 10, "the system tray (trayer) to claim the tray selection")

    def start_program(self, name, argv, accessible=True, **env):
        """A Qt program on this desktop, on the accessibility bus if `accessible`, with `env`
        added to the desktop's environment."""
        env = {**self.environment(), "QT_QPA_PLATFORM": "xcb", **env}
        if accessible:
            env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        return self.spawn(name, argv, env=env)

    def wait_for_icon(self, process, timeout, interval=0.02):
        """The geometry of the tray icon once shown; fails should `process` end first."""
        wait_for(lambda: process.poll() is not None or self.tray_icon(), timeout,
                 "vornix's icon in the tray", interval)
        if process.poll() is not None:
            raise Failure(f"vornix ended at start with status {process.returncode}")
        return self.tray_icon()

    def tray_icon(self, wm_class="Vornix"):
        """Root-relative geometry of the icon of `wm_class` once it is shown in the tray: a
        viewable window inside trayer's panel. None before that."""
        x11 = self.x11
        for top in x11.children(x11.root):
            if (x11.window_class(top) or ("", ""))[1] != "trayer":
                continue
            panel = x11.geometry(top)
            for icon in x11.find_below(top, wm_class):
                geometry = x11.geometry(icon)
                if not (geometry and panel and x11.viewable(icon)):
                    continue
                (x, y, w, h), (px, py, pw, ph) = geometry, panel
                if w > 1 and h > 1 and px <= x and py <= y and x + w <= px + pw and \
                        y + h <= py + ph:
                    return geometry
        return None

    def windows(self, wm_class):
        """Geometries of the viewable windows of `wm_class`, wherever they are."""
        x11 = self.x11
        return [g for g in (x11.geometry(w) for w in x11.find_below(x11.root, wm_class)
                            if x11.viewable(w)) if g]

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
        """The screen (or the `crop` rectangle of it) into artifacts/`name`; returns `name`."""
        path = os.path.join(self.artifacts, name)
        argv = ["import", "-display", self.display, "-window", "root"]
        if crop:
            x, y, w, h = crop
            argv += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        subprocess.run(argv + [path], env=self.environment(), check=True, timeout=20,
                       capture_output=True)
        self.log(f"  screenshot {path}")
        return name

    def close(self):
        """Lets go of the X server, which must happen before it goes: Xlib ends a process that
        loses its server."""
        if self.x11:
            self.x11.close()
            self.x11 = None


# --- AT-SPI -----------------------------------------------------------------------------------

class Accessible:
    """A program as AT-SPI shows it. Everything is read anew each time (nothing cached)."""

    def __init__(self, pid):
        import pyatspi
        self.at = pyatspi
        self.pid = pid

    def application(self):
        desktop = self.at.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            try:
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == self.pid:
                    app.clear_cache()
                    return app
            except Exception:  # an application leaving the bus while we look
                continue
        return None

    def walk(self, node, depth=0):
        """(node, depth) of `node` and everything below it."""
        yield node, depth
        with contextlib.suppress(Exception):
            for child in [node.getChildAtIndex(i) for i in range(node.childCount)]:
                if child is not None and depth < 40:
                    yield from self.walk(child, depth + 1)

    def find_all(self, role, name=None, visible=True):
        app, found = self.application(), []
        for node, _ in self.walk(app) if app else ():
            with contextlib.suppress(Exception):
                if node.getRole() == role and name in (None, node.name) and \
                        (not visible or self.visible(node)):
                    found.append(node)
        return found

    def find(self, role, name=None, visible=True):
        found = self.find_all(role, name, visible)
        return found[0] if found else None

    def showing(self, node):
        try:
            return self.has(node, self.at.STATE_SHOWING)
        except Exception:
            return False

    def visible(self, node):
        """Showing, and with some area that no enclosing widget clips away. (Qt reports a
        widget inside a zero-height scroll area as showing.)"""
        if not self.showing(node):
            return False
        x, y, w, h = self.extents(node)
        if w <= 0 or h <= 0:
            return False
        parent = node.parent
        while parent is not None and parent.getRole() != self.at.ROLE_APPLICATION:
            px, py, pw, ph = self.extents(parent)
            if x < px or y < py or x + w > px + pw or y + h > py + ph:
                return False
            parent = parent.parent
        return True

    def has(self, node, state):
        return node.getState().contains(state)

    def extents(self, node):
        e = node.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def centre(self, node):
        return centre(self.extents(node))

    def window_of(self, node):
        """The top-level window (a child of the application) that holds `node`."""
        while node.parent is not None and node.parent.getRole() != self.at.ROLE_APPLICATION:
            node = node.parent
        return node

    def describe(self):
        """The whole tree, one line per object, for a failure's report."""
        app = self.application()
        if app is None:
            return "(vornix is not on the accessibility bus)"
        shown = (self.at.STATE_CHECKED, self.at.STATE_ENABLED, self.at.STATE_SHOWING)
        lines = []
        for node, depth in self.walk(app):
            try:
                states = [self.at.stateToString(s) for s in node.getState().getStates()
                          if s in shown]
                lines.append(f"  {'  ' * depth}{node.getRoleName()} {node.name!r} {states}")
            except Exception as error:
                lines.append(f"  ? {error}")
        return "\n".join(lines)


def plain(text):
    """A volume name as the panel shows it, without the isolates around it."""
    return text.replace("\u2068", "").replace("\u2069", "")


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


class Panel(Accessible):
    """vornix's panel as AT-SPI shows it."""

    STATUSES = ("Active", "Idle", "Disconnected", "Slow to respond",
                "Read-only \u2014 can't ping", "Nearly full \u2014 paused", "Ping failed")

    def volume_rows(self):
        """The volume rows top to bottom: dicts of name, status, watched, enabled and the
        row's accessible object. A row is the object whose switch carries its name."""
        app = self.application()
        if app is None:
            return []
        rows = []
        for node, _ in self.walk(app):
            try:
                if not node.name or not self.showing(node):
                    continue
                children = [node.getChildAtIndex(i) for i in range(node.childCount)]
                switch = [c for c in children if c is not None and c.name == node.name and
                          c.getRole() in (self.at.ROLE_CHECK_BOX, self.at.ROLE_TOGGLE_BUTTON)]
                if not switch:
                    continue
                labels = [c.name for c in children if c is not None and
                          c.getRole() == self.at.ROLE_LABEL and self.showing(c)]
                status = [text for text in labels if text in self.STATUSES]
                rows.append({"name": plain(node.name), "status": status[0] if status else None,
                             "labels": labels,
                             "watched": self.has(switch[0], self.at.STATE_CHECKED),
                             "enabled": self.has(switch[0], self.at.STATE_ENABLED),
                             "node": node, "top": self.extents(node)[1]})
            except Exception:
                continue
        return sorted(rows, key=lambda r: r["top"])

    def row(self, name):
        for row in self.volume_rows():
            if row["name"] == name:
                return row
        return None

    def status(self, name):
        row = self.row(name)
        return row["status"] if row else None

    def activity(self):
        """The label lines a person sees in the activity list, top (newest) first: those
        inside the list's visible area, whatever AT-SPI says is "showing"."""
        app = self.application()
        areas = [node for node, _ in self.walk(app)
                 if node.name == "Recent activity" and node.getRole() != self.at.ROLE_LABEL] \
            if app else []
        if not areas:
            return []
        _, top, _, height = self.extents(areas[0])
        lines = []
        for node, _ in self.walk(areas[0]):
            try:
                if node.getRole() != self.at.ROLE_LABEL or \
                        not (f" {DASH} " in node.name or node.name.startswith("Sleep")):
                    continue
                _, y, _, h = self.extents(node)
                if h > 0 and top <= y and y + h <= top + height:
                    lines.append((y, plain(node.name)))
            except Exception:
                continue
        return [text for _, text in sorted(lines)]

    def picker(self):
        combos = self.find_all(self.at.ROLE_COMBO_BOX)
        if len(combos) != 1:
            raise Failure(f"{len(combos)} combo boxes in the panel, not the interval picker")
        return combos[0]

    def picker_list(self):
        combo = self.picker()
        lists = [combo.getChildAtIndex(i) for i in range(combo.childCount)]
        lists = [node for node in lists if node and node.getRole() == self.at.ROLE_LIST]
        if not lists:
            raise Failure("the interval picker has no list of entries")
        return lists[0]

    def picker_entries(self):
        entries = self.picker_list()
        return [entries.getChildAtIndex(i) for i in range(entries.childCount)]

    def picker_selection(self):
        """The entry the picker shows as chosen, or None."""
        selected = [e.name for e in self.picker_entries()
                    if self.has(e, self.at.STATE_SELECTED)]
        return selected[0] if selected else None


# --- the smoke test's desktop -----------------------------------------------------------------

STAND_IN_SYSTEM_BUS = (
    "<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
    "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\"/>"
    "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>")


class DesktopSession(Desktop):
    def __init__(self, artifacts, log=print):
        super().__init__(tempfile.mkdtemp(prefix="vornix-desktop-"), artifacts,
                         Processes(artifacts), log=log)
        self.services = None
        self.vornix = None

    def start(self):
        missing = missing_tools()
        if missing:
            raise Skip("missing: " + ", ".join(missing))
        self.start_x()
        self.start_session_bus()
        self.start_system_bus(STAND_IN_SYSTEM_BUS)
        self.services = InhibitServices(self)
        self.start_tray()
        return self

    def start_vornix(self, program, accessible=True, name="vornix"):
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
        process = self.start_program(name, argv, accessible)
        if name == "vornix":
            self.vornix = process
        return process

    def close(self):
        """Ends everything the session started; never raises."""
        super().close()
        self.processes.end_all()
        shutil.rmtree(self.scratch, ignore_errors=True)


class InhibitServices:
    """Runs inhibit_services.py on the session's buses and follows what it reports."""

    def __init__(self, session):
        self._events = []
        self._lock = threading.Lock()
        self._buses = {"session": session.session_bus, "system": session.system_bus}
        self._process = session.spawn(
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
        return name_has_owner(self._buses[which], name)
