"""vornix on a StatusNotifierItem host that starts after it (Xvfb, a private session bus, a watcher
stand-in on python3-dbusmock): the window vornix opens with no tray gives way to the icon within
2 s of the watcher's arrival, and Activate(x, y) opens the panel within 40 px of (x, y), wholly
on screen; under a window manager the panel stays out of taskbars and takes the keyboard; its
palette follows the portal's color-scheme; on Wayland (weston) the title bar's maximise does
nothing. Usage: tray_host_check.py VORNIX"""

import contextlib, json, os, re, shutil, subprocess, sys, tempfile, time  # noqa: E401
from Xlib import X  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from desktop_session import SCREEN, SKIP, Desktop, Failure, Processes, Skip, busctl, end, wait_for  # noqa: E402,E501

WATCHER = """import dbus
BUS_NAME = MAIN_IFACE = "org.kde.StatusNotifierWatcher"
MAIN_OBJ, SYSTEM_BUS = "/StatusNotifierWatcher", False
def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [("RegisterStatusNotifierItem", "s", "", ""),
                                 ("RegisterStatusNotifierHost", "s", "", "")])
    mock.AddProperties(MAIN_IFACE, {"IsStatusNotifierHostRegistered": True, "ProtocolVersion": 0,
                                    "RegisteredStatusNotifierItems": dbus.Array([], "s")})
"""
ITEM = ("/StatusNotifierItem", "org.kde.StatusNotifierItem")
PORTAL = ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
SETTINGS = "org.freedesktop.portal.Settings"


def near(point, rect):
    (px, py), (x, y, w, h) = point, rect
    return max(x - px, 0, px - (x + w)) ** 2 + max(y - py, 0, py - (y + h)) ** 2 <= 40 ** 2


def check(desktop, program, scratch):
    end(desktop.processes.started.pop())  # trayer: no tray of any kind to begin with
    wait_for(lambda: not desktop.x.get_selection_owner(
        desktop.x.intern_atom("_NET_SYSTEM_TRAY_S0")), 5, "trayer to leave")
    openbox = desktop.spawn("openbox", ["openbox"])  # a window manager, which decides on focus
    wait_for(lambda: desktop.x.screen().root.get_full_property(
        desktop.x.intern_atom("_NET_SUPPORTING_WM_CHECK"), X.AnyPropertyType), 10, "openbox")
    read_color_scheme(desktop, 0)
    vornix = desktop.start_vornix(program, accessible=False)
    windows = lambda: desktop.windows("Vornix")  # noqa: E731
    wait_for(lambda: windows() or vornix.poll() is not None, 20, "vornix's window (no tray)")

    with open(os.path.join(scratch, "watcher.py"), "w") as f:
        f.write(WATCHER)
    watcher = desktop.spawn("watcher", [sys.executable, "-m", "dbusmock", "--template", f.name])
    wait_for(lambda: busctl(desktop.session_bus, "status", "org.kde.StatusNotifierWatcher"), 10,
             "the watcher on the bus")
    calls = wait_for(lambda: desktop.calls("watcher", "RegisterStatusNotifierItem"), 2.0,
                     "the item registered with a watcher that came after vornix")
    wait_for(lambda: not windows(), 2.0, "the window to give way to the icon")
    item = expect_title(desktop, calls[0], "Vornix \u2014 Drives idle")
    check_menu(desktop, item)

    for point in ((900, 14), (SCREEN[0] - 3, SCREEN[1] - 3), (40, 400)):
        busctl(desktop.session_bus, "call", item, *ITEM, "Activate", "ii", *map(str, point))
        rect = wait_for(lambda: windows(), 5, f"the panel after Activate{point}")[-1][:4]
        if not near(point, rect) or rect[0] < 0 or rect[1] < 0 or \
                rect[0] + rect[2] > SCREEN[0] or rect[1] + rect[3] > SCREEN[1]:
            raise Failure(f"Activate{point} opened the panel at {rect}")
        busctl(desktop.session_bus, "call", item, *ITEM, "Activate", "ii", *map(str, point))
        wait_for(lambda: not windows(), 5, "a second Activate to close the panel")
    check_window_manager(desktop, item)
    for scheme in (1, 2, 1):  # from none to dark, light and dark
        emit_color_scheme(desktop, scheme)
        wait_for(lambda: dark(desktop, *panel(desktop)[:2]) == (scheme == 1), 5, f"scheme {scheme}")
    end(vornix)  # again on a German desktop; no de_DE locale need exist for Qt to choose German
    wait_for(lambda: not busctl(desktop.session_bus, "status", item), 10, "vornix to end")
    read_color_scheme(desktop, 1)  # dark from the start
    german = desktop.start_vornix(program, False, "vornix-de", LANGUAGE="de", LC_ALL="de_DE.UTF-8")
    item = expect_title(desktop, wait_for(lambda: desktop.calls(
        "watcher", "RegisterStatusNotifierItem")[len(calls):], 20, "the German vornix's item")[0],
        "Vornix \u2014 Laufwerke ruhen")
    busctl(desktop.session_bus, "call", item, *ITEM, "Activate", "ii", "40", "400")
    wait_for(lambda: dark(desktop, *panel(desktop)[:2]), 5, "a dark panel from the start")
    for process in (german, watcher, openbox):
        end(process)
    check_wayland(desktop, program, scratch)
    print(f"item {item} registered at once; its menu and a middle click toggled; the panel opened "
          "beside three points, off taskbars, in the portal's colours; German title; Wayland")


