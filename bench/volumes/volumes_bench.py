#!/usr/bin/env python3
"""vornix-volumes-bench: how fast a pulled drive is reported, what a mount-table change costs
with many unrelated mounts, and how often the main thread wakes while nothing changes. Runs as
root in a private mount namespace, on the end-to-end run's sandbox (tests/e2e/e2e_sandbox.py),
with the measuring half (vornix-volumes-bench-core) started under the sysfs shim.

Usage: volumes_bench.py <core> <sysfs shim> [idle seconds, default 60]
"""

import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tests", "e2e"),
                os.path.join(HERE, "..", "..", "tests", "desktop")]
from e2e_sandbox import MediaRoot, mount, unmount  # noqa: E402


def summarize(what, samples, unit):
    samples = sorted(samples)
    print(f"{what:<58} median {samples[len(samples) // 2]:9.1f} {unit}   worst "
          f"{samples[-1]:9.1f} {unit}   (n={len(samples)})")


def bench(core, shim, idle, scratch):
    media = MediaRoot(scratch, scratch, None, "u")
    unrelated = [os.path.join(scratch, "unrelated", str(i)) for i in range(500)]
    try:
        for path in unrelated:
            os.makedirs(path)
            mount("tmpfs", path, "tmpfs")
        drive = media.add("Bench", "ext4", 16, "0b2a2d4e-0000-4000-8000-0000000000bb")
        process = subprocess.Popen([core], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True,
                                   env=dict(os.environ, LD_PRELOAD=shim))

        def ask(command):
            process.stdin.write(command + "\n")
            process.stdin.flush()
            return process.stdout.readline().strip()

        print(f"block events from the {process.stdout.readline().strip()} source; "
              "500 unrelated mounts present")
        disconnect = []
        for _ in range(100):
            drive.mount()
            if ask("mounted") != "ok":
                raise SystemExit("vornix-volumes-bench: the volume was not accepted")
            sent = time.monotonic_ns()
            drive.pull()
            recorded = int(ask("pulled"))
            if recorded < 0:
                raise SystemExit("vornix-volumes-bench: no disconnect recorded")
            disconnect.append((recorded - sent) / 1000)
            ask("sync")
            drive.loop.uevent("add")
            ask("sync")
        summarize("uevent sent -> unexpectedDisconnect recorded", disconnect, "us")

        unrelated_change, our_change = [], []
        for path in unrelated[:100]:
            unmount(path)
            unrelated_change.append(float(ask("cost")))
            mount("tmpfs", path, "tmpfs")
            ask("sync")
            drive.mount()
            our_change.append(float(ask("cost")))
            drive.umount()
            ask("sync")
        summarize("mount-table change, unrelated mount (read + diff)", unrelated_change, "us")
        summarize("mount-table change, volume mounted (+ facts, acceptance)", our_change, "us")

        wake_ups, own = ask(f"idle {idle}").split()
        print(f"{'main-thread wake-ups while idle':<58} {wake_ups} over {idle} s "
              f"(volume system: {own})")
        process.stdin.close()
        process.wait()
    finally:
        media.close()
        for path in unrelated:
            unmount(path, lazy=True)


def main():
    if os.geteuid() != 0:
        raise SystemExit("vornix-volumes-bench: needs root (loop devices, mounts)")
    if not os.environ.get("VORNIX_VOLUME_NAMESPACE"):
        os.environ["VORNIX_VOLUME_NAMESPACE"] = "1"
        return subprocess.call(["unshare", "--mount", "--propagation", "private", sys.executable,
                                os.path.abspath(__file__), *sys.argv[1:]])
    core, shim = sys.argv[1:3]
    idle = int(sys.argv[3]) if len(sys.argv) > 3 else 60
    with tempfile.TemporaryDirectory(prefix="vornix-volumes-bench-") as scratch:
        mount("vornix-volumes-bench", scratch, "tmpfs")
        try:
            bench(core, shim, idle, scratch)
        finally:
            unmount(scratch, lazy=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
