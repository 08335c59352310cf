"""Measures what the tray program costs while it sits in the tray.

Usage: measure_footprint.py --vornix PATH [--minimal PATH] [--runs N] [--idle-seconds S]
                            [--artifacts DIR]

In a private desktop (see tests/desktop/desktop_session.py), as a person's desktop would run it (an
accessibility bus present, no screen reader), it prints:
  - the time from starting vornix to its icon embedded in the tray, over N starts, and from a
    click on the icon to the panel, the first time (when it is built) and again;
  - resident memory (VmRSS) with the panel never shown, open, and shown once and closed, and
    beside it that of a minimal Qt tray program (bench/minimal_tray.cpp: an icon and a menu)
    measured in the same desktop, with the ratios: medians of N starts of each;
  - the wake-ups of every thread over S seconds of idling with the panel closed (voluntary and
    involuntary context switches from /proc/PID/task/*/status) and the CPU time spent, beside
    the mount-table changes and kernel uevents of the machine meanwhile, which vornix is
    right to wake for (it watches both for drives).
This is a measurement, not a test: it judges nothing and exits 0 when it could measure.
"""

import argparse
import contextlib
import shutil
import os
import select
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/desktop"))
from desktop_session import (DASH, SCREEN, SKIP, Desktop, Failure, Processes, Skip,  # noqa: E402
                             end, wait_for)

def process_status(pid):
    """/proc/PID/status (or "PID/task/TID") as a dict of stripped strings."""
    with open(f"/proc/{pid}/status") as f:
        return {k: v.strip() for k, _, v in (line.partition(":") for line in f)}


def context_switches(pid):
    """{tid: (name, voluntary + involuntary context switches)} of each thread of `pid`."""
    found = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError):
            f = process_status(f"{pid}/task/{tid}")
            found[int(tid)] = (f["Name"], int(f["voluntary_ctxt_switches"]) +
                               int(f["nonvoluntary_ctxt_switches"]))
    return found