def panel(desktop):
    return wait_for(lambda: desktop.windows("Vornix"), 5, "the panel")[-1]


def pixels(desktop, x, y, width=1, height=1):
    return desktop.x.screen().root.get_image(x, y, width, height, X.ZPixmap, 0xffffffff).data


def dark(desktop, x, y):
    """Whether the screen is dark a little inside (x, y)."""
    return max(pixels(desktop, x + 5, y + 5)[:3]) < 96


def read_color_scheme(desktop, scheme):
    busctl(desktop.session_bus, "call", *PORTAL, "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
           SETTINGS, "Read", "ss", "v", f"ret = dbus.UInt32({scheme}, variant_level=2)")


def emit_color_scheme(desktop, scheme):
    busctl(desktop.session_bus, "call", *PORTAL, "org.freedesktop.DBus.Mock", "EmitSignal",
           "sssav", SETTINGS, "SettingChanged", "ssv", "3", "s", "org.freedesktop.appearance", "s",
           "color-scheme", "u", str(scheme))


def check_window_manager(desktop, item):
    """The panel beside the icon stays out of taskbars and pagers and still takes the keyboard"""
    busctl(desktop.session_bus, "call", item, *ITEM, "Activate", "ii", "600", "14")
    state = subprocess.run(["xprop", "-display", desktop.display, "-id", str(panel(desktop)[4].id),
                            "_NET_WM_STATE"], capture_output=True, text=True).stdout
    if not all(f"_NET_WM_STATE_SKIP_{what}" in state for what in ("TASKBAR", "PAGER")):
        raise Failure(f"the panel's {state.strip()}")
    desktop.xdotool("key", "Escape")
    wait_for(lambda: not desktop.windows("Vornix"), 5, "Escape to reach the panel and close it")
    busctl(desktop.session_bus, "call", item, *ITEM, "Activate", "ii", "600", "14")


