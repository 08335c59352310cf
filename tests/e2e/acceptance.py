#!/usr/bin/python3
"""The end-to-end run: the installed vornix on a private desktop with six drives shown to it as USB
disks, used with the mouse and keyboard and checked only from outside (the drives, the journal,
logind, what the notification server and the portal were sent, AT-SPI). As root, in mount and PID
namespaces of its own; exits 0 when every step passed or the machine cannot run it, else 1.
Usage: acceptance.py --build DIR [--artifacts DIR (default DIR/e2e)] [--footprint SECONDS]"""

import argparse
import configparser
import contextlib
import calendar
import glob
import os
import subprocess
import sys
import tempfile
import time
import traceback
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "desktop")]

from desktop_session import (DASH, SCREEN, SYSTEM_TOOLS, TOOLS, Desktop, Failure,  # noqa: E402
                             Panel, Processes, centre, journal, missing_tools, name_has_owner,
                             process_state, wait_for)
from e2e_sandbox import MediaRoot, mount, run, unmount  # noqa: E402

INTERVAL, STALL_TIMEOUT, FLOOR = 2, 8, 52_428_800  # seconds, seconds, bytes
ASSERTION = "Vornix is keeping external drives awake"
TITLE = "Drive disconnected unexpectedly"
BODY = '"\u2068{}\u2069" disappeared without being ejected. Check the cable/connection.'
CREDITS = "Keeps external drives spinning and tells you when one disconnects unexpectedly."
CONTROLS = [("ROLE_CHECK_BOX", "Keep drives awake"), ("ROLE_LABEL", "Ping interval"),
            ("ROLE_CHECK_BOX", "Launch at Login"), ("ROLE_LABEL", "Recent activity"),
            ("ROLE_PUSH_BUTTON", "About Vornix"), ("ROLE_PUSH_BUTTON", "Quit")]
FULL, READ_ONLY = "Nearly full \u2014 paused", "Read-only \u2014 can't ping"
# New UUIDs each run: the kernel refuses a second XFS with the UUID of one mounted.
_RUN = uuid.uuid4().hex[:8]
DRIVES = [("Backup", "ext4", 96, f"{_RUN}-0000-4000-8000-0000000000b1"),
          ("Archive", "xfs", 300, f"{_RUN}-0000-4000-8000-0000000000a2"),
          ("Photos", "ext4", 128, f"{_RUN}-0000-4000-8000-0000000000f3"),
          ("Card", "exfat", 96, None),
          ("Flaky", "fusefs", 16, f"{_RUN}-0000-4000-8000-0000000000c5"),
          ("Spare", "ext4", 32, f"{_RUN}-0000-4000-8000-0000000000d6")]
EXCLUDED = "Spare"


def expect(ok, failure):
    if not ok:
        raise Failure(failure)


