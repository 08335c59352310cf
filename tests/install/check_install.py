#!/usr/bin/env python3
# What `cmake --install` (tree) or the Debian package puts on a machine, read as a desktop does.

import argparse, configparser, os, re, shutil, struct, subprocess, sys, tempfile  # noqa: E401
import xml.etree.ElementTree as ET

failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)
        print(f"FAIL {what}")
    return ok


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def check_tree(usr, app_id, version, program):
    pngs = {f"share/icons/hicolor/{s}x{s}/apps/{app_id}.png": s for s in (16, 22, 24, 32, 48, 64,
                                                                           128, 256)}
    files = {f"share/applications/{app_id}.desktop", f"share/metainfo/{app_id}.metainfo.xml",
             "share/doc/vornix/copyright", "share/doc/vornix/changelog.gz",
             "share/dbus-1/interfaces/io.vornix.Vornix1.xml",
             f"share/icons/hicolor/scalable/apps/{app_id}.svg", *pngs,
             *[f"bin/{program}", "lib/systemd/user/vornix.service", "share/man/man1/vornix.1.gz",
               "share/bash-completion/completions/vornix"] * bool(program)}
    found = {os.path.relpath(os.path.join(d, f), usr) for d, _, fs in os.walk(usr) for f in fs}
    expect(found == files, f"installed: missing {files - found}, extra {found - files}")
    for path, size in pngs.items():
        with open(os.path.join(usr, path), "rb") as f:
            head = f.read(24)
        expect(head[:8] == b"\x89PNG\r\n\x1a\n" and head[16:24] == struct.pack(">II", size, size),
               f"{path} is a {size}x{size} PNG")
    if program:
        dynamic = run("readelf", "-d", os.path.join(usr, "bin", program)).stdout
        expect(os.access(os.path.join(usr, "bin", program), os.X_OK) and "RPATH" not in dynamic
               and "RUNPATH" not in dynamic, "the program runs and has no run path into the build")
        with open(os.path.join(usr, "lib/systemd/user/vornix.service")) as f:
            expect(f"ExecStart=/usr/bin/{program} --headless\n" in f.read(), "the unit's ExecStart")
        check_options(usr, program)
    desktop = os.path.join(usr, f"share/applications/{app_id}.desktop")
    result = run("desktop-file-validate", desktop)
    expect(result.returncode == 0 and not result.stdout, f"desktop-file-validate:\n{result.stdout}")
    (entry := configparser.ConfigParser(interpolation=None)).read(desktop)
    got = [entry["Desktop Entry"].get(key, "false").split(" ")[0] for key in (
        "type", "exec", "icon", "nodisplay", "hidden")]
    expect(got == ["Application", program or "vornix", app_id, "false", "false"],
           f"the desktop entry's Type, Exec, Icon, NoDisplay, Hidden read {got}")
    metainfo = os.path.join(usr, f"share/metainfo/{app_id}.metainfo.xml")
    for command, path in (("validate", metainfo), ("validate-tree", os.path.dirname(usr))):
        result = run("appstreamcli", command, "--pedantic", "--no-net", path)
        expect(result.returncode == 0, f"appstreamcli {command}:\n{result.stdout}")
    interface = ET.parse(os.path.join(usr, "share/dbus-1/interfaces/io.vornix.Vornix1.xml"))
    expect([i.get("name") for i in interface.iter("interface")] == ["io.vornix.Vornix1"],
           "the bus interface's description names io.vornix.Vornix1 alone")
    meta = ET.parse(metainfo).getroot()
    got = [meta.findtext(p) for p in ("id", "launchable", "provides/binary", "metadata_license",
                                      "project_license")] + [
        meta.find("releases/release").get("version"), [c.text for c in meta.iter("category")]]
    expect(got == [app_id, f"{app_id}.desktop", program or "vornix", "CC0-1.0", "MIT", version,
                   entry["Desktop Entry"]["categories"].rstrip(";").split(";")],
           f"the metadata's id, launchable, binary, licences, newest release and categories (the "
           f"desktop entry's) read {got}")


