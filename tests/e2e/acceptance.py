#!/usr/bin/python3
"""The end-to-end acceptance run: the installed vornix on a private desktop with six drives
shown to it as USB disks (ext4, xfs, exFAT, the tests' FUSE file system), used with the mouse
and keyboard and checked only from outside: the drives' files, the journal, logind's
inhibitors, what the notification server and the portal were sent, AT-SPI and screenshots.

Usage: acceptance.py --build DIR [--artifacts DIR]        (as root; Debian's python3)
Writes report.md, screenshots and logs/ to DIR (default BUILD/e2e). Exits 0 when every step
passed, and where the machine cannot run it ("skipped: <reason>"); 1 otherwise. All it makes
lives in a mount and PID namespace of its own and is gone when it returns.
"""

import argparse
import configparser
import contextlib
import datetime
import glob
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "desktop")]

from desktop_session import (DASH, SCREEN, SYSTEM_TOOLS, TOOLS, Desktop, Failure,  # noqa: E402
                             Panel, Processes, centre, command_line, end, journal,
                             live_processes, missing_tools, name_has_owner, process_state,
                             wait_for)
from e2e_sandbox import MediaRoot, attached_loop_devices, mount, unmount  # noqa: E402

INTERVAL = 2  # seconds, from the settings file: any value from 1 s to 24 h is accepted there
STALL_TIMEOUT = 8
FLOOR = 52_428_800
ASSERTION = "Vornix is keeping external drives awake"
TITLE = "Drive disconnected unexpectedly"
BODY = '"\u2068{}\u2069" disappeared without being ejected. Check the cable/connection.'
CREDITS = "Keeps external drives spinning and tells you when one disconnects unexpectedly."
CONTROLS = [("ROLE_CHECK_BOX", "Keep drives awake"), ("ROLE_LABEL", "Ping interval"),
            ("ROLE_CHECK_BOX", "Launch at Login"), ("ROLE_LABEL", "Recent activity"),
            ("ROLE_PUSH_BUTTON", "About Vornix"), ("ROLE_PUSH_BUTTON", "Quit")]
PING = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

# name, kind, MiB, file-system UUID (exFAT's serial is whatever mkfs.exfat makes). The UUIDs
# are new for every run: the kernel refuses a second XFS with the UUID of one already mounted,
# so two runs on one machine would otherwise collide.
_RUN = uuid.uuid4().hex[:8]
DRIVES = [
    ("Backup", "ext4", 96, f"{_RUN}-0000-4000-8000-0000000000b1"),
    ("Archive", "xfs", 300, f"{_RUN}-0000-4000-8000-0000000000a2"),
    ("Photos", "ext4", 128, f"{_RUN}-0000-4000-8000-0000000000f3"),
    ("Card", "exfat", 96, None),
    ("Flaky", "fusefs", 16, f"{_RUN}-0000-4000-8000-0000000000c5"),
    ("Spare", "ext4", 32, f"{_RUN}-0000-4000-8000-0000000000d6"),
]
EXCLUDED = "Spare"


# --- the report -------------------------------------------------------------------------------

class Report:
    def __init__(self, artifacts):
        self.artifacts, self.steps = artifacts, []
        self.started = time.monotonic()

    @contextlib.contextmanager
    def step(self, title):
        entry = {"title": title, "result": "FAIL", "notes": [], "shots": [], "error": ""}
        self.steps.append(entry)
        print(f"== {title}", flush=True)
        started = time.monotonic()
        try:
            yield entry
            entry["result"] = "pass"
        except Exception as error:
            entry["error"] = str(error) if isinstance(error, Failure) else repr(error)
            raise
        finally:
            entry["seconds"] = time.monotonic() - started
            for note in entry["notes"]:
                print(f"   {note}", flush=True)
            print(f"   {entry['result']} ({entry['seconds']:.1f} s)", flush=True)

    def write(self, planned):
        passed = sum(s["result"] == "pass" for s in self.steps)
        lines = [f"# Vornix end-to-end run, {time.strftime('%Y-%m-%d %H:%M')}, kernel "
                 f"{os.uname().release}", "", f"**{passed} passed, {len(planned) - passed} "
                 f"failed** in {time.monotonic() - self.started:.0f} s.", "",
                 "| # | step | result | time | checked |", "|---|---|---|---|---|"]
        for i, s in enumerate(self.steps, 1):
            checked = "; ".join(s["notes"] + [f"**{s['error']}**"] * bool(s["error"]))
            lines.append(f"| {i} | {s['title']} | {s['result']} | {s['seconds']:.1f} s | "
                         f"{checked.replace('|', '/').replace(chr(10), ' ')} |")
        lines += [f"| – | {t} | not run | | |" for t in planned[len(self.steps):]]
        lines += [f"![{shot}]({shot})" for s in self.steps for shot in s["shots"]]
        with open(os.path.join(self.artifacts, "report.md"), "w") as f:
            f.write("\n".join(lines) + "\n")
        return passed


