#!/usr/bin/python3
"""The installed vornix on a private desktop with six USB drives, used with the mouse and keyboard
and checked only from outside. As root: acceptance.py --build DIR."""

import argparse, calendar, configparser, glob, json, os, subprocess, sys  # noqa: E401
import time, traceback, uuid  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "desktop")]
from desktop_session import (DASH, SCREEN, SYSTEM_TOOLS, TOOLS, Desktop, Failure,  # noqa: E402
                             Panel, Processes, busctl, centre, journal, missing_tools,
                             process_state, wait_for)
from e2e_sandbox import MediaRoot, again_in_namespaces, mount, run  # noqa: E402
from Xlib import X  # noqa: E402

STORED, INTERVAL, STALL_TIMEOUT, FLOOR = 2, 10, 8, 52_428_800  # s (raised to INTERVAL), s, s, B
TITLE = "Drive disconnected unexpectedly"
CREDITS = "Keeps external drives spinning and tells you when one disconnects unexpectedly."
SWITCH, LOGIN = ("ROLE_CHECK_BOX", "Keep drives awake"), ("ROLE_CHECK_BOX", "Launch at Login")
CONTROLS = [SWITCH, ("ROLE_LABEL", "Ping interval"), LOGIN, ("ROLE_LABEL", "Recent activity"),
            ("ROLE_PUSH_BUTTON", "About Vornix"), ("ROLE_PUSH_BUTTON", "Quit")]
FULL, READ_ONLY = "Nearly full \u2014 paused", "Read-only \u2014 can't ping"
# name, kind, MiB, file-system UUID: new each run, as the kernel mounts no second XFS of a UUID
RUN, EXCLUDED = uuid.uuid4().hex[:8], "Spare"
DRIVES = [(n, k, m, u and f"{RUN}-0000-4000-8000-0000000000{u}") for n, k, m, u in [
    ("Backup", "ext4", 96, "b1"), ("Archive", "xfs", 300, "a2"), ("Photos", "ext4", 128, "f3"),
    ("Card", "exfat", 96, None), ("Flaky", "fusefs", 16, "c5"), ("Spare", "ext4", 32, "d6")]]


