"""Measures what the tray program costs while it sits in the tray.

Usage: measure_footprint.py --vornix PATH [--runs N] [--idle-seconds S] [--artifacts DIR]

In a private desktop (see tests/desktop/desktop_session.py), as a person's desktop would run it (an
accessibility bus present, no screen reader), it prints:
  - the time from starting vornix to its icon embedded in the tray, over N starts;
  - resident memory (VmRSS) with the panel never opened, open, and closed again;
  - the wake-ups of every thread over S seconds of idling with the panel closed (voluntary and
    involuntary context switches from /proc/PID/task/*/status) and the CPU time spent, beside
    the mount-table changes and kernel uevents of the machine meanwhile, which vornix is
    right to wake for (it watches both for drives).
This is a measurement, not a test: it judges nothing and exits 0 when it could measure.
"""

import argparse
import os
import select
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/desktop"))
from desktop_session import (SCREEN, SKIP, DesktopSession, Failure, Skip,  # noqa: E402
                             context_switches, cpu_ms, end, settled_memory, wait_for)

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


def measure(session, program, runs, idle_seconds):
    print(f"Start to tray icon ({runs} starts):")
    times = []
    for _ in range(runs):
        started = time.monotonic()
        process = session.start_vornix(program, accessible=False)
        session.wait_for_icon(process, 10, interval=0.002)
        times.append(1000 * (time.monotonic() - started))
        end(process, grace=10)
    print(f"  median {statistics.median(times):.0f} ms, min {min(times):.0f} ms, "
          f"max {max(times):.0f} ms (each: {', '.join(f'{t:.0f}' for t in times)})")

    process = session.start_vornix(program, accessible=False)
    icon = session.wait_for_icon(process, 10)
    session.xdotool("mousemove", 2, SCREEN[1] - 2)  # the pointer off the icon
    closed = settled_memory(process.pid, 15)

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

    session.click(icon[0] + icon[2] // 2, icon[1] + icon[3] // 2)
    wait_for(lambda: panel_window(session), 10, "the panel to open")
    opened = settled_memory(process.pid, 15)
    session.xdotool("key", "Escape")
    wait_for(lambda: not panel_window(session), 10, "the panel to close")
    closed_again = settled_memory(process.pid, 15)
    print("Resident memory (VmRSS; anonymous / file-backed / shared):")
    for label, m in (("panel never opened", closed), ("panel open", opened),
                     ("panel closed again", closed_again)):
        print(f"  {label}: {describe(m['VmRSS'])} ({describe(m['RssAnon'])} / "
              f"{describe(m['RssFile'])} / {describe(m['RssShmem'])})")
    end(process, grace=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vornix", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--artifacts", default=None,
                        help="where the logs of the session go (default: a temporary folder)")
    args = parser.parse_args()
    if not os.access(args.vornix, os.X_OK):
        print(f"no vornix program at {args.vornix}", file=sys.stderr)
        return 1
    artifacts = args.artifacts or tempfile.mkdtemp(prefix="vornix-footprint-")
    session = DesktopSession(artifacts)
    try:
        session.start()
        measure(session, os.path.abspath(args.vornix), args.runs, args.idle_seconds)
    except Skip as reason:
        print(f"cannot measure here: {reason}", file=sys.stderr)
        return SKIP
    except Failure as failure:
        print(f"measurement failed: {failure} (logs in {artifacts})", file=sys.stderr)
        return 1
    finally:
        session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