def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return 1000 * (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def settled_memory(pid, timeout):
    """/proc/PID/status's memory fields (KiB) once VmRSS has not changed for a second."""
    last = {"rss": None, "since": time.monotonic()}

    def settled():
        fields = process_status(pid)
        now = {k: int(fields[k].split()[0]) for k in ("VmRSS", "RssAnon", "RssFile", "RssShmem")}
        if now["VmRSS"] != last["rss"]:
            last.update(rss=now["VmRSS"], since=time.monotonic())
        return now if time.monotonic() - last["since"] >= 1.0 else None
    return wait_for(settled, timeout, "resident memory to settle", interval=0.1)


def measure_in_stack(desktop, drive, program, shim, seconds, notifications, journal, pulls=10):
    """For the end-to-end run's stack (tests/e2e/acceptance.py --footprint): what vornix costs
    sitting in the tray, keep-awake off, one USB drive present, the
    accessibility bus up but unused (as on a person's desktop): resident memory once settled,
    and the wake-ups of all its threads (context switches) and its CPU time over `seconds`.
    Then the time from a cable pull (the kernel's uevent) to the notification at the server,
    over `pulls` pulls of the drive."""
    started = time.monotonic()
    vornix = desktop.start_vornix(program, False, "vornix-footprint", LD_PRELOAD=shim)
    desktop.wait_for_icon(vornix, 15)
    icon_ms = 1000 * (time.monotonic() - started)
    desktop.xdotool("mousemove", 2, 700)  # the pointer off the icon

    def switches():
        return sum(count for _, count in context_switches(vornix.pid).values())

    rss = settled_memory(vornix.pid, 15)["VmRSS"]
    threads = len(os.listdir(f"/proc/{vornix.pid}/task"))
    before, cpu_before = switches(), cpu_ms(vornix.pid)
    time.sleep(seconds)  # the measuring window itself
    wakeups, cpu = switches() - before, cpu_ms(vornix.pid) - cpu_before

    latencies = []
    for pull in range(pulls):
        pulled = time.time()
        drive.pull()
        sent = wait_for(lambda: (lambda n: n if len(n) > pull else None)(
            notifications()), 10, "the disconnect notification")
        latencies.append(1000 * (sent[pull]["time"] - pulled))
        drive.plug_in()
        wait_for(lambda: [e for e in journal() if e["time"] >= pulled and
                          e["message"].startswith(f"Mounted {DASH} {drive.name}")], 10,
                 "the drive to be back")
    latencies.sort()
    print(f"footprint: icon_ms={icon_ms:.0f} rss_kib={rss} threads={threads} "
          f"wakeups={wakeups} seconds={seconds:g} cpu_ms={cpu:.0f} pulls={pulls} "
          f"notify_median_ms={latencies[len(latencies) // 2]:.1f} "
          f"notify_worst_ms={latencies[-1]:.1f}", flush=True)
    end(vornix)


class MachineEvents(threading.Thread):
    """Counts what wakes a volume watcher by right: changes of the mount table and kernel
    uevents. Both come from the whole machine (other programs, other tests), not from vornix."""

    NETLINK_KOBJECT_UEVENT = 15

    def __init__(self):
        super().__init__(daemon=True)
        self.mount_changes = self.uevents = self.block_uevents = 0
        self._done = threading.Event()
        self._mountinfo = open("/proc/self/mountinfo")
        try:
            self._uevents = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM,
                                          self.NETLINK_KOBJECT_UEVENT)
            self._uevents.bind((0, 1))
        except OSError:
            self._uevents = None

    def run(self):
        poller = select.poll()
        poller.register(self._mountinfo, select.POLLPRI | select.POLLERR)
        if self._uevents:
            poller.register(self._uevents, select.POLLIN)
        while not self._done.is_set():
            for fd, _ in poller.poll(100):
                if fd == self._mountinfo.fileno():
                    self.mount_changes += 1
                    self._mountinfo.seek(0)
                    self._mountinfo.read()
                else:
                    message = self._uevents.recv(65536)
                    self.uevents += 1
                    self.block_uevents += b"SUBSYSTEM=block" in message

    def stop(self):
        self._done.set()
        self.join()
        self._mountinfo.close()
        if self._uevents:
            self._uevents.close()

    def describe(self):
        uevents = (f"{self.uevents} kernel uevents ({self.block_uevents} of block devices)"
                   if self._uevents else "kernel uevents not countable here")
        return f"{self.mount_changes} mount-table changes, {uevents}"


def panel_window(session):
    """The panel's window once it is shown: a viewable window of vornix 320 wide."""
    return next((g for g in session.windows("Vornix") if g[2] == 320), None)


def describe(kib):
    return f"{kib / 1024:.1f} MiB"


def click_to_panel(session, icon):
    """Milliseconds from a click on the icon (sent straight to the X server) to the panel's
    window mapped."""
    from Xlib import X
    from Xlib.ext import xtest
    x, y = icon[0] + icon[2] // 2, icon[1] + icon[3] // 2
    xtest.fake_input(session.x, X.MotionNotify, x=x, y=y)
    session.x.sync()
    started = time.monotonic()
    for kind in (X.ButtonPress, X.ButtonRelease):
        xtest.fake_input(session.x, kind, 1)
    session.x.sync()
    wait_for(lambda: panel_window(session), 10, "the panel to open", interval=0.001)
    return 1000 * (time.monotonic() - started)


def close_panel(session):
    session.xdotool("key", "Escape")
    wait_for(lambda: not panel_window(session), 10, "the panel to close")


def median_memory(samples):
    return {k: statistics.median(s[k] for s in samples) for k in samples[0]}