def age(stamp):
    """Seconds between now and a UTC time such as 2026-01-31T23:59:59Z, inf if not one."""
    with contextlib.suppress(ValueError):
        return abs(time.time() - calendar.timegm(time.strptime(stamp.decode(errors="replace"),
                                                               "%Y-%m-%dT%H:%M:%SZ")))
    return float("inf")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Scenario:
    def __init__(self, desktop, media, program, shim):
        self.desktop, self.media, self.program, self.shim = desktop, media, program, shim
        self.vornix, self.quitting = None, False
        self.drives = {d.name: d for d in media.drives}
        self.watched = [d for d in media.drives if d.name != EXCLUDED]
        self.settings = os.path.join(desktop.environment()["XDG_CONFIG_HOME"], "vornix",
                                     "vornix.conf")

    def wait(self, condition, timeout, what):
        """wait_for, failing at once should vornix end before it was asked to."""
        def check():
            expect(self.quitting or self.vornix is None or self.vornix.poll() is None,
                   f"vornix ended ({self.vornix and self.vornix.returncode}) before {what}")
            return condition()
        return wait_for(check, timeout, what)

    def entries(self, label, volume="system", count=1, since=0.0, timeout=10, priority=None):
        """At least `count` journal lines "label — volume" from `since` on (journald drops
        the space that ends a line with an empty detail)."""
        head = f"{label} {DASH} {volume} "
        found = self.wait(lambda: (lambda f: len(f) >= count and f)([
            e for e in journal() if e["time"] >= since and (e["message"] + " ").startswith(
                head)]), timeout, f"{count} journal line(s) \"{head}\"")
        expect(priority in (None, found[0]["priority"]),
               f"\"{label}\" logged at priority {found[0]['priority']}, not {priority}")
        return found

    def wait_status(self, name, status, timeout=10):
        try:
            self.wait(lambda: self.panel.status(name) == status, timeout, f"{name}: {status!r}")
        except Failure as failure:
            raise Failure(f"{failure}; it reads {self.panel.status(name)!r}") from None

    def find(self, role, name, timeout=5):
        return self.wait(lambda: self.panel.find(getattr(self.panel.at, role), name), timeout,
                         f"a {role} {name!r}")

    def click(self, role, name):
        self.desktop.click(*self.panel.centre(self.find(role, name)))

    def logind(self):
        return [i for i in self.desktop.inhibitors() if i["who"] == "Vornix"]

    def portal(self):
        """(requests held, requests made) through the portal: Close ends one."""
        made = len(self.desktop.calls("portal", "Inhibit"))
        return made - len(self.desktop.calls("portal", "Close")), made

    def tooltip(self, text):
        self.desktop.hover(*centre(self.icon))
        self.find("ROLE_TOOL_TIP", text)

    def open_panel(self):
        if not self.panel.find(self.panel.at.ROLE_CHECK_BOX, "Keep drives awake"):
            self.desktop.click(*centre(self.icon))
        return self.find("ROLE_CHECK_BOX", "Keep drives awake", 10)

    def settings_file(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.read(self.settings)
        return dict(parser["General"]) if parser.has_section("General") else {}

    def start(self):
        """vornix starts in the tray; its panel lists the drives, one excluded by the settings"""
        os.makedirs(os.path.dirname(self.settings))
        with open(self.settings, "w") as f:
            f.write(f"[General]\nkeepAliveInterval={INTERVAL}\n"
                    f"excludedVolumeIDs={self.drives[EXCLUDED].uuid}\n")
        self.vornix = self.desktop.start_vornix(self.program, LD_PRELOAD=self.shim, XDG_DATA_DIRS=(
            f"{os.path.dirname(os.path.dirname(self.program))}/share:/usr/share"))
        self.icon = icon = self.desktop.wait_for_icon(self.vornix, 15)
        self.panel = panel = Panel(self.vornix.pid)
        at = panel.at
        self.wait(panel.application, 15, "vornix on the accessibility bus")
        self.tooltip("Drives idle")
        switch, names = self.open_panel(), sorted(d.name for d in self.media.drives)
        rows = self.wait(lambda: (lambda r: sorted(x["name"] for x in r) == names and r)(
            panel.volume_rows()), 10, f"a row for each of {names}")
        expect(not panel.has(switch, at.STATE_CHECKED), "keep-awake starts on")
        for r in rows:
            expect((r["status"], r["enabled"], r["watched"], "USB" in r["labels"]) == (
                "Idle", True, r["name"] != EXCLUDED, True), f"the row {r} at start")
        entries = [e.name for e in panel.picker()[1]]
        expect(entries == ["30s", "45s", "60s", "120s"] and not panel.picker_selection(),
               f"the picker offers {entries}, shows {panel.picker_selection()!r} for {INTERVAL} s")
        px, py, pw, ph = panel.extents(panel.window_of(switch))
        expect(pw == 320 and 0 <= px and px + pw <= SCREEN[0] and 0 <= py and py + ph <= SCREEN[1]
               and icon[1] + icon[3] <= py <= icon[1] + icon[3] + 24 and px <= icon[0] + icon[2]
               and icon[0] <= px + pw, f"the panel {px},{py} {pw}x{ph} is not 320 wide, on "
               f"screen, below the icon {icon}")
        controls = [panel.find(getattr(at, role), name) for role, name in CONTROLS]
        expect(None not in controls and all(panel.has(c, at.STATE_ENABLED) for c in controls)
               and not panel.has(controls[2], at.STATE_CHECKED) and [panel.extents(c)[1] for c
                                                                    in controls] == sorted(
                   panel.extents(c)[1] for c in controls), f"not all of {CONTROLS} there, "
               "enabled, top to bottom, Launch at Login unchecked")
        combo = panel.picker()[0]  # Qt names it after its entry; the label names it
        labels = [r.getTarget(i).name for r in combo.getRelationSet() if r.getRelationType() ==
                  at.RELATION_LABELLED_BY for i in range(r.getNTargets())]
        expect("Ping interval" in labels + [combo.name], f"the picker is labelled {labels}")
        self.desktop.screenshot("01-panel-at-start.png")

    def switch_on(self):
        """keep-awake switched on with the mouse takes a logind idle inhibitor and the portal's"""
        switch, since = self.open_panel(), time.time() - 1
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.panel.has(switch, self.panel.at.STATE_CHECKED), 5, "the switch on")
        held = self.wait(self.logind, 5, "a Vornix inhibitor in systemd-inhibit --list")
        expect([(h["what"], h["mode"], h["why"], h["pid"]) for h in held] == [
            ("idle", "block", ASSERTION, self.vornix.pid)], f"logind holds {held}")
        self.entries("Sleep prevention started", since=since, priority=6)
        asked = self.desktop.calls("portal", "Inhibit")
        expect(self.portal() == (1, 1) and asked[0][1].startswith('"" 4 {') and
               f'"reason": "{ASSERTION}"' in asked[0][1],
               f"the portal was asked {asked}, not once for suspend (4) \"{ASSERTION}\"")
        self.tooltip("Drives awake")
        self.desktop.click(*self.panel.centre(switch))  # off, and on again
        self.wait(lambda: self.portal() == (0, 1) and not self.logind(), 5,
                  "the portal's and logind's inhibitors to be given back")
        self.entries("Sleep prevention stopped", since=since)
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.portal() == (1, 2) and self.logind(), 5, "them taken again")

    def pings_land(self):
        """the ping files land on the watched drives and keep landing every 2 s"""
        gaps = []
        for drive in self.watched:
            times = [e["time"] for e in self.entries("Keep-alive ping ok", drive.name, count=3,
                                                     timeout=6 * INTERVAL + 5)]
            gaps += [b - a for a, b in zip(times, times[1:])]
        expect(all(0.5 * INTERVAL <= g <= 2 * INTERVAL for g in gaps),
               f"pings {INTERVAL} s apart expected, gaps were {[round(g, 2) for g in gaps]}")
        first = {d.name: read(d.ping_file) for d in self.watched}
        for drive in self.watched:
            stamp, mode = first[drive.name], os.stat(drive.ping_file).st_mode & 0o7777
            expect(len(stamp) == 20 and age(stamp) <= 3 * INTERVAL + 2,
                   f"{drive.ping_file} holds {stamp!r}, not the time now")
            expect(drive.kind == "exfat" or mode == 0o644,  # exFAT keeps no permissions
                   f"{drive.ping_file} has mode {mode:o}")
        self.wait(lambda: all(read(d.ping_file) > first[d.name] for d in self.watched),
                  3 * INTERVAL, "a newer ping on every watched drive")
        expect(not os.path.exists(self.drives[EXCLUDED].ping_file), f"{EXCLUDED} was pinged")
        for drive in self.watched:
            self.wait_status(drive.name, "Active", timeout=5)
        expect(self.panel.status(EXCLUDED) == "Idle", f"{EXCLUDED} does not read \"Idle\"")
        self.desktop.screenshot("02-keeping-awake.png")

    def fill(self):
        """Photos filled past the floor reads "Nearly full — paused" and is not written"""
        photos, since = self.drives["Photos"], time.time()
        free = lambda: (lambda s: s.f_bavail * s.f_frsize)(os.statvfs(photos.path))  # noqa: E731
        run(["fallocate", "-l", str(free() - (30 << 20)), os.path.join(photos.path, "filler")])
        expect(free() < FLOOR, f"Photos still has {free()} bytes free")
        self.wait_status("Photos", FULL)
        before = read(photos.ping_file)
        self.entries("Volume nearly full", "Photos", 2, since, 3 * INTERVAL + 5, priority=3)
        expect(read(photos.ping_file) == before, "the ping file of the full drive was written")

    def read_only(self):
        """Archive remounted read-only reads "Read-only — can't ping" """
        since = time.time()
        run(["mount", "-o", "remount,ro", self.drives["Archive"].path])
        self.wait_status("Archive", READ_ONLY)
        self.entries("Volume read-only", "Archive", since=since, priority=3)

    def hang(self):
        """Flaky hanging reads "Slow to respond" while the others stay as they were"""
        flaky, since = self.drives["Flaky"], time.time()
        flaky.control("block-writes")
        self.wait_status("Flaky", "Slow to respond", timeout=STALL_TIMEOUT + 2 * INTERVAL + 5)
        stalled = self.entries("Keep-alive ping stalled", "Flaky", since=since)[0]["time"]
        expect(STALL_TIMEOUT - 0.5 <= stalled - since <= STALL_TIMEOUT + INTERVAL + 2,
               f"the stall was reported {stalled - since:.1f} s after the drive hung")
        status = dict(i.split(b"=") for i in read(f"{flaky.path}/.fusefs-control").split())
        expect(int(status[b"blocked"]) >= 1, f"no write waits on the hung drive: {status}")
        for name in ("Backup", "Card"):
            self.entries("Keep-alive ping ok", name, since=stalled)
        others = {"Backup": "Active", "Card": "Active", "Photos": FULL, "Archive": READ_ONLY}
        expect(all(self.panel.status(n) == s for n, s in others.items()),
               f"beside the hung drive: {[self.panel.status(n) for n in others]}")
        self.desktop.screenshot("03-full-read-only-slow.png")

    def change_interval(self):
        """the interval changed to 30 s in the picker, which closes; the panel stays open"""
        self.desktop.click(*self.panel.centre(self.panel.picker()[0]))
        self.wait(lambda: self.panel.has(self.panel.picker()[1], self.panel.at.STATE_SHOWING),
                  5, "the picker's list")
        since = time.time()
        self.desktop.click(*self.panel.centre(
            [e for e in self.panel.picker()[1] if e.name == "30s"][0]))
        self.wait(lambda: self.panel.picker_selection() == "30s", 5, "the picker to show 30s")
        expect(not self.panel.has(self.panel.picker()[1], self.panel.at.STATE_SHOWING),
               "the picker's list stays open")
        expect(self.panel.find(self.panel.at.ROLE_CHECK_BOX, "Keep drives awake"),
               "the panel closed on choosing an interval")
        self.wait(lambda: self.settings_file().get("keepaliveinterval") == "30", 5,
                  "keepAliveInterval=30 in the settings file")
        # The engine starts again with the new interval: its first tick comes at once.
        self.changed = self.entries("Volume nearly full", "Photos", since=since, timeout=5)[0]

    def eject(self):
        """umount of Backup gives "Ejected (user)" and no notification"""
        since = time.time()
        self.drives["Backup"].umount()
        self.wait_status("Backup", "Disconnected")
        self.entries("Ejected (user)", "Backup", since=since, priority=6)
        expect(not [r for r in self.panel.volume_rows() if r["name"] == "Backup"][0]["enabled"],
               "the unmounted drive's switch is enabled")
        expect(not self.desktop.calls("notifications", "Notify"), "an eject raised a notification")

    def pull(self):
        """Card pulled while mounted gives "Unexpected disconnect" and exactly one notification"""
        rows, pulled = self.panel.volume_rows(), time.time()
        index = [r["name"] for r in rows].index("Card")
        self.card_row = (index, len(rows), rows[index]["node"].path)
        self.drives["Card"].pull()
        self.entries("Unexpected disconnect", "Card", since=pulled, priority=3)
        self.wait_status("Card", "Disconnected")
        sent = self.wait(lambda: self.desktop.calls("notifications", "Notify"), 5,
                         "a notification at the server")
        expect(len(sent) == 1 and sent[0][1].startswith('"Vornix" ') and
               f'"{TITLE}" "{BODY.format("Card")}"' in sent[0][1],
               f"the server was sent {sent}, not one \"{TITLE}\" from Vornix")
        expect(any(line.startswith(f"Unexpected disconnect {DASH} Card")
                   for line in self.panel.activity()[:3]),
               f"the activity list reads {self.panel.activity()[:3]}")
        self.desktop.screenshot("05-unexpected-disconnect.png")

    def plug_in(self):
        """Card plugged in again comes back in the same row"""
        since = time.time()
        self.drives["Card"].plug_in()
        self.entries("Mounted", "Card", since=since)
        self.wait_status("Card", "Idle")
        rows, (index, count, path) = self.panel.volume_rows(), self.card_row
        names = [r["name"] for r in rows]
        expect(len(rows) == count and names.index("Card") == index and
               rows[index]["node"].path == path and rows[index]["enabled"],
               f"rows now {names}; Card was row {index + 1} of {count}")

    def next_tick(self):
        """the next tick comes one new interval after the change"""
        ticks = self.entries("Volume nearly full", "Photos", 2, self.changed["time"] - 0.001, 40)
        gap = ticks[1]["time"] - ticks[0]["time"]
        expect(29 <= gap <= 32, f"ticks {gap:.1f} s apart after choosing 30 s")

    def controls(self):
        """Launch at Login, About, Escape and a second start work with mouse and keyboard"""
        panel, desktop, at = self.panel, self.desktop, self.panel.at
        self.open_panel()
        x, y, _, h = panel.extents(self.find("ROLE_CHECK_BOX", "Launch at Login"))
        folder = os.path.join(desktop.environment()["XDG_CONFIG_HOME"], "autostart")

        def entry():
            found = glob.glob(os.path.join(folder, "*.desktop"))
            lines = read(found[0]).decode().splitlines() if len(found) == 1 else ["Hidden=true"]
            return "Hidden=true" not in lines and lines
        desktop.click(x + 6, y + h // 2)  # the tick box itself, as a person clicks it
        lines = self.wait(entry, 5, f"an autostart entry in {folder}")
        expect(any(line.startswith("Exec=") and os.path.realpath(self.program) in line
                   for line in lines), f"the autostart entry does not start vornix: {lines}")
        desktop.click(x + 6, y + h // 2)
        self.wait(lambda: not entry(), 5, "the autostart entry to go")
        self.click("ROLE_PUSH_BUTTON", "About Vornix")
        box = panel.window_of(self.find("ROLE_LABEL", "Vornix"))
        expect([c for c in panel.find_all(at.ROLE_LABEL, CREDITS) if panel.window_of(c) == box],
               f"the About box does not read {CREDITS!r}")
        expect(self.wait(desktop.topmost_window, 5, "a window on top") == panel.extents(box),
               "the About box is not in front")
        self.click("ROLE_PUSH_BUTTON", "OK")
        self.wait(lambda: not panel.find(at.ROLE_LABEL, "Vornix"), 5, "the About box to close")
        self.open_panel()
        desktop.xdotool("key", "Escape")
        self.wait(lambda: not panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"), 5, "Escape")
        second = desktop.start_vornix(self.program, name="vornix-second", LD_PRELOAD=self.shim)
        expect(second.wait(timeout=10) == 0, f"a second vornix ended {second.returncode}")
        expect(panel.has(self.find("ROLE_CHECK_BOX", "Keep drives awake"), at.STATE_CHECKED),
               "the panel the second start opened does not show keep-awake on")

    def quit(self):
        """Quit leaves no inhibitor, thread or process; the settings hold interval and exclusion"""
        import dbus
        button, pid, connections = self.find("ROLE_PUSH_BUTTON", "Quit"), self.vornix.pid, []
        for address in (self.desktop.session_bus, self.desktop.system_bus):
            bus = dbus.bus.BusConnection(address)
            driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
            for name in bus.list_names():
                with contextlib.suppress(dbus.DBusException):  # one that left meanwhile
                    if name[0] == ":" and driver.GetConnectionUnixProcessID(name) == pid:
                        connections.append((address, str(name)))
            bus.close()
        expect(connections, "vornix has no bus connection to see closed")
        self.quitting = True
        self.desktop.click(*self.panel.centre(button))
        # The write on the hung drive is still in the kernel, where nothing can end it before
        # the drive answers: the program must end without it.
        self.wait(lambda: process_state(pid) in (None, "Z"), 10, "vornix's main thread to end")
        self.wait(lambda: not self.logind() and self.portal()[0] == 0, 5,
                  "logind's and the portal's inhibitors to be given back")
        self.wait(lambda: not self.desktop.tray_icon(), 5, "the tray icon to go")
        self.wait(lambda: not any(name_has_owner(*c) for c in connections), 5,
                  "vornix's bus connections to close")
        stacks = [read(f"{task}/stack").decode() for task in glob.glob(f"/proc/{pid}/task/*")
                  if process_state(task[6:]) not in (None, "Z")]
        expect(all("fuse" in stack for stack in stacks), f"threads left after Quit: {stacks}")
        self.drives["Flaky"].control("release")
        expect(self.vornix.wait(timeout=10) == 0, f"vornix ended {self.vornix.returncode}")
        left = subprocess.run(["pgrep", "-af", f"^{self.program}"], capture_output=True).stdout
        expect(not left, f"left behind: {left}")
        settings = self.settings_file()
        expect((settings.get("keepaliveinterval"), settings.get("excludedvolumeids")) == (
            "30", self.drives[EXCLUDED].uuid), f"the settings file holds {settings}")
        expect(len(self.desktop.calls("notifications", "Notify")) == 1,
               "more than one notification was sent")

    STEPS = [start, switch_on, pings_land, fill, read_only, hang, change_interval, eject, pull,
             plug_in, next_tick, controls, quit]


def inner(args):
    logs = os.path.join(args.artifacts, "logs")
    processes = Processes(logs)
    scratch = os.path.join(args.scratch, "ns")
    os.makedirs(scratch)
    mount("vornix-e2e-scratch", scratch, "tmpfs", "mode=0755")
    media = desktop = scenario = None
    results = []
    try:
        print("== the desktop stack and the USB drives start", flush=True)
        desktop = Desktop(scratch, args.artifacts, processes).start()
        media = MediaRoot(scratch, logs, args.fusefs, "root")
        for drive in DRIVES[:1] if args.footprint is not None else DRIVES:
            media.add(*drive).mount()
        if args.footprint is not None:
            sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
            from measure_footprint import measure_in_stack
            measure_in_stack(desktop, media.drives[0], args.vornix, args.shim, args.footprint,
                             lambda: [{"time": t} for t, _ in desktop.calls("notifications",
                                                                             "Notify")], journal)
            return 0
        results.append("pass  the desktop stack and the USB drives start")
        scenario = Scenario(desktop, media, args.vornix, args.shim)
        for step in Scenario.STEPS:
            title, started = step.__doc__, time.monotonic()
            print(f"== {title}", flush=True)
            step(scenario)
            results.append(f"pass  {title} ({time.monotonic() - started:.1f} s)")
    except Exception as error:
        if not isinstance(error, Failure):
            traceback.print_exc()
        results.append(f"FAIL  {error}")
        print(f"FAILED: {error}", flush=True)
        desktop and desktop.screenshot("failure.png")
        with contextlib.suppress(Exception), open(f"{logs}/panel-tree.txt", "w") as f:
            f.write(scenario.panel.describe())
    finally:
        if media:
            media.release()  # no write left hanging on a drive: the program can end
        if scenario and scenario.vornix:
            scenario.vornix.kill()
        with open(os.path.join(logs, "journal.txt"), "w") as f:
            subprocess.run(["journalctl", "--no-pager", "-o", "short-precise"], stdout=f)
        if media:
            media.close()
        if desktop:
            desktop.close()
        processes.end_all()
        unmount(scratch, lazy=True)
    with open(os.path.join(args.artifacts, "report.md"), "w") as f:
        f.write("\n".join(results) + "\n")
    passed = sum(r.startswith("pass") for r in results)
    print(f"e2e: {passed} of {len(Scenario.STEPS) + 1} steps passed", flush=True)
    return 0 if passed == len(Scenario.STEPS) + 1 else 1


def why_not_here():
    if os.geteuid() != 0:
        return "needs root (loop devices, mounts, namespaces)"
    for path in ("/dev/loop-control", "/dev/fuse"):
        if not os.access(path, os.R_OK | os.W_OK):
            return f"no {path}"
    missing = missing_tools(TOOLS + SYSTEM_TOOLS + (
        "mkfs.ext4", "mkfs.xfs", "mkfs.exfat", "mount.exfat-fuse", "fallocate", "blkid"))
    return missing and "missing: " + ", ".join(missing)


def outer(args):
    build = os.path.abspath(args.build)
    artifacts = os.path.abspath(args.artifacts or os.path.join(
        build, "e2e-footprint" if args.footprint is not None else "e2e"))
    subprocess.run(["rm", "-rf", artifacts])
    os.makedirs(artifacts)
    if reason := why_not_here():
        print(f"skipped: {reason}")
        return 0
    with tempfile.TemporaryDirectory(prefix="vornix-e2e-") as scratch:
        with open(os.path.join(artifacts, "install.log"), "w") as log:  # as a person installs it
            subprocess.run(["cmake", "--install", build, "--prefix", f"{scratch}/prefix"],
                           stdout=log, stderr=log)
        argv = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc",
                sys.executable, os.path.abspath(__file__), "--inner", "--build", build,
                "--artifacts", artifacts, "--scratch", scratch,
                "--vornix", f"{scratch}/prefix/bin/vornix",
                "--fusefs", os.path.join(build, "bin", "vornix-test-fusefs"),
                "--shim", os.path.join(build, "tests", "platform", "libvornix_sysfs_shim.so")]
        if args.footprint is not None:
            argv += ["--footprint", str(args.footprint)]
        status = subprocess.run(argv, stdin=subprocess.DEVNULL).returncode
        # The namespaces end with their last process, the loop devices with their last holder.
        with contextlib.suppress(Failure):
            wait_for(lambda: scratch not in run(["losetup", "-l", "-n", "-O", "BACK-FILE"]), 10,
                     "the loop devices to go")
        if scratch in run(["losetup", "-l", "-n", "-O", "BACK-FILE"]):
            print("FAILED: loop devices left attached")
            status = 1
        return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--artifacts")
    parser.add_argument("--footprint", type=float, metavar="SECONDS",
                        help="instead of the scenario, measure what vornix costs idling in the "
                        "tray over SECONDS, and cable pulls (for make bench)")
    for hidden in ("--scratch", "--vornix", "--fusefs", "--shim"):
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    return inner(args) if args.inner else outer(args)


if __name__ == "__main__":
    sys.exit(main())
