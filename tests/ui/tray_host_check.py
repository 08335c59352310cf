"""vornix on a StatusNotifierItem host that starts after it (Xvfb, a private session bus, a watcher
stand-in on python3-dbusmock): the window vornix opens with no tray gives way to the icon within
2 s of the watcher's arrival, and Activate(x, y) opens the panel within 40 px of (x, y), wholly
on screen. Usage: tray_host_check.py VORNIX"""

import json, os, re, sys, tempfile  # noqa: E401

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


def near(point, rect):
    (px, py), (x, y, w, h) = point, rect
    return max(x - px, 0, px - (x + w)) ** 2 + max(y - py, 0, py - (y + h)) ** 2 <= 40 ** 2


def check(desktop, program, scratch):
    end(desktop.processes.started.pop())  # trayer: no tray of any kind to begin with
    wait_for(lambda: not desktop.x.get_selection_owner(
        desktop.x.intern_atom("_NET_SYSTEM_TRAY_S0")), 5, "trayer to leave")
    vornix = desktop.start_vornix(program, accessible=False)
    windows = lambda: desktop.windows("Vornix", deep=False)  # noqa: E731
    wait_for(lambda: windows() or vornix.poll() is not None, 20, "vornix's window (no tray)")

    with open(os.path.join(scratch, "watcher.py"), "w") as f:
        f.write(WATCHER)
    desktop.spawn("watcher", [sys.executable, "-m", "dbusmock", "--template", f.name])
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
    end(vornix)  # again on a German desktop; no de_DE locale need exist for Qt to choose German
    wait_for(lambda: not busctl(desktop.session_bus, "status", item), 10, "vornix to end")
    desktop.start_vornix(program, False, "vornix-de", LANGUAGE="de", LC_ALL="de_DE.UTF-8")
    expect_title(desktop, wait_for(lambda: desktop.calls("watcher", "RegisterStatusNotifierItem")[
        len(calls):], 20, "the German vornix's item")[0], "Vornix \u2014 Laufwerke ruhen")
    print(f"item {item} registered at once; its menu toggled; the panel opened beside three "
          "points; German title")


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
    for state, title in ((1, "Drives awake"), (0, "Drives idle")):
        reply = busctl(desktop.session_bus, "--json=short", "call", *menu, "GetLayout", "iias",
                       "0", "1", "0")
        items = {c["data"][1].get("label", {}).get("data"): (c["data"][0], c["data"][1])
                 for c in json.loads(reply or '{"data": [0, [0, {}, []]]}')["data"][1][2]}
        keep = items.get("Keep drives awake", (0, {}))
        if not {"Open Vornix", "Quit"} <= items.keys() or \
                keep[1].get("toggle-state", {}).get("data") != 1 - state:
            raise Failure(f"the dbusmenu layout reads {reply!r}")
        busctl(desktop.session_bus, "call", *menu, "EventGroup", "a(isvu)", "1", str(keep[0]),
               "clicked", "s", "", "0")  # as XFCE's panel sends a click
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
