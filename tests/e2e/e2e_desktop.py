"""The desktop the acceptance run puts vornix on, and the ways it is read from outside.

Started inside the run's namespaces, each of its own: a private systemd-journald, a private
system bus with the real systemd-logind on it, an X server (Xvfb) with a system tray (trayer),
a session bus with the accessibility bus and dunst as the notification server, and dbus-monitor
recording what the notification server is sent. Read back through journalctl, systemd-inhibit,
the monitor's record, AT-SPI (pyatspi) and screenshots; driven with xdotool.
"""

import ctypes
import ctypes.util
import json
import os
import shutil
import subprocess

from e2e_sandbox import mount, run
from e2e_support import Failure, Skip, wait_for

SCREEN = (1280, 800)
DASH = "\u2014"
TOOLS = ("Xvfb", "trayer", "xdotool", "import", "dbus-daemon", "dbus-monitor", "dunst",
         "journalctl", "systemd-inhibit", "unshare", "mkfs.ext4", "mkfs.xfs", "mkfs.exfat",
         "mount.exfat-fuse", "fallocate", "blkid")
SYSTEMD = {"journald": "/lib/systemd/systemd-journald", "logind": "/lib/systemd/systemd-logind"}


def missing_tools():
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    missing += [path for path in SYSTEMD.values() if not os.access(path, os.X_OK)]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core")
    for module in ("pyatspi", "dbus"):
        try:
            __import__(module)
        except ImportError:
            missing.append(f"python3 module {module} (Debian's python3)")
    return missing


class TraySelection:
    """Whether a system tray owns the tray selection of screen 0 (Xlib through ctypes)."""

    def __init__(self, display):
        path = ctypes.util.find_library("X11")
        if not path:
            raise Skip("libX11 is missing")
        x = ctypes.CDLL(path)
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XGetSelectionOwner.restype = ctypes.c_ulong
        x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self._x = x
        self._display = x.XOpenDisplay(display.encode())
        if not self._display:
            raise Failure(f"cannot open display {display}")
        self._atom = x.XInternAtom(self._display, b"_NET_SYSTEM_TRAY_S0", 0)

    def owned(self):
        return self._x.XGetSelectionOwner(self._display, self._atom) != 0

    def close(self):
        if self._display:
            self._x.XCloseDisplay(self._display)  # before its server goes
            self._display = None


