#!/usr/bin/env python3
"""Checks what `cmake --install` (`tree`) or the Debian package (`package`) puts on a machine,
the way a desktop reads it: each file in its place and nothing else, the desktop entry and the
AppStream metadata valid and pointing at each other, the icon and the program.

  check_install.py tree|package --build DIR --app-id ID --version V [--program NAME]
Exits 77 (skipped) when a tool the check needs is not installed.
"""

import argparse
import configparser
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)
        print(f"FAIL {what}")
    return ok


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def check_tree(usr, app_id, version, program):
    files = {f"share/applications/{app_id}.desktop": None,
             f"share/metainfo/{app_id}.metainfo.xml": None, "share/doc/vornix/copyright": None,
             f"share/icons/hicolor/scalable/apps/{app_id}.svg": None,
             **{f"share/icons/hicolor/{s}x{s}/apps/{app_id}.png": s for s in SIZES}}
    if program:
        files[f"bin/{program}"] = files["lib/systemd/user/vornix.service"] = None
    found = {os.path.relpath(os.path.join(d, f), usr) for d, _, fs in os.walk(usr) for f in fs}
    expect(found == set(files), f"installed exactly {sorted(files)}; "
           f"missing {sorted(set(files) - found)}, extra {sorted(found - set(files))}")
    for path, size in files.items():
        if size and path in found:
            with open(os.path.join(usr, path), "rb") as f:
                head = f.read(24)
            expect(head[:8] == b"\x89PNG\r\n\x1a\n" and
                   struct.unpack(">II", head[16:24]) == (size, size), f"{path} is {size}x{size}")
    svg = ET.parse(os.path.join(usr, f"share/icons/hicolor/scalable/apps/{app_id}.svg")).getroot()
    box = svg.get("viewBox", "").split()
    expect(len(box) == 4 and box[2] == box[3], "the scalable icon is square")
    if program:
        binary = os.path.join(usr, "bin", program)
        dynamic = run("readelf", "-d", binary).stdout
        expect(os.access(binary, os.X_OK) and "RPATH" not in dynamic and "RUNPATH" not in dynamic,
               "the program is executable and carries no run path into the build tree")
        with open(os.path.join(usr, "lib/systemd/user/vornix.service")) as f:
            expect(f"ExecStart=/usr/bin/{program} --headless\n" in f.read(), "the unit's ExecStart")
    desktop = os.path.join(usr, f"share/applications/{app_id}.desktop")
    result = run("desktop-file-validate", desktop)
    expect(result.returncode == 0 and "error:" not in result.stdout, result.stdout)
    entry = configparser.ConfigParser(interpolation=None)
    entry.optionxform = str
    entry.read(desktop)
    entry = entry["Desktop Entry"]
    got = (entry.get("Type"), entry.get("Exec", "").split(" ")[0], entry.get("Icon"),
           entry.get("NoDisplay", "false"), entry.get("Hidden", "false"))
    expect(got == ("Application", program or "vornix", app_id, "false", "false"),
           f"the desktop entry's Type, Exec, Icon, NoDisplay, Hidden read {got}")
    metainfo = os.path.join(usr, f"share/metainfo/{app_id}.metainfo.xml")
    for argv in (("validate", metainfo), ("validate-tree", os.path.dirname(usr))):
        result = run("appstreamcli", argv[0], "--no-net", argv[1])
        expect(result.returncode == 0, f"appstreamcli {argv[0]}:\n{result.stdout}")
    meta = ET.parse(metainfo).getroot()
    got = [meta.findtext(p) for p in ("id", "launchable", "provides/binary", "metadata_license",
                                      "project_license")] + [meta.find("releases/release").get("version")]
    expect(got == [app_id, f"{app_id}.desktop", program or "vornix", "CC0-1.0", "MIT", version],
           f"the metadata's id, launchable, binary, licences and newest release read {got}")


def package(build, scratch, version, program):
    result = run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", scratch)
    arch = run("dpkg", "--print-architecture").stdout.strip()
    deb = os.path.join(scratch, f"vornix_{version}_{arch}.deb")
    if not expect(os.path.isfile(deb), f"cpack makes {deb}:\n{result.stdout}{result.stderr}"):
        return None
    fields = [run("dpkg-deb", "-f", deb, k).stdout.strip()
              for k in ("Package", "Version", "Architecture", "Section", "Maintainer", "Depends")]
    expect(fields[:4] == ["vornix", version, arch, "utils"] and "<" in fields[4],
           f"package, version, architecture, section, maintainer read {fields[:5]}")
    depends = {d.strip().split(" ")[0] for d in fields[5].split(",")}
    expect(not program or {"libc6", "libstdc++6", "libqt6widgets6"} <= depends, fields[5])
    for line in run("dpkg-deb", "-c", deb).stdout.splitlines():
        mode, owner, *_, path = line.split()
        want = "-rwxr-xr-x" if "/bin/" in path else "-rw-r--r--"
        expect(owner == "root/root" and (mode[0] != "-" or mode == want),
               f"{path} is {mode} {owner}, not {want} root/root")
    root = os.path.join(scratch, "unpacked")
    run("dpkg-deb", "-x", deb, root)
    if program:
        sections = run("readelf", "-S", os.path.join(root, "usr/bin", program)).stdout
        expect(".debug_info" not in sections, "the packaged program is stripped")
    return os.path.join(root, "usr")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("tree", "package"))
    for option in ("--build", "--app-id", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("--program")
    args = parser.parse_args()
    tools = ["desktop-file-validate", "appstreamcli", "readelf"] + (
        ["cpack", "dpkg-deb", "dpkg-shlibdeps", "file"] if args.mode == "package" else [])
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print(f"skipped: {', '.join(missing)} not installed (scripts/install-deps test)")
        return 77
    with tempfile.TemporaryDirectory(prefix=f"vornix-{args.mode}-") as scratch:
        if args.mode == "tree":
            usr = os.path.join(scratch, "root", "usr")
            result = run("cmake", "--install", args.build, "--prefix", "/usr",
                         env=dict(os.environ, DESTDIR=os.path.dirname(usr)))
            expect(result.returncode == 0, result.stdout + result.stderr)
        else:
            usr = package(args.build, scratch, args.version, args.program)
        if usr:
            check_tree(usr, args.app_id, args.version, args.program)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
