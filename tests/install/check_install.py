#!/usr/bin/env python3
"""Checks what `cmake --install` and the Debian package put on a user's machine.

  check_install.py tree    --build DIR --app-id ID --version V [--program NAME]
  check_install.py package --build DIR --app-id ID --version V [--program NAME]

`tree` installs the build into a temporary DESTDIR with prefix /usr; `package` runs CPack into a
temporary folder and unpacks the .deb. Both then check the installed tree the way a desktop
reads it: every file in its standard place, the desktop entry and the AppStream metadata valid
and pointing at each other, at the icon and at the program, and nothing else installed.
Exits 77 (skipped) when a validator the check needs is not installed.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
SKIP = 77


class Checks:
    def __init__(self):
        self.passed, self.failures = 0, []

    def expect(self, ok, what):
        self.passed += bool(ok)
        if not ok:
            self.failures.append(what)
            print(f"FAIL {what}")
        return ok

    def finish(self):
        print(f"{self.passed} passed, {len(self.failures)} failed")
        return 1 if self.failures else 0


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def need_tools(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not installed (scripts/install-deps test)")
        sys.exit(SKIP)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def read_desktop_entry(path):
    entry, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                entry[key.strip()] = value.strip()
    return entry


def check_tree(c, usr, app_id, version, program):
    share = os.path.join(usr, "share")
    desktop = os.path.join(share, "applications", f"{app_id}.desktop")
    metainfo = os.path.join(share, "metainfo", f"{app_id}.metainfo.xml")
    svg = os.path.join(share, "icons/hicolor/scalable/apps", f"{app_id}.svg")
    pngs = {s: os.path.join(share, f"icons/hicolor/{s}x{s}/apps/{app_id}.png") for s in ICON_SIZES}
    licence = os.path.join(share, "doc/vornix/copyright")
    binary = os.path.join(usr, "bin", program) if program else None

    expected = [desktop, metainfo, svg, licence, *pngs.values()] + ([binary] if binary else [])
    for path in expected:
        c.expect(os.path.isfile(path), f"installed: {os.path.relpath(path, usr)}")

    # Nothing beyond these: no headers, static libraries, test or benchmark programs.
    installed = set()
    for root, _, files in os.walk(usr):
        installed.update(os.path.join(root, f) for f in files)
    for stray in sorted(installed - set(expected)):
        c.expect(False, f"nothing else installed, found {os.path.relpath(stray, usr)}")

    if binary and os.path.isfile(binary):
        c.expect(os.access(binary, os.X_OK), "the program is executable")
        dynamic = run(["readelf", "-d", binary]).stdout
        c.expect("RPATH" not in dynamic and "RUNPATH" not in dynamic,
                 "the program carries no run path into the build tree")

    for size, path in pngs.items():
        if os.path.isfile(path):
            c.expect(png_size(path) == (size, size), f"{size}x{size} icon is a {size}x{size} PNG")
    if os.path.isfile(svg):
        try:
            root = ET.parse(svg).getroot()
            box = root.get("viewBox", "").split()
            c.expect(root.tag.endswith("svg") and len(box) == 4 and box[2] == box[3],
                     "scalable icon is a square SVG")
        except ET.ParseError as e:
            c.expect(False, f"scalable icon is well-formed XML: {e}")

    if os.path.isfile(desktop):
        result = run(["desktop-file-validate", desktop])
        c.expect(result.returncode == 0 and "error:" not in result.stdout,
                 f"desktop-file-validate accepts the entry: {result.stdout.strip()}")
        entry = {"NoDisplay": "false", "Hidden": "false", **read_desktop_entry(desktop)}
        entry["Exec"] = entry.get("Exec", "").split(" ")[0]  # the program, without arguments
        for key, want in (("Type", "Application"), ("Exec", program or "vornix"),
                          ("Icon", app_id), ("NoDisplay", "false"), ("Hidden", "false")):
            c.expect(entry.get(key) == want,
                     f"the desktop entry's {key} should be {want!r}, is {entry.get(key)!r}")

    if os.path.isfile(metainfo):
        result = run(["appstreamcli", "validate", "--no-net", metainfo])
        c.expect(result.returncode == 0, f"appstreamcli validates the metadata:\n{result.stdout}")
        # validate-tree also follows the launchable to the desktop entry in the same tree.
        result = run(["appstreamcli", "validate-tree", "--no-net", os.path.dirname(usr)])
        c.expect(result.returncode == 0, f"appstreamcli validates the tree:\n{result.stdout}")
        component = ET.parse(metainfo).getroot()
        newest = component.find("releases/release")
        found = {"newest release": None if newest is None else newest.get("version")}
        for path, want in (("id", app_id), ("launchable", f"{app_id}.desktop"),
                           ("provides/binary", program or "vornix"), ("newest release", version),
                           ("metadata_license", "CC0-1.0"), ("project_license", "MIT")):
            got = found.get(path, component.findtext(path))
            c.expect(got == want, f"the metadata's {path} should be {want!r}, is {got!r}")


def install_tree(build, scratch):
    destdir = os.path.join(scratch, "root")
    env = dict(os.environ, DESTDIR=destdir)
    result = run(["cmake", "--install", build, "--prefix", "/usr"], env=env)
    if result.returncode != 0:
        print(result.stdout, result.stderr)
        sys.exit(1)
    return os.path.join(destdir, "usr")


def build_package(c, build, scratch, version, program):
    result = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", scratch])
    if not c.expect(result.returncode == 0, f"cpack builds the package:\n{result.stdout}{result.stderr}"):
        return None
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    deb = os.path.join(scratch, f"vornix_{version}_{arch}.deb")
    if not c.expect(os.path.isfile(deb), f"package file is {os.path.basename(deb)}"):
        return None

    fields = {k: run(["dpkg-deb", "-f", deb, k]).stdout.strip()
              for k in ("Package", "Version", "Architecture", "Section", "Maintainer", "Depends")}
    for key, want in (("Package", "vornix"), ("Version", version), ("Architecture", arch),
                      ("Section", "utils")):
        c.expect(fields[key] == want, f"package {key} should be {want!r}, is {fields[key]!r}")
    c.expect("<" in fields["Maintainer"], "package maintainer with an address")
    depends = [d.strip().split(" ")[0] for d in fields["Depends"].split(",")]
    if program:
        for dep in ("libc6", "libstdc++6", "libqt6widgets6"):
            c.expect(dep in depends, f"package depends on {dep}: {fields['Depends']}")

    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    for line in listing:
        mode, owner, *_, path = line.split()
        c.expect(owner == "root/root", f"{path} owned by root, not {owner}")
        if mode.startswith("-"):
            want = "-rwxr-xr-x" if "/bin/" in path else "-rw-r--r--"
            c.expect(mode == want, f"{path} has mode {want}, not {mode}")

    root = os.path.join(scratch, "unpacked")
    run(["dpkg-deb", "-x", deb, root])
    if program:
        sections = run(["readelf", "-S", os.path.join(root, "usr/bin", program)]).stdout
        c.expect(".debug_info" not in sections, "the packaged program is stripped")
    return os.path.join(root, "usr")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("tree", "package"))
    parser.add_argument("--build", required=True)
    parser.add_argument("--app-id", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--program", default=None)
    args = parser.parse_args()

    need_tools("desktop-file-validate", "appstreamcli", "readelf")
    if args.mode == "package":
        need_tools("cpack", "dpkg-deb", "dpkg-shlibdeps", "file")

    c = Checks()
    with tempfile.TemporaryDirectory(prefix=f"vornix-{args.mode}-") as scratch:
        if args.mode == "tree":
            usr = install_tree(args.build, scratch)
        else:
            usr = build_package(c, args.build, scratch, args.version, args.program)
        if usr:
            check_tree(c, usr, args.app_id, args.version, args.program)
    return c.finish()


if __name__ == "__main__":
    sys.exit(main())
