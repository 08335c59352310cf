# External drives in a private mount namespace: images on loop devices (auto-clear) that libudev
# reads as USB disks with serials of their own, or as device-mapper devices on those, through device
# trees fabricated on tmpfs mounts inside /sys (read with tests/platform/linux/sysfs_shim.cpp).

import contextlib, fcntl, os, struct, subprocess, sys, tempfile  # noqa: E401
from desktop_session import Failure, mount_points, wait_for

FABRICATED_ROOT = "/sys/devices/software"
FABRICATED_VIRTUAL = "/sys/devices/virtual/workqueue"  # where sysfs keeps virtual devices


def run(argv):
    out = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    if out.returncode:
        raise Failure(f"{argv} failed: {(out.stderr or out.stdout).strip()}")
    return out.stdout


def mount(source, target, fs_type, data=None):
    run(["mount", "-t", fs_type, *["-o", data] * bool(data), source, target])


def unmount(target, lazy=False):
    return not subprocess.run(["umount", *["-l"] * lazy, target], capture_output=True).returncode


def again_in_namespaces(build, log, variable):
    """Installs `build` as a person does, then runs this script again in mount and PID
    namespaces of its own, told the prefix in `variable` (scratch space is "ns" beside it); the
    loop devices go with the mounts as the namespaces end."""
    with tempfile.TemporaryDirectory(prefix="vornix-") as scratch:
        with open(log, "w") as f:
            subprocess.run(["cmake", "--install", build, "--prefix", f"{scratch}/prefix"],
                           stdout=f, stderr=f)
        os.makedirs(f"{scratch}/ns")
        os.chmod(scratch, 0o755)  # for a desktop that runs as another user
        return subprocess.run(["unshare", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", sys.executable, *sys.argv], stdin=subprocess.DEVNULL,
                              env={**os.environ, variable: f"{scratch}/prefix"}).returncode


def _write(path, text):
    with open(path, "w") as f:
        f.write(text + "\n")


class LoopDevice:
    def __init__(self, image):
        self.node = run(["losetup", "--find", "--show", image]).strip()
        self.fd = os.open(self.node, os.O_RDWR | os.O_CLOEXEC)
        info = bytearray(232)  # struct loop_info64, lo_flags at offset 52
        fcntl.ioctl(self.fd, 0x4C05, info)  # LOOP_GET_STATUS64
        struct.pack_into("I", info, 52, struct.unpack_from("I", info, 52)[0] | 4)  # AUTOCLEAR
        fcntl.ioctl(self.fd, 0x4C04, bytes(info))  # LOOP_SET_STATUS64
        rdev = os.fstat(self.fd).st_rdev
        self.major, self.minor, self.name = os.major(rdev), os.minor(rdev), self.node[5:]

    def uevent(self, action):
        _write(f"/sys/devices/virtual/block/{self.name}/uevent", action)

    def close(self):
        os.close(self.fd)  # auto-clear detaches it once the mount is gone too


def _show_as_usb(loop, size_bytes, on=None):  # on: a USB disk's folder; the loop is dm-N on it
    n, path = loop.minor, FABRICATED_VIRTUAL if on else FABRICATED_ROOT
    for name, subsystem, uevent in [*([] if on else [
            ("pci0000:00", "", ""), ("0000:00:14.0", "pci", "PCI_CLASS=C0330"),
            ("usb9", "usb", "DEVTYPE=usb_device"), (f"9-{n}", "usb", "DEVTYPE=usb_device"),
            (f"9-{n}:1.0", "usb", "DEVTYPE=usb_interface\nDRIVER=usb-storage"),
            (f"host{100 + n}", "scsi", "DEVTYPE=scsi_host"),
            (f"target{n}:0:0", "scsi", "DEVTYPE=scsi_target"),
            (f"{n}:0:0:0", "scsi", "DEVTYPE=scsi_device")]), ("block", "", ""),
            (f"dm-{n}" if on else loop.name, "block",
             f"MAJOR={loop.major}\nMINOR={n}\nDEVNAME={loop.name}\nDEVTYPE=disk")]:
        os.makedirs(path := os.path.join(path, name), exist_ok=True)
        if subsystem and not os.path.lexists(f"{path}/subsystem"):
            os.symlink("/sys/class/block" if subsystem == "block" else f"/sys/bus/{subsystem}",
                       f"{path}/subsystem")
        uevent and _write(f"{path}/uevent", uevent)
        name == f"9-{n}" and _write(f"{path}/serial", f"VX{n:06d}")
    if on:
        os.makedirs(f"{path}/slaves", exist_ok=True)
        os.symlink(on, f"{path}/slaves/{os.path.basename(on)}")
    for file, text in (("dev", f"{loop.major}:{n}"), ("removable", "0"),
                       ("size", str(size_bytes // 512))):
        _write(os.path.join(path, file), text)
    os.symlink(f"/sys/devices/virtual/block/{loop.name}/stat", f"{path}/stat")  # its real counters
    entry = f"/sys/dev/block/{loop.major}:{n}"
    if os.path.lexists(entry):
        os.remove(entry)
    os.symlink("../.." + path[len("/sys"):], entry)
    return path


class Drive:
    def __init__(self, media, name, kind, size_mib, uuid=None, usb=True, on=None):
        self.media, self.name, self.kind, self.size_mib = media, name, kind, size_mib
        self.uuid, self.usb, self.loop, self.daemon, self.on = uuid, usb, None, None, on
        self.path = os.path.join(media.user_root, name)

    ping_file = property(lambda self: os.path.join(self.path, ".vornix_ping"))

    def create(self):
        image = os.path.join(self.media.images, f"{self.name}.img")
        with open(image, "wb") as f:
            f.truncate(self.size_mib << 20)
        if self.kind in ("ext4", "fusefs"):  # -m 0: "free" is what a user could write
            run(["mkfs.ext4", "-q", "-F", "-m", "0", "-L", self.name, "-U", self.uuid, image])
        elif self.kind == "xfs":
            run(["mkfs.xfs", "-q", "-f", "-L", self.name, "-m", f"uuid={self.uuid}", image])
        else:
            run(["mkfs.exfat", "-L", self.name, image])
        self.loop = LoopDevice(image)
        if self.usb:  # `on` another drive: the device-mapper device (LUKS, LVM) on its disk
            self.sysfs = _show_as_usb(self.loop, self.size_mib << 20, self.on and self.on.sysfs)
        if self.kind == "exfat":
            self.uuid = run(["blkid", "-o", "value", "-s", "UUID", self.loop.node]).strip()
        return self

    def mount(self):
        os.makedirs(self.path, exist_ok=True)
        if self.kind == "fusefs":
            with open(os.path.join(self.media.logs, f"fusefs-{self.name}.log"), "ab") as log:
                self.daemon = subprocess.Popen(
                    [self.media.fusefs, "--block-device", self.loop.node, self.path],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        else:
            run(["mount.exfat-fuse", self.loop.node, self.path] if self.kind == "exfat" else
                ["mount", "-t", self.kind, self.loop.node, self.path])
        wait_for(lambda: os.path.ismount(self.path), 10, f"{self.path} to be mounted")

    def umount(self):
        run(["umount", self.path])
        self._reap()

    def pull(self):
        # The kernel reports the disk removed; udisks detaches the dead mount right after.
        (self.on or self).loop.uevent("remove")
        unmount(self.path, lazy=True)
        self._reap()

    def plug_in(self):
        self.loop.uevent("add")
        self.mount()

    def control(self, command):
        _write(os.path.join(self.path, ".fusefs-control"), command)

    def _reap(self):
        with contextlib.suppress(subprocess.TimeoutExpired, AttributeError):
            self.daemon.wait(timeout=5)
        self.daemon = self.daemon and self.daemon.kill()

    def close(self):
        unmount(self.path, lazy=True)
        self.daemon and self.daemon.terminate()
        self._reap()
        self.loop and self.loop.close()


class MediaRoot:
    # The machine's own drives under /run/media go out of sight: nothing here writes to them.

    def __init__(self, scratch, logs, fusefs, user):
        self.images, self.logs, self.fusefs = os.path.join(scratch, "images"), logs, fusefs
        self.user_root, self.drives = os.path.join("/media", user), []
        os.makedirs(self.images, exist_ok=True)
        for point in reversed(mount_points("/run/media/")):
            unmount(point, lazy=True)
        mount("vornix-e2e-media", "/media", "tmpfs", "mode=0755")
        os.makedirs(self.user_root)
        entries = {name: os.readlink(f"/sys/dev/block/{name}")
                   for name in os.listdir("/sys/dev/block")}
        mount("vornix-fake-sysfs", FABRICATED_ROOT, "tmpfs")
        mount("vornix-fake-virtual", FABRICATED_VIRTUAL, "tmpfs")
        mount("vornix-fake-dev-block", "/sys/dev/block", "tmpfs")
        for name, target in entries.items():
            os.symlink(target, f"/sys/dev/block/{name}")

    def add(self, name, kind, size_mib, uuid=None, usb=True, on=None):
        self.drives.append(Drive(self, name, kind, size_mib, uuid, usb, on).create())
        return self.drives[-1]

    def close(self):
        for drive in reversed(self.drives):
            drive.close()
        for point in ("/media", "/sys/dev/block", FABRICATED_ROOT, FABRICATED_VIRTUAL):
            unmount(point, lazy=True)
