"""One private desktop for driving the real vornix the way a person does, read from outside.

Desktop starts, each of its own: with `system`, systemd-journald and a system bus with the real
systemd-logind (root, in the caller's own mount namespace); Xvfb; a session bus with the
accessibility bus and python-dbusmock's notification server and portal Inhibit, which log each
call; and a tray (trayer). Processes keeps every program's output in logs/ and ends them and
whatever they orphaned. Panel reads vornix over AT-SPI the way a screen reader does.
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
STATUSES = ("Active", "Idle", "Disconnected", "Slow to respond", "Read-only \u2014 can't ping",
            "Nearly full \u2014 paused", "Ping failed")
# A system bus on which logind and its callers may do anything.
SYSTEM_BUS = """<busconfig><type>system</type><listen>unix:path={}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/>
</policy></busconfig>"""
# The portal names a request after the caller's token; Close on it ends the inhibition.
PORTAL_INHIBIT = """ret = "/org/freedesktop/portal/desktop/request/x/" + args[2]["handle_token"]
self.AddObject(ret, "org.freedesktop.portal.Request", {}, [("Close", "", "", "")])"""


class Skip(Exception):
    """The machine cannot run this: the reason is printed and the run counts as skipped."""


class Failure(Exception):
    pass


def wait_for(condition, timeout, what, interval=0.02):
    """What `condition` returns once it is true; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)
    return value


def missing_tools(tools=TOOLS):
    missing = [t for t in tools if not (shutil.which(t) or os.access(t, os.X_OK))]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core (org.a11y.Bus)")
    for module in ("pyatspi", "dbus", "Xlib", "dbusmock"):
        with contextlib.suppress(ImportError):
            __import__(module)
            continue
        missing.append(f"python3 module {module} (run with Debian's python3)")
    return missing


def name_has_owner(address, name):
    import dbus
    bus = dbus.bus.BusConnection(address)
    try:
        return bool(bus.name_has_owner(name))
    finally:
        bus.close()


def _stat(pid):
    """(state, ppid, pgid, sid) of a process or "PID/task/TID", None once it is gone."""
    with contextlib.suppress(OSError, IndexError, ValueError), open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    return None


def process_state(pid):
    """"Z" for a zombie, None once gone."""
    return (_stat(pid) or (None,))[0]


def live_processes(predicate=lambda ppid, pgid, sid: True):
    return [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
            if (st := _stat(pid)) and st[0] != "Z" and predicate(*st[1:])]


def command_line(pid):
    with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
        return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    return "?"


def end(process, grace=3.0):
    """SIGTERM to a process (Popen or pid) and the group it leads, SIGKILL after `grace`."""
    pid = getattr(process, "pid", process)
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        for send in (os.killpg, os.kill):
            with contextlib.suppress(OSError):
                send(pid, sig)
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline and (process.poll() is None if hasattr(
                process, "poll") else process_state(pid) not in (None, "Z")):
            time.sleep(0.02)


class Processes:
    """Programs in sessions of their own, output in `logs`/NAME.log. As the child subreaper,
    end_all also ends whatever was orphaned under them."""

    def __init__(self, logs):
        self.logs, self.started = logs, []
        os.makedirs(logs, exist_ok=True)
        ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER

    def spawn(self, name, argv, env, **kwargs):
        with open(os.path.join(self.logs, f"{name}.log"), "wb") as log:
            kwargs = {"stdout": log, "stderr": log, **kwargs}
            self.started.append(subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                                 start_new_session=True, **kwargs))
        return self.started[-1]

    def spawn_printing(self, name, argv, env, timeout=10):
        """Starts a program that prints one line on the descriptor put for "{fd}" (Xvfb's
        -displayfd, dbus-daemon's --print-address); returns the line."""
        read_end, write_end = os.pipe()
        with os.fdopen(read_end, "rb") as output:
            self.spawn(name, [a.replace("{fd}", str(write_end)) for a in argv], env,
                       pass_fds=(write_end,))
            os.close(write_end)
            if not select.select([output], [], [], timeout)[0]:
                raise Failure(f"{name} did not start within {timeout:g} s")
            line = output.readline().decode().strip()
        if not line:
            raise Failure(f"{name} ended at start; see {name}.log")
        return line

    def end_all(self):
        for process in reversed(self.started):
            end(process)
        self.started.clear()
        for _ in range(2):  # then what the buses started, and what that left
            for pid in live_processes(lambda ppid, pgid, sid: ppid == os.getpid()):
                end(pid)
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass


