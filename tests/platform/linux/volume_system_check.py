#!/usr/bin/env python3
# On the real kernel, as root (else exits 77): `vornix --headless` with no display pings an
# encrypted USB drive under /mnt, reads its power state and health from udisks2 (python3-dbusmock on
# a private system bus), and its command line reads and switches it; then, through
# vornix-volume-watch, USB loop drives (ext4, xfs, exFAT) are ejected, relabelled, pulled, emptied,
# plugged in again, mounted under /mnt, hidden and cloned, among a thousand unrelated mounts.
# Usage: volume_system_check.py <vornix-volume-watch> <vornix> <sysfs shim>

import dbus, json, os, shutil, signal, subprocess, sys, tempfile, time, uuid  # noqa: E401

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", d)
                for d in ("e2e", "desktop")]
from desktop_session import Failure, wait_for  # noqa: E402
from e2e_sandbox import MediaRoot, mount, mount_points, run, unmount  # noqa: E402

MOUNTED, EJECTED, PULLED = 0, 1, 2


def expect(condition, what, s=None):
    if not condition:
        raise Failure(what if s is None else f"{what}: {json.dumps(s, ensure_ascii=False)}")


def check(media, scratch, mnt, watch_program, program, shim):
    encrypted = headless(media, scratch, mnt, program, shim)
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
    watch = subprocess.Popen([watch_program, os.path.join(scratch, "fstab")], text=True,
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

    s = state()
    expect([p for p in s["scan"] if p.startswith((root, mnt))] == [archive.path],
           "the scan lists the drives mounted, unhidden", s)
    until("the drive present at start", archive.uuid, name="Archive", kernel=archive.loop.name,
          device=f"{archive.loop.major}:{archive.loop.minor}", usb=True, path=archive.path)
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
    until("the exFAT card", card.uuid, name=card.name, usb=True)
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
    until("the first clone", twin, kernel=first.loop.name)
    until("the second clone", clone, kernel=second.loop.name)
    second.pull()
    until("the second clone pulled", clone, False, [PULLED, "Twin2"])
    until("the first clone still there", twin)
    first.umount()
    until("the first clone ejected", twin, False, [EJECTED, "Twin1"])

    encrypted.mount()
    until("the encrypted drive", encrypted.uuid, kernel=f"dm-{encrypted.loop.minor}", usb=True)
    encrypted.pull()  # its device-mapper device stays
    until("the encrypted drive pulled", encrypted.uuid, False, [PULLED, "Keep"])
    watch.stdin.close()
    watch.wait(timeout=10)


def private_bus():
    # No service folders: a notification would otherwise start the machine's own notification
    # daemon, which outlives the check holding ctest's output open.
    config = tempfile.NamedTemporaryFile("w", suffix=".conf")
    config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><policy "
                 "context='default'><allow send_destination='*' eavesdrop='true'/><allow "
                 "eavesdrop='true'/><allow own='*'/></policy></busconfig>")
    config.flush()
    bus = subprocess.Popen(["dbus-daemon", f"--config-file={config.name}", "--nofork",
                            "--print-address=1"], stdout=subprocess.PIPE, text=True)
    address = bus.stdout.readline().strip()
    config.close()
    return bus, address


class UDisks:
    """udisks2 on its own system bus: the template beside this file, driven through its mock."""

    def __init__(self, scratch):
        self.bus, self.address = private_bus()
        self.mock = subprocess.Popen(
            [sys.executable, "-m", "dbusmock", "--system", "-t", os.path.join(os.path.dirname(
                os.path.abspath(__file__)), "udisks2_template.py")], stdout=subprocess.DEVNULL,
            env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address))
        self.client = dbus.bus.BusConnection(self.address)
        wait_for(lambda: self.client.name_has_owner("org.freedesktop.UDisks2"), 10, "udisks2")
        self.manager = self.at("/org/freedesktop/UDisks2")

    def at(self, path):
        return dbus.Interface(self.client.get_object("org.freedesktop.UDisks2", path),
                              "org.freedesktop.DBus.Mock")

    def close(self):
        for process in (self.mock, self.bus):
            process.terminate()
            process.wait()