def expect(ok, failure):
    if not ok:
        raise Failure(failure)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Scenario:
    def __init__(self, desktop, media, program, shim):
        self.desktop, self.media, self.program, self.shim = desktop, media, program, shim
        self.drives = {d.name: d for d in media.drives}
        self.watched = [d for d in media.drives if d.name != EXCLUDED]
        self.reached = [d for d in self.watched if d.name != "Flaky"]
        self.config = desktop.environment()["XDG_CONFIG_HOME"]

    def entries(self, label, volume="system", count=1, since=0.0, timeout=10, priority=None):
        head = f"{label} {DASH} {volume} "  # journald drops the space of an empty detail
        found = wait_for(lambda: (lambda f: len(f) >= count and f)([
            e for e in journal() if e["time"] >= since and (e["message"] + " ").startswith(
                head)]), timeout, f"{count} journal line(s) \"{head}\"")
        expect(priority in (None, found[0]["priority"]), f"{found[0]} not at priority {priority}")
        return found

    def wait_status(self, name, status, timeout=10):
        wait_for(lambda: self.panel.status(name) == status, timeout, f"{name}: {status!r}")

    def change(self, act, name, status, label, priority=None, timeout=10):
        since = time.time()
        act()
        self.wait_status(name, status, timeout)
        return self.entries(label, name, since=since, priority=priority)[0]["time"] - since

    def find(self, role, name, timeout=5):
        return wait_for(lambda: self.panel.find(role, name), timeout, f"a {role} {name!r}")

    def click(self, role, name):
        self.desktop.click(*centre(self.find(role, name).box))

    def checked(self, role, name):
        return self.panel.at.STATE_CHECKED in self.find(role, name).states

    def green_tick(self):
        x, y, w, h = self.icon
        data = self.desktop.x.screen().root.get_image(x, y, w, h, X.ZPixmap, 0xffffffff).data
        return any(g > r + 60 and g > b + 60 for b, g, r in zip(data[::4], data[1::4], data[2::4]))

    def logind(self):
        return [w for w in map(str.split, run(["systemd-inhibit", "--list", "--no-legend"])
                .splitlines()) if w and w[0] == "Vornix"]

    def portal(self):
        made = len(self.desktop.calls("portal", "Inhibit"))
        return made - len(self.desktop.calls("portal", "Close")), made

    def tooltip(self, text):
        self.desktop.xdotool("mousemove", 2, SCREEN[1] - 2)  # away first, for it to come anew
        self.desktop.xdotool("mousemove", *centre(self.icon))
        self.find("ROLE_TOOL_TIP", text)

    def open_panel(self):
        if not self.panel.find(*SWITCH):
            self.desktop.click(*centre(self.icon))
        return self.find(*SWITCH, timeout=10)

    def settings(self):
        (parser := configparser.ConfigParser()).read(f"{self.config}/vornix/vornix.conf")
        return tuple(map(parser["General"].get, ("keepaliveinterval", "excludedvolumeids")))

    def card_row(self):
        return [(r.name, r.name == "Card" and (r.path, r.enabled))
                for r in self.panel.volume_rows()]

    def connections(self, pid):
        return [line for a in (self.desktop.session_bus, self.desktop.system_bus) for line in
                busctl(a, "list", "--unique", "--no-legend").splitlines()
                if line.split()[1] == str(pid)]

    def start(self):
        """vornix starts in the tray; its panel lists the drives, one excluded by the settings"""
        os.makedirs(f"{self.config}/vornix")
        with open(f"{self.config}/vornix/vornix.conf", "w") as f:
            f.write(f"[General]\nkeepAliveInterval={STORED}\n"
                    f"excludedVolumeIDs={self.drives[EXCLUDED].uuid}\n")
        self.vornix = self.desktop.start_vornix(self.program, LD_PRELOAD=self.shim, XDG_DATA_DIRS=(
            f"{os.path.dirname(os.path.dirname(self.program))}/share:/usr/share"))
        self.icon = icon = self.desktop.wait_for_icon(self.vornix, 15)
        self.panel = panel = Panel(self.vornix.pid)
        wait_for(panel.application, 15, "vornix on the accessibility bus")
        raised = self.entries("Ping interval raised", priority=6)[0]["message"]
        expect(raised.endswith(f" {STORED} s stored, {INTERVAL} s used"), f"raised: {raised!r}")
        self.tooltip("Drives idle")
        switch, names = self.open_panel(), sorted(d.name for d in self.media.drives)
        rows = wait_for(lambda: (lambda r: sorted(x.name for x in r) == names and r)(
            panel.volume_rows()), 10, f"a row for each of {names}")
        expect(not self.checked(*SWITCH), "keep-awake starts on")
        for r in rows:
            expect((r.status, r.enabled, r.watched, "USB" in r.labels) == (
                "Idle", True, r.name != EXCLUDED, True), f"the row {r} at start")
        combo, entries = panel.picker()[0], panel.picker()[1].children
        expect([e.name for e in entries] == ["10s", "30s", "45s", "60s", "120s"] and combo.name
               == "10s", f"the picker shows {combo.name} of {[e.name for e in entries]}")  # used
        px, py, pw, ph = [n for n in panel.nodes() if n.node == switch.window][0].box
        expect(pw == 320 and 0 <= px and px + pw <= SCREEN[0] and 0 <= py and py + ph <= SCREEN[1]
               and icon[1] + icon[3] <= py <= icon[1] + icon[3] + 24 and px <= icon[0] + icon[2]
               and icon[0] <= px + pw, f"the panel {px},{py} {pw}x{ph}, the icon {icon}")
        controls = [panel.find(role, name) for role, name in CONTROLS]
        expect(None not in controls and all(panel.at.STATE_ENABLED in c.states for c in controls)
               and not self.checked(*LOGIN) and [c.box[1] for c in controls] == sorted(
                   c.box[1] for c in controls), f"{CONTROLS} not all there, enabled, in order")
        labels = [r.getTarget(i).name for r in combo.node.getRelationSet() if  # Qt names the box
                  r.getRelationType() == panel.at.RELATION_LABELLED_BY  # after its entry
                  for i in range(r.getNTargets())]
        expect("Ping interval" in labels + [combo.name], f"the picker is labelled {labels}")

    def switch_on(self):
        """keep-awake on by mouse, off by AT-SPI, on by a middle click on the icon; held by both"""
        since = time.time() - 1
        for held, made in ((1, 1), (0, 1), (1, 2)):  # on, off and on again
            self.on_since = time.time()  # the pings that count start at the last switch-on
            toggle = self.find(*SWITCH).node.queryAction().doAction  # its first action: Toggle
            self.click(*SWITCH) if made == 1 and held else toggle(0) if made == 1 else \
                self.desktop.xdotool("mousemove", *centre(self.icon), "click", "2")
            wait_for(lambda: self.checked(*SWITCH) == bool(held), 5, f"the switch {held}")
            wait_for(lambda: self.green_tick() == bool(held), 5, f"the icon's green tick {held}")
            wait_for(lambda: self.portal() == (held, made) and len(self.logind()) == held, 5,
                      f"{held} inhibitor(s) held by logind and by the portal")
            if made == 1 and held:
                self.entries("Sleep prevention started", since=since, priority=6)
                self.tooltip("Drives awake")
        self.entries("Sleep prevention stopped", since=since)

    def pings_land(self):
        """the ping files land on the watched drives and keep landing every 10 s"""
        for drive in self.reached:  # the file holds the second ping's time, or a later one's
            times = [e["time"] for e in self.entries("Keep-alive ping ok", drive.name, count=2,
                                                     since=self.on_since, timeout=2 * INTERVAL + 5)]
            held = calendar.timegm(time.strptime(read(drive.ping_file).decode(),
                                                 "%Y-%m-%dT%H:%M:%SZ"))
            expect(0.5 * INTERVAL <= times[1] - times[0] <= 1.5 * INTERVAL and times[1] - 1 <=
                   held <= time.time(), f"{drive.name}: pings at {times}, the file holds {held}")
        expect(not os.path.exists(self.drives[EXCLUDED].ping_file), f"{EXCLUDED} was pinged")
        for drive in self.reached:
            self.wait_status(drive.name, "Active", timeout=5)
        expect(self.panel.status(EXCLUDED) == "Idle", f"{EXCLUDED} does not read \"Idle\"")

    def not_reaching(self):
        """Flaky, its device never written, is not reached; then written through, "Active" """
        device = "{0.major}:{0.minor}".format(self.drives["Flaky"].loop)
        self.wait_status("Flaky", "Not reaching the drive", timeout=INTERVAL + 5)
        line = self.entries("Ping not reaching the drive", "Flaky", priority=4)[0]["message"]
        stat = read(f"/sys/dev/block/{device}/stat").split()  # through the fabricated entry
        expect(line.endswith(f"{device} since the previous ping (writes {int(stat[4])}, flushes "
                             f"{int(stat[15])})") and len(self.notices("Pings not reaching the "
                             "drive")) == 1 and not self.green_tick(), f"{line!r}, one notice")
        self.change(lambda: self.drives["Flaky"].control("write-through"), "Flaky", "Active",
                    "Keep-alive ping ok", timeout=INTERVAL + 5)
        wait_for(self.green_tick, 5, "the icon's green tick again")

    def faults(self):
        """at once: Photos filled past the floor reads "Nearly full — paused" and is not written,
        Archive remounted read-only reads "Read-only — can't ping", Flaky hanging reads "Slow to
        respond"; the others stay as they were"""
        photos, flaky, since = self.drives["Photos"], self.drives["Flaky"], time.time()
        free = lambda: (lambda s: s.f_bavail * s.f_frsize)(os.statvfs(photos.path))  # noqa: E731
        run(["fallocate", "-l", str(free() - (30 << 20)), os.path.join(photos.path, "filler")])
        expect(free() < FLOOR, f"Photos still has {free()} bytes free")
        run(["mount", "-o", "remount,ro", self.drives["Archive"].path])
        hung = time.time()
        flaky.control("block-writes")
        for name, status, label in (("Photos", FULL, "Volume nearly full"), ("Archive", READ_ONLY,
                                    "Volume read-only"), ("Flaky", "Slow to respond", None)):
            self.wait_status(name, status, INTERVAL + 5 + STALL_TIMEOUT * (label is None))
            label and self.entries(label, name, since=since, priority=3)
        before = read(photos.ping_file)
        stall = self.entries("Keep-alive ping stalled", "Flaky", since=since)[0]["time"] - hung
        expect(STALL_TIMEOUT - 0.5 <= stall <= STALL_TIMEOUT + INTERVAL + 2,
               f"the stall was reported {stall:.1f} s after the drive hung")
        status = dict(i.split(b"=") for i in read(f"{flaky.path}/.fusefs-control").split())
        expect(int(status[b"blocked"]) >= 1, f"no write waits on the hung drive: {status}")
        others = {"Backup": "Active", "Card": "Active", "Photos": FULL, "Archive": READ_ONLY}
        expect(all(self.panel.status(n) == s for n, s in others.items()),
               f"beside the hung drive: {[self.panel.status(n) for n in others]}")
        self.entries("Volume nearly full", "Photos", 2, since, INTERVAL + 5)
        expect(read(photos.ping_file) == before, "the ping file of the full drive was written")

    def change_interval(self):
        """the interval changed to 30 s in the picker, which closes; the panel stays open"""
        at, picker = self.panel.at, self.panel.picker
        self.desktop.click(*centre(picker()[0].box))
        wait_for(lambda: at.STATE_SHOWING in picker()[1].states, 5, "the picker's list")
        entry = [e for e in picker()[1].children if e.name == "30s"][0]
        since = time.time()
        self.desktop.click(*centre(entry.box))
        wait_for(lambda: [e for e in picker()[1].children if e.name == "30s" and
                           at.STATE_SELECTED in e.states], 5, "the picker to show 30s")
        expect(at.STATE_SHOWING not in picker()[1].states and self.panel.find(*SWITCH),
               "the picker's list stays open, or the panel closed with it")
        wait_for(lambda: self.settings()[0] == "30", 5, "keepAliveInterval=30 in the settings")
        # The engine starts again with the new interval: its first tick comes at once.
        self.entries("Volume nearly full", "Photos", since=since, timeout=5)
        self.changed = since

    def notices(self, summary):
        return [c for c in self.desktop.calls("notifications", "Notify") if f'"{summary}"' in c[1]]

    def eject(self):
        """umount of Backup gives "Ejected (user)" and no notification"""
        self.change(self.drives["Backup"].umount, "Backup", "Disconnected", "Ejected (user)", 6)
        expect(not [r for r in self.panel.volume_rows() if r.name == "Backup"][0].enabled and not
               self.notices(TITLE), "its switch on, or a notification")

    def pull(self):
        """Card pulled while mounted gives "Unexpected disconnect" and exactly one notification"""
        self.rows = self.card_row()
        self.change(self.drives["Card"].pull, "Card", "Disconnected", "Unexpected disconnect", 3)
        sent = wait_for(lambda: self.notices(TITLE), 5, "a notification at the server")
        expect(len(sent) == 1, f"the server was sent {sent}")

    def plug_in(self):
        """Card plugged in again comes back in the same row"""
        self.change(self.drives["Card"].plug_in, "Card", "Idle", "Mounted")
        expect(self.card_row() == self.rows, f"rows {self.card_row()}, before the pull {self.rows}")

    def next_tick(self):
        """the next tick comes one new interval after the change"""
        def gap():  # a 10 s tick may land between the click and the restart: the first long gap
            t = [e["time"] for e in self.entries("Volume nearly full", "Photos", since=self.changed)]
            return ([b - a for a, b in zip(t, t[1:]) if b - a > 15] + [None])[0]
        gap = wait_for(gap, 40, "a tick one interval after the change", interval=0.5)
        expect(29 <= gap <= 32, f"ticks {gap:.1f} s apart after choosing 30 s")

    def status_cli(self):
        """vornix --status --json reads each drive's state and what holds sleep off"""
        out = subprocess.run([self.program, "--status", "--json"], env=self.desktop.environment(),
                             capture_output=True, text=True, timeout=10)
        status = json.loads(out.stdout)
        got = {v["name"]: (v["status"], v["watched"]) for v in status["volumes"]}
        expect({n: got.get(n) for n in ("Photos", "Archive", "Flaky", EXCLUDED)} == {
            "Photos": ("full", True), "Archive": ("readOnly", True), "Flaky": ("stalled", True),
            EXCLUDED: ("idle", False)} and (status["interval"], status["sleepPrevented"], status[
                "sleepPrevention"]["holders"]) == (30, True, ["desktopPortal", "logind"]),
               f"--status --json: {out.stdout}")

    def off_quiet(self):
        """vornix --off: for a minute from then on, no drive's I/O counters move"""
        subprocess.run([self.program, "--off"], env=self.desktop.environment(), timeout=10)
        time.sleep(2)  # a write begun before lands, as does (sync) what the kernel holds of others
        os.sync()
        io = lambda: [read(f"/sys/block/{d.loop.name}/stat") for d in self.media.drives]  # noqa: E731
        before, _ = io(), time.sleep(60)
        expect(io() == before, f"I/O while off: {before} then {io()}")

    def controls(self):
        """Launch at Login, About and Escape work with mouse and keyboard"""
        self.open_panel()
        x, y, _, h = self.find(*LOGIN).box

        def entry():
            found = glob.glob(f"{self.config}/autostart/*.desktop")
            lines = read(found[0]).decode().splitlines() if len(found) == 1 else ["Hidden=true"]
            return "Hidden=true" not in lines and lines
        self.desktop.click(x + 6, y + h // 2)  # the tick box itself, as a person clicks it
        lines = wait_for(entry, 5, "an autostart entry")
        expect(f"Exec={os.path.realpath(self.program)}" in " ".join(lines), f"autostart: {lines}")
        self.desktop.click(x + 6, y + h // 2)
        wait_for(lambda: not entry(), 5, "the autostart entry to go")
        self.click("ROLE_PUSH_BUTTON", "About Vornix")
        box = self.find("ROLE_LABEL", "Vornix").window
        expect([c for c in self.panel.find_all("ROLE_LABEL", CREDITS) if c.window == box],
               f"the About box does not read {CREDITS!r}")
        expect(wait_for(self.desktop.topmost_window, 5, "a window on top") == [
            n.box for n in self.panel.nodes() if n.node == box][0], "the About box is behind")
        self.click("ROLE_PUSH_BUTTON", "OK")
        wait_for(lambda: not self.panel.find("ROLE_LABEL", "Vornix"), 5, "the About box to go")
        self.open_panel()
        self.desktop.xdotool("key", "Escape")
        wait_for(lambda: not self.panel.find(*SWITCH), 5, "Escape to close the panel")

    def quit(self):
        """Quit leaves no inhibitor, thread or process"""
        self.open_panel()
        button, pid = self.find("ROLE_PUSH_BUTTON", "Quit"), self.vornix.pid
        expect(self.connections(pid), "vornix has no bus connection to see closed")
        self.desktop.click(*centre(button.box))
        # The write on the hung drive is still in the kernel, where nothing can end it before
        # the drive answers: the program must end without it.
        wait_for(lambda: process_state(pid) in (None, "Z"), 10, "vornix's main thread to end")
        wait_for(lambda: not self.logind() and self.portal()[0] == 0, 5, "inhibitors to go")
        wait_for(lambda: not self.desktop.tray_icon(), 5, "the tray icon to go")
        wait_for(lambda: not self.connections(pid), 5, "vornix's bus connections to close")
        stacks = [read(f"{task}/stack").decode() for task in glob.glob(f"/proc/{pid}/task/*")
                  if process_state(task[6:]) not in (None, "Z")]
        expect(all("fuse" in stack for stack in stacks), f"threads left after Quit: {stacks}")
        self.drives["Flaky"].control("release")
        expect(self.vornix.wait(timeout=10) == 0, f"vornix ended {self.vornix.returncode}")
        left = subprocess.run(["pgrep", "-af", f"^{self.program}"], capture_output=True).stdout
        expect(not left, f"left behind: {left}")

    STEPS = [start, switch_on, pings_land, not_reaching, faults, change_interval, eject, pull,
             plug_in, next_tick, status_cli, off_quiet, controls, quit]


def inner(args, scratch):
    logs, passed, desktop = f"{args.artifacts}/logs", 0, None
    vornix = f"{args.prefix}/bin/vornix"
    shim = f"{args.build}/tests/platform/linux/libvornix_sysfs_shim.so"
    mount("vornix-e2e-scratch", scratch, "tmpfs", "mode=0755")
    try:
        print("== the desktop stack and the USB drives start", flush=True)
        desktop = Desktop(scratch, args.artifacts, Processes(logs)).start()
        media = MediaRoot(scratch, logs, f"{args.build}/bin/vornix-test-fusefs", "root")
        for drive in DRIVES[:1] if args.footprint is not None else DRIVES:
            media.add(*drive).mount()
        if args.footprint is not None:
            sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
            from measure_footprint import measure_in_stack
            measure_in_stack(desktop, media.drives[0], vornix, shim, args.footprint, lambda: [
                {"time": t} for t, _ in desktop.calls("notifications", "Notify")], journal)
            return 0
        scenario, passed = Scenario(desktop, media, vornix, shim), 1
        for step in Scenario.STEPS:
            print(f"== {step.__doc__}", flush=True)
            step(scenario)
            passed += 1
    except Exception as error:
        if not isinstance(error, Failure):
            traceback.print_exc()
        print(f"FAILED: {error}", flush=True)
        desktop and desktop.screenshot("failure.png")
    finally:
        with open(f"{logs}/journal.txt", "w") as f:
            subprocess.run(["journalctl", "--no-pager", "-o", "short-precise"], stdout=f)
    failed = len(Scenario.STEPS) + 1 - passed  # the step that failed and those not reached
    print(f"e2e: {passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--artifacts", help="where the report, screenshots and logs go")
    parser.add_argument("--footprint", type=float, metavar="SECONDS", help="instead, what vornix "
                        "costs idling in the tray over SECONDS, and cable pulls (make bench)")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.artifacts = os.path.abspath(args.artifacts or args.build + (
        "/e2e" if args.footprint is None else "/e2e-footprint"))
    args.prefix = os.environ.get("VORNIX_E2E_PREFIX")
    if args.prefix:  # in the namespaces
        return inner(args, os.path.join(os.path.dirname(args.prefix), "ns"))
    subprocess.run(["rm", "-rf", args.artifacts])
    os.makedirs(f"{args.artifacts}/logs")
    missing = missing_tools(TOOLS + SYSTEM_TOOLS + ("mkfs.ext4", "mkfs.xfs", "mkfs.exfat",
                                                    "mount.exfat-fuse", "fallocate", "blkid"))
    if os.geteuid() or missing or not os.path.exists("/dev/loop-control") or not \
            os.path.exists("/dev/fuse") or subprocess.run(["unshare", "-mpf", "true"]).returncode:
        print(f"skipped: needs root, loop devices, FUSE, namespaces and {missing or 'no more'}")
        return 0
    return again_in_namespaces(args.build, f"{args.artifacts}/install.log", "VORNIX_E2E_PREFIX")


if __name__ == "__main__":
    sys.exit(main())