class X11:
    """The few X requests needed; a window that is gone has no children, class or geometry."""

    def __init__(self, display):
        from Xlib import X, error
        from Xlib.display import Display
        self._viewable, self._error = X.IsViewable, error.XError
        self._display = Display(display)
        self._display.set_error_handler(lambda *_: None)  # windows come and go under us
        self.root = self._display.screen().root.id

    def _ask(self, window, request, otherwise=None):
        with contextlib.suppress(self._error):
            return request(self._display.create_resource_object("window", int(window)))
        return otherwise

    def tray_owner(self):
        owner = self._display.get_selection_owner(
            self._display.intern_atom("_NET_SYSTEM_TRAY_S0"))
        return getattr(owner, "id", owner)

    def children(self, window):
        return self._ask(window, lambda w: [c.id for c in w.query_tree().children], [])

    def window_class(self, window):
        return (self._ask(window, lambda w: w.get_wm_class()) or ("", ""))[1]

    def geometry(self, window):
        """(x, y, width, height) on the screen, None once gone."""
        root = self._display.create_resource_object("window", self.root)
        return self._ask(window, lambda w: (lambda at, size: (
            at.x, at.y, size.width, size.height))(root.translate_coords(w, 0, 0),
                                                   w.get_geometry()))

    def viewable(self, window):
        return self._ask(window, lambda w: w.get_attributes().map_state == self._viewable, False)

    def find_below(self, window, wm_class):
        found = []
        for child in self.children(window):
            found += [child] * (self.window_class(child) == wm_class)
            found += self.find_below(child, wm_class)
        return found


