#!/usr/bin/env python3
"""The volume system and monitor on the real kernel, on the end-to-end run's sandbox: ext4, xfs and
exFAT (FUSE) loop drives shown as USB disks, ejected, relabelled, pulled (with udisks' lazy
unmount right behind the removal) and plugged in again; two clones with one UUID; a loop device
shown as itself; awkward mount points; a thousand unrelated mounts. Observed through
vornix-volume-watch. Needs root; exits 77 (skipped) where it cannot run.

Usage: volume_system_check.py <vornix-volume-watch> <sysfs shim>
"""

import json
import os
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "desktop")]
from desktop_session import Failure, wait_for  # noqa: E402
from e2e_sandbox import MediaRoot, mount, run, unmount  # noqa: E402

MOUNTED, EJECTED, PULLED = 0, 1, 2


class Watch:
    def __init__(self, program, shim, root, fstab):
        env = dict(os.environ, LD_PRELOAD=shim,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        self.process = subprocess.Popen([program, root, fstab], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def state(self, command="s"):
        self.process.stdin.write(command)
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise Failure(f"vornix-volume-watch ended with {self.process.wait()}")
        return json.loads(line)

    def until(self, what, condition, timeout=10):
        return wait_for(lambda: (lambda s: condition(s) and s)(self.state()), timeout, what)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def row(state, id):
    return next((v for v in state["volumes"] if v["id"] == id), None)


def mounted(id, yes=True):
    return lambda s: row(s, id) is not None and row(s, id)["mounted"] == yes


def expect(condition, what, state):
    if not condition:
        raise Failure(f"{what}; state: {json.dumps(state, ensure_ascii=False)}")


def check(media, scratch, program, shim):
    root = media.user_root
    awkward = [f"{root}/a b", f"{root}/tab\there", f"{root}/new\nline", f"{root}/back\\slash",
               f"{root}/\u00dcn\u00ef \U0001f600"]
    for path in awkward + [f"{root}/hidden"]:
        os.makedirs(path)
        mount("tmpfs", path, "tmpfs")
    fstab = os.path.join(scratch, "fstab")
    with open(fstab, "w") as f:
        f.write(f"/dev/nothing {root}/hidden ext4 noauto,x-gvfs-hide 0 0\n")
    unrelated = [os.path.join(scratch, "unrelated", str(i)) for i in range(1000)]
    for path in unrelated:
        os.makedirs(path)
        mount("tmpfs", path, "tmpfs")
    archive = media.add("Archive", "xfs", 300, str(uuid.uuid4()))
    archive.mount()

    watch = Watch(program, shim, "/media/", fstab)
    s = watch.state()
    expect(s["scan"] == awkward + [archive.path], "the scan lists what is mounted, unhidden", s)
    expect(row(s, archive.uuid) == {"id": archive.uuid, "name": "Archive", "mounted": True,
                                    "bsd": archive.loop.name, "protocol": "USB",
                                    "path": archive.path}, "the drive present at start", s)
    for path in unrelated[:10]:
        unmount(path)
    watch.until("a mount-table wake-up", lambda t: t["wakeups"] > s["wakeups"])
    expect(watch.state("p")["events"] == [[MOUNTED, "Archive"]], "unrelated mounts are quiet", s)

    backup = media.add("Backup", "ext4", 32, str(uuid.uuid4()))
    backup.mount()
    watch.until("Backup to join", mounted(backup.uuid))
    backup.umount()
    s = watch.until("Backup to be ejected", mounted(backup.uuid, False))
    expect(s["events"][-1] == [EJECTED, "Backup"], "an unmount with the device present", s)
    label = "Q\"uo'te \\"
    run(["e2label", backup.loop.node, label])
    backup.path = f"{root}/quote \"it's\"\n"
    backup.mount()
    s = watch.until("Backup under its new label", mounted(backup.uuid))
    expect(row(s, backup.uuid)["name"] == label and row(s, backup.uuid)["path"] == backup.path
           and len(s["volumes"]) == 2, "the same record, relabelled and moved", s)
    backup.pull()  # the removal and the lazy unmount before the watcher wakes
    s = watch.until("Backup to be pulled", mounted(backup.uuid, False))
    expect(s["events"][-1] == [PULLED, label] and s["notified"] == 1, "a pull, once", s)
    backup.plug_in()
    s = watch.until("Backup back", mounted(backup.uuid))
    expect(len(s["volumes"]) == 2 and s["events"][-1][0] == MOUNTED, "its record reused", s)

    card = media.add("\u00dcn\u00ef \"q\"", "exfat", 16)
    card.mount()
    s = watch.until("the exFAT card", mounted(card.uuid))
    expect(row(s, card.uuid)["name"] == card.name and row(s, card.uuid)["protocol"] == "USB",
           "the card under its label", s)
    card.pull()
    s = watch.until("the card to be pulled", mounted(card.uuid, False))
    expect(s["events"][-1] == [PULLED, card.name] and s["notified"] == 2, "the card's pull", s)

    image = media.add("Image", "ext4", 16, str(uuid.uuid4()), usb=False)
    image.mount()
    s = watch.state("p")
    expect(row(s, image.uuid) is None and image.path in s["scan"], "a disk image is refused", s)

    twin = str(uuid.uuid4())
    first, second = media.add("Twin1", "ext4", 32, twin), media.add("Twin2", "ext4", 32, twin)
    first.mount()
    second.mount()
    clone_id = f"{twin}:VX{second.loop.minor:06d}"
    s = watch.until("both clones", lambda t: mounted(twin)(t) and mounted(clone_id)(t))
    second.pull()
    s = watch.until("the clone's pull", mounted(clone_id, False))
    expect(mounted(twin)(s) and s["events"][-1] == [PULLED, "Twin2"], "only that clone left", s)
    first.umount()
    s = watch.until("the first clone's eject", mounted(twin, False))
    expect(s["events"][-1] == [EJECTED, "Twin1"], "its eject", s)
    watch.close()


def main():
    if os.geteuid() != 0 or not os.path.exists("/dev/loop-control"):
        print("skipped: needs root and loop devices")
        return 77
    if not os.environ.get("VORNIX_VOLUME_NAMESPACE"):
        os.environ["VORNIX_VOLUME_NAMESPACE"] = "1"
        return subprocess.call(["unshare", "--mount", "--propagation", "private", sys.executable,
                                *sys.argv])
    with tempfile.TemporaryDirectory(prefix="vornix-volumes-") as scratch:
        mount("vornix-volumes", scratch, "tmpfs")
        media = MediaRoot(scratch, scratch, None, "u")
        try:
            check(media, scratch, *sys.argv[1:3])
        finally:
            media.close()
            unmount(scratch, lazy=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
