# A private desktop (journald and logind on a bus of their own, Xvfb, trayer, dbusmock's notifier
# and portal) for driving the real vornix as a person does and reading it only from outside.

import contextlib, importlib.util, json, os, re, select, shlex, shutil  # noqa: E401
import signal, subprocess, sys, time, types  # noqa: E401

SKIP, SCREEN, DASH = 77, (1280, 800), "\u2014"
TOOLS = ("Xvfb", "trayer", "xdotool", "import", "dbus-daemon", "busctl",
         "/usr/share/dbus-1/services/org.a11y.Bus.service")
SYSTEM_TOOLS = ("journalctl", "systemd-inhibit", "unshare", "/lib/systemd/systemd-journald",
                "/lib/systemd/systemd-logind")
STATUSES = ("Active", "Idle", "Disconnected", "Slow to respond", "Read-only \u2014 can't ping",
            "Nearly full \u2014 paused", "Ping failed")
# The portal names a request after the caller's token; Close on it ends the inhibition.
PORTAL_INHIBIT = """ret = "/org/freedesktop/portal/desktop/request/x/" + args[2]["handle_token"]
self.AddObject(ret, "org.freedesktop.portal.Request", {}, [("Close", "", "", "")])"""


class Skip(Exception): pass  # noqa: E701


class Failure(Exception): pass  # noqa: E701


def wait_for(condition, timeout, what, interval=0.02):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)
    return value


def missing_tools(tools=TOOLS):
    return [t for t in tools if not (shutil.which(t) or os.path.exists(t))] + [
        m for m in ("pyatspi", "Xlib", "dbus", "dbusmock") if not importlib.util.find_spec(m)]


def mount_points(*prefixes):
    with open("/proc/self/mountinfo") as table:  # "My Disk" is listed as "My\040Disk"
        points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), line.split()[4])
                  for line in table]
    return [point for point in points if point.startswith(prefixes)]


def busctl(address, *args):
    out = subprocess.run(["busctl", f"--address={address}", "--timeout=15", *args],
                         capture_output=True, text=True, timeout=20)
    return None if out.returncode else out.stdout


def process_state(pid):
    with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]
    return None


def end(process, grace=3.0):
    pid = getattr(process, "pid", process)
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        with contextlib.suppress(OSError):  # each leads a session and group of its own
            os.killpg(pid, sig)
        with contextlib.suppress(Failure):
            wait_for(lambda: process_state(pid) in (None, "Z"), wait, "")


class Processes:
    def __init__(self, logs):
        self.logs, self.started = logs, []
        os.makedirs(logs, exist_ok=True)

    def spawn(self, name, argv, env, **kwargs):
        with open(os.path.join(self.logs, f"{name}.log"), "wb") as log:
            self.started.append(subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                                 stdout=log, stderr=log,
                                                 start_new_session=True, **kwargs))
        return self.started[-1]

    def spawn_printing(self, name, argv, env):
        read_end, write_end = os.pipe()
        with os.fdopen(read_end, "rb") as output:
            self.spawn(name, [a.replace("{fd}", str(write_end)) for a in argv], env,
                       pass_fds=(write_end,))
            os.close(write_end)
            line = select.select([output], [], [], 10)[0] and output.readline().decode().strip()
        if not line:
            raise Failure(f"{name} did not start; see {name}.log")
        return line

    def end_all(self):
        for process in reversed(self.started):
            end(process)
            process.poll()  # reaped once it has ended
        self.started.clear()


