#!/usr/bin/python3
"""The README's pictures: the panel open at its icon on each desktop, three USB drives kept awake.

As root: screenshots.py --build DIR [--dark] [NAME...] (sudo make screenshots), writing
docs/desktop-NAME.png. As the end-to-end run does, it installs the build, fakes the drives
(tests/e2e/e2e_sandbox.py) in namespaces of its own and gives each desktop a new Xvfb and
session bus (desktop_session.py). The icon is found on screen by its green tick and clicked
with the mouse; every picture is Xvfb's root window (import), cropped to the icon and the panel:
xembed is trayer; xfce xfce4-panel and xfwm4; lxqt lxqt-panel and openbox; plasma plasmashell,
kded5 and kwin_x11; gnome gnome-shell --x11 with the AppIndicator extension, gnome-window
without it (no tray: the panel is a window), both read from X as the shell's own screenshot
call serves only its own tools; sway runs as nobody (it refuses root) on its X11 backend inside
Xvfb, so X shows what it draws, with waybar (as root, for the session bus) as the tray.
"""

import argparse, contextlib, glob, json, os, subprocess, sys, time, uuid  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "ui")]
from desktop_session import SCREEN, Desktop, Failure, Processes, busctl, end, wait_for  # noqa: E402
from e2e_sandbox import MediaRoot, again_in_namespaces, mount  # noqa: E402
from tray_host_check import read_color_scheme  # noqa: E402

ROOT, DRIVES = os.path.dirname(os.path.dirname(HERE)), ("Backup", "Photos", "Music")
SWAY = "output * resolution 1280x800 bg #5e81ac solid_color\n"