def measure(session, program, minimal, runs, idle_seconds):
    times, opening, memory = [], {"first": [], "again": []}, {}
    for run in range(runs):
        started = time.monotonic()
        process = session.start_vornix(program, accessible=False)
        icon = session.wait_for_icon(process, 10, interval=0.002)
        times.append(1000 * (time.monotonic() - started))
        session.xdotool("mousemove", 2, SCREEN[1] - 2)  # the pointer off the icon
        memory.setdefault("panel never shown", []).append(settled_memory(process.pid, 15))
        if run == runs - 1:
            idle(process, idle_seconds)
        opening["first"].append(click_to_panel(session, icon))  # the panel is built
        memory.setdefault("panel open", []).append(settled_memory(process.pid, 15))
        close_panel(session)
        memory.setdefault("panel shown once and closed", []).append(
            settled_memory(process.pid, 15))
        opening["again"].append(click_to_panel(session, icon))
        close_panel(session)
        end(process, grace=10)
    print(f"Start to tray icon ({runs} starts):")
    print(f"  median {statistics.median(times):.0f} ms, min {min(times):.0f} ms, "
          f"max {max(times):.0f} ms (each: {', '.join(f'{t:.0f}' for t in times)})")
    print("Click on the icon to the panel's window (medians): "
          f"first {statistics.median(opening['first']):.0f} ms (built then), "
          f"again {statistics.median(opening['again']):.0f} ms")
    least = None
    if minimal:
        samples = []
        for _ in range(runs):
            tray = session.start_program("minimal-tray", [minimal], accessible=False)
            wait_for(lambda: session.tray_icon("MinimalTray"), 10, "the minimal tray's icon")
            session.xdotool("mousemove", 2, SCREEN[1] - 2)
            samples.append(settled_memory(tray.pid, 15))
            end(tray, grace=10)
        least = median_memory(samples)["VmRSS"]
        print(f"Resident memory beside a minimal Qt tray program ({describe(least)}), "
              f"medians of {runs}:")
    else:
        print(f"Resident memory, medians of {runs}:")
    print("  (VmRSS; anonymous / file-backed / shared)")
    for label, samples in memory.items():
        m = median_memory(samples)
        ratio = f": ratio {m['VmRSS'] / least:.2f}" if least else ""
        print(f"  {label}: {describe(m['VmRSS'])} ({describe(m['RssAnon'])} / "
              f"{describe(m['RssFile'])} / {describe(m['RssShmem'])}){ratio}")


def idle(process, idle_seconds):
    print(f"Idle, panel closed, {idle_seconds:g} s:")
    machine = MachineEvents()
    machine.start()
    before, cpu_before = context_switches(process.pid), cpu_ms(process.pid)
    time.sleep(idle_seconds)  # the measuring window itself
    after, cpu_after = context_switches(process.pid), cpu_ms(process.pid)
    machine.stop()
    total = 0
    for tid, (name, count) in sorted(after.items()):
        delta = count - before.get(tid, (name, 0))[1]
        total += delta
        mark = "" if tid in before else " (new)"
        print(f"  thread {tid} {name!r}: {delta} context switches{mark}")
    gone = set(before) - set(after)
    if gone:
        print(f"  threads ended meanwhile: {sorted(gone)}")
    print(f"  total {total} wake-ups ({total / idle_seconds:.2f}/s), "
          f"CPU time {cpu_after - cpu_before:.0f} ms")
    print(f"  meanwhile on the machine: {machine.describe()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vornix", required=True)
    parser.add_argument("--minimal", help="the minimal tray program (default: beside vornix)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--artifacts", default=None,
                        help="where the logs of the session go (default: a temporary folder)")
    args = parser.parse_args()
    if not os.access(args.vornix, os.X_OK):
        print(f"no vornix program at {args.vornix}", file=sys.stderr)
        return 1
    artifacts = args.artifacts or tempfile.mkdtemp(prefix="vornix-footprint-")
    session = Desktop(tempfile.mkdtemp(prefix="vornix-desktop-"), artifacts, Processes(artifacts))
    minimal = args.minimal or os.path.join(os.path.dirname(args.vornix), "vornix-minimal-tray")
    try:
        session.start(system=False)
        measure(session, os.path.abspath(args.vornix),
                minimal if os.access(minimal, os.X_OK) else None, args.runs, args.idle_seconds)
    except Skip as reason:
        print(f"cannot measure here: {reason}", file=sys.stderr)
        return SKIP
    except Failure as failure:
        print(f"measurement failed: {failure} (logs in {artifacts})", file=sys.stderr)
        return 1
    finally:
        session.close()
        session.processes.end_all()
        shutil.rmtree(session.scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
