"""Uses the real vornix the way a person does: in a system tray, with the mouse, and reads it back
the way a screen reader does (AT-SPI).

Usage: tray_smoke_test.py --vornix PATH --artifacts DIR
Exits 0 when every step passed, 1 at the first step that did not, 77 (skipped) when the machine
lacks a tool of the desktop. The screenshots and every process's output stay in DIR.
"""

import argparse
import contextlib
import glob
import os
import subprocess
import sys
import time
import traceback

from desktop_session import (SCREEN, SKIP, DesktopSession, Failure, Panel, Skip, centre,
                             command_line, descendants, live_processes, wait_for)

ASSERTION_NAME = "Vornix is keeping external drives awake"
SUSPEND = 4  # the portal's flag for (idle) suspend
CREDITS = "Keeps external drives spinning and tells you when one disconnects unexpectedly."


def role_name(role):
    return str(role).lower().replace("role_", "").replace("_", " ")


class SmokeTest:
    def __init__(self, session, vornix):
        self.session = session
        self.program = vornix
        self.screen = None
        self.icon = None
        self.passed = []
        self.at = None

    @contextlib.contextmanager
    def step(self, name):
        print(f"== {name}", flush=True)
        try:
            yield
        except Failure as failure:
            raise Failure(f"{name}: {failure}") from None
        self.passed.append(name)

    def control(self, role, name, timeout=5):
        return wait_for(lambda: self.screen.find(role, name), timeout,
                        f"a visible {role_name(role)} named {name!r}")

    def expect_state(self, node, state, wanted, what, timeout=5):
        wait_for(lambda: self.screen.has(node, state) == wanted, timeout, what)

    def tooltip(self, text):
        self.session.hover(*centre(self.icon))
        return wait_for(lambda: self.screen.find(self.at.ROLE_TOOL_TIP, text), 5,
                        f"the tray icon's tool tip {text!r}")

    def run(self):
        s = self.session
        with self.step("the tray icon appears"):
            started = time.monotonic()
            vornix = s.start_vornix(self.program)
            self.icon = s.wait_for_icon(vornix, 10)
            print(f"  icon at {self.icon}, {1000 * (time.monotonic() - started):.0f} ms after "
                  "the start")
            self.screen = Panel(vornix.pid)
            self.at = self.screen.at
            wait_for(self.screen.application, 10, "vornix on the accessibility bus")

        with self.step("hovering the icon shows \"Drives idle\""):
            self.tooltip("Drives idle")

        with self.step("clicking the icon opens the panel next to it, on screen"):
            s.click(*centre(self.icon))
            switch = self.control(self.at.ROLE_CHECK_BOX, "Keep drives awake")
            panel = self.screen.window_of(switch)
            px, py, pw, ph = self.screen.extents(panel)
            ix, iy, iw, ih = self.icon
            if pw != 320:
                raise Failure(f"the panel is {pw} wide, not 320")
            if px < 0 or py < 0 or px + pw > SCREEN[0] or py + ph > SCREEN[1]:
                raise Failure(f"the panel {px},{py} {pw}x{ph} is not fully on the screen")
            if not (iy + ih <= py <= iy + ih + 24) or not (px <= ix + iw and ix <= px + pw):
                raise Failure(f"the panel {px},{py} {pw}x{ph} is not below the icon {self.icon}")
            s.screenshot("panel-idle.png")
            s.screenshot("panel-idle-crop.png", crop=self.crop(panel))

        with self.step("the panel's controls read as they should"):
            self.check_controls(switch)

        with self.step("switching on with the mouse keeps the machine awake"):
            s.click(*centre(self.screen.extents(switch)))
            self.expect_state(switch, self.at.STATE_CHECKED, True, "the switch to read checked")
            self.control(self.at.ROLE_LABEL, "Sleep prevention started")
            held = wait_for(lambda: len(s.services.held()) == 2 and s.services.held(), 5,
                            "an inhibitor from the portal and one from logind")
            for (mechanism, _), grant in held.items():
                if mechanism == "portal" and (grant["flags"] != SUSPEND or
                                              grant["reason"] != ASSERTION_NAME):
                    raise Failure(f"the portal was asked for {grant}")
                if mechanism == "logind" and (grant["what"], grant["mode"], grant["why"]) != (
                        "idle", "block", ASSERTION_NAME):
                    raise Failure(f"logind was asked for {grant}")
            s.screenshot("panel-awake.png")
            s.screenshot("panel-awake-crop.png", crop=self.crop(panel))

        with self.step("hovering the icon shows \"Drives awake\""):
            self.tooltip("Drives awake")
            s.screenshot("tooltip-awake.png")

        with self.step("switching off gives the inhibitors back, switching on takes them again"):
            s.click(*centre(self.screen.extents(switch)))
            self.expect_state(switch, self.at.STATE_CHECKED, False,
                              "the switch to read unchecked")
            wait_for(lambda: not s.services.held(), 5, "the inhibitors to be given back")
            self.control(self.at.ROLE_LABEL, "Sleep prevention stopped")
            s.click(*centre(self.screen.extents(switch)))
            self.expect_state(switch, self.at.STATE_CHECKED, True, "the switch to read checked")
            wait_for(lambda: len(s.services.held()) == 2, 5, "the inhibitors again")

        with self.step("ticking \"Launch at Login\" writes the autostart entry, unticking "
                       "removes it"):
            self.launch_at_login()

        with self.step("\"About Vornix\" shows the name and the credits, in front"):
            self.about()

        with self.step("Escape closes the panel; starting vornix again opens it"):
            s.xdotool("key", "Escape")
            wait_for(lambda: not self.screen.find(self.at.ROLE_CHECK_BOX, "Keep drives awake"),
                     5, "the panel to close")
            second = s.start_vornix(self.program, name="vornix-second")
            try:
                status = second.wait(timeout=10)
            except subprocess.TimeoutExpired:
                raise Failure("a second vornix keeps running") from None
            if status != 0:
                raise Failure(f"a second vornix ended with status {status}")
            switch = self.control(self.at.ROLE_CHECK_BOX, "Keep drives awake")
            if not self.screen.has(switch, self.at.STATE_CHECKED):
                raise Failure("the reopened panel does not show keep-awake on")

        with self.step("Quit ends vornix and leaves nothing behind"):
            self.quit(vornix)

    def check_controls(self, switch):
        at, screen = self.at, self.screen
        problems = []
        if screen.has(switch, at.STATE_CHECKED):
            problems.append("the switch starts checked")
        expected = [
            (at.ROLE_CHECK_BOX, "Keep drives awake"),
            (at.ROLE_LABEL, "No external drives detected"),
            (at.ROLE_LABEL, "Ping interval"),
            (at.ROLE_CHECK_BOX, "Launch at Login"),
            (at.ROLE_LABEL, "Recent activity"),
            (at.ROLE_PUSH_BUTTON, "About Vornix"),
            (at.ROLE_PUSH_BUTTON, "Quit"),
        ]
        tops = []
        for role, name in expected:
            node = screen.find(role, name)
            if node is None:
                problems.append(f"no visible {role_name(role)} {name!r}")
                continue
            if not screen.has(node, at.STATE_ENABLED):
                problems.append(f"{name!r} is disabled")
            tops.append((name, screen.extents(node)[1]))
        launch = screen.find(at.ROLE_CHECK_BOX, "Launch at Login")
        if launch is not None and screen.has(launch, at.STATE_CHECKED):
            problems.append("\"Launch at Login\" starts checked with no autostart entry")
        order = [name for name, _ in sorted(tops, key=lambda t: t[1])]
        if order != [name for name, _ in tops]:
            problems.append(f"top to bottom the panel reads {order}")

        # On Linux, Qt names a combo box after its current entry; the label names it by relation.
        try:
            combo, entries = screen.picker(), [e.name for e in screen.picker_entries()]
        except Failure as failure:
            problems.append(str(failure))
        else:
            labels = [relation.getTarget(i).name for relation in combo.getRelationSet()
                      if relation.getRelationType() == at.RELATION_LABELLED_BY
                      for i in range(relation.getNTargets())]
            if "Ping interval" not in labels and combo.name != "Ping interval":
                problems.append(f"the interval picker is not labelled \"Ping interval\" ({labels})")
            if entries != ["30s", "45s", "60s", "120s"]:
                problems.append(f"the interval picker offers {entries}")
            selected = combo.queryText().getText(0, -1) if combo.name == "Ping interval" \
                else combo.name
            if selected != "45s":
                problems.append(f"the interval picker shows {selected!r}, not the default 45s")
        if problems:
            raise Failure("; ".join(problems) + "\n" + screen.describe())

    def launch_at_login(self):
        s, at = self.session, self.at
        box = self.control(at.ROLE_CHECK_BOX, "Launch at Login")
        folder = os.path.join(s.environment()["XDG_CONFIG_HOME"], "autostart")

        def entry():
            found = glob.glob(os.path.join(folder, "*.desktop"))
            if len(found) != 1:
                return None
            with open(found[0]) as f:
                lines = f.read().splitlines()
            return None if "Hidden=true" in lines else lines

        def on_the_box():  # the tick box itself, at the left, as a person clicks it
            x, y, _, h = self.screen.extents(box)
            return x + 6, y + h // 2

        s.click(*on_the_box())
        self.expect_state(box, at.STATE_CHECKED, True, "\"Launch at Login\" to read checked")
        lines = wait_for(entry, 5, f"an autostart entry in {folder}")
        program = os.path.realpath(self.program)
        if not any(line.startswith("Exec=") and program in line for line in lines):
            raise Failure(f"the autostart entry does not start {program}: {lines}")
        s.click(*on_the_box())
        self.expect_state(box, at.STATE_CHECKED, False, "\"Launch at Login\" to read unchecked")
        wait_for(lambda: entry() is None, 5, "the autostart entry to go")

    def about(self):
        s, at = self.session, self.at
        s.click(*centre(self.screen.extents(self.control(at.ROLE_PUSH_BUTTON, "About Vornix"))))
        name = self.control(at.ROLE_LABEL, "Vornix")
        box = self.screen.window_of(name)
        if not [label for label in self.screen.find_all(at.ROLE_LABEL, CREDITS)
                if self.screen.window_of(label) == box]:
            raise Failure(f"the About box does not read {CREDITS!r}\n" + self.screen.describe())
        top = wait_for(s.topmost_window, 5, "a window on top")
        if top != self.screen.extents(box):
            raise Failure(f"the About box {self.screen.extents(box)} is not in front ({top} is)")
        s.screenshot("about.png")
        s.click(*centre(self.screen.extents(self.control(at.ROLE_PUSH_BUTTON, "OK"))))
        wait_for(lambda: not self.screen.find(at.ROLE_LABEL, "Vornix"), 5,
                 "the About box to close")
        # Like a menu, the panel may have closed when the About box took the focus.
        if not self.screen.find(at.ROLE_CHECK_BOX, "Keep drives awake"):
            s.click(*centre(self.icon))
            self.control(at.ROLE_CHECK_BOX, "Keep drives awake")

    def quit(self, vornix):
        s = self.session
        quit_button = self.control(self.at.ROLE_PUSH_BUTTON, "Quit")
        buses = {"portal": "session", "logind": "system"}
        connections = {(buses[mechanism], grant["sender"])
                       for (mechanism, _), grant in s.services.held().items()}
        below = set(descendants(vornix.pid))
        s.click(*centre(self.screen.extents(quit_button)))
        try:
            status = vornix.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise Failure("vornix still runs 10 s after Quit") from None
        if status != 0:
            raise Failure(f"vornix ended with status {status}")
        wait_for(lambda: not s.services.held(), 5,
                 "the portal and logind to see the inhibitors given back")
        ways = sorted({e["via"] for e in s.services.events("release")})
        print(f"  inhibitors given back by: {', '.join(ways)}")
        for bus, sender in connections:
            if s.services.name_has_owner(bus, sender):
                raise Failure(f"vornix's connection {sender} is still on the {bus} bus")
        left = sorted(set(pid for pid in below if os.path.exists(f"/proc/{pid}")) |
                      set(live_processes(lambda ppid, pgid, sid: vornix.pid in (pgid, sid))))
        if left:
            raise Failure("left behind: " + "; ".join(f"{pid} {command_line(pid)}"
                                                     for pid in left))

    def crop(self, panel):
        """The panel with the tray icon above it and a margin, for the README."""
        px, py, pw, ph = self.screen.extents(panel)
        ix, iy, iw, ih = self.icon
        margin = 16
        left, top = max(0, min(px, ix) - margin), max(0, min(py, iy) - margin)
        right = min(SCREEN[0], max(px + pw, ix + iw) + margin)
        bottom = min(SCREEN[1], max(py + ph, iy + ih) + margin)
        return left, top, right - left, bottom - top


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vornix", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    if not os.access(args.vornix, os.X_OK):
        print(f"no vornix program at {args.vornix}")
        return 1
    started = time.monotonic()
    session = DesktopSession(args.artifacts)
    test = SmokeTest(session, args.vornix)
    status = 1
    try:
        session.start()
        test.run()
        status = 0
    except Skip as reason:
        print(f"SKIPPED: {reason}")
        status = SKIP
    except Exception as failure:  # a failed step, or the harness itself
        if not isinstance(failure, Failure):
            traceback.print_exc()
        print(f"FAILED: {failure}")
        with contextlib.suppress(Exception):
            session.screenshot("failure.png")
        print(f"  screenshots and logs: {args.artifacts}")
    finally:
        session.close()
    if status != SKIP:
        print(f"steps: {len(test.passed)} passed, {0 if status == 0 else 1} failed "
              f"in {time.monotonic() - started:.1f} s")
    return status


if __name__ == "__main__":
    sys.exit(main())
