"""External drives for the acceptance run, inside the run's own mount namespace.

Each drive is a file-system image on a loop device that libudev, and so vornix, reads as a disk
on a USB bus (with a serial of its own): a device tree is fabricated on a tmpfs inside /sys and
/sys/dev/block repointed at it; the program under test runs with the sysfs shim
(tests/platform/sysfs_shim.cpp) preloaded, which only makes that tmpfs pass for sysfs. A drive
added with usb=False stays what it is, a loop device. Everything here is mounted in the
namespace alone. Loop devices are attached with auto-clear and held open by this process, so
they detach by themselves once it and the mounts are gone, even when it is killed. The same
sandbox serves the acceptance run and tests/platform/volume_system_check.py.
"""

import ctypes
import errno
import fcntl
import os
import struct
import subprocess

from desktop_session import Failure, wait_for

LOOP_SET_FD = 0x4C00
LOOP_CLR_FD = 0x4C01
LOOP_SET_STATUS64 = 0x4C04
LOOP_GET_STATUS64 = 0x4C05
LOOP_CTL_GET_FREE = 0x4C82
LO_FLAGS_AUTOCLEAR = 4
LOOP_INFO64_SIZE = 232
LOOP_INFO64_FLAGS_OFFSET = 52
LOOP_INFO64_NAME_OFFSET = 56

FABRICATED_ROOT = "/sys/devices/software"
MIB = 1 << 20

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
_libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
MNT_DETACH = 2


def run(argv, check=True, **kwargs):
    """Runs a tool; its output is returned (and shown in the failure when it fails)."""
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=kwargs.pop("timeout", 60), **kwargs)
    if check and result.returncode != 0:
        raise Failure(f"{' '.join(argv)} exited with {result.returncode}: "
                      f"{(result.stderr or result.stdout).strip()}")
    return result.stdout


def mount(source, target, fs_type, data=None):
    if _libc.mount(source.encode(), target.encode(), fs_type.encode(), 0,
                   data.encode() if data else None) != 0:
        error = ctypes.get_errno()
        raise Failure(f"mount {source} on {target}: {os.strerror(error)}")


def unmount(target, lazy=False):
    """True when something was unmounted."""
    return _libc.umount2(target.encode(), MNT_DETACH if lazy else 0) == 0


def mount_points():
    """Mount points of this namespace, in mount order (escapes of mountinfo undone)."""
    points = []
    with open("/proc/self/mountinfo") as table:
        for line in table:
            point = line.split()[4]
            points.append(point.encode().decode("unicode_escape").encode("latin-1").decode())
    return points


def is_mount_root(path):
    return os.path.ismount(path)


class LoopDevice:
    """An image attached to a free loop device, with auto-clear; the descriptor kept open here
    holds it until close()."""

    def __init__(self, image):
        self.image = image
        self.fd = -1
        control = os.open("/dev/loop-control", os.O_RDWR | os.O_CLOEXEC)
        backing = os.open(image, os.O_RDWR | os.O_CLOEXEC)
        try:
            # Other developers take loop devices too: a free one may be gone when claimed.
            for _ in range(20):
                index = fcntl.ioctl(control, LOOP_CTL_GET_FREE)
                node = f"/dev/loop{index}"
                try:
                    fd = os.open(node, os.O_RDWR | os.O_CLOEXEC)
                except OSError:
                    continue
                try:
                    fcntl.ioctl(fd, LOOP_SET_FD, backing)
                except OSError as error:
                    os.close(fd)
                    if error.errno == errno.EBUSY:
                        continue
                    raise
                self.fd, self.index, self.node = fd, index, node
                break
        finally:
            os.close(backing)
            os.close(control)
        if self.fd < 0:
            raise Failure(f"no free loop device for {image}")
        info = bytearray(LOOP_INFO64_SIZE)
        fcntl.ioctl(self.fd, LOOP_GET_STATUS64, info)
        flags = struct.unpack_from("I", info, LOOP_INFO64_FLAGS_OFFSET)[0] | LO_FLAGS_AUTOCLEAR
        struct.pack_into("I", info, LOOP_INFO64_FLAGS_OFFSET, flags)
        name = image.encode()[:63]
        info[LOOP_INFO64_NAME_OFFSET:LOOP_INFO64_NAME_OFFSET + len(name)] = name
        fcntl.ioctl(self.fd, LOOP_SET_STATUS64, bytes(info))
        st = os.fstat(self.fd)
        self.major, self.minor = os.major(st.st_rdev), os.minor(st.st_rdev)

    @property
    def name(self):
        return f"loop{self.index}"

    def uevent(self, action):
        """A uevent for the device, as the kernel sends one when a disk comes or goes."""
        with open(f"/sys/devices/virtual/block/{self.name}/uevent", "w") as f:
            f.write(action)

    def close(self):
        if self.fd >= 0:
            try:
                fcntl.ioctl(self.fd, LOOP_CLR_FD)  # now, or (auto-clear) at its last close
            except OSError:
                pass
            os.close(self.fd)
            self.fd = -1