def check_wayland(desktop, program, scratch):
    """Qt's own title bar on weston: maximise and a double click leave the window as it was"""
    if not shutil.which("weston"):
        return print("weston is not installed: the Wayland title bar is left unchecked")
    with open(os.path.join(scratch, "weston.ini"), "w") as f:
        f.write("[shell]\nbackground-color=0xff102030\npanel-position=none\n")
    desktop.spawn("weston", ["weston", "--backend=x11-backend.so", "--use-pixman", "--width=800",
                             "--height=600", "--socket=wayland-vornix", f"--config={f.name}"])
    wait_for(lambda: os.path.exists(os.path.join(desktop.environment()["XDG_RUNTIME_DIR"],
                                                 "wayland-vornix")), 10, "weston")
    vornix = desktop.start_vornix(program, False, "vornix-wayland", QT_QPA_PLATFORM="wayland",
                                  WAYLAND_DISPLAY="wayland-vornix")
    desktop.xdotool("mousemove", 799, 599)  # weston's pointer out of the way
    x, y, w, h = shown = wait_for(lambda: (lambda box: box and box[2] < 400 and box)(
        drawn(desktop)), 20, "vornix's window on weston's background")
    bar = lambda: pixels(desktop, x, y, w, 30)  # noqa: E731
    desktop.xdotool("mousemove", x + 10, y + 15, "click", "1", "mousemove", 799, 599)
    # Focused, the bar is drawn as active from then on whatever the clicks do: read once still.
    before = wait_for(lambda: (lambda a: time.sleep(0.5) or bar() == a and a)(bar()), 10,
                      "the focused window's title bar drawn")
    for at, clicks in (((x + w - 40, y + 15), "1"), ((x + w // 2, y + 15), "2")):
        desktop.xdotool("mousemove", *at, "click", "--repeat", clicks, "--delay", "80", "1")
        desktop.xdotool("mousemove", 799, 599)
        time.sleep(1.5)  # what the compositor would do with a maximise has been done by now
        with contextlib.suppress(Failure):  # a busy machine may redraw late
            wait_for(lambda: vornix.poll() is None and drawn(desktop) == shown and
                     bar() == before, 5, "the window as it was")
        if vornix.poll() is not None or drawn(desktop) != shown or bar() != before:
            raise Failure(f"{clicks} click(s) at {at} left the window at {drawn(desktop)}, not "
                          f"{shown}, its title bar redrawn, or vornix ended ({vornix.poll()})")
    emit_color_scheme(desktop, 1)
    wait_for(lambda: dark(desktop, x, y), 5, "a dark title bar")


def drawn(desktop, width=760, height=560):
    """Where weston shows something other than its background: (x, y, width, height)."""
    data, xs, ys = pixels(desktop, 0, 0, width, height), [], []
    for y, at in enumerate(range(0, width * height * 4, width * 4)):
        row = [x for x in range(0, width * 4, 4) if data[at + x:at + x + 3] != b"\x30\x20\x10"]
        xs, ys = xs + row[:1] + row[-1:], ys + [y] * bool(row)
    return ys and (min(xs) // 4, ys[0], (max(xs) - min(xs)) // 4 + 1, ys[-1] - ys[0] + 1)


def get(desktop, item, name):
    reply = busctl(desktop.session_bus, "--json=short", "get-property", item, *ITEM, name)
    return json.loads(reply or "{}").get("data")


def expect_title(desktop, call, expected):
    item = re.search(r":\d+\.\d+", call[1])[0]
    if (title := get(desktop, item, "Title")) != expected:
        raise Failure(f"the item's title reads {title!r}, not {expected!r}")
    return item


def check_menu(desktop, item):
    """The host's own menu (com.canonical.dbusmenu at the item's Menu) toggles keep-awake."""
    menu = (item, get(desktop, item, "Menu"), "com.canonical.dbusmenu")
    for state, title in ((1, "Drives awake"), (0, "Drives idle")):  # by the menu, a middle click
        reply = busctl(desktop.session_bus, "--json=short", "call", *menu, "GetLayout", "iias",
                       "0", "1", "0")
        items = {c["data"][1].get("label", {}).get("data"): (c["data"][0], c["data"][1])
                 for c in json.loads(reply or '{"data": [0, [0, {}, []]]}')["data"][1][2]}
        keep = items.get("Keep drives awake", (0, {}))
        if not {"Open Vornix", "Quit"} <= items.keys() or \
                keep[1].get("toggle-state", {}).get("data") != 1 - state:
            raise Failure(f"the dbusmenu layout reads {reply!r}")
        busctl(desktop.session_bus, "call", *menu, "EventGroup", "a(isvu)", "1", str(keep[0]),
               "clicked", "s", "", "0") if state else busctl(  # as XFCE's panel sends a click
            desktop.session_bus, "call", item, *ITEM, "SecondaryActivate", "ii", "0", "0")
        wait_for(lambda: get(desktop, item, "Title") == f"Vornix \u2014 {title}", 5, title)


def main(program):
    scratch = tempfile.mkdtemp(prefix="vornix-tray-host-")
    processes, desktop = Processes(os.path.join(scratch, "logs")), None
    try:
        desktop = Desktop(scratch, os.path.join(scratch, "artifacts"), processes)
        check(desktop.start(system=False), program, scratch)
        return 0
    except Skip as e:
        print(f"skipped: {e}")
        return SKIP
    except Failure as e:
        print(f"FAILED: {e} (logs in {processes.logs})")
        return 1
    finally:
        desktop and desktop.close()
        processes.end_all()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
