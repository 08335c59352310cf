"""One private desktop for driving the real vornix the way a person does, and the ways it is
read from outside.

Desktop starts, each of its own: with `system`, a systemd-journald and a system bus with the
real systemd-logind (these need root and a mount namespace of the caller's own); an X server
(Xvfb); a session bus on which the accessibility bus is activated, with python-dbusmock's
notification daemon and a desktop portal's Inhibit, both logging every call they get; and a
system tray (trayer). It finds the tray icon, clicks, types and takes screenshots. Processes
starts programs with their output in log files and ends them and whatever they orphaned.
Panel reads vornix over AT-SPI the way a screen reader does.
"""

import contextlib
import ctypes
import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time

SKIP = 77
SCREEN = (1280, 800)
DASH = "\u2014"
TOOLS = ("Xvfb", "trayer", "xdotool", "import", "dbus-daemon")
SYSTEM_TOOLS = ("journalctl", "systemd-inhibit", "unshare", "/lib/systemd/systemd-journald",
                "/lib/systemd/systemd-logind")
MODULES = ("pyatspi", "dbus", "Xlib", "dbusmock")


class Skip(Exception):
    """The machine cannot run this: the reason is printed and the run counts as skipped."""


class Failure(Exception):
    pass


def wait_for(condition, timeout, what, interval=0.02):
    """Polls `condition` until it returns something true, which is returned; fails after
    `timeout` seconds, naming what was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def missing_tools(tools=TOOLS):
    missing = [t for t in tools if not (shutil.which(t) or os.access(t, os.X_OK))]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core (org.a11y.Bus)")
    for module in MODULES:
        try:
            __import__(module)
        except ImportError:
            missing.append(f"python3 module {module} (run with Debian's python3)")
    return missing


def removable_media_mounts():
    with open("/proc/self/mountinfo") as table:  # "My Disk" is listed as "My\\040Disk"
        points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
                  for line in table]
    return [point for point in points if point.startswith(("/media/", "/run/media/"))]


def name_has_owner(address, name):
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
    """The private desktop, in `scratch`; screenshots go to `artifacts`, the programs' output
    to `processes`' logs."""

    def __init__(self, scratch, artifacts, processes):
        self.scratch, self.artifacts, self.processes = scratch, artifacts, processes
        self.display = self.session_bus = self.system_bus = self.x11 = None
        os.makedirs(artifacts, exist_ok=True)

    def start(self, system=True):
        missing = missing_tools(TOOLS + (SYSTEM_TOOLS if system else ()))
        if missing:
            raise Skip("missing: " + ", ".join(missing))
        if system:
            self._start_journald()
            self._start_system_bus()
        self.start_x()
        self.start_session_bus()
        self.start_tray()
        return self

    def environment(self):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self._dir("home"),
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

    def _start_journald(self):
        # Its sockets and its journal on tmpfs of this namespace; nothing reaches the host's.
        tmpfs = ["mount", "-t", "tmpfs", "-o", "mode=0755", "vornix-e2e"]
        for path in ("/run/systemd", "/run/log") + (("/var/log/journal",) if os.path.isdir(
                "/var/log/journal") else ()):
            subprocess.run(tmpfs + [path], check=True)
        config = os.path.join(self.scratch, "journald.conf")
        with open(config, "w") as f:
            f.write("[Journal]\nStorage=volatile\nReadKMSG=no\nForwardToSyslog=no\n"
                    "ForwardToWall=no\nRateLimitBurst=0\n")
        if os.path.exists("/etc/systemd/journald.conf"):
            subprocess.run(["mount", "--bind", config, "/etc/systemd/journald.conf"], check=True)
        self.spawn("journald", ["/lib/systemd/systemd-journald"])
        wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), 10,
                 "systemd-journald's socket")

    def _start_system_bus(self):
        path = os.path.join(self.scratch, "system-bus.conf")
        with open(path, "w") as f:
            f.write(SYSTEM_BUS_CONFIG.format(socket=f"{self.scratch}/system_bus_socket"))
        self.system_bus = self.processes.spawn_printing(
            "system-bus", ["dbus-daemon", f"--config-file={path}", "--nofork", "--nopidfile",
                           "--print-address={fd}"], self.environment())
        self.spawn("logind", ["/lib/systemd/systemd-logind"])
        wait_for(lambda: name_has_owner(self.system_bus, "org.freedesktop.login1"), 10,
                 "systemd-logind on the system bus")

    def start_session_bus(self):
        """The session bus and, activated on it, the accessibility bus."""
        self.session_bus = self.processes.spawn_printing(
            "session-bus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address={fd}"], self.environment())
        # pyatspi, in this process, finds the accessibility bus through these.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.environment()[name]
        # The notification server and the portal log each call they get, with its time.
        self.spawn("notifications", [sys.executable, "-m", "dbusmock", "--template",
                                     "notification_daemon", "-l", self._mock_log("notifications")])
        self.spawn("portal", [sys.executable, "-m", "dbusmock", "-l", self._mock_log("portal"),
                              "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                              "org.freedesktop.portal.Inhibit"])
        import dbus
        bus = dbus.bus.BusConnection(self.session_bus)
        try:  # Qt joins the accessibility bus only when org.a11y.Bus is there as it starts.
            bus.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                              "", (), timeout=15)
            wait_for(lambda: bus.name_has_owner("org.freedesktop.portal.Desktop") and
                     bus.name_has_owner("org.freedesktop.Notifications"), 10, "dbusmock")
            bus.get_object("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop") \
                .AddMethod("", "Inhibit", "sua{sv}", "o", PORTAL_INHIBIT,
                           dbus_interface="org.freedesktop.DBus.Mock")
        except dbus.DBusException as error:
            raise Skip(f"the accessibility bus cannot be started: {error}")
        finally:
            bus.close()

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

    def start_vornix(self, program, accessible=True, name="vornix", **env):
        """vornix on this desktop. Outside the run's own namespace the machine's drives under
        /media are unmounted in a namespace of vornix's own, so that it never writes to them."""
        argv, mounts = [program], removable_media_mounts()
        if mounts and not self.system_bus:
            if os.geteuid() != 0 or not shutil.which("unshare"):
                raise Skip("drives are mounted under /media (" + ", ".join(mounts) +
                           "); vornix would write to them, and hiding them needs root")
            script = " ".join(f"umount -l {shlex.quote(m)} 2>/dev/null;" for m in reversed(mounts))
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    script + ' exec "$0"', program]
        return self.start_program(name, argv, accessible, **env)

    def hover(self, x, y):
        # Away first, so that the tool tip comes anew.
        self.xdotool("mousemove", 2, SCREEN[1] - 2)
        self.xdotool("mousemove", int(x), int(y))

    def screenshot(self, name):
        """The screen into artifacts/`name`; returns `name`."""
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        os.path.join(self.artifacts, name)], env=self.environment(), check=True,
                       timeout=20, capture_output=True)
        return name

    def close(self):
        """Lets go of the X server, which must happen before it goes: Xlib ends a process that
        loses its server."""
        if self.x11:
            self.x11.close()
            self.x11 = None

    # --- reading from outside

    def _mock_log(self, service):
        return os.path.join(self.processes.logs, f"{service}-calls.log")

    def calls(self, service, method):
        """(time, arguments as dbusmock logs them) of each `method` call `service` got."""
        with contextlib.suppress(OSError), open(self._mock_log(service), errors="replace") as f:
            return [(float(w[0]), w[2] if len(w) > 2 else "") for w in
                    (line.rstrip("\n").split(" ", 2) for line in f) if w[1:2] == [method]]
        return []

    def inhibitors(self):
        """logind's inhibitors as systemd-inhibit --list shows them: dicts of who, pid, what,
        why and mode."""
        out = subprocess.run(["systemd-inhibit", "--list", "--no-pager", "--no-legend"],
                             env={**os.environ, "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus},
                             capture_output=True, text=True, timeout=20)
        if out.returncode != 0:  # never read as "none held"
            raise Failure(f"systemd-inhibit --list failed: {out.stderr.strip()}")
        return [{"who": w[0], "pid": int(w[3]), "what": w[5], "why": " ".join(w[6:-1]),
                 "mode": w[-1]} for w in (line.split() for line in out.stdout.splitlines())
                if len(w) >= 8]


# The portal names a request after the caller's token; Close on it ends the inhibition.
PORTAL_INHIBIT = """ret = "/org/freedesktop/portal/desktop/request/vornix/" + args[2]["handle_token"]
self.AddObject(ret, "org.freedesktop.portal.Request", {}, [("Close", "", "", "")])"""


def journal(identifier="vornix"):
    """The journal's entries for `identifier`, oldest first, as dicts with "message",
    "priority" and "time" (seconds since the epoch)."""
    out = subprocess.run(["journalctl", "-t", identifier, "-o", "json", "--no-pager"],
                         capture_output=True, text=True, timeout=20).stdout
    entries = []
    for line in out.splitlines():
        with contextlib.suppress(ValueError):
            fields = json.loads(line)
            message = fields.get("MESSAGE")
            if isinstance(message, list):  # not valid UTF-8: journalctl gives the bytes
                message = bytes(message).decode(errors="replace")
            entries.append({"message": message, "priority": int(fields.get("PRIORITY", -1)),
                            "time": int(fields["__REALTIME_TIMESTAMP"]) / 1e6})
    return entries


# A system bus on which logind and the inhibitors' callers may do anything.
SYSTEM_BUS_CONFIG = """<busconfig><type>system</type><listen>unix:path={socket}</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/></policy></busconfig>"""


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


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


class Panel(Accessible):
    """vornix's panel as AT-SPI shows it."""

    STATUSES = ("Active", "Idle", "Disconnected", "Slow to respond",
                "Read-only \u2014 can't ping", "Nearly full \u2014 paused")

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
                rows.append({"name": node.name, "status": status[0] if status else None,
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
                    lines.append((y, node.name))
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