def check_options(usr, program):
    """Every option --help lists is in the manual page, as typed, and offered by the completion."""
    option = re.compile(r"(?<![\w-])--?[a-z]+")
    helped = run(f"{usr}/bin/{program}", "--help").stdout.partition("Options:")[2]
    helped = set(option.findall(helped))
    man = run("man", "--warnings", "-l", f"{usr}/share/man/man1/vornix.1.gz", env=dict(
        os.environ, LC_ALL="C.UTF-8", MANWIDTH="200", MANROFFOPT="-rHY=0"))
    expect(man.returncode == 0 and not man.stderr, f"man reads the manual page:\n{man.stderr}")
    shown = set(option.findall(man.stdout))
    expect(helped and helped <= shown, f"the manual page lacks {helped - shown} of --help")
    offered = run("bash", "-c", '. "$0"; read -ra c <<<"$(complete -p vornix)"; for w in "" '
                  '--status; do COMP_WORDS=(vornix $w ""); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); '
                  '"${c[2]}"; echo "${COMPREPLY[*]}"; done',
                  f"{usr}/share/bash-completion/completions/vornix").stdout.splitlines()
    expect([set(o.split()) for o in offered] == [helped - {"--json"}, {"--json"}],
           f"the completion offers {offered} first and after --status, --help lists {helped}")


def package(build, scratch, version, program, deb):
    """The package `deb`, or else the one cpack makes from `build`, unpacked in `scratch`."""
    arch = run("dpkg", "--print-architecture").stdout.strip()
    if not deb:
        result = run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", scratch)
        deb = os.path.join(scratch, f"vornix_{version}_{arch}.deb")
        if not expect(os.path.isfile(deb), f"cpack makes {deb}:\n{result.stdout}{result.stderr}"):
            return None
    # Debian's own reading, owners, permissions and stripping included.
    lint = run("lintian", "--fail-on", "error,warning", deb)
    expect(lint.returncode == 0, f"lintian:\n{lint.stdout}{lint.stderr}")
    fields = [run("dpkg-deb", "-f", deb, k).stdout.strip()
              for k in ("Package", "Version", "Architecture", "Section", "Maintainer", "Depends")]
    expect(fields[:4] == ["vornix", version, arch, "utils"] and "<" in fields[4],
           f"package, version, architecture, section, maintainer read {fields[:5]}")
    depends = {d.strip().split(" ")[0] for d in fields[5].split(",")}
    expect(not program or {"libc6", "libstdc++6", "libqt6widgets6"} <= depends, fields[5])
    run("dpkg-deb", "-x", deb, os.path.join(scratch, "root"))
    return os.path.join(scratch, "root/usr")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("tree", "package"))
    for option in ("--build", "--app-id", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("--program")
    parser.add_argument("--deb", help="check this package instead of making one")
    args = parser.parse_args()
    if missing := [t for t in ["desktop-file-validate", "appstreamcli", "readelf", "man"] + [
            "cpack", "dpkg-deb", "dpkg-shlibdeps", "file", "lintian"] * (args.mode == "package")
            if not shutil.which(t)]:
        print(f"skipped: {', '.join(missing)} not installed (scripts/install-deps test)")
        return 77
    with tempfile.TemporaryDirectory(prefix=f"vornix-{args.mode}-") as scratch:
        if args.mode == "tree":
            result = run("cmake", "--install", args.build, "--prefix", "/usr",
                         env=dict(os.environ, DESTDIR=os.path.join(scratch, "root")))
            usr = expect(result.returncode == 0, result.stdout + result.stderr) and \
                os.path.join(scratch, "root/usr")
        else:
            usr = package(args.build, scratch, args.version, args.program, args.deb)
        if usr:
            check_tree(usr, args.app_id, args.version, args.program)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