class FakeUsbSysfs:
    """Loop devices shown to libudev as disks on a USB bus (removable=0, as USB hard disks
    report), through a device tree on a tmpfs inside /sys."""

    def __init__(self):
        entries = {name: os.readlink(f"/sys/dev/block/{name}")
                   for name in os.listdir("/sys/dev/block")}
        mount("vornix-fake-sysfs", FABRICATED_ROOT, "tmpfs")
        mount("vornix-fake-dev-block", "/sys/dev/block", "tmpfs")
        for name, target in entries.items():
            os.symlink(target, f"/sys/dev/block/{name}")

    def show_as_usb(self, loop, size_bytes):
        n = str(loop.minor)
        levels = [("pci0000:00", "", ""), ("0000:00:14.0", "pci", "PCI_CLASS=C0330"),
                  ("usb9", "usb", "DEVTYPE=usb_device"), (f"9-{n}", "usb", "DEVTYPE=usb_device"),
                  (f"9-{n}:1.0", "usb", "DEVTYPE=usb_interface\nDRIVER=usb-storage"),
                  (f"host{100 + loop.minor}", "scsi", "DEVTYPE=scsi_host"),
                  (f"target{n}:0:0", "scsi", "DEVTYPE=scsi_target"),
                  (f"{n}:0:0:0", "scsi", "DEVTYPE=scsi_device"), ("block", "", ""),
                  (loop.name, "block", f"MAJOR={loop.major}\nMINOR={n}\nDEVNAME={loop.name}\n"
                                       "DEVTYPE=disk")]
        directory = FABRICATED_ROOT
        for name, subsystem, uevent in levels:
            directory = os.path.join(directory, name)
            os.makedirs(directory, exist_ok=True)
            link = os.path.join(directory, "subsystem")
            if subsystem and not os.path.lexists(link):
                os.symlink("/sys/class/block" if subsystem == "block" else f"/sys/bus/{subsystem}",
                           link)
            if uevent:
                _write(os.path.join(directory, "uevent"), uevent + "\n")
            if name == f"9-{n}":  # the USB device's serial, one per drive as with real sticks
                _write(os.path.join(directory, "serial"), f"VX{loop.minor:06d}\n")
        for name, value in (("dev", f"{loop.major}:{n}"), ("removable", "0"),
                            ("size", str(size_bytes // 512))):
            _write(os.path.join(directory, name), value + "\n")
        entry = f"/sys/dev/block/{loop.major}:{loop.minor}"
        if os.path.lexists(entry):
            os.remove(entry)
        os.symlink("../.." + directory[len("/sys"):], entry)

    def close(self):
        unmount("/sys/dev/block", lazy=True)
        unmount(FABRICATED_ROOT, lazy=True)


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


class Drive:
    """One external drive: an image, its loop device shown as a USB disk, and its mount under
    the media root. `kind` is "ext4", "xfs", "exfat" (exfat-fuse) or "fusefs" (the tests' own
    FUSE file system, mounted as fuseblk on the drive's device)."""

    def __init__(self, media, name, kind, size_mib, uuid=None, usb=True):
        self.media, self.name, self.kind, self.size_mib = media, name, kind, size_mib
        self.uuid, self.usb = uuid, usb
        self.path = os.path.join(media.user_root, name)
        self.loop = None
        self.daemon = None  # the FUSE process of an "fusefs" drive

    @property
    def mount_point(self):
        return self.path

    @property
    def ping_file(self):
        return os.path.join(self.path, ".vornix_ping")

    def create(self):
        image = os.path.join(self.media.images, f"{self.name}.img")
        with open(image, "wb") as f:
            f.truncate(self.size_mib * MIB)
        if self.kind in ("ext4", "fusefs"):
            # No blocks reserved for root, so "free" is what a user could write.
            run(["mkfs.ext4", "-q", "-F", "-m", "0", "-L", self.name, "-U", self.uuid, image])
        elif self.kind == "xfs":
            run(["mkfs.xfs", "-q", "-f", "-L", self.name, "-m", f"uuid={self.uuid}", image])
        elif self.kind == "exfat":
            run(["mkfs.exfat", "-L", self.name, image])
        self.loop = LoopDevice(image)
        if self.usb:
            self.media.sysfs.show_as_usb(self.loop, self.size_mib * MIB)
        if self.kind == "exfat":
            self.uuid = run(["blkid", "-o", "value", "-s", "UUID", self.loop.node]).strip()
        return self

    def mount(self):
        os.makedirs(self.path, exist_ok=True)
        if self.kind in ("ext4", "xfs"):
            run(["mount", "-t", self.kind, self.loop.node, self.path])
        elif self.kind == "exfat":
            run(["mount.exfat-fuse", self.loop.node, self.path])
        else:
            log = open(os.path.join(self.media.logs, f"fusefs-{self.name}.log"), "ab")
            with log:
                self.daemon = subprocess.Popen(
                    [self.media.fusefs, "--block-device", self.loop.node, self.path],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        wait_for(lambda: is_mount_root(self.path), 10, f"{self.path} to be mounted")

    def umount(self):
        run(["umount", self.path])
        self._reap()

    def pull(self):
        """The cable pulled while mounted: the kernel reports the disk removed, and the dead
        mount is detached lazily right after, as udisks does."""
        self.loop.uevent("remove")
        unmount(self.path, lazy=True)
        self._reap()

    def plug_in(self):
        self.loop.uevent("add")
        self.mount()

    def remount_read_only(self):
        run(["mount", "-o", "remount,ro", self.path])

    def free_bytes(self):
        st = os.statvfs(self.path)
        return st.f_bavail * st.f_frsize

    def fill_leaving(self, free):
        """Takes all but `free` bytes with one preallocated file."""
        size = self.free_bytes() - free
        run(["fallocate", "-l", str(size), os.path.join(self.path, "filler")])

    def control(self, command):
        """A command to the fusefs drive (see tests/fusefs/vornix_test_fusefs.cpp)."""
        with open(os.path.join(self.path, ".fusefs-control"), "w") as f:
            f.write(command)

    def fusefs_status(self):
        with open(os.path.join(self.path, ".fusefs-control")) as f:
            return dict(item.split("=") for item in f.read().split())

    def _reap(self):
        if self.daemon is not None:
            try:
                self.daemon.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait()
            self.daemon = None

    def close(self):
        unmount(self.path, lazy=True)
        if self.daemon is not None:
            self.daemon.terminate()
            self._reap()
        if self.loop is not None:
            self.loop.close()


class MediaRoot:
    """/media/<user> on a tmpfs of this namespace, with the drives under it. Mounts under the
    other media root, /run/media, are detached here so that no real drive is touched."""

    def __init__(self, scratch, logs, fusefs, user):
        self.images = os.path.join(scratch, "images")
        self.logs = logs
        self.fusefs = fusefs
        self.user_root = os.path.join("/media", user)
        self.drives = []
        self.sysfs = None
        os.makedirs(self.images, exist_ok=True)
        for point in reversed(mount_points()):
            if point.startswith("/run/media/"):
                unmount(point, lazy=True)
        mount("vornix-e2e-media", "/media", "tmpfs", "mode=0755")
        os.makedirs(self.user_root)
        self.sysfs = FakeUsbSysfs()

    def add(self, name, kind, size_mib, uuid=None, usb=True):
        drive = Drive(self, name, kind, size_mib, uuid, usb).create()
        self.drives.append(drive)
        return drive

    def release(self):
        """Every write held by a hung drive goes on."""
        for drive in self.drives:
            if drive.kind == "fusefs" and is_mount_root(drive.path):
                try:
                    drive.control("normal")
                except OSError:
                    pass

    def close(self):
        self.release()
        for drive in reversed(self.drives):
            drive.close()
        for point in reversed(mount_points()):
            if point.startswith("/media/"):
                unmount(point, lazy=True)
        unmount("/media", lazy=True)
        if self.sysfs:
            self.sysfs.close()


def attached_loop_devices(prefix):
    """Loop devices whose backing file lies under `prefix` (to check nothing was left)."""
    found = []
    for name in os.listdir("/sys/block"):
        try:
            with open(f"/sys/block/{name}/loop/backing_file") as f:
                if f.read().strip().startswith(prefix):
                    found.append(name)
        except OSError:
            continue
    return found
