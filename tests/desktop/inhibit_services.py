"""Stand-ins for the idle inhibitors a desktop offers, on a test's private buses.

Usage: inhibit_services.py SESSION_BUS_ADDRESS SYSTEM_BUS_ADDRESS

On the session bus it is the desktop portal's Inhibit (org.freedesktop.portal.Desktop); on the
system bus it is logind's Manager.Inhibit, which hands out a descriptor that holds the lock
until every copy of it is closed. Both end an inhibition the way the real services do: the
portal when its request is closed or its caller leaves the bus, logind when the descriptor is
closed. Each grant and each end is one JSON line on standard output:

  {"event": "inhibit", "mechanism": "portal"|"logind", "id": ..., "sender": ..., ...}
  {"event": "release", "mechanism": ..., "id": ..., "via": "Close"|"disconnect"|"descriptor"}
"""

import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


def report(event, **fields):
    print(json.dumps({"event": event, **fields}), flush=True)


class PortalRequest(dbus.service.Object):
    def __init__(self, portal, bus, path, sender):
        super().__init__(bus, path)
        self.portal, self.path, self.sender = portal, path, sender

    @dbus.service.method("org.freedesktop.portal.Request", in_signature="",
                         out_signature="", sender_keyword="caller")
    def Close(self, caller=None):
        if caller != self.sender:
            raise dbus.exceptions.DBusException(
                "only the caller may close it", name="org.freedesktop.DBus.Error.AccessDenied")
        self.portal.end(self.path, "Close")


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/portal/desktop")
        self.bus = bus
        self.requests = {}
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged",
                                "org.freedesktop.DBus", "org.freedesktop.DBus",
                                "/org/freedesktop/DBus")

    @dbus.service.method("org.freedesktop.portal.Inhibit", in_signature="sua{sv}",
                         out_signature="o", sender_keyword="sender")
    def Inhibit(self, window, flags, options, sender=None):
        token = str(options.get("handle_token", f"t{len(self.requests)}"))
        path = "/org/freedesktop/portal/desktop/request/{}/{}".format(
            sender[1:].replace(".", "_"), token)
        if path in self.requests:
            raise dbus.exceptions.DBusException("handle token in use",
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        self.requests[path] = PortalRequest(self, self.bus, path, sender)
        report("inhibit", mechanism="portal", id=path, sender=str(sender), flags=int(flags),
               reason=str(options.get("reason", "")))
        return dbus.ObjectPath(path)

    def end(self, path, via):
        request = self.requests.pop(path, None)
        if request:
            request.remove_from_connection()
            report("release", mechanism="portal", id=path, via=via)

    def owner_changed(self, name, old, new):
        if name.startswith(":") and not new:
            for path, request in list(self.requests.items()):
                if request.sender == name:
                    self.end(path, "disconnect")


class Logind(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/login1")
        self.count = 0

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss",
                         out_signature="h", sender_keyword="sender")
    def Inhibit(self, what, who, why, mode, sender=None):
        self.count += 1
        lock = f"lock{self.count}"
        read_end, write_end = os.pipe()

        def ended(fd, condition):
            os.close(fd)
            report("release", mechanism="logind", id=lock, via="descriptor")
            return False

        GLib.io_add_watch(read_end, GLib.IO_HUP | GLib.IO_ERR, ended)
        report("inhibit", mechanism="logind", id=lock, sender=str(sender), what=str(what),
               who=str(who), why=str(why), mode=str(mode))
        # dbus-python sends a duplicate; ours is closed so that the caller's is the last one.
        handle = dbus.types.UnixFd(write_end)
        os.close(write_end)
        return handle


def main():
    session_address, system_address = sys.argv[1:3]
    DBusGMainLoop(set_as_default=True)
    session = dbus.bus.BusConnection(session_address)
    system = dbus.bus.BusConnection(system_address)
    objects = [Portal(session), Logind(system)]
    names = [dbus.service.BusName("org.freedesktop.portal.Desktop", session),
             dbus.service.BusName("org.freedesktop.login1", system)]
    report("ready")
    GLib.MainLoop().run()
    del objects, names


if __name__ == "__main__":
    main()
