#!/usr/bin/env python3
# The real `vornix --headless` with no display, on a private session bus and no system bus, with a
# loop ext4 drive shown as USB and mounted under /mnt: the drive is pinged, and the command line
# reads and switches the running instance (--status, --status --json, --off, --on), fails with one
# line when none runs, and answers --help, --version and an unknown option without a display.
# Needs root: exits 77 (skipped) without.
# Usage: headless_check.py <vornix> <sysfs shim>

import json
import os
import shutil
import signal
import subprocess
import sys
import uuid

from volume_system_check import sandboxed  # which puts the e2e sandbox on the path
from e2e_sandbox import Failure, wait_for


def expect(condition, what):
    if not condition:
        raise Failure(what)


def check(media, scratch, mnt, program, shim):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY",
                                                            "QT_QPA_PLATFORM")}
    env.update(XDG_CONFIG_HOME=f"{scratch}/config", XDG_RUNTIME_DIR=scratch,
               DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")

    def vornix(*args):
        return subprocess.run([program, *args], env=env, capture_output=True, text=True,
                              timeout=30)

    for args, status, out, err in [(["--help"], 0, "Usage: vornix", ""),
                                   (["--version"], 0, "vornix 1.", ""),
                                   (["--bogus"], 2, "", "Usage: vornix"),
                                   (["--json"], 2, "", "Usage: vornix")]:
        got = vornix(*args)
        expect(got.returncode == status and got.stdout.startswith(out) and err in got.stderr and
               (err or not got.stderr), f"vornix {' '.join(args)}: {got}")

    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True)
    try:
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        got = vornix("--status")
        expect(got.returncode == 1 and got.stderr.count("\n") == 1 and not got.stdout,
               f"--status with none running: {got}")

        service = None
        try:
            drive = media.add("Keep", "ext4", 96, str(uuid.uuid4()))
            drive.path = os.path.join(mnt, "keep")
            drive.mount()
            asan = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"  # the shim is first
            service = subprocess.Popen([program, "--headless"],
                                       env=dict(env, LD_PRELOAD=shim, ASAN_OPTIONS=asan),
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            wait_for(lambda: os.path.exists(drive.ping_file) and
                     os.path.getsize(drive.ping_file) == 20, 20, "the drive under /mnt pinged")

            def status():
                got = vornix("--status", "--json")
                expect(got.returncode == 0, f"--status --json: {got}")
                return json.loads(got.stdout)

            s = wait_for(lambda: (s := status())["volumes"] and
                         s["volumes"][0]["status"] == "active" and s, 10, "an active row")
            volume = s["volumes"][0]
            expect(s["keepingAwake"] and (volume["id"], volume["mountPath"], volume["watched"]) ==
                   (drive.uuid, drive.path, True) and volume["lastPing"] > 0, f"the JSON: {s}")
            table = vornix("--status").stdout.splitlines()
            expect(table[0].startswith("Keeping drives awake: on") and table[1].split()[0] ==
                   "NAME" and table[2].split()[1:4] == ["active", "yes", drive.path],
                   f"the table: {table}")
            events = subprocess.Popen([program, "--events"], env=env, stdout=subprocess.PIPE,
                                      text=True)

            def follow(kind):  # the kinds of the next events up to one of this kind, pings left out
                kinds = []
                while kind not in kinds and (line := events.stdout.readline()):
                    kinds += [line.split("\t")[1]] if "ping" not in line else []
                return kinds

            expect(follow("Sleep prevention started"), "vornix --events: no log so far")
            for switch, on in (("--off", False), ("--on", True)):
                expect(vornix(switch).returncode == 0 and status()["keepingAwake"] == on, switch)
            kinds = follow("Sleep prevention started")
            expect(kinds == ["Sleep prevention stopped", "Sleep prevention started"],
                   f"vornix --events: {kinds}")
            events.terminate()
            again = vornix("--headless")
            expect(again.returncode == 1 and again.stderr.count("\n") == 1,
                   f"a second headless start: {again}")
        finally:
            if service:
                service.send_signal(signal.SIGTERM)
                output = service.communicate(timeout=20)[0]
                print(f"vornix --headless said:\n{output}", file=sys.stderr)
        expect(service.returncode == 0, f"exit status {service.returncode} after SIGTERM")
    finally:
        bus.terminate()
        bus.wait()


if __name__ == "__main__":
    if not shutil.which("dbus-daemon"):
        print("skipped: no dbus-daemon")
        sys.exit(77)
    sys.exit(sandboxed(check))