def headless(media, scratch, mnt, program, shim):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY",
                                                            "QT_QPA_PLATFORM")}
    udisks = UDisks(scratch)
    env.update(XDG_CONFIG_HOME=f"{scratch}/config", XDG_RUNTIME_DIR=scratch,
               DBUS_SYSTEM_BUS_ADDRESS=udisks.address)
    os.makedirs(f"{scratch}/config/vornix")
    with open(f"{scratch}/config/vornix/vornix.conf", "w") as f:
        f.write("[General]\nkeepAliveInterval=10\n")

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

    bus, env["DBUS_SESSION_BUS_ADDRESS"] = private_bus()
    try:
        got = vornix("--status")
        expect(got.returncode == 1 and got.stderr.count("\n") == 1 and not got.stdout,
               f"--status with none running: {got}")

        service = None
        try:
            drive = media.add("Keep", "ext4", 96, str(uuid.uuid4()),  # device-mapper on a USB disk
                              on=media.add("Disk", "exfat", 16))
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
            expect(s["keepingAwake"] and (volume["id"], volume["mountPath"], volume["watched"],
                                          volume["powerState"]) == (drive.uuid, drive.path, True,
                                                                    "unknown") and
                   volume["lastPing"] > 0, f"the JSON: {s}")  # udisks2 knows no block device yet
            table = vornix("--status").stdout.splitlines()
            expect(table[0].startswith("Keeping drives awake: on") and table[1].split()[0] ==
                   "NAME" and table[2].split()[1:5] == ["active", "unknown", "yes", drive.path],
                   f"the table: {table}")
            events = subprocess.Popen([program, "--events"], env=env, stdout=subprocess.PIPE,
                                      text=True)

            def follow(*until):  # the kinds of the next events up to one of `until` (by default
                # what holds sleep off or says it cannot), pings left out
                until, kinds = set(until or ("Sleep prevention started",
                                             "Sleep prevention unavailable")), []
                while not until & set(kinds) and (line := events.stdout.readline()):
                    kinds += [k] if "ping" not in (k := line.split("\t")[1]) else []
                return kinds

            told = follow()
            expect(told, "vornix --events: no log so far")
            for switch, on in (("--off", False), ("--on", True)):
                expect(vornix(switch).returncode == 0 and status()["keepingAwake"] == on, switch)
            kinds = follow()
            expect(kinds == ["Sleep prevention stopped", told[-1]], f"vornix --events: {kinds}")
            drive_health(drive, udisks, vornix, status, follow)
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
        drive.umount()  # out of the volume check's way
        return drive
    finally:
        bus.terminate()
        bus.wait()
        udisks.close()


def drive_health(drive, udisks, vornix, status, follow):
    """The drive's power state read through udisks2, only while keeping awake and never from a
    suspended disk; asleep after active is told, as is a drive that reports failing."""
    disk = drive.on  # the LUKS volume's cleartext device is on no drive; the disk under it is
    scsi = os.path.dirname(os.path.dirname(disk.sysfs))
    os.symlink("../..", f"{disk.sysfs}/device")
    os.makedirs(f"{scsi}/power")
    runtime_status = f"{scsi}/power/runtime_status"
    with open(runtime_status, "w") as f:
        f.write("active\n")
    path = udisks.manager.AddDrive("Disk", {})
    ata = udisks.at(path)
    under = udisks.manager.AddBlock("sdx", os.makedev(disk.loop.major, disk.loop.minor), path, "/")
    udisks.manager.AddBlock("dm_2d0", os.makedev(drive.loop.major, drive.loop.minor), "/", under)
    for switch in ("--off", "--on"):  # a new stretch of keeping awake, pinged at once
        expect(vornix(switch).returncode == 0, switch)
    wait_for(lambda: status()["volumes"][0]["powerState"] == "active", 15, "read as active")
    udisks.manager.SetPowerState(path, 0x00)
    expect(follow("Drive fell asleep")[-1] == "Drive fell asleep", "no \"Drive fell asleep\"")
    v = status()["volumes"][0]
    calls = ata.GetMethodCalls("PmGetState")
    expect((v["status"], v["powerState"]) == ("fellAsleep", "standby") and len(calls) >= 2 and
           all(c[1][0] == {"auth.no_user_interaction": True} for c in calls), f"{v}, {calls}")
    vornix("--off")
    ata.ClearCalls()
    time.sleep(11)  # one interval and more
    expect(not ata.GetMethodCalls("PmGetState"), "PmGetState while keeping awake is off")
    with open(runtime_status, "w") as f:
        f.write("suspended\n")
    last = status()["volumes"][0]["lastPing"]
    vornix("--on")
    wait_for(lambda: status()["volumes"][0]["lastPing"] > last, 10, "a ping")
    expect(not ata.GetMethodCalls("PmGetState"), "PmGetState on a suspended disk")
    ata.UpdateProperties("org.freedesktop.UDisks2.Drive.Ata", {"SmartFailing": True})
    expect(follow("Drive reports failure")[-1] == "Drive reports failure", "no failure told")
    expect(status()["volumes"][0]["failing"], "not failing in --status")


def sandboxed(check):
    """check(media, scratch, mnt, *argv) as root in a mount namespace of its own; exit status."""
    if os.geteuid() != 0 or not os.path.exists("/dev/loop-control") or not shutil.which(
            "dbus-daemon"):
        print("skipped: needs root, loop devices and dbus-daemon")
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
