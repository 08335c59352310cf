#!/usr/bin/python3
"""The README's pictures: the panel open at its icon on each desktop, three USB drives kept awake.

As root: screenshots.py --build DIR [--dark] [NAME...] (sudo make screenshots) writes
docs/desktop-NAME.png. Like the end-to-end run it installs the build and fakes the drives in
namespaces of its own; each desktop (DESKTOPS) gets a new Xvfb and session bus. The icon is found
by its green tick and clicked; every picture is Xvfb's root window (import), cropped: GNOME's
screenshot call serves only its own tools, and sway, which refuses root, runs as nobody on its
X11 backend inside Xvfb (waybar, its tray, as root for the session bus).
"""

import argparse, contextlib, glob, json, os, pathlib, subprocess, sys, time, uuid  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "ui")]
from desktop_session import SCREEN, Desktop, Failure, Processes, busctl, end, wait_for  # noqa: E402
from e2e_sandbox import MediaRoot, again_in_namespaces, mount  # noqa: E402
from tray_host_check import read_color_scheme  # noqa: E402

ROOT, DRIVES = os.path.dirname(os.path.dirname(HERE)), ("Backup", "Photos", "Music")
GNOME = {"GSETTINGS_BACKEND": "keyfile", "XDG_CURRENT_DESKTOP": "GNOME",
         "XDG_SESSION_TYPE": "x11", "LIBGL_ALWAYS_SOFTWARE": "1"}
KDE = {"XDG_CURRENT_DESKTOP": "KDE", "KDE_FULL_SESSION": "true", "KDE_SESSION_VERSION": "5"}


def config(folder, name, text):
    (path := pathlib.Path(folder, name)).parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return str(path)


def start(*commands, env=None):
    return lambda d: [d.spawn(c[0], c, {**d.environment(), **(env or {})})
                      for c in commands] and env


def lxqt(d):
    config(d.environment()["XDG_CONFIG_HOME"], "lxqt/panel.conf", "panels=panel1\n[panel1]\n"
           "plugins=mainmenu,desktopswitch,quicklaunch,taskbar,statusnotifier,worldclock\n")
    return start(["openbox"], ["lxqt-panel"], env={"XDG_CURRENT_DESKTOP": "LXQt",
                                                   "XDG_CONFIG_DIRS": "/etc/xdg:/usr/share"})(d)


def gnome(d, extensions="'ubuntu-appindicators@ubuntu.com'"):
    config(d.environment()["XDG_CONFIG_HOME"], "glib-2.0/settings/keyfile", "[org/gnome/shell]\n"
           f"enabled-extensions=[{extensions}]\nwelcome-dialog-last-shown-version='99'\n")
    start(["gnome-shell", "--x11"], env=GNOME)(d)
    wait_for(lambda: d.x.screen().root.get_full_property(d.x.intern_atom(
        "_NET_SUPPORTING_WM_CHECK"), 0), 60, "GNOME Shell")
    for i in range(12):  # its notices go once the user has been active for a while
        d.xdotool("mousemove", 40 + i % 2, SCREEN[1] // 2)
        time.sleep(1)
    d.xdotool("key", "Escape")  # it starts in the overview
    return GNOME


def sway(d):
    os.makedirs(run := os.path.join(d.scratch, "nobody"), mode=0o700)
    os.chown(run, 65534, 65534)
    d.spawn("sway", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway", "-c",
                     config(run, "config", "output * resolution 1280x800 bg #5e81ac solid_color")],
            {"PATH": os.environ["PATH"], "HOME": run, "XDG_RUNTIME_DIR": run,
             "DISPLAY": d.display, "WLR_BACKENDS": "x11", "WLR_RENDERER": "pixman"})
    wayland = {"WAYLAND_DISPLAY": f"{run}/wayland-1", "DISPLAY": "", "QT_QPA_PLATFORM": "wayland",
               "SWAYSOCK": wait_for(lambda: glob.glob(f"{run}/sway-ipc*"), 20, "sway")[0]}
    bar = {"height": 28, "modules-left": ["sway/workspaces"], "modules-right": ["tray", "clock"]}
    return start(["waybar", "-c", config(run, "waybar", json.dumps(bar))], env=wayland)(d)


DESKTOPS = {"xembed": start(), "xfce": start(["xfwm4", "--compositor=off"], ["xfce4-panel"]),
            "lxqt": lxqt, "sway": sway, "gnome": gnome, "gnome-window": lambda d: gnome(d, ""),
            "plasma": start(["kwin_x11"], ["kded5"], ["plasmashell", "--no-respawn"], env=KDE)}