# --- the scenario -----------------------------------------------------------------------------

class Scenario:
    STEPS = [
        "vornix starts in the tray; its panel lists the drives, one excluded by the settings file",
        "keep-awake switched on with the mouse takes a logind idle inhibitor",
        f"the ping files land on the watched drives and keep landing every {INTERVAL} s",
        "Photos filled past the floor reads \"Nearly full \u2014 paused\"",
        "Archive remounted read-only reads \"Read-only \u2014 can't ping\"",
        "Flaky hanging reads \"Slow to respond\" while the others stay \"Active\"",
        "the interval changed to 30 s in the picker",
        "umount of Backup gives \"Ejected (user)\"",
        "Card pulled while mounted gives \"Unexpected disconnect\" and exactly one notification",
        "Card plugged in again comes back in the same row",
        "the next tick comes one new interval after the change",
        "Launch at Login, About, Escape and a second start work with the mouse and keyboard",
        "Quit leaves no inhibitor, thread or process; the settings hold interval and exclusion",
    ]

    def __init__(self, report, desktop, media, vornix, shim):
        self.report, self.desktop, self.media = report, desktop, media
        self.program, self.shim = vornix, shim
        self.vornix, self.panel, self.quitting = None, None, False
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
        the space that ends a line with an empty detail, so the detail is matched apart)."""
        head = f"{label} {DASH} {volume}"
        found = self.wait(lambda: (lambda f: len(f) >= count and f)([
            e for e in journal() if e["time"] >= since and (e["message"] + " ").startswith(
                head + " ")]), timeout, f"{count} journal line(s) \"{head}\"")
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

    def shot(self, step, name):
        step["shots"].append(self.desktop.screenshot(name))

    def logind(self):
        return [i for i in self.desktop.inhibitors() if i["who"] == "Vornix"]

    def portal(self):
        """(requests held, requests made) through the portal: Close ends one."""
        made = len(self.desktop.calls("portal", "Inhibit"))
        return made - len(self.desktop.calls("portal", "Close")), made

    def tooltip(self, text):
        self.desktop.hover(*centre(self.icon))
        return self.find("ROLE_TOOL_TIP", text)

    def open_panel(self):
        if not self.panel.find(self.panel.at.ROLE_CHECK_BOX, "Keep drives awake"):
            self.desktop.click(*centre(self.icon))
        return self.find("ROLE_CHECK_BOX", "Keep drives awake", 10)

    def settings_file(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.read(self.settings)
        return dict(parser["General"]) if parser.has_section("General") else {}

    def start(self, step):
        os.makedirs(os.path.dirname(self.settings), exist_ok=True)
        with open(self.settings, "w") as f:
            f.write(f"[General]\nkeepAliveInterval={INTERVAL}\n"
                    f"excludedVolumeIDs={self.drives[EXCLUDED].uuid}\n")
        started = time.monotonic()
        self.vornix = self.desktop.start_vornix(self.program, LD_PRELOAD=self.shim, XDG_DATA_DIRS=(
            f"{os.path.dirname(os.path.dirname(self.program))}/share:/usr/share"))
        self.icon = icon = self.desktop.wait_for_icon(self.vornix, 15)
        step["notes"].append(f"icon in the tray {1000 * (time.monotonic() - started):.0f} ms")
        self.panel = Panel(self.vornix.pid)
        at = self.panel.at
        self.wait(self.panel.application, 15, "vornix on the accessibility bus")
        self.tooltip("Drives idle")
        switch, names = self.open_panel(), sorted(d.name for d in self.media.drives)
        rows = self.wait(lambda: (lambda r: sorted(x["name"] for x in r) == names and r)(
            self.panel.volume_rows()), 10, f"a row for each of {names}")
        problems = ["keep-awake starts on"] * self.panel.has(switch, at.STATE_CHECKED) + [
            f"{r['name']}: {r['status']!r}, {r['labels']}, watched {r['watched']}, enabled "
            f"{r['enabled']}" for r in rows if (r["status"], r["enabled"], r["watched"]) != (
                "Idle", True, r["name"] != EXCLUDED) or "USB" not in r["labels"]]
        entries = [e.name for e in self.panel.picker_entries()]
        if entries != ["30s", "45s", "60s", "120s"] or self.panel.picker_selection():
            problems.append(f"the picker offers {entries}, shows "
                            f"{self.panel.picker_selection()!r} for {INTERVAL} s")
        px, py, pw, ph = self.panel.extents(self.panel.window_of(switch))
        if pw != 320 or px < 0 or py < 0 or px + pw > SCREEN[0] or py + ph > SCREEN[1] or \
                not icon[1] + icon[3] <= py <= icon[1] + icon[3] + 24 or \
                not px <= icon[0] + icon[2] or not icon[0] <= px + pw:
            problems.append(f"the panel {px},{py} {pw}x{ph} is not 320 wide, on screen, below "
                            f"the icon {icon}")
        controls = [self.panel.find(getattr(at, role), name) for role, name in CONTROLS]
        if None in controls or not all(self.panel.has(c, at.STATE_ENABLED) for c in controls) \
                or self.panel.has(controls[2], at.STATE_CHECKED) or \
                [self.panel.extents(c)[1] for c in controls] != \
                sorted(self.panel.extents(c)[1] for c in controls):
            problems.append(f"not all of {CONTROLS} there, enabled, top to bottom, Launch at "
                            "Login unchecked")
        combo = self.panel.picker()  # Qt names it after its entry; the label names it
        labels = [r.getTarget(i).name for r in combo.getRelationSet() if r.getRelationType() ==
                  at.RELATION_LABELLED_BY for i in range(r.getNTargets())]
        if "Ping interval" not in labels + [combo.name]:
            problems.append(f"the interval picker is not labelled \"Ping interval\" ({labels})")
        if problems:
            raise Failure("; ".join(problems) + "\n" + self.panel.describe())
        step["notes"].append(f"{len(rows)} rows; the panel at {px},{py} {pw}x{ph}")
        self.shot(step, "01-panel-at-start.png")

    def switch_on(self, step):
        switch, since = self.open_panel(), time.time() - 1
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.panel.has(switch, self.panel.at.STATE_CHECKED), 5, "the switch on")
        held = self.wait(self.logind, 5, "a Vornix inhibitor in systemd-inhibit --list")
        expect([(h["what"], h["mode"], h["why"], h["pid"]) for h in held] == [
            ("idle", "block", ASSERTION, self.vornix.pid)], f"logind holds {held}")
        entry = self.entries("Sleep prevention started", since=since, priority=6)[0]
        asked = self.desktop.calls("portal", "Inhibit")
        expect(self.portal() == (1, 1) and asked[0][1].startswith('"" 4 {') and
               f'"reason": "{ASSERTION}"' in asked[0][1],
               f"the portal was asked {asked}, not once for suspend (4) \"{ASSERTION}\"")
        self.tooltip("Drives awake")
        self.shot(step, "01b-tooltip-awake.png")
        self.desktop.click(*self.panel.centre(switch))  # off, and on again
        self.wait(lambda: self.portal() == (0, 1) and not self.logind(), 5,
                  "the portal's and logind's inhibitors to be given back")
        self.entries("Sleep prevention stopped", since=since)
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.portal() == (1, 2) and self.logind(), 5, "them taken again")
        step["notes"].append(f"journal: {entry['message']!r}")

    def pings_land(self, step):
        gaps = []
        for drive in self.watched:
            times = [e["time"] for e in self.entries("Keep-alive ping ok", drive.name, count=3,
                                                     timeout=6 * INTERVAL + 5)]
            gaps += [b - a for a, b in zip(times, times[1:])]
        expect(all(0.5 * INTERVAL <= g <= 2 * INTERVAL for g in gaps),
               f"pings {INTERVAL} s apart expected, gaps were {[round(g, 2) for g in gaps]}")
        first = {d.name: read(d.ping_file) for d in self.watched}
        for drive in self.watched:
            stamp, now = first[drive.name], time.time()
            expect(PING.match(stamp.decode(errors="replace")) and len(stamp) == 20,
                   f"{drive.ping_file} holds {stamp!r}")
            written = datetime.datetime.strptime(stamp.decode(), "%Y-%m-%dT%H:%M:%SZ").replace(
                tzinfo=datetime.timezone.utc).timestamp()
            expect(abs(written - now) <= 3 * INTERVAL + 2, f"{drive.name}'s ping {stamp!r} is old")
            mode = os.stat(drive.ping_file).st_mode & 0o7777
            expect(drive.kind == "exfat" or mode == 0o644,  # exFAT keeps no permissions
                   f"{drive.ping_file} has mode {mode:o}")
        self.wait(lambda: all(read(d.ping_file) > first[d.name] for d in self.watched),
                  3 * INTERVAL, "a newer ping on every watched drive")
        expect(not os.path.exists(self.drives[EXCLUDED].ping_file), f"{EXCLUDED} was pinged")
        for drive in self.watched:
            self.wait_status(drive.name, "Active", timeout=5)
        expect(self.panel.status(EXCLUDED) == "Idle", f"{EXCLUDED} does not read \"Idle\"")
        step["notes"].append(f"gaps {min(gaps):.2f}–{max(gaps):.2f} s")
        self.shot(step, "02-keeping-awake.png")

    def fill(self, step):
        photos = self.drives["Photos"]
        photos.fill_leaving(30 << 20)
        free, since = photos.free_bytes(), time.time()
        expect(free < FLOOR, f"Photos still has {free} bytes free")
        self.wait_status("Photos", "Nearly full \u2014 paused")
        before = read(photos.ping_file)
        self.entries("Volume nearly full", "Photos", 2, since, 3 * INTERVAL + 5, priority=3)
        expect(read(photos.ping_file) == before, "the ping file of the full drive was written")
        step["notes"].append(f"{free / 2**20:.0f} MiB free")

    def read_only(self, step):
        since = time.time()
        self.drives["Archive"].remount_read_only()
        self.wait_status("Archive", "Read-only \u2014 can't ping")
        self.entries("Volume read-only", "Archive", since=since, priority=3)

    def hang(self, step):
        flaky, since = self.drives["Flaky"], time.time()
        flaky.control("block-writes")
        self.wait_status("Flaky", "Slow to respond", timeout=STALL_TIMEOUT + 2 * INTERVAL + 5)
        stalled = self.entries("Keep-alive ping stalled", "Flaky", since=since)[0]["time"]
        expect(STALL_TIMEOUT - 0.5 <= stalled - since <= STALL_TIMEOUT + INTERVAL + 2,
               f"the stall was reported {stalled - since:.1f} s after the drive hung")
        expect(int(flaky.fusefs_status()["blocked"]) >= 1, "no write waits on the hung drive")
        for name in ("Backup", "Card"):
            self.entries("Keep-alive ping ok", name, since=stalled)
        others = {"Backup": "Active", "Card": "Active", "Photos": "Nearly full \u2014 paused",
                  "Archive": "Read-only \u2014 can't ping"}
        expect(all(self.panel.status(n) == s for n, s in others.items()),
               f"beside the hung drive: {[self.panel.status(n) for n in others]}")
        step["notes"].append(f"\"Slow to respond\" {stalled - since:.1f} s after the hang")
        self.shot(step, "03-full-read-only-slow.png")

    def change_interval(self, step):
        self.desktop.click(*self.panel.centre(self.panel.picker()))
        self.wait(lambda: self.panel.showing(self.panel.picker_list()), 5, "the picker's list")
        since = time.time()
        self.desktop.click(*self.panel.centre(
            [e for e in self.panel.picker_entries() if e.name == "30s"][0]))
        self.wait(lambda: self.panel.picker_selection() == "30s", 5, "the picker to show 30s")
        expect(not self.panel.showing(self.panel.picker_list()), "the picker's list stays open")
        expect(self.panel.find(self.panel.at.ROLE_CHECK_BOX, "Keep drives awake"),
               "the panel closed on choosing an interval")
        self.wait(lambda: self.settings_file().get("keepaliveinterval") == "30", 5,
                  "keepAliveInterval=30 in the settings file")
        # The engine starts again with the new interval: its first tick comes at once.
        self.changed = self.entries("Volume nearly full", "Photos", since=since, timeout=5)[0]
        self.shot(step, "04-interval-30s.png")

    def eject(self, step):
        since = time.time()
        self.drives["Backup"].umount()
        self.wait_status("Backup", "Disconnected")
        self.entries("Ejected (user)", "Backup", since=since, priority=6)
        expect(not self.panel.row("Backup")["enabled"], "the unmounted drive's switch is enabled")
        expect(not notifications(self.desktop), "an eject raised a notification")

    def pull(self, step):
        rows = self.panel.volume_rows()
        index = [r["name"] for r in rows].index("Card")
        self.card_row, pulled = (index, len(rows), rows[index]["node"].path), time.time()
        self.drives["Card"].pull()
        self.entries("Unexpected disconnect", "Card", since=pulled, priority=3)
        self.wait_status("Card", "Disconnected")
        sent = self.wait(lambda: notifications(self.desktop), 5, "a notification at the server")
        expect(len(sent) == 1 and sent[0]["args"].startswith('"Vornix" ') and
               f'"{TITLE}" "{BODY.format("Card")}"' in sent[0]["args"],
               f"the server was sent {sent}, not one \"{TITLE}\" from Vornix")
        expect(any(line.startswith(f"Unexpected disconnect {DASH} Card")
                   for line in self.panel.activity()[:3]),
               f"the activity list reads {self.panel.activity()[:3]}")
        latency = 1000 * (sent[0]["time"] - pulled)
        step["notes"].append(f"notification {latency:.0f} ms after the pull")
        self.shot(step, "05-unexpected-disconnect.png")

    def plug_in(self, step):
        since = time.time()
        self.drives["Card"].plug_in()
        self.entries("Mounted", "Card", since=since)
        self.wait_status("Card", "Idle")
        rows, (index, count, path) = self.panel.volume_rows(), self.card_row
        names = [r["name"] for r in rows]
        expect(len(rows) == count and names.index("Card") == index and
               rows[index]["node"].path == path and rows[index]["enabled"],
               f"rows now {names}; Card was row {index + 1} of {count}")
        step["notes"].append(f"row {index + 1} of {count}")
        self.shot(step, "06-card-back.png")

    def next_tick(self, step):
        ticks = self.entries("Volume nearly full", "Photos", 2, self.changed["time"] - 0.001, 40)
        gap = ticks[1]["time"] - ticks[0]["time"]
        expect(29 <= gap <= 32, f"ticks {gap:.1f} s apart after choosing 30 s")
        step["notes"].append(f"{gap:.1f} s between the ticks after the change")

    def controls(self, step):
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

        desktop.click(*panel.centre(self.find("ROLE_PUSH_BUTTON", "About Vornix")))
        box = panel.window_of(self.find("ROLE_LABEL", "Vornix"))
        expect([c for c in panel.find_all(at.ROLE_LABEL, CREDITS) if panel.window_of(c) == box],
               f"the About box does not read {CREDITS!r}")
        expect(self.wait(desktop.topmost_window, 5, "a window on top") == panel.extents(box),
               "the About box is not in front")
        self.shot(step, "06b-about.png")
        desktop.click(*panel.centre(self.find("ROLE_PUSH_BUTTON", "OK")))
        self.wait(lambda: not panel.find(at.ROLE_LABEL, "Vornix"), 5, "the About box to close")

        self.open_panel()
        desktop.xdotool("key", "Escape")
        self.wait(lambda: not panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"), 5, "Escape")
        second = desktop.start_vornix(self.program, name="vornix-second", LD_PRELOAD=self.shim)
        try:
            expect(second.wait(timeout=10) == 0, f"a second vornix ended {second.returncode}")
        except subprocess.TimeoutExpired:
            raise Failure("a second vornix keeps running") from None
        expect(panel.has(self.find("ROLE_CHECK_BOX", "Keep drives awake"), at.STATE_CHECKED),
               "the panel the second start opened does not show keep-awake on")

    def bus_connections(self, pid):
        """(bus, unique name) of each connection `pid` has on the two buses."""
        import dbus
        found = set()
        for address in (self.desktop.session_bus, self.desktop.system_bus):
            bus = dbus.bus.BusConnection(address)
            driver = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
            for name in bus.list_names():
                with contextlib.suppress(dbus.DBusException):  # one that left meanwhile
                    if name.startswith(":") and driver.GetConnectionUnixProcessID(name) == pid:
                        found.add((address, str(name)))
            bus.close()
        return found

    def quit(self, step):
        button, pid = self.find("ROLE_PUSH_BUTTON", "Quit"), self.vornix.pid
        connections = self.bus_connections(pid)
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
        left = stuck_threads(pid)
        expect(all("fuse" in stack for _, _, stack in left), f"threads left after Quit: {left}")
        self.shot(step, "07-after-quit.png")
        self.drives["Flaky"].control("release")
        try:
            expect(self.vornix.wait(timeout=10) == 0, f"vornix ended {self.vornix.returncode}")
        except subprocess.TimeoutExpired:
            raise Failure("vornix is still there 10 s after its hung write was answered") \
                from None
        others = [p for p in live_processes() if command_line(p).startswith(self.program)]
        expect(not others, f"left behind: {[command_line(p) for p in others]}")
        settings, spare = self.settings_file(), self.drives[EXCLUDED].uuid
        expect((settings.get("keepaliveinterval"), settings.get("excludedvolumeids")) == (
            "30", spare), f"the settings file holds {settings}")
        expect(len(notifications(self.desktop)) == 1, "more than one notification was sent")
        step["notes"].append(f"{len(connections)} bus connections closed, {len(left)} thread "
                             "left in the hung drive")

    def run(self):
        for title, action in zip(self.STEPS, [
                self.start, self.switch_on, self.pings_land, self.fill, self.read_only, self.hang,
                self.change_interval, self.eject, self.pull, self.plug_in, self.next_tick,
                self.controls, self.quit]):
            with self.report.step(title) as step:
                action(step)


def expect(ok, failure):
    if not ok:
        raise Failure(failure)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def notifications(desktop):
    """Each Notify the server got: its time and its arguments as dbusmock logs them."""
    return [{"time": t, "args": args} for t, args in desktop.calls("notifications", "Notify")]


def stuck_threads(pid):
    """(tid, state, kernel stack) of each thread of `pid` that has not exited."""
    found = []
    for tid in os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else ():
        if (state := process_state(f"{pid}/task/{tid}")) not in (None, "Z"):
            stack = "?"
            with contextlib.suppress(OSError):
                lines = read(f"/proc/{pid}/task/{tid}/stack").decode().splitlines()
                stack = " < ".join(line.split()[-1].split("+")[0] for line in lines)
            found.append((int(tid), state, stack))
    return found


# --- inside the namespaces --------------------------------------------------------------------

def inner(args):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    logs = os.path.join(args.artifacts, "logs")
    report, processes = Report(args.artifacts), Processes(logs)
    scratch = os.path.join(args.scratch, "ns")
    os.makedirs(scratch, exist_ok=True)
    mount("vornix-e2e-scratch", scratch, "tmpfs", "mode=0755")
    media = desktop = scenario = None
    titles = ["the desktop stack and the USB drives start"] + Scenario.STEPS
    try:
        with report.step(titles[0]) as step:
            desktop = Desktop(scratch, args.artifacts, processes).start()
            media = MediaRoot(scratch, logs, args.fusefs, pwd.getpwuid(os.getuid()).pw_name)
            for drive in DRIVES[:1] if args.footprint is not None else DRIVES:
                media.add(*drive).mount()
            step["notes"].append(f"journald, logind, Xvfb {desktop.display}, trayer, AT-SPI, "
                                 "dbusmock; " + ", ".join(f"{d.name} ({d.kind}, {d.loop.name})"
                                                          for d in media.drives))
        if args.footprint is not None:
            sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
            from measure_footprint import measure_in_stack
            measure_in_stack(desktop, media.drives[0], args.vornix, args.shim, args.footprint,
                             lambda: notifications(desktop), journal)
            return 0
        scenario = Scenario(report, desktop, media, args.vornix, args.shim)
        scenario.run()
    except (Exception, SystemExit) as error:
        if not isinstance(error, Failure):
            traceback.print_exc()
        print(f"FAILED: {error}", flush=True)
        with contextlib.suppress(Exception):
            report.steps[-1]["shots"].append(desktop.screenshot("failure.png"))
            with open(os.path.join(logs, "panel-tree.txt"), "w") as f:
                f.write(scenario.panel.describe())
    finally:
        if media:
            media.release()  # no write left hanging on a drive: the program can end
        if scenario and scenario.vornix:
            end(scenario.vornix)
        with contextlib.suppress(Exception), open(os.path.join(logs, "journal.txt"), "w") as f:
            subprocess.run(["journalctl", "--no-pager", "-o", "short-precise"], stdout=f,
                           timeout=20)
        if media:
            media.close()
        if desktop:
            desktop.close()
        processes.end_all()
        unmount(scratch, lazy=True)
    if args.footprint is not None:
        return 1
    passed = report.write(titles)
    print(f"report: {os.path.join(args.artifacts, 'report.md')}")
    print(f"e2e: {passed} passed, {len(titles) - passed} failed", flush=True)
    return 0 if passed == len(titles) else 1


def why_not_here():
    if os.geteuid() != 0:
        return "needs root (loop devices, mounts, namespaces)"
    for path, what in (("/dev/loop-control", "loop devices"), ("/dev/fuse", "FUSE")):
        if not os.access(path, os.R_OK | os.W_OK):
            return f"no {what} ({path})"
    missing = missing_tools(TOOLS + SYSTEM_TOOLS + (
        "mkfs.ext4", "mkfs.xfs", "mkfs.exfat", "mount.exfat-fuse", "fallocate", "blkid"))
    if missing:
        return "missing: " + ", ".join(missing)
    probe = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--mount-proc", "true"],
                           capture_output=True, text=True)
    return probe.returncode and f"cannot make mount and PID namespaces: {probe.stderr.strip()}"


def outer(args):
    build = os.path.abspath(args.build)
    artifacts = os.path.abspath(args.artifacts or os.path.join(
        build, "e2e-footprint" if args.footprint is not None else "e2e"))
    shutil.rmtree(artifacts, ignore_errors=True)
    os.makedirs(artifacts)
    reason = why_not_here()
    if reason:
        print(f"skipped: {reason}")
        return 0
    fusefs = os.path.join(build, "bin", "vornix-test-fusefs")
    shim = os.path.join(build, "tests", "platform", "libvornix_sysfs_shim.so")
    scratch = tempfile.mkdtemp(prefix="vornix-e2e-")
    try:  # the program as a person installs it
        with open(os.path.join(artifacts, "install.log"), "w") as log:
            subprocess.run(["cmake", "--install", build, "--prefix", f"{scratch}/prefix"],
                           stdout=log, stderr=log, timeout=120)
        program = f"{scratch}/prefix/bin/vornix"
        absent = [p for p in (program, fusefs, shim) if not os.path.exists(p)]
        if absent:
            print(f"FAILED: not built or installed: {', '.join(absent)}")
            return 1
        argv = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc",
                sys.executable, os.path.abspath(__file__), "--inner", "--build", build,
                "--artifacts", artifacts, "--scratch", scratch, "--vornix", program,
                "--fusefs", fusefs, "--shim", shim]
        if args.footprint is not None:
            argv += ["--footprint", str(args.footprint)]
        status = subprocess.run(argv, stdin=subprocess.DEVNULL).returncode
        # The namespaces end with their last process, the loop devices with their last holder.
        with contextlib.suppress(Failure):
            wait_for(lambda: not attached_loop_devices(scratch), 10, "the loop devices to go")
        if attached_loop_devices(scratch):
            print(f"FAILED: loop devices left attached: {attached_loop_devices(scratch)}")
            status = 1
        return status
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--artifacts")
    for hidden in ("--scratch", "--vornix", "--fusefs", "--shim"):
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    parser.add_argument("--footprint", type=float, metavar="SECONDS",
                        help="instead of the scenario, measure what vornix costs idling in the "
                        "tray over SECONDS, and cable pulls (for make bench)")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    return inner(args) if args.inner else outer(args)


if __name__ == "__main__":
    sys.exit(main())
