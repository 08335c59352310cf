"""The desktop the acceptance run puts vornix on, and the ways it is read from outside.

Started inside the run's namespaces, each of its own: a private systemd-journald, a private
system bus with the real systemd-logind on it, an X server (Xvfb) with a system tray (trayer),
a session bus with the accessibility bus and dunst as the notification server, and dbus-monitor
recording what the notification server is sent. Read back through journalctl, systemd-inhibit,
the monitor's record, AT-SPI (pyatspi) and screenshots; driven with xdotool.
"""

import json
import os
import subprocess

from desktop_session import MODULES, TOOLS, Failure, wait_for
from desktop_session import Desktop as BaseDesktop
from desktop_session import missing_tools as missing_desktop_tools
from desktop_session import name_has_owner
from e2e_sandbox import mount, run

SYSTEMD = {"journald": "/lib/systemd/systemd-journald", "logind": "/lib/systemd/systemd-logind"}


def missing_tools():
    missing = missing_desktop_tools(
        TOOLS + ("dbus-monitor", "dunst", "journalctl", "systemd-inhibit", "unshare",
                 "mkfs.ext4", "mkfs.xfs", "mkfs.exfat", "mount.exfat-fuse", "fallocate",
                 "blkid"), MODULES)
    return missing + [path for path in SYSTEMD.values() if not os.access(path, os.X_OK)]


class Desktop(BaseDesktop):
    def __init__(self, scratch, artifacts, processes):
        super().__init__(scratch, artifacts, processes, log=lambda _: None)
        self.home = self._dir("home")
        self.notifications = None

    def start(self):
        self._start_journald()
        self.start_system_bus(SYSTEM_BUS_CONFIG.format(
            socket=f"{self.scratch}/system_bus_socket"))
        self.spawn("logind", [SYSTEMD["logind"]])
        wait_for(lambda: name_has_owner(self.system_bus, "org.freedesktop.login1"), 10,
                 "systemd-logind on the system bus")
        self.start_x()
        self.start_session_bus()
        self._start_notification_server()
        self.start_tray()

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
        self.spawn("journald", [SYSTEMD["journald"]])
        wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), 10,
                 "systemd-journald's socket")

    def _start_notification_server(self):
        # The monitor first, so that it sees everything the server is sent.
        record = os.path.join(self.processes.logs, "session-bus-monitor.log")
        self.spawn("dbus-monitor",
                   ["dbus-monitor", "--address", self.session_bus,
                    "type='method_call',interface='org.freedesktop.Notifications'",
                    "type='method_return'", "type='error'"], stdout=open(record, "wb"))
        wait_for(lambda: os.path.getsize(record) > 0, 10, "dbus-monitor to start")
        self.notifications = NotificationRecord(record)
        self.spawn("dunst", ["dunst"])
        wait_for(lambda: name_has_owner(self.session_bus, "org.freedesktop.Notifications"),
                 10, "dunst on the session bus")


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