class Desktop:
    """The private desktop, in `scratch`; screenshots go to `artifacts`."""

    def __init__(self, scratch, artifacts, processes):
        self.scratch, self.artifacts, self.processes = scratch, artifacts, processes
        self.display = self.session_bus = self.system_bus = self.x11 = None
        os.makedirs(artifacts, exist_ok=True)

    def start(self, system=True):
        missing = missing_tools(TOOLS + SYSTEM_TOOLS * system)
        if missing:
            raise Skip("missing: " + ", ".join(missing))
        if system:
            self._start_system()
        number = self.processes.spawn_printing("xvfb", [
            "Xvfb", "-displayfd", "{fd}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24",
            "-nolisten", "tcp", "-noreset"], self.environment())
        self.display, self.x11 = f":{number}", X11(f":{number}")
        self._start_session_bus()
        self.spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                              "percent", "--width", "100", "--height", "28", "--transparent",
                              "false", "--tint", "0xe5e7eb", "--iconspacing", "4"])
        wait_for(self.x11.tray_owner, 10, "trayer to claim the tray selection")
        return self

    def environment(self):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
               **{name: self._dir(name.lower()) for name in ("HOME", "TMPDIR")},
               **{f"XDG_{n.upper()}": self._dir(n) for n in ("runtime_dir", "config_home",
                                                             "data_home", "cache_home")}}
        for name, value in (("DISPLAY", self.display), ("DBUS_SESSION_BUS_ADDRESS",
                            self.session_bus), ("DBUS_SYSTEM_BUS_ADDRESS", self.system_bus)):
            env.update({name: value} if value else {})
        return env

    def _dir(self, name):
        os.makedirs(path := os.path.join(self.scratch, name), mode=0o700, exist_ok=True)
        return path

    def spawn(self, name, argv, env=None, **kwargs):
        return self.processes.spawn(name, argv, env or self.environment(), **kwargs)

    def _start_system(self):
        # journald's sockets and journal on tmpfs of this namespace: none reach the host's.
        for path in ("/run/systemd", "/run/log", "/var/log/journal"):
            if os.path.isdir(path) or path.startswith("/run"):
                subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "vornix-e2e", path],
                               check=True)
        with open(config := os.path.join(self.scratch, "journald.conf"), "w") as f:
            f.write("[Journal]\nStorage=volatile\nReadKMSG=no\nForwardToSyslog=no\n"
                    "ForwardToWall=no\nRateLimitBurst=0\n")
        if os.path.exists("/etc/systemd/journald.conf"):
            subprocess.run(["mount", "--bind", config, "/etc/systemd/journald.conf"], check=True)
        self.spawn("journald", ["/lib/systemd/systemd-journald"])
        wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), 10, "journald")
        with open(config := os.path.join(self.scratch, "system-bus.conf"), "w") as f:
            f.write(SYSTEM_BUS.format(f"{self.scratch}/system_bus_socket"))
        self.system_bus = self.processes.spawn_printing("system-bus", [
            "dbus-daemon", f"--config-file={config}", "--nofork", "--print-address={fd}"],
            self.environment())
        self.spawn("logind", ["/lib/systemd/systemd-logind"])
        wait_for(lambda: name_has_owner(self.system_bus, "org.freedesktop.login1"), 10,
                 "systemd-logind on the system bus")

    def _start_session_bus(self):
        self.session_bus = self.processes.spawn_printing("session-bus", [
            "dbus-daemon", "--session", "--nofork", "--print-address={fd}"], self.environment())
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):  # for pyatspi
            os.environ[name] = self.environment()[name]
        mock = [sys.executable, "-m", "dbusmock", "-l"]
        self.spawn("notifications", mock + [self._log("notifications"), "--template",
                                            "notification_daemon"])
        self.spawn("portal", mock + [self._log("portal"), "org.freedesktop.portal.Desktop",
                                     "/org/freedesktop/portal/desktop",
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
            raise Skip(f"the accessibility bus or dbusmock cannot be started: {error}")
        finally:
            bus.close()

    def start_program(self, name, argv, accessible=True, **env):
        """A Qt program on this desktop, with `env` added to the desktop's environment."""
        return self.spawn(name, argv, {**self.environment(), "QT_QPA_PLATFORM": "xcb", **env, **(
            {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"} if accessible else {})})

    def start_vornix(self, program, accessible=True, name="vornix", **env):
        """Outside a namespace of the run's own, the machine's drives under /media are
        unmounted in one of vornix's own: it must never write to them."""
        with open("/proc/self/mountinfo") as table:  # "My Disk" is listed as "My\040Disk"
            mounts = [p for p in (re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)),
                                         line.split()[4]) for line in table)
                      if p.startswith(("/media/", "/run/media/"))]
        argv = [program]
        if mounts and not self.system_bus:
            if os.geteuid() != 0 or not shutil.which("unshare"):
                raise Skip(f"drives are mounted under /media ({', '.join(mounts)}); vornix "
                           "would write to them, and hiding them needs root")
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c", " ".join(
                f"umount -l {shlex.quote(m)} 2>/dev/null;" for m in reversed(mounts)) +
                ' exec "$0"', program]
        return self.start_program(name, argv, accessible, **env)

    def wait_for_icon(self, process, timeout, interval=0.02):
        """The tray icon's geometry once shown; fails should `process` end first."""
        wait_for(lambda: process.poll() is not None or self.tray_icon(), timeout,
                 "vornix's icon in the tray", interval)
        if process.poll() is not None:
            raise Failure(f"vornix ended at start with status {process.returncode}")
        return self.tray_icon()

    def tray_icon(self, wm_class="Vornix"):
        """The geometry of the icon of `wm_class` once it is a viewable window inside trayer's
        panel, None before."""
        x11 = self.x11
        for top in x11.children(x11.root):
            px, py, pw, ph = x11.geometry(top) or (0, 0, 0, 0)
            for icon in x11.find_below(top, wm_class) if x11.window_class(top) == "trayer" else ():
                x, y, w, h = x11.geometry(icon) or (0, 0, 0, 0)
                if x11.viewable(icon) and w > 1 and h > 1 and px <= x and py <= y and \
                        x + w <= px + pw and y + h <= py + ph:
                    return x, y, w, h
        return None

    def windows(self, wm_class):
        """Geometries of the viewable windows of `wm_class`."""
        return [g for g in (self.x11.geometry(w) for w in self.x11.find_below(
            self.x11.root, wm_class) if self.x11.viewable(w)) if g]

    def topmost_window(self):
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
        self.xdotool("mousemove", 2, SCREEN[1] - 2)  # away first, for the tool tip to come anew
        self.xdotool("mousemove", int(x), int(y))

    def screenshot(self, name):
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        os.path.join(self.artifacts, name)], env=self.environment(), check=True,
                       timeout=20, capture_output=True)
        return name

    def close(self):
        """Lets go of the X server before it goes: Xlib ends a process that loses its server."""
        if self.x11:
            self.x11._display.close()
            self.x11 = None

    def _log(self, service):
        return os.path.join(self.processes.logs, f"{service}-calls.log")

    def calls(self, service, method):
        """(time, arguments as dbusmock logs them) of each `method` call `service` got."""
        with contextlib.suppress(OSError), open(self._log(service), errors="replace") as f:
            return [(float(w[0]), (w + [""])[2]) for w in
                    (line.rstrip("\n").split(" ", 2) for line in f) if w[1:2] == [method]]
        return []

    def inhibitors(self):
        """logind's inhibitors as systemd-inhibit --list shows them."""
        out = subprocess.run(["systemd-inhibit", "--list", "--no-pager", "--no-legend"],
                             env={**os.environ, "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus},
                             capture_output=True, text=True, timeout=20)
        if out.returncode != 0:  # never read as "none held"
            raise Failure(f"systemd-inhibit --list failed: {out.stderr.strip()}")
        return [{"who": w[0], "pid": int(w[3]), "what": w[5], "why": " ".join(w[6:-1]),
                 "mode": w[-1]} for w in map(str.split, out.stdout.splitlines()) if len(w) >= 8]


def journal(identifier="vornix"):
    """The journal's entries for `identifier`, oldest first: message, priority, time."""
    out = subprocess.run(["journalctl", "-t", identifier, "-o", "json", "--no-pager"],
                         capture_output=True, text=True, timeout=20).stdout
    entries = []
    for fields in map(json.loads, out.splitlines()):
        message = fields.get("MESSAGE")
        if isinstance(message, list):  # not valid UTF-8: journalctl gives the bytes
            message = bytes(message).decode(errors="replace")
        entries.append({"message": message, "priority": int(fields.get("PRIORITY", -1)),
                        "time": int(fields["__REALTIME_TIMESTAMP"]) / 1e6})
    return entries


def plain(text):
    """A volume name as the panel shows it, without the isolates around it."""
    return text.replace("\u2068", "").replace("\u2069", "")


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


class Panel:
    """vornix as AT-SPI shows it, read anew each time."""

    def __init__(self, pid):
        import pyatspi
        self.at, self.pid = pyatspi, pid

    def application(self):
        desktop = self.at.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            with contextlib.suppress(Exception):  # an application leaving while we look
                if (app := desktop.getChildAtIndex(i)).get_process_id() == self.pid:
                    app.clear_cache()
                    return app
        return None

    def walk(self, node, depth=0):
        """(node, depth) of `node` and everything below it."""
        yield node, depth
        with contextlib.suppress(Exception):
            for child in [node.getChildAtIndex(i) for i in range(node.childCount)]:
                if child is not None and depth < 40:
                    yield from self.walk(child, depth + 1)

    def children(self, node):
        return [c for c in (node.getChildAtIndex(i) for i in range(node.childCount)) if c]

    def find_all(self, role, name=None):
        """The visible objects of `role` (named `name`)."""
        app, found = self.application(), []
        for node, _ in self.walk(app) if app else ():
            with contextlib.suppress(Exception):
                if node.getRole() == role and name in (None, node.name) and self.visible(node):
                    found.append(node)
        return found

    def find(self, role, name=None):
        return (self.find_all(role, name) or [None])[0]

    def showing(self, node):
        with contextlib.suppress(Exception):
            return self.has(node, self.at.STATE_SHOWING)
        return False

    def visible(self, node):
        """Showing, with an area no enclosing widget clips away (Qt calls a widget inside a
        zero-height scroll area showing)."""
        x, y, w, h = self.extents(node)
        if not self.showing(node) or w <= 0 or h <= 0:
            return False
        while (node := node.parent) is not None and node.getRole() != self.at.ROLE_APPLICATION:
            px, py, pw, ph = self.extents(node)
            if x < px or y < py or x + w > px + pw or y + h > py + ph:
                return False
        return True

    def has(self, node, state):
        return node.getState().contains(state)

    def extents(self, node):
        e = node.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def centre(self, node):
        return centre(self.extents(node))

    def window_of(self, node):
        while node.parent is not None and node.parent.getRole() != self.at.ROLE_APPLICATION:
            node = node.parent
        return node

    def describe(self):
        """The whole tree, one line an object, for a failure's report."""
        app, lines = self.application(), []
        shown = (self.at.STATE_CHECKED, self.at.STATE_ENABLED, self.at.STATE_SHOWING)
        for node, depth in self.walk(app) if app else ():
            with contextlib.suppress(Exception):
                states = [self.at.stateToString(s) for s in node.getState().getStates()
                          if s in shown]
                lines.append(f"  {'  ' * depth}{node.getRoleName()} {node.name!r} {states}")
        return "\n".join(lines) or "(vornix is not on the accessibility bus)"

    def volume_rows(self):
        """The volume rows top to bottom: name, status, labels, watched, enabled, node. A row
        is the object whose switch carries its name."""
        app, rows = self.application(), []
        for node, _ in self.walk(app) if app else ():
            with contextlib.suppress(Exception):
                if not node.name or not self.showing(node):
                    continue
                children = self.children(node)
                switch = [c for c in children if c.name == node.name and c.getRole() in (
                    self.at.ROLE_CHECK_BOX, self.at.ROLE_TOGGLE_BUTTON)]
                labels = [c.name for c in children if switch and
                          c.getRole() == self.at.ROLE_LABEL and self.showing(c)]
                if switch:
                    rows.append({"name": plain(node.name), "labels": labels, "node": node,
                                 "status": ([t for t in labels if t in STATUSES] + [None])[0],
                                 "watched": self.has(switch[0], self.at.STATE_CHECKED),
                                 "enabled": self.has(switch[0], self.at.STATE_ENABLED),
                                 "top": self.extents(node)[1]})
        return sorted(rows, key=lambda r: r["top"])

    def row(self, name):
        return next((row for row in self.volume_rows() if row["name"] == name), None)

    def status(self, name):
        return (self.row(name) or {}).get("status")

    def activity(self):
        """The lines a person sees in the activity list, newest first: those inside its
        visible area, whatever AT-SPI calls showing."""
        app = self.application()
        area = next((n for n, _ in self.walk(app) if n.name == "Recent activity" and
                     n.getRole() != self.at.ROLE_LABEL), None) if app else None
        _, top, _, height = self.extents(area) if area else (0, 0, 0, 0)
        lines = []
        for node, _ in self.walk(area) if area else ():
            with contextlib.suppress(Exception):
                _, y, _, h = self.extents(node)
                if node.getRole() == self.at.ROLE_LABEL and h > 0 and top <= y and \
                        y + h <= top + height and (f" {DASH} " in node.name or
                                                   node.name.startswith("Sleep")):
                    lines.append((y, plain(node.name)))
        return [text for _, text in sorted(lines)]

    def picker(self):
        combos = self.find_all(self.at.ROLE_COMBO_BOX)
        if len(combos) != 1:
            raise Failure(f"{len(combos)} combo boxes in the panel, not the interval picker")
        return combos[0]

    def picker_list(self):
        lists = [n for n in self.children(self.picker()) if n.getRole() == self.at.ROLE_LIST]
        if not lists:
            raise Failure("the interval picker has no list of entries")
        return lists[0]

    def picker_entries(self):
        return self.children(self.picker_list())

    def picker_selection(self):
        """The entry the picker shows as chosen, or None."""
        return next((e.name for e in self.picker_entries()
                     if self.has(e, self.at.STATE_SELECTED)), None)
