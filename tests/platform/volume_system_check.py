#!/usr/bin/env python3
# The volume system and monitor on the real kernel and the end-to-end run's sandbox, seen through
# vornix-volume-watch: ext4, xfs and exFAT (FUSE) loop drives shown as USB disks are ejected,
# relabelled, pulled (udisks' lazy unmount right behind the removal), emptied and plugged in
# again; one is mounted under /mnt, one hidden; two clones share a UUID; a loop device shows as
# itself; mount points are awkward; a thousand mounts are unrelated. Needs root: exits 77
# (skipped) without.
# Usage: volume_system_check.py <vornix-volume-watch> <sysfs shim>

import json
import os
import shutil
import subprocess
import sys
import tempfile
import uuid

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", d)
                for d in ("e2e", "desktop")]
from desktop_session import Failure, wait_for  # noqa: E402
from e2e_sandbox import FABRICATED_ROOT, MediaRoot, mount, mount_points, run, unmount  # noqa: E402

MOUNTED, EJECTED, PULLED = 0, 1, 2


def check(media, scratch, mnt, program, shim):
    root = media.user_root
    unrelated = [os.path.join(scratch, "unrelated", str(i)) for i in range(1000)]
    for path in unrelated:
        os.makedirs(path)
        mount("tmpfs", path, "tmpfs")
    with open(os.path.join(scratch, "fstab"), "w") as f:
        f.write(f"/dev/nothing {root}/hidden ext4 noauto,x-gvfs-hide 0 0\n")
    hidden = media.add("hidden", "ext4", 16, str(uuid.uuid4()))
    hidden.mount()
    archive = media.add("Archive", "xfs", 300, str(uuid.uuid4()))
    archive.mount()
    watch = subprocess.Popen([program, os.path.join(scratch, "fstab")], text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             env=dict(os.environ, LD_PRELOAD=shim, ASAN_OPTIONS=os.environ.get(
                                 "ASAN_OPTIONS", "") + ":verify_asan_link_order=0"))

    def state(command="s"):
        watch.stdin.write(command)
        watch.stdin.flush()
        return json.loads(watch.stdout.readline() or "null") or Failure("the watcher ended")

    def row(s, id):
        return next((v for v in s["volumes"] if v["id"] == id), None)

    def until(what, id, mounted=True, last=None, **fields):
        def reached():
            s = state()
            v = row(s, id)
            done = v and v["mounted"] == mounted and all(v[k] == fields[k] for k in fields)
            return done and (last is None or s["events"][-1] == last) and s
        return wait_for(reached, 10, f"{what}: {json.dumps(state(), ensure_ascii=False)}")

    def expect(condition, what, s):
        if not condition:
            raise Failure(f"{what}: {json.dumps(s, ensure_ascii=False)}")

    s = state()
    expect([p for p in s["scan"] if p.startswith((root, mnt))] == [archive.path],
           "the scan lists the drives mounted, unhidden", s)
    until("the drive present at start", archive.uuid, name="Archive", bsd=archive.loop.name,
          protocol="USB", path=archive.path)
    for path in unrelated[:10]:
        unmount(path)
    expect(state("p")["events"] == [[MOUNTED, "Archive"]], "unrelated mounts are quiet", s)

    backup = media.add("Backup", "ext4", 32, str(uuid.uuid4()))
    backup.mount()
    until("Backup joins", backup.uuid, path=backup.path)
    backup.umount()
    until("Backup ejected", backup.uuid, False, [EJECTED, "Backup"])
    backup.loop.uevent("remove")  # unplugged after the eject: nothing more to say
    backup.loop.uevent("add")
    label = "Q\"uo'te \\"
    backup.path = f"{root}/quote \"it's\"\t\\\u00dc\U0001f600\n"
    backup.mount()
    until("Backup remounted elsewhere", backup.uuid, name="Backup", path=backup.path)
    run(["e2label", backup.loop.node, label])
    backup.loop.uevent("change")  # relabelled while mounted
    s = until("Backup relabelled", backup.uuid, name=label, path=backup.path)
    expect(len(s["volumes"]) == 2, "the same record, moved and relabelled", s)
    backup.pull()
    s = until("Backup pulled", backup.uuid, False, [PULLED, label])
    expect(s["notified"] == 1 and len(s["events"]) == 6, "one pull, never an eject", s)
    backup.plug_in()
    expect(len(until("Backup back", backup.uuid)["volumes"]) == 2, "its record reused", s)

    card = media.add("\u00dcn\u00ef \"q\"", "exfat", 16)
    card.mount()
    until("the exFAT card", card.uuid, name=card.name, protocol="USB")
    with open(f"/sys/dev/block/{card.loop.major}:{card.loop.minor}/size", "w") as f:
        f.write("0\n")  # taken out of its reader
    card.loop.uevent("change")
    s = until("the card emptied", card.uuid, False, [PULLED, card.name])
    expect(s["notified"] == 2, "the card's pull notified", s)

    fixed = media.add("Fixed", "ext4", 32, str(uuid.uuid4()))
    fixed.path = os.path.join(mnt, "backup")  # from fstab, say: not where desktops mount
    fixed.mount()
    until("a USB drive mounted under /mnt", fixed.uuid, path=fixed.path)
    os.makedirs(f"{fixed.path}/share")
    os.makedirs(f"{mnt}/share")
    run(["mount", "--bind", f"{fixed.path}/share", f"{mnt}/share"])
    expect(row(state("p"), fixed.uuid)["path"] == fixed.path, "a folder bound elsewhere", s)
    image = media.add("Image", "ext4", 16, str(uuid.uuid4()), usb=False)
    image.path = os.path.join(mnt, "image")
    image.mount()
    s = state("p")
    expect(row(s, image.uuid) is None and image.path not in s["scan"], "a disk image refused", s)

    twin = str(uuid.uuid4())
    first, second = media.add("Twin1", "ext4", 32, twin), media.add("Twin2", "ext4", 32, twin)
    first.mount()
    second.mount()
    clone = f"{twin}:VX{second.loop.minor:06d}"
    until("the first clone", twin, bsd=first.loop.name)
    until("the second clone", clone, bsd=second.loop.name)
    second.pull()
    until("the second clone pulled", clone, False, [PULLED, "Twin2"])
    until("the first clone still there", twin)
    first.umount()
    until("the first clone ejected", twin, False, [EJECTED, "Twin1"])
    watch.stdin.close()
    watch.wait(timeout=10)


def sandboxed(check):
    """Runs check(media, scratch, mnt, *arguments) as root in a mount namespace of its own, with
    drives added to `media` and a folder `mnt` under /mnt; returns the exit status."""
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
        mnt = tempfile.mkdtemp(prefix="vornix-volumes-", dir="/mnt")
        try:
            check(media, scratch, mnt, *sys.argv[1:])
        finally:
            media.close()
            unmount(scratch, lazy=True)
            for point in reversed(mount_points(mnt + "/")):
                unmount(point, lazy=True)
            shutil.rmtree(mnt, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(sandboxed(check))