class Desktop:

    def __init__(self, scratch, artifacts, processes):
        self.scratch, self.artifacts, self.processes = scratch, artifacts, processes
        self.display = self.session_bus = self.system_bus = self.x = None
        os.makedirs(artifacts, exist_ok=True)

    def start(self, system=True, only=None):  # only: what the session bus may start, if not all
        if missing := missing_tools(TOOLS + SYSTEM_TOOLS * system):
            raise Skip("missing: " + ", ".join(missing))
        bus = ["dbus-daemon", "--session", "--nofork", "--print-address={fd}"]
        if system:  # journald's sockets and journal on tmpfs of this namespace
            for path in ("/run/systemd", "/run/log", "/var/log/journal"):
                if os.path.isdir(path) or path.startswith("/run"):
                    subprocess.run(["mount", "-t", "tmpfs", "vornix-e2e", path], check=True)
            os.makedirs("/run/systemd/journald.conf.d")
            with open("/run/systemd/journald.conf.d/vornix-e2e.conf", "w") as f:
                f.write("[Journal]\nStorage=volatile\nReadKMSG=no\nForwardToSyslog=no\n"
                        "ForwardToWall=no\nRateLimitBurst=0\n")
            self.spawn("journald", ["/lib/systemd/systemd-journald"])
            wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), 10, "journald")
            self.system_bus = self.processes.spawn_printing("system-bus", bus, self.environment())
            self.spawn("logind", ["/lib/systemd/systemd-logind"])
            wait_for(lambda: busctl(self.system_bus, "status", "org.freedesktop.login1"), 10,
                     "systemd-logind on its bus")
        self.display = ":" + self.processes.spawn_printing("xvfb", (
            "Xvfb -displayfd {fd} -screen 0 %dx%dx24 -nolisten tcp -noreset" % SCREEN).split(),
            self.environment())
        from Xlib import X, display, error
        self.x, self._x = display.Display(self.display), (X.IsViewable, error.XError)
        self.x.set_error_handler(lambda *_: None)  # windows come and go under us
        if only is not None:
            os.makedirs(services := os.path.join(self.scratch, "dbus-services"))
            for name in only:
                os.symlink(f"/usr/share/dbus-1/services/{name}.service",
                           f"{services}/{name}.service")
            with open(config := os.path.join(self.scratch, "session.conf"), "w") as f:
                f.write(f"<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                        f"<servicedir>{services}</servicedir><policy context='default'><allow "
                        "own='*'/><allow send_destination='*' eavesdrop='true'/><allow "
                        "eavesdrop='true'/></policy></busconfig>")
            bus = [bus[0], f"--config-file={config}", *bus[2:]]
        self.session_bus = self.processes.spawn_printing("session-bus", bus, self.environment())
        os.environ.update({k: v for k, v in self.environment().items()  # for pyatspi and
                           if k.startswith(("DISPLAY", "DBUS_", "XDG_RUNTIME"))})  # journalctl
        mock = [sys.executable, "-m", "dbusmock"]
        self.spawn("notifications", mock + ["--template", "notification_daemon"])
        self.spawn("portal", mock + ["org.freedesktop.portal.Desktop",
                                     "/org/freedesktop/portal/desktop",
                                     "org.freedesktop.portal.Inhibit"])
        # Qt joins the accessibility bus only when org.a11y.Bus is there as it starts.
        if busctl(self.session_bus, "call", "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                  "GetAddress") is None:
            raise Skip("the accessibility bus cannot be started")
        wait_for(lambda: busctl(self.session_bus, "status", "org.freedesktop.Notifications") and
                 busctl(self.session_bus, "call", "org.freedesktop.portal.Desktop",
                        "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Mock",
                        "AddMethod", "sssss", "", "Inhibit", "sua{sv}", "o", PORTAL_INHIBIT)
                 is not None, 10, "dbusmock's notification server and portal")
        self.spawn("trayer", "trayer --edge top --align right --widthtype percent --width 100 "
                   "--height 28 --transparent false --tint 0xe5e7eb --iconspacing 4".split())
        wait_for(lambda: self.x.get_selection_owner(self.x.intern_atom("_NET_SYSTEM_TRAY_S0")),
                 10, "trayer to claim the tray selection")
        return self

    def environment(self):
        dirs = "HOME TMPDIR XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME".split()
        for name in dirs:
            os.makedirs(os.path.join(self.scratch, name.lower()), mode=0o700, exist_ok=True)
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
                **{name: os.path.join(self.scratch, name.lower()) for name in dirs},
                **{name: value for name, value in (
                    ("DISPLAY", self.display), ("DBUS_SESSION_BUS_ADDRESS", self.session_bus),
                    ("DBUS_SYSTEM_BUS_ADDRESS", self.system_bus)) if value}}

    def spawn(self, name, argv, env=None, **kwargs):
        return self.processes.spawn(name, argv, env or self.environment(), **kwargs)

    def start_program(self, name, argv, accessible=True, **env):
        return self.spawn(name, argv, {**self.environment(), "QT_QPA_PLATFORM": "xcb", **env, **(
            {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"} if accessible else {})})

    def start_vornix(self, program, accessible=True, name="vornix", **env):
        # Outside a namespace of the run's own, the machine's drives under /media are unmounted
        # in one of vornix's own: it must never write to them.
        mounts, argv = mount_points("/media/", "/run/media/"), [program]
        if mounts and not self.system_bus:
            if os.geteuid() != 0 or not shutil.which("unshare"):
                raise Skip(f"drives are mounted under /media ({', '.join(mounts)}); vornix "
                           "would write to them, and hiding them needs root")
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c", " ".join(
                f"umount -l {shlex.quote(m)} 2>/dev/null;" for m in reversed(mounts)) +
                ' exec "$0"', program]
        return self.start_program(name, argv, accessible, **env)

    def wait_for_icon(self, process, timeout, interval=0.02):
        wait_for(lambda: process.poll() is not None or self.tray_icon(), timeout,
                 "vornix's icon in the tray", interval)
        if process.poll() is not None:
            raise Failure(f"vornix ended at start with status {process.returncode}")
        return self.tray_icon()

    def windows(self, wm_class=None, below=None, deep=True):
        found = []
        with contextlib.suppress(self._x[1]):
            for w in (self.x.screen().root if below is None else below).query_tree().children:
                with contextlib.suppress(self._x[1]):
                    if w.get_attributes().map_state == self._x[0] and wm_class in (
                            None, (w.get_wm_class() or ("", ""))[1]):
                        at = self.x.screen().root.translate_coords(w, 0, 0)
                        found.append((at.x, at.y, w.get_geometry().width,
                                      w.get_geometry().height, w))
                found += self.windows(wm_class, w) if deep else []
        return found

    def tray_icon(self, wm_class="Vornix"):
        return next((g[:4] for t in self.windows("trayer", deep=False)
                     for g in self.windows(wm_class, t[4]) if g[2] > 1 and g[3] > 1), None)

    def topmost_window(self):
        return ([None] + [g[:4] for g in self.windows(deep=False)])[-1]

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.environment(), check=True,
                       timeout=10)

    def click(self, x, y):
        self.xdotool("mousemove", int(x), int(y), "click", "1")

    def screenshot(self, name):
        subprocess.run(["import", "-display", self.display, "-window", "root",
                        os.path.join(self.artifacts, name)], timeout=20, capture_output=True)

    def close(self):
        # Lets go of the X server before it goes: Xlib ends a process that loses its server.
        self.x = self.x and self.x.close()

    def calls(self, service, method):
        with open(os.path.join(self.processes.logs, f"{service}.log"), errors="replace") as f:
            return [(float(w[0]), (w + [""])[2]) for w in
                    (line.rstrip("\n").split(" ", 2) for line in f) if w[1:2] == [method]]


def journal(identifier="vornix"):
    out = subprocess.run(["journalctl", "-t", identifier, "-o", "json", "--no-pager"],
                         capture_output=True, text=True, timeout=20).stdout
    return [{"message": m if isinstance(m := e.get("MESSAGE"), str) else  # bytes if not UTF-8
             bytes(m).decode(errors="replace"), "priority": int(e.get("PRIORITY", -1)),
             "time": int(e["__REALTIME_TIMESTAMP"]) / 1e6} for e in map(json.loads,
                                                                        out.splitlines())]


def centre(rect):
    return rect[0] + rect[2] // 2, rect[1] + rect[3] // 2


class Panel:
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

    def nodes(self):
        # visible: showing, with an area no enclosing widget clips away (Qt calls a widget in a
        # zero-height scroll area showing)
        found = []

        def walk(node, window, clip):
            with contextlib.suppress(Exception):  # an object leaving while we look
                e = node.queryComponent().getExtents(self.at.DESKTOP_COORDS)
                x, y, w, h = box = e.x, e.y, e.width, e.height
                states = set(node.getState().getStates())
                found.append(item := types.SimpleNamespace(
                    node=node, role=node.getRole(), states=states, box=box,
                    window=node if window is None else window,
                    name=node.name.replace("\u2068", "").replace("\u2069", ""), children=[],
                    visible=self.at.STATE_SHOWING in states and w > 0 and h > 0 and clip[0] <= x
                    and clip[1] <= y and x + w <= clip[2] and y + h <= clip[3]))
                clip = max(clip[0], x), max(clip[1], y), min(clip[2], x + w), min(clip[3], y + h)
                item.children = [i for c in list(node) if c is not None and
                                 (i := walk(c, item.window, clip))]
                return item
        for child in self.application() or ():
            walk(child, None, (-1e9, -1e9, 1e9, 1e9))
        return found

    def find_all(self, role, name=None):
        return [n for n in self.nodes() if n.visible and n.role == getattr(self.at, role)
                and name in (None, n.name)]

    def find(self, role, name=None):
        return (self.find_all(role, name) or [None])[0]

    def volume_rows(self):
        rows, at = [], self.at
        for n in [n for n in self.nodes() if n.name and at.STATE_SHOWING in n.states]:
            labels = [c.name for c in n.children if c.role == at.ROLE_LABEL and
                      at.STATE_SHOWING in c.states]
            for switch in [c for c in n.children if c.name == n.name and c.role in (
                    at.ROLE_CHECK_BOX, at.ROLE_TOGGLE_BUTTON)][:1]:
                rows.append(types.SimpleNamespace(
                    name=n.name, labels=labels, path=n.node.path, top=n.box[1],
                    status=([t for t in labels if t in STATUSES] + [None])[0],
                    watched=at.STATE_CHECKED in switch.states,
                    enabled=at.STATE_ENABLED in switch.states))
        return sorted(rows, key=lambda r: r.top)

    def status(self, name):
        return next((r.status for r in self.volume_rows() if r.name == name), None)

    def picker(self):
        combos = self.find_all("ROLE_COMBO_BOX")
        lists = [c for n in combos for c in n.children if c.role == self.at.ROLE_LIST]
        if len(combos) != 1 or not lists:
            raise Failure(f"{len(combos)} combo boxes in the panel, not one interval picker")
        return combos[0], lists[0]