def green_tick(d):
    """The centre of the awake icon's green tick on the top or bottom 48 rows of the screen."""
    found = []
    for top in (0, SCREEN[1] - 48):
        data = d.x.screen().root.get_image(0, top, SCREEN[0], 48, 2, 0xffffffff).data
        found += [(i // 4 % SCREEN[0], top + i // 4 // SCREEN[0]) for i in range(0, len(data), 4)
                  if abs(data[i] - 0x4f) + abs(data[i + 1] - 0xa8) + abs(data[i + 2] - 0x2f) < 24]
    return found and tuple(sum(c) // len(found) for c in zip(*found))


def panel_rect(d, env):
    if "SWAYSOCK" not in env:
        return next((w[:4] for w in d.windows("Vornix") if w[2] >= 300), None)
    nodes = [json.loads(subprocess.run(["swaymsg", "-s", env["SWAYSOCK"], "-t", "get_tree"],
                                       capture_output=True, text=True).stdout or "{}")]
    while nodes and (node := nodes.pop()).get("app_id") != "io.vornix.Vornix":
        nodes += node.get("nodes", []) + node.get("floating_nodes", [])
    r, bar = node.get("rect"), node.get("deco_rect", {}).get("height", 0)
    return r and (r["x"], r["y"] - bar, r["width"], r["height"] + bar)


def shoot(name, d, program, shim, dark):
    subprocess.run(["xsetroot", "-solid", "#5e81ac"], env=d.environment(), check=True)
    env = DESKTOPS[name](d) or {}
    name == "xembed" or end(next(p for p in d.processes.started if p.args[0] == "trayer"))
    config(d.environment()["XDG_CONFIG_HOME"], "vornix/vornix.conf", "[General]\n"
           "keepAliveInterval=30\n")
    dark and read_color_scheme(d, 1)
    if name not in ("xembed", "gnome-window"):  # the item's host, there before vornix as at login
        wait_for(lambda: busctl(d.session_bus, "status", "org.kde.StatusNotifierWatcher"), 60,
                 "a StatusNotifierItem watcher")
    d.start_vornix(program, False, **env, LD_PRELOAD=shim,
                   XDG_DATA_DIRS=f"{os.path.dirname(os.path.dirname(program))}/share:/usr/share")
    vornix = lambda *a: subprocess.run([program, *a], env=d.environment(),  # noqa: E731
                                       capture_output=True, text=True).stdout
    wait_for(lambda: DRIVES[0] in vornix("--status"), 30, "vornix on the bus")
    vornix("--on")
    wait_for(lambda: [v["status"] for v in json.loads(vornix("--status", "--json"))["volumes"]]
             == ["active"] * 3, 20, "three drives kept awake")
    icon = None if name == "gnome-window" else wait_for(lambda: green_tick(d), 30, "the icon")
    for attempt in range(3):  # a panel may take a click before it handles them; the
        # AppIndicator extension opens the menu on a click and the panel on a double click
        icon and d.xdotool("mousemove", *icon, "click", "--repeat", 1 + (name == "gnome"), 1)
        with contextlib.suppress(Failure):
            wait_for(lambda: panel_rect(d, env), 8 * attempt + 8, "the panel")
            break
    d.xdotool("mousemove", 40, SCREEN[1] // 2)  # no tooltip, no highlight
    time.sleep(2)  # laid out and drawn, and the click's highlight on the bar gone
    x, y, w, h = wait_for(lambda: panel_rect(d, env), 1, "the panel")
    boxes = [(x, y - 36 * (not icon), x + w, y + h)] + (  # a window's title bar too
        [(icon[0] - 40, icon[1] - 24, icon[0] + 40, icon[1] + 24)] if icon else [])
    left, top = (max(0, min(b[i] for b in boxes) - 16) for i in (0, 1))
    right, bottom = ((lambda e: SCREEN[i] if e > SCREEN[i] - 64 else e)(  # a bar to its end
        max(b[i + 2] for b in boxes) + 16) for i in (0, 1))
    d.screenshot(f"{name}.png")
    subprocess.run(["convert", f"{d.artifacts}/{name}.png", "-crop", f"{right - left}x"
                    f"{bottom - top}+{left}+{top}", "+repage", "-strip", "-dither", "None",
                    "-colors", "255", f"{ROOT}/docs/desktop-{name}{'-dark' * dark}.png"],
                   check=True)


def inner(args, scratch):
    mount("vornix-shots", scratch, "tmpfs", "mode=0755")
    logs = os.path.join(args.artifacts, "logs")
    desktops = [Desktop(f"{scratch}/{n}", args.artifacts, Processes(f"{logs}/{n}"))
                for n in ["base"] + args.names]
    try:
        desktops[0].start()  # with journald, logind and the system bus, which all share
        media = MediaRoot(scratch, logs, None, "root")
        for name in DRIVES:
            media.add(name, "ext4", 96, f"{uuid.uuid4()}").mount()
        for name, d in zip(args.names, desktops[1:]):
            d.system_bus = desktops[0].system_bus
            try:
                shoot(name, d.start(system=False), f"{args.prefix}/bin/vornix",
                      f"{args.build}/tests/platform/linux/libvornix_sysfs_shim.so", args.dark)
                print(f"{name}: docs/desktop-{name}{'-dark' * args.dark}.png", flush=True)
            except Exception:
                d.screenshot(f"{name}-failed.png")
                raise
            finally:
                d.close()
                d.processes.end_all()
    finally:
        desktops[0].close()
        desktops[0].processes.end_all()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--dark", action="store_true", help="the desktop portal asks for dark")
    parser.add_argument("names", nargs="*", default=list(DESKTOPS), help=", ".join(DESKTOPS))
    args = parser.parse_args()
    if set(args.names) - set(DESKTOPS):
        parser.error(f"desktops are {', '.join(DESKTOPS)}")
    args.build, args.prefix = os.path.abspath(args.build), os.environ.get("VORNIX_SHOTS_PREFIX")
    args.artifacts = os.path.join(args.build, "screenshots")
    if args.prefix:  # in the namespaces
        return inner(args, os.path.join(os.path.dirname(args.prefix), "ns"))
    if os.geteuid():
        raise SystemExit("needs root (mounts, loop devices): sudo make screenshots")
    os.makedirs(args.artifacts, exist_ok=True)
    return again_in_namespaces(args.build, f"{args.artifacts}/install.log", "VORNIX_SHOTS_PREFIX")


if __name__ == "__main__":
    sys.exit(main())
