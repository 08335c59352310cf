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
BODY = '"{}" disappeared without being ejected. Check the cable/connection.'
CREDITS = "Keeps external drives spinning and tells you when one disconnects unexpectedly."
CONTROLS = ["Keep drives awake", "Ping interval", "Launch at Login", "Recent activity",
            "About Vornix", "Quit"]
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
        self.artifacts, self.steps, self.facts = artifacts, [], []
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
                 f"failed** in {time.monotonic() - self.started:.0f} s.", "", *self.facts, "",
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
        self.vornix = None
        self.panel = None
        self.drives = {d.name: d for d in media.drives}
        self.settings = os.path.join(desktop.environment()["XDG_CONFIG_HOME"], "vornix",
                                     "vornix.conf")
        self.interval_changed_at = None
        self.card_row = None
        self.quitting = False

    # helpers

    def wait(self, condition, timeout, what):
        """wait_for, failing at once should vornix end before it was asked to."""
        def check():
            if self.vornix is not None and not self.quitting and self.vornix.poll() is not None:
                raise Failure(f"vornix ended with status {self.vornix.returncode} while "
                              f"waiting for {what}")
            return condition()
        return wait_for(check, timeout, what)

    def watched(self):
        return [d for d in self.media.drives if d.name != EXCLUDED]

    def entries(self, label, volume="system", since=0.0):
        """The journal's lines for `label` and `volume` from `since` on. journald drops the
        space that ends a line with an empty detail, so the detail is matched apart."""
        head = f"{label} {DASH} {volume}"
        return [e for e in journal() if e["time"] >= since and
                (e["message"] == head or e["message"].startswith(head + " "))]

    def wait_entries(self, label, volume="system", count=1, since=0.0, timeout=10,
                     priority=None):
        def enough():
            found = self.entries(label, volume, since)
            return found if len(found) >= count else None
        found = self.wait(enough, timeout, f"{count} journal line(s) \"{label} {DASH} {volume}\"")
        expect(priority in (None, found[0]["priority"]),
               f"\"{label}\" logged at priority {found[0]['priority']}, not {priority}")
        return found

    def wait_status(self, name, status, timeout=10):
        seen = {}

        def reads():
            seen["status"] = self.panel.status(name)
            return seen["status"] == status
        try:
            self.wait(reads, timeout, f"{name}'s row to read {status!r}")
        except Failure as failure:
            raise Failure(f"{failure}; it reads {seen.get('status')!r}") from None

    def read_ping(self, drive):
        with open(drive.ping_file, "rb") as f:
            return f.read()

    def shot(self, step, name):
        step["shots"].append(self.desktop.screenshot(name))

    def vornix_inhibitors(self):
        return [i for i in self.desktop.inhibitors() if i["who"] == "Vornix"]

    def portal(self):
        """(requests held, requests made) through the portal: Close ends one."""
        made = len(self.desktop.calls("portal", "Inhibit"))
        return made - len(self.desktop.calls("portal", "Close")), made

    def notifications(self):
        return notifications(self.desktop)

    def tooltip(self, icon, text):
        self.desktop.hover(*centre(icon))
        return self.wait(lambda: self.panel.find(self.panel.at.ROLE_TOOL_TIP, text), 5,
                         f"the tray icon's tool tip {text!r}")

    def open_panel(self):
        self.desktop.click(*centre(self.icon))
        return self.wait(lambda: self.panel.find(self.panel.at.ROLE_CHECK_BOX,
                                                 "Keep drives awake"), 10,
                         "the panel to open on a click of the icon")

    def settings_file(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.read(self.settings)
        return dict(parser["General"]) if parser.has_section("General") else {}

    # steps

    def start(self, step):
        os.makedirs(os.path.dirname(self.settings), exist_ok=True)
        spare = self.drives[EXCLUDED]
        with open(self.settings, "w") as f:
            f.write(f"[General]\nkeepAliveInterval={INTERVAL}\nexcludedVolumeIDs={spare.uuid}\n")
        prefix = os.path.dirname(os.path.dirname(self.program))
        started = time.monotonic()
        self.vornix = self.desktop.start_vornix(
            self.program, LD_PRELOAD=self.shim,
            XDG_DATA_DIRS=f"{prefix}/share:/usr/share")
        self.icon = icon = self.desktop.wait_for_icon(self.vornix, 15)
        step["notes"].append(f"icon in the tray {1000 * (time.monotonic() - started):.0f} ms "
                             "after the start")
        self.panel = Panel(self.vornix.pid)
        self.wait(self.panel.application, 15, "vornix on the accessibility bus")
        self.tooltip(icon, "Drives idle")
        at, switch = self.panel.at, self.open_panel()
        names = [d.name for d in self.media.drives]
        rows = self.wait(lambda: (lambda r: r if sorted(x["name"] for x in r) == sorted(names)
                                  else None)(self.panel.volume_rows()), 10,
                         f"a row for each of {', '.join(names)}")
        problems = []
        if self.panel.has(switch, at.STATE_CHECKED):
            problems.append("keep-awake starts switched on")
        for row in rows:
            if row["status"] != "Idle" or not row["enabled"]:
                problems.append(f"{row['name']} reads {row['status']!r}, "
                                f"{'enabled' if row['enabled'] else 'disabled'}")
            if row["watched"] != (row["name"] != EXCLUDED):
                problems.append(f"{row['name']}'s watch switch is "
                                f"{'on' if row['watched'] else 'off'}")
            if "USB" not in row["labels"]:
                problems.append(f"{row['name']} has no USB badge ({row['labels']})")
        entries = [e.name for e in self.panel.picker_entries()]
        if entries != ["30s", "45s", "60s", "120s"]:
            problems.append(f"the picker offers {entries}")
        if self.panel.picker_selection() is not None:
            problems.append(f"the picker shows {self.panel.picker_selection()!r} for an interval of "
                            f"{INTERVAL} s")
        px, py, pw, ph = self.panel.extents(self.panel.window_of(switch))
        if pw != 320 or px < 0 or py < 0 or px + pw > SCREEN[0] or py + ph > SCREEN[1] or \
                not icon[1] + icon[3] <= py <= icon[1] + icon[3] + 24 or \
                not px <= icon[0] + icon[2] or not icon[0] <= px + pw:
            problems.append(f"the panel {px},{py} {pw}x{ph} is not 320 wide, on screen, below "
                            f"the icon {icon}")
        controls = [self.panel.find(role, name) for role, name in zip(
            (at.ROLE_CHECK_BOX, at.ROLE_LABEL, at.ROLE_CHECK_BOX, at.ROLE_LABEL,
             at.ROLE_PUSH_BUTTON, at.ROLE_PUSH_BUTTON), CONTROLS)]
        if None in controls or not all(self.panel.has(c, at.STATE_ENABLED) for c in controls):
            problems.append(f"controls missing or disabled: {controls}")
        elif [self.panel.extents(c)[1] for c in controls] != \
                sorted(self.panel.extents(c)[1] for c in controls):
            problems.append(f"the controls do not read top to bottom as {CONTROLS}")
        elif self.panel.has(controls[2], at.STATE_CHECKED):
            problems.append("\"Launch at Login\" starts checked with no autostart entry")
        combo = self.panel.picker()  # Qt names it after its entry; the label names it
        labels = [r.getTarget(i).name for r in combo.getRelationSet()
                  if r.getRelationType() == at.RELATION_LABELLED_BY for i in range(r.getNTargets())]
        if "Ping interval" not in labels + [combo.name]:
            problems.append(f"the interval picker is not labelled \"Ping interval\" ({labels})")
        expect(not problems, "; ".join(problems) + "\n" + self.panel.describe())
        step["notes"].append("tool tip \"Drives idle\"; the panel 320 wide below the icon, its "
                             "controls in order, enabled, the picker labelled")
        step["notes"].append(f"{len(rows)} rows, all \"Idle\" with a USB badge; "
                             f"{EXCLUDED}'s switch off; the picker shows no entry for "
                             f"{INTERVAL} s")
        self.shot(step, "01-panel-at-start.png")

    def switch_on(self, step):
        at = self.panel.at
        switch = self.panel.find(at.ROLE_CHECK_BOX, "Keep drives awake")
        since = time.time() - 1
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.panel.has(switch, at.STATE_CHECKED), 5,
                  "the switch to read on")
        held = self.wait(self.vornix_inhibitors, 5, "a Vornix inhibitor in systemd-inhibit --list")
        lock = held[0]
        if (len(held), lock["what"], lock["mode"], lock["why"], lock["pid"]) != (
                1, "idle", "block", ASSERTION, self.vornix.pid):
            raise Failure(f"logind holds {held}, not one idle block lock \"{ASSERTION}\" of "
                          f"pid {self.vornix.pid}")
        entry = self.wait_entries("Sleep prevention started", since=since, priority=6)[0]
        asked = self.desktop.calls("portal", "Inhibit")
        if self.portal() != (1, 1) or not asked[0][1].startswith('"" 4 {') or \
                f'"reason": "{ASSERTION}"' not in asked[0][1]:
            raise Failure(f"the portal was asked {asked}, not once for suspend (4) \"{ASSERTION}\"")
        self.tooltip(self.icon, "Drives awake")
        self.shot(step, "01b-tooltip-awake.png")
        self.desktop.click(*self.panel.centre(switch))  # off, and on again
        self.wait(lambda: self.portal() == (0, 1) and not self.vornix_inhibitors(), 5,
                  "the portal's and logind's inhibitors to be given back")
        self.wait_entries("Sleep prevention stopped", "system", since=since)
        self.desktop.click(*self.panel.centre(switch))
        self.wait(lambda: self.portal() == (1, 2) and self.vornix_inhibitors(), 5,
                  "the inhibitors taken again")
        step["notes"].append(f"logind: {lock['who']} {lock['what']} {lock['mode']} "
                             f"\"{lock['why']}\"; the portal: suspend (4); tool tip \"Drives "
                             "awake\"; switched off both were given back, on taken again; "
                             f"journal: \"{entry['message']}\"")

    def pings_land(self, step):
        gaps = []
        for drive in self.watched():
            found = self.wait_entries("Keep-alive ping ok", drive.name, count=3,
                                      timeout=6 * INTERVAL + 5)
            times = [e["time"] for e in found]
            gaps += [b - a for a, b in zip(times, times[1:])]
        if not all(0.5 * INTERVAL <= g <= 2 * INTERVAL for g in gaps):
            raise Failure(f"pings {INTERVAL} s apart expected, gaps were "
                          f"{', '.join(f'{g:.2f}' for g in gaps)} s")
        first = {}
        for drive in self.watched():
            first[drive.name] = stamp = self.read_ping(drive)
            now = time.time()
            expect(not (not PING.match(stamp.decode(errors="replace")) or len(stamp) != 20),
                   f"{drive.ping_file} holds {stamp!r}")
            written = datetime.datetime.strptime(stamp.decode(), "%Y-%m-%dT%H:%M:%SZ").replace(
                tzinfo=datetime.timezone.utc).timestamp()
            expect(not (abs(written - now) > 3 * INTERVAL + 2),
                   f"{drive.name}'s ping {stamp!r} is {now - written:.0f} s old")
            mode = os.stat(drive.ping_file).st_mode & 0o7777
            if drive.kind != "exfat" and mode != 0o644:  # exFAT keeps no permissions
                raise Failure(f"{drive.ping_file} has mode {mode:o}")
        self.wait(lambda: all(self.read_ping(d) > first[d.name] for d in self.watched()),
                  3 * INTERVAL, "a newer ping on every watched drive")
        expect(not os.path.exists(self.drives[EXCLUDED].ping_file),
               f"the excluded {EXCLUDED} has a ping file")
        for drive in self.watched():
            self.wait_status(drive.name, "Active", timeout=5)
        expect(self.panel.status(EXCLUDED) == "Idle",
               f"{EXCLUDED} reads {self.panel.status(EXCLUDED)!r}")
        step["notes"].append(f"20-byte UTC stamps, mode 0644, on {len(self.watched())} drives; "
                             f"gaps {min(gaps):.2f}–{max(gaps):.2f} s; none on {EXCLUDED}; "
                             "rows \"Active\"")
        self.shot(step, "02-keeping-awake.png")

    def fill(self, step):
        photos = self.drives["Photos"]
        photos.fill_leaving(30 << 20)
        free = photos.free_bytes()
        expect(not (free >= FLOOR), f"Photos still has {free} bytes free")
        since = time.time()
        self.wait_status("Photos", "Nearly full \u2014 paused")
        before = self.read_ping(photos)
        found = self.wait_entries("Volume nearly full", "Photos", count=2, since=since,
                                  timeout=3 * INTERVAL + 5, priority=3)
        expect(self.read_ping(photos) == before, "the ping file of the full drive was written")
        step["notes"].append(f"{free / 2**20:.0f} MiB free; \"{found[0]['message'].strip()}\" "
                             "at priority 3 on each tick; its ping file left alone")

    def read_only(self, step):
        since = time.time()
        self.drives["Archive"].remount_read_only()
        self.wait_status("Archive", "Read-only \u2014 can't ping")
        found = self.wait_entries("Volume read-only", "Archive", since=since, priority=3)
        step["notes"].append(f"journal: \"{found[0]['message'].strip()}\" at priority 3")

    def hang(self, step):
        flaky = self.drives["Flaky"]
        since = time.time()
        flaky.control("block-writes")
        self.wait_status("Flaky", "Slow to respond", timeout=STALL_TIMEOUT + 2 * INTERVAL + 5)
        stalled = self.wait_entries("Keep-alive ping stalled", "Flaky", since=since)[0]
        waited = stalled["time"] - since
        expect(STALL_TIMEOUT - 0.5 <= waited <= STALL_TIMEOUT + INTERVAL + 2,
               f"the stall was reported {waited:.1f} s after the drive hung")
        expect(not (int(flaky.fusefs_status()["blocked"]) < 1),
               "no write of vornix is waiting on the hung drive")
        others = {"Backup": "Active", "Card": "Active", "Photos": "Nearly full \u2014 paused",
                  "Archive": "Read-only \u2014 can't ping"}
        for name in ("Backup", "Card"):
            self.wait_entries("Keep-alive ping ok", name, since=stalled["time"])
        for name, status in others.items():
            expect(self.panel.status(name) == status,
                   f"{name} reads {self.panel.status(name)!r} beside the hung drive")
        step["notes"].append(f"\"Slow to respond\" {waited:.1f} s after the hang; "
                             "Backup and Card pinged on after it and read \"Active\"")
        self.shot(step, "03-full-read-only-slow.png")

    def change_interval(self, step):
        at = self.panel.at
        self.desktop.click(*self.panel.centre(self.panel.picker()))
        self.wait(lambda: self.panel.showing(self.panel.picker_list()), 5, "the picker's list to open")
        entry = [e for e in self.panel.picker_entries() if e.name == "30s"][0]
        since = time.time()
        self.desktop.click(*self.panel.centre(entry))
        self.wait(lambda: self.panel.picker_selection() == "30s", 5, "the picker to show 30s")
        expect(not self.panel.showing(self.panel.picker_list()), "the picker's list stays open")
        expect(self.panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"),
               "the panel closed on choosing an interval")
        self.wait(lambda: self.settings_file().get("keepaliveinterval") == "30", 5,
                  "keepAliveInterval=30 in the settings file")
        # The engine starts again with the new interval: its first tick comes at once.
        first = self.wait_entries("Volume nearly full", "Photos", since=since, timeout=5)
        self.interval_changed_at = first[0]["time"]
        step["notes"].append("picked 30s with the mouse; keepAliveInterval=30 written; "
                             "a tick at once")
        self.shot(step, "04-interval-30s.png")

    def eject(self, step):
        since = time.time()
        self.drives["Backup"].umount()
        self.wait_status("Backup", "Disconnected")
        found = self.wait_entries("Ejected (user)", "Backup", since=since, priority=6)
        row = self.panel.row("Backup")
        expect(not row["enabled"], "the unmounted drive's watch switch is still enabled")
        expect(not self.notifications(), "an eject raised a notification")
        step["notes"].append(f"journal: \"{found[0]['message']}\" at priority 6; row "
                             "\"Disconnected\", switch dimmed; no notification")

    def pull(self, step):
        card = self.drives["Card"]
        rows = self.panel.volume_rows()
        index = [r["name"] for r in rows].index("Card")
        self.card_row = (index, len(rows), rows[index]["node"].path)
        pulled = time.time()
        card.pull()
        self.wait_entries("Unexpected disconnect", "Card", since=pulled, priority=3)
        self.wait_status("Card", "Disconnected")
        notes = self.wait(self.notifications, 5, "a notification at the server")
        got = notes[0]
        if len(notes) != 1 or not got["args"].startswith('"Vornix" ') or \
                f'"{TITLE}" "{BODY.format("Card")}"' not in got["args"]:
            raise Failure(f"the server was sent {notes}, not one \"{TITLE}\" from Vornix")
        if not any(line.startswith(f"Unexpected disconnect {DASH} Card")
                   for line in self.panel.activity()[:3]):
            raise Failure(f"the activity list reads {self.panel.activity()[:3]}")
        latency = got["time"] - pulled
        self.report.facts.append(f"Cable pull (uevent) to the notification at the server: "
                                 f"{1000 * latency:.0f} ms.")
        step["notes"].append(f"journal at priority 3; the server got \"{TITLE}\" / "
                             f"\"{BODY.format('Card')}\" {1000 * latency:.0f} ms after the pull")
        self.shot(step, "05-unexpected-disconnect.png")

    def plug_in(self, step):
        since = time.time()
        self.drives["Card"].plug_in()
        self.wait_entries("Mounted", "Card", since=since)
        self.wait_status("Card", "Idle")
        rows = self.panel.volume_rows()
        names = [r["name"] for r in rows]
        index, count, path = self.card_row
        if len(rows) != count or names.index("Card") != index or \
                rows[index]["node"].path != path or not rows[index]["enabled"]:
            raise Failure(f"rows now {names}; Card was row {index + 1} of {count}")
        step["notes"].append(f"row {index + 1} of {count}, the same accessible object, "
                             "\"Idle\" with its switch enabled again")
        self.shot(step, "06-card-back.png")

    def next_tick(self, step):
        ticks = self.wait_entries("Volume nearly full", "Photos", count=2,
                                  since=self.interval_changed_at - 0.001, timeout=40)
        gap = ticks[1]["time"] - ticks[0]["time"]
        expect(29 <= gap <= 32, f"ticks {gap:.1f} s apart after choosing 30 s")
        step["notes"].append(f"{gap:.1f} s between the ticks after the change")

    def controls(self, step):
        at, panel, desktop = self.panel.at, self.panel, self.desktop
        if not panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"):
            self.open_panel()
        box = self.wait(lambda: panel.find(at.ROLE_CHECK_BOX, "Launch at Login"), 5,
                        "\"Launch at Login\"")
        folder = os.path.join(desktop.environment()["XDG_CONFIG_HOME"], "autostart")

        def entry():
            found = glob.glob(os.path.join(folder, "*.desktop"))
            lines = open(found[0]).read().splitlines() if len(found) == 1 else ["Hidden=true"]
            return None if "Hidden=true" in lines else lines
        x, y, _, h = panel.extents(box)
        desktop.click(x + 6, y + h // 2)  # the tick box itself, as a person clicks it
        lines = self.wait(entry, 5, f"an autostart entry in {folder}")
        if not any(line.startswith("Exec=") and os.path.realpath(self.program) in line
                   for line in lines):
            raise Failure(f"the autostart entry does not start {self.program}: {lines}")
        desktop.click(x + 6, y + h // 2)
        self.wait(lambda: entry() is None, 5, "the autostart entry to go")

        desktop.click(*panel.centre(panel.find(at.ROLE_PUSH_BUTTON, "About Vornix")))
        box = panel.window_of(self.wait(lambda: panel.find(at.ROLE_LABEL, "Vornix"), 5,
                                        "the About box"))
        expect([c for c in panel.find_all(at.ROLE_LABEL, CREDITS) if panel.window_of(c) == box],
               f"the About box does not read {CREDITS!r}\n" + panel.describe())
        expect(self.wait(desktop.topmost_window, 5, "a window on top") == panel.extents(box),
               "the About box is not in front")
        self.shot(step, "06b-about.png")
        desktop.click(*panel.centre(self.wait(lambda: panel.find(at.ROLE_PUSH_BUTTON, "OK"), 5,
                                              "the About box's OK")))
        self.wait(lambda: not panel.find(at.ROLE_LABEL, "Vornix"), 5, "the About box to close")

        if not panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"):
            self.open_panel()
        desktop.xdotool("key", "Escape")
        self.wait(lambda: not panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"), 5,
                  "Escape to close the panel")
        second = desktop.start_vornix(self.program, name="vornix-second", LD_PRELOAD=self.shim)
        try:
            expect(second.wait(timeout=10) == 0,
                   f"a second vornix ended with status {second.returncode}")
        except subprocess.TimeoutExpired:
            raise Failure("a second vornix keeps running") from None
        switch = self.wait(lambda: panel.find(at.ROLE_CHECK_BOX, "Keep drives awake"), 5,
                           "the first vornix to show its panel on a second start")
        expect(panel.has(switch, at.STATE_CHECKED),
               "the reopened panel does not show keep-awake on")
        step["notes"].append("autostart entry written and removed; About in front with the "
                             "credits; Escape closed the panel; a second start exited 0 and "
                             "opened the first one's")

    def bus_connections(self, pid):
        """The (bus address, unique name) of each connection `pid` has on the two buses."""
        import dbus
        found = set()
        for address in (self.desktop.session_bus, self.desktop.system_bus):
            bus = dbus.bus.BusConnection(address)
            try:
                for name in bus.list_names():
                    if name.startswith(":") and bus.call_blocking(
                            "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
                            (name,)) == pid:
                        found.add((address, str(name)))
            except dbus.DBusException:
                pass
            finally:
                bus.close()
        return found

    def quit(self, step):
        at = self.panel.at
        button = self.wait(lambda: self.panel.find(at.ROLE_PUSH_BUTTON, "Quit"), 5,
                           "the Quit button")
        pid = self.vornix.pid
        connections = self.bus_connections(pid)
        expect(connections, "vornix has no bus connection to see closed")
        self.quitting = True
        self.desktop.click(*self.panel.centre(button))
        # The write on the hung drive is still in the kernel, where nothing can end it before
        # the drive answers: the program must end without it.
        self.wait(lambda: process_state(pid) in (None, "Z"), 10, "vornix's main thread to end")
        self.wait(lambda: not self.vornix_inhibitors() and self.portal()[0] == 0, 5,
                  "logind's and the portal's inhibitors to be given back")
        self.wait(lambda: not self.desktop.tray_icon(), 5, "the tray icon to go")
        self.wait(lambda: not any(name_has_owner(address, name)
                                  for address, name in connections), 5,
                  "vornix's bus connections to close")
        left = stuck_threads(pid)
        if any("fuse" not in stack for _, _, stack in left):
            raise Failure("threads still running after Quit: " +
                          "; ".join(f"{tid} {state} {stack}" for tid, state, stack in left))
        self.shot(step, "07-after-quit.png")
        self.drives["Flaky"].control("release")
        try:
            status = self.vornix.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise Failure("vornix is still there 10 s after its hung write was answered") \
                from None
        expect(status == 0, f"vornix ended with status {status}")
        others = [p for p in live_processes() if command_line(p).startswith(self.program)]
        expect(not others, "left behind: " + ", ".join(f"{p} {command_line(p)}" for p in others))
        settings = self.settings_file()
        spare = self.drives[EXCLUDED].uuid
        if settings.get("keepaliveinterval") != "30" or \
                settings.get("excludedvolumeids") != spare:
            raise Failure(f"the settings file holds {settings}")
        expect(len(self.notifications()) == 1, "more than one notification was sent")
        step["notes"].append(
            f"main thread ended at once with Flaky's write still hung: tray icon, inhibitor and "
            f"{len(connections)} bus connections gone, {len(left)} thread left only inside the "
            "drive's request in the kernel; once the drive answered, exit status 0 and no "
            f"process left; settings: keepAliveInterval=30, excludedVolumeIDs={spare}")

    def run(self):
        actions = [self.start, self.switch_on, self.pings_land, self.fill, self.read_only,
                   self.hang, self.change_interval, self.eject, self.pull, self.plug_in,
                   self.next_tick, self.controls, self.quit]
        for title, action in zip(self.STEPS, actions):
            with self.report.step(title) as step:
                action(step)


def expect(ok, failure):
    if not ok:
        raise Failure(failure)


def notifications(desktop):
    """Each Notify the server got: its time and its arguments as dbusmock logs them."""
    return [{"time": t, "args": args} for t, args in desktop.calls("notifications", "Notify")]


def stuck_threads(pid):
    """(tid, state, kernel stack) of each thread of `pid` other than an exited one."""
    found = []
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in tids:
        state = process_state(f"{pid}/task/{tid}")
        if state in (None, "Z"):
            continue
        try:
            with open(f"/proc/{pid}/task/{tid}/stack") as f:
                stack = " < ".join(line.split()[-1].split("+")[0] for line in f)
        except OSError:
            stack = "?"
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
        report.facts.append(f"vornix: `{args.vornix}`, installed with `cmake --install`.")
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