class Desktop:
    def __init__(self, scratch, artifacts, logs, processes):
        self.scratch, self.artifacts, self.logs = scratch, artifacts, logs
        self.processes = processes
        self.display = self.session_bus = None
        self.system_bus = f"unix:path={scratch}/system_bus_socket"
        self.notifications = None

    def environment(self):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self._dir("home"),
            "LANG": "C.UTF-8",
            "TMPDIR": self._dir("tmp"),
            "XDG_RUNTIME_DIR": self._dir("runtime"),
            "XDG_CONFIG_HOME": self._dir("config"),
            "XDG_DATA_HOME": self._dir("data"),
            "XDG_CACHE_HOME": self._dir("cache"),
            "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus,
        }
        if self.display:
            env["DISPLAY"] = self.display
        if self.session_bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.session_bus
        return env

    def _dir(self, name):
        path = os.path.join(self.scratch, name)
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def start(self):
        self._start_journald()
        self._start_system_bus()
        self._start_logind()
        self._start_x()
        self._start_session_bus()
        self._start_notification_server()
        self._start_tray()

    # --- the system side

    def _start_journald(self):
        # Its sockets and its journal on tmpfs of this namespace; nothing reaches the host's.
        for path in ("/run/systemd", "/run/log"):
            mount("vornix-e2e-run", path, "tmpfs", "mode=0755")
        if os.path.isdir("/var/log/journal"):
            mount("vornix-e2e-journal", "/var/log/journal", "tmpfs", "mode=0755")
        config = os.path.join(self.scratch, "journald.conf")
        with open(config, "w") as f:
            f.write("[Journal]\nStorage=volatile\nReadKMSG=no\nForwardToSyslog=no\n"
                    "ForwardToWall=no\nRateLimitBurst=0\n")
        if os.path.exists("/etc/systemd/journald.conf"):
            run(["mount", "--bind", config, "/etc/systemd/journald.conf"])
        self.processes.spawn("journald", [SYSTEMD["journald"]], self.environment())
        wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), 10,
                 "systemd-journald's socket")

    def _start_system_bus(self):
        config = os.path.join(self.scratch, "system-bus.conf")
        with open(config, "w") as f:
            f.write(SYSTEM_BUS_CONFIG.format(socket=f"{self.scratch}/system_bus_socket"))
        self.processes.spawn_printing(
            "system-bus", ["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile",
                           "--print-address={fd}"], self.environment())

    def _start_logind(self):
        self.processes.spawn("logind", [SYSTEMD["logind"]], self.environment())
        wait_for(lambda: self.name_has_owner(self.system_bus, "org.freedesktop.login1"), 10,
                 "systemd-logind on the system bus")

    # --- the user's side

    def _start_x(self):
        number = self.processes.spawn_printing(
            "xvfb", ["Xvfb", "-displayfd", "{fd}", "-screen", "0",
                     f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp", "-noreset"],
            self.environment())
        self.display = f":{number}"
        if shutil.which("xsetroot"):
            subprocess.run(["xsetroot", "-solid", "#4b5563"], env=self.environment(),
                           check=False, timeout=10)

    def _start_session_bus(self):
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
            raise Failure(f"the accessibility bus did not start: {error}")
        finally:
            bus.close()
        # pyatspi, in this process, finds the accessibility bus through these.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.environment()[name]

    def _start_notification_server(self):
        # The monitor first, so that it sees everything the server is sent.
        record = os.path.join(self.logs, "session-bus-monitor.log")
        self.processes.spawn(
            "dbus-monitor",
            ["dbus-monitor", "--address", self.session_bus,
             "type='method_call',interface='org.freedesktop.Notifications'",
             "type='method_return'", "type='error'"],
            self.environment(), stdout=open(record, "wb"))
        wait_for(lambda: os.path.getsize(record) > 0, 10, "dbus-monitor to start")
        self.notifications = NotificationRecord(record)
        self.processes.spawn("dunst", ["dunst"], self.environment())
        wait_for(lambda: self.name_has_owner(self.session_bus, "org.freedesktop.Notifications"),
                 10, "dunst on the session bus")

    def _start_tray(self):
        self.processes.spawn(
            "trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype", "percent",
                       "--width", "100", "--height", "28", "--transparent", "false", "--tint",
                       "0xe5e7eb", "--iconspacing", "4"], self.environment())
        selection = TraySelection(self.display)
        try:
            wait_for(selection.owned, 10, "the system tray (trayer) to claim the tray selection")
        finally:
            selection.close()

    @staticmethod
    def name_has_owner(address, name):
        import dbus
        try:
            bus = dbus.bus.BusConnection(address)
        except dbus.DBusException:
            return False
        try:
            return bool(bus.name_has_owner(name))
        finally:
            bus.close()

    # --- looking and acting

    def tray_icon(self, wm_class="Vornix"):
        """(x, y, w, h) of a visible icon-sized window of `wm_class` in the tray strip."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", wm_class],
                               env=self.environment(), capture_output=True, text=True,
                               timeout=10).stdout.split()
        for window in found:
            geometry = self.window_geometry(window)
            if geometry and geometry[1] < 28 and 1 < geometry[2] <= 64 and 1 < geometry[3] <= 64:
                return geometry
        return None

    def window_geometry(self, window):
        out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)],
                             env=self.environment(), capture_output=True, text=True,
                             timeout=10).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        try:
            return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        except (KeyError, ValueError):
            return None

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.environment(), check=True,
                       timeout=10)

    def click(self, x, y):
        self.xdotool("mousemove", int(x), int(y), "click", "1")

    def screenshot(self, name):
        path = os.path.join(self.artifacts, name)
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       env=self.environment(), check=True, timeout=20, capture_output=True)
        return name


# The system bus's own policy (as in /usr/share/dbus-1/system.conf) and the services' rules.
SYSTEM_BUS_CONFIG = """<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
"""


# --- reading from outside ---------------------------------------------------------------------

def journal(identifier="vornix"):
    """The journal's entries for `identifier`, oldest first, as dicts with "message",
    "priority" and "time" (seconds since the epoch) besides the raw fields."""
    out = subprocess.run(["journalctl", "-t", identifier, "-o", "json", "--no-pager"],
                         capture_output=True, text=True, timeout=20).stdout
    entries = []
    for line in out.splitlines():
        try:
            fields = json.loads(line)
        except ValueError:
            continue
        message = fields.get("MESSAGE")
        if isinstance(message, list):  # not valid UTF-8: journalctl gives the bytes
            message = bytes(message).decode(errors="replace")
        fields.update(message=message, priority=int(fields.get("PRIORITY", -1)),
                      time=int(fields["__REALTIME_TIMESTAMP"]) / 1e6)
        entries.append(fields)
    return entries


def inhibitors(system_bus):
    """logind's inhibitors as systemd-inhibit --list shows them: dicts of who, what, why, mode,
    pid."""
    out = subprocess.run(["systemd-inhibit", "--list", "--no-pager", "--no-legend"],
                         env={**os.environ, "DBUS_SYSTEM_BUS_ADDRESS": system_bus},
                         capture_output=True, text=True, timeout=20)
    if out.returncode != 0:
        raise Failure(f"systemd-inhibit --list failed: {out.stderr.strip()}")
    found = []
    for line in out.stdout.splitlines():
        words = line.split()
        if len(words) >= 8:
            found.append({"who": words[0], "pid": int(words[3]), "what": words[5],
                          "why": " ".join(words[6:-1]), "mode": words[-1]})
    return found


class NotificationRecord:
    """The Notify calls the notification server was sent, and its answers, as dbus-monitor
    recorded them."""

    def __init__(self, path):
        self.path = path

    def messages(self):
        with open(self.path, errors="replace") as f:
            text = f.read()
        messages, current = [], None
        for line in text.splitlines():
            if not line.startswith(" "):
                current = {"header": line, "args": []}
                for part in line.replace(";", " ").split():
                    if "=" in part:
                        key, value = part.split("=", 1)
                        current[key] = value
                messages.append(current)
            elif current is not None and line.startswith("   ") and not line.startswith("    "):
                current["args"].append(line[3:])
        return messages

    def notifications(self):
        """Each Notify call as a dict: app, title, body, time, and the id the server gave
        (None if it has not answered)."""
        messages = self.messages()
        answers = {(m.get("destination"), m.get("reply_serial")): m for m in messages
                   if m["header"].startswith("method return")}
        found = []
        for m in messages:
            if not m["header"].startswith("method call") or m.get("member") != "Notify":
                continue
            strings = [_string(a) for a in m["args"]]
            answer = answers.get((m.get("sender"), m.get("serial")))
            server_id = None
            if answer and answer["args"] and answer["args"][0].startswith("uint32 "):
                server_id = int(answer["args"][0].split()[1])
            found.append({"app": strings[0], "title": strings[3], "body": strings[4],
                          "time": float(m.get("time", 0)), "id": server_id})
        return found


def _string(argument):
    if argument.startswith('string "') and argument.endswith('"'):
        return argument[len('string "'):-1]
    return None


class Panel:
    """vornix as AT-SPI shows it; everything is read anew each time."""

    STATUSES = ("Active", "Idle", "Disconnected", "Slow to respond",
                "Read-only \u2014 can't ping", "Nearly full \u2014 paused")

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
        yield node, depth
        if depth > 40:
            return
        try:
            children = [node.getChildAtIndex(i) for i in range(node.childCount)]
        except Exception:
            return
        for child in children:
            if child is not None:
                yield from self.walk(child, depth + 1)

    def showing(self, node):
        try:
            return node.getState().contains(self.at.STATE_SHOWING)
        except Exception:
            return False

    def has(self, node, state):
        return node.getState().contains(state)

    def find_all(self, role, name=None, root=None):
        root = root or self.application()
        if root is None:
            return []
        found = []
        for node, _ in self.walk(root):
            try:
                if node.getRole() == role and (name is None or node.name == name) and \
                        self.showing(node):
                    found.append(node)
            except Exception:
                continue
        return found

    def find(self, role, name=None):
        found = self.find_all(role, name)
        return found[0] if found else None

    def extents(self, node):
        e = node.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def centre(self, node):
        x, y, w, h = self.extents(node)
        return x + w // 2, y + h // 2

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

    def describe(self):
        """The whole tree, one line per object, for a failure's report."""
        app = self.application()
        if app is None:
            return "(vornix is not on the accessibility bus)"
        lines = []
        for node, depth in self.walk(app):
            try:
                states = [self.at.stateToString(s) for s in node.getState().getStates()
                          if s in (self.at.STATE_CHECKED, self.at.STATE_ENABLED,
                                   self.at.STATE_SHOWING)]
                lines.append(f"{'  ' * depth}{node.getRoleName()} {node.name!r} {states}")
            except Exception as error:
                lines.append(f"? {error}")
        return "\n".join(lines)