def config(d, path, text):
    os.makedirs(os.path.dirname(path := os.path.join(d.environment()[path[0]], path[1])),
                exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return path


def lxqt(d):
    config(d, ("XDG_CONFIG_HOME", "lxqt/panel.conf"), "panels=panel1\n[panel1]\nplugins="
           "mainmenu,desktopswitch,quicklaunch,taskbar,statusnotifier,worldclock\n")
    d.spawn("openbox", ["openbox"])
    d.spawn("lxqt-panel", ["lxqt-panel"], {**d.environment(), "XDG_CURRENT_DESKTOP": "LXQt",
                                           "XDG_CONFIG_DIRS": "/etc/xdg:/usr/share"})


def gnome(d, extensions="'ubuntu-appindicators@ubuntu.com'"):
    config(d, ("XDG_CONFIG_HOME", "glib-2.0/settings/keyfile"), "[org/gnome/shell]\n"
           f"enabled-extensions=[{extensions}]\nwelcome-dialog-last-shown-version='99'\n")
    d.spawn("gnome-shell", ["gnome-shell", "--x11"], {**d.environment(), **GNOME})
    wait_for(lambda: d.x.screen().root.get_full_property(d.x.intern_atom(
        "_NET_SUPPORTING_WM_CHECK"), 0), 60, "GNOME Shell")
    for i in range(12):  # its notices go once the user has been active for a while
        d.xdotool("mousemove", 40 + i % 2, SCREEN[1] // 2)
        time.sleep(1)
    d.xdotool("key", "Escape")  # it starts in the overview
    return GNOME


def sway(d):
    run = os.path.join(d.scratch, "nobody")
    os.makedirs(run, mode=0o700)
    os.chown(run, 65534, 65534)
    with open(f"{run}/config", "w") as f:
        f.write(SWAY)
    d.spawn("sway", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway",
                     "-c", f"{run}/config"],
            {"PATH": os.environ["PATH"], "HOME": run, "XDG_RUNTIME_DIR": run,
             "DISPLAY": d.display, "WLR_BACKENDS": "x11", "WLR_RENDERER": "pixman"})
    sock = wait_for(lambda: glob.glob(f"{run}/sway-ipc*"), 20, "sway")[0]
    wayland = {"WAYLAND_DISPLAY": f"{run}/wayland-1", "SWAYSOCK": sock, "DISPLAY": "",
               "QT_QPA_PLATFORM": "wayland", "XDG_CURRENT_DESKTOP": "sway"}
    d.spawn("waybar", ["waybar", "-c", config(d, ("XDG_CONFIG_HOME", "waybar.json"), json.dumps(
        {"height": 28, "modules-left": ["sway/workspaces"], "modules-right": ["tray", "clock"],
         "tray": {"spacing": 8}}))], {**d.environment(), **wayland})
    return wayland

GNOME = {"GSETTINGS_BACKEND": "keyfile", "XDG_CURRENT_DESKTOP": "GNOME",
         "XDG_SESSION_TYPE": "x11", "LIBGL_ALWAYS_SOFTWARE": "1"}
KDE = {"XDG_CURRENT_DESKTOP": "KDE", "KDE_FULL_SESSION": "true", "KDE_SESSION_VERSION": "5"}


def start(*commands, env=None):
    return lambda d: [d.spawn(c[0], c, {**d.environment(), **(env or {})})
                      for c in commands] and env


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
    if env.get("SWAYSOCK"):
        tree = json.loads(subprocess.run(["swaymsg", "-s", env["SWAYSOCK"], "-t", "get_tree"],
                                         capture_output=True, text=True).stdout or "{}")
        nodes = [tree]
        while nodes and (node := nodes.pop()).get("app_id") != "io.vornix.Vornix":
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        r, deco = node.get("rect"), node.get("deco_rect", {})
        return r and (r["x"], r["y"] - deco.get("height", 0), r["width"],
                      r["height"] + deco.get("height", 0))
    return next((w[:4] for w in d.windows("Vornix") if w[2] >= 300), None)


def shoot(name, d, program, shim, dark):
    subprocess.run(["xsetroot", "-solid", "#5e81ac"], env=d.environment(), check=True)
    env = DESKTOPS[name](d) or {}
    if name != "xembed":
        end(next(p for p in d.processes.started if p.args[0] == "trayer"))
    config(d, ("XDG_CONFIG_HOME", "vornix/vornix.conf"), "[General]\nkeepAliveInterval=30\n")
    dark and read_color_scheme(d, 1)
    if name not in ("xembed", "gnome-window"):  # the item's host, there before vornix as at login
        wait_for(lambda: busctl(d.session_bus, "status", "org.kde.StatusNotifierWatcher"), 60,
                 "a StatusNotifierItem watcher")
    d.start_vornix(program, False, **env, LD_PRELOAD=shim,
                   XDG_DATA_DIRS=f"{os.path.dirname(os.path.dirname(program))}/share:/usr/share")
    status = lambda: subprocess.run([program, "--status", "--json"], capture_output=True,  # noqa
                                    env=d.environment(), text=True).stdout
    wait_for(lambda: DRIVES[0] in status(), 30, "vornix on the bus")
    subprocess.run([program, "--on"], env=d.environment(), check=True)
    wait_for(lambda: [v["status"] for v in json.loads(status())["volumes"]] == ["active"] * 3,
             20, "three drives kept awake")
    icon = None if name == "gnome-window" else wait_for(lambda: green_tick(d), 30, "the icon")
    for attempt in range(3):  # a panel may take a click before it handles them; the
        # AppIndicator extension opens the menu on a click and the panel on a double click
        icon and d.xdotool("mousemove", *icon, "click", "--repeat", 1 + (name == "gnome"), 1)
        with contextlib.suppress(Failure):
            wait_for(lambda: panel_rect(d, env), 8 * attempt + 8, "the panel")
            break
    else:
        raise Failure("the panel did not open")
    d.xdotool("mousemove", 40, SCREEN[1] // 2)  # no tooltip, no highlight
    time.sleep(2)  # laid out and drawn, and the click's highlight on the bar gone
    x, y, w, h = panel_rect(d, env)
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
    logs, base = os.path.join(args.artifacts, "logs"), None
    try:
        base = Desktop(f"{scratch}/base", args.artifacts, Processes(logs)).start()
        media = MediaRoot(scratch, logs, None, "root")
        for name in DRIVES:
            media.add(name, "ext4", 96, f"{uuid.uuid4()}").mount()
        for name in args.names:
            d = Desktop(f"{scratch}/{name}", args.artifacts, Processes(f"{logs}/{name}"))
            d.system_bus = base.system_bus
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
        base and base.close()
        base and base.processes.end_all()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--dark", action="store_true", help="the desktop portal asks for dark")
    parser.add_argument("names", nargs="*", default=list(DESKTOPS), help=", ".join(DESKTOPS))
    args = parser.parse_args()
    if set(args.names) - set(DESKTOPS):
        parser.error(f"desktops are {', '.join(DESKTOPS)}")
    args.build = os.path.abspath(args.build)
    args.artifacts = os.path.join(args.build, "screenshots")
    if os.environ.get("VORNIX_SHOTS_PREFIX"):  # in the namespaces
        args.prefix = os.environ["VORNIX_SHOTS_PREFIX"]
        return inner(args, os.path.join(os.path.dirname(args.prefix), "ns"))
    if os.geteuid():
        raise SystemExit("needs root (mounts, loop devices): sudo make screenshots")
    os.makedirs(args.artifacts, exist_ok=True)
    return again_in_namespaces(args.build, f"{args.artifacts}/install.log", "VORNIX_SHOTS_PREFIX")


if __name__ == "__main__":
    sys.exit(main())
