#!/usr/bin/python3
"""The idle inhibitor, through tests/platform/inhibitor_client, against the desktop's inhibiting
services played by python-dbusmock and against the real systemd-logind (as root).

Usage: idle_inhibitor_test.py INHIBITOR_CLIENT   (Debian's python3)
"""

import os
import shutil
import subprocess
import sys
import time
import unittest

import dbusmock

CLIENT = sys.argv.pop(1)
REASON = "Vornix is keeping external drives awake"
LOGIND = "/lib/systemd/systemd-logind"
REQUEST = "/org/freedesktop/portal/desktop/request/"  # + the caller's name and token

# Bus name, object, interface, Inhibit's signatures and answer, the arguments it must be given,
# and the call that withdraws it (on the portal, Close on the request object).
SERVICES = [
    ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
     "org.freedesktop.portal.Inhibit", "sua{sv}", "o",
     f'ret = "{REQUEST}x/" + args[2]["handle_token"]\n'
     'self.AddObject(ret, "org.freedesktop.portal.Request", {}, [("Close", "", "", "")])',
     ["", 4, {"handle_token": "vornix1", "reason": REASON}], ("Close", [])),
    ("org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
     "susu", "u", "ret = 7", ["io.vornix.Vornix", 0, REASON, 4], ("Uninhibit", [7])),
    ("org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
     "org.freedesktop.PowerManagement.Inhibit", "ss", "u", "ret = 9", ["Vornix", REASON],
     ("UnInhibit", [9])),
]
GRANT, ABSENT = "", None
REFUSE = 'raise dbus.exceptions.DBusException("no", name="org.freedesktop.DBus.Error.AccessDenied")\n'
HANG = "time.sleep(1)\n"  # longer than the client waits; then it grants all the same


def wait_for(condition, timeout=5):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


class Client:
    def __init__(self, session="-", system="-"):
        self.process = subprocess.Popen([CLIENT, session, system, "300"], text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __call__(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def end(self, kill=False):
        self.process.kill() if kill else self.process.stdin.close()
        self.process.wait(10)
        self.process.stdout.close()


class SessionServices(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()

    def calls(self, service, path=None):
        return [(str(m), list(a)) for _, m, a in self.get_dbus().get_object(
            service[0], path or service[1]).GetCalls(dbus_interface=dbusmock.MOCK_IFACE)]

    def unique_name(self, client):
        bus = self.get_dbus().get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        return wait_for(lambda: next((n for n in bus.ListNames() if n.startswith(":") and
                                      bus.GetConnectionUnixProcessID(n) == client.process.pid),
                                     None))

    def test_the_first_service_that_grants_holds_it_with_the_right_call_until_released(self):
        for modes, holder in [((GRANT, GRANT, GRANT), 0), ((ABSENT, GRANT, GRANT), 1),
                              ((REFUSE, GRANT, GRANT), 1), ((HANG, GRANT, ABSENT), 1),
                              ((ABSENT, REFUSE, GRANT), 2), ((REFUSE, ABSENT, REFUSE), None),
                              ((ABSENT, ABSENT, ABSENT), None)]:
            with self.subTest(modes=modes):
                mocks = {}
                for i, service in enumerate(SERVICES):
                    if modes[i] is not ABSENT:
                        mocks[i] = self.spawn_server(*service[:3], stdout=subprocess.DEVNULL)
                        self.get_dbus().get_object(*service[:2]).AddMethods(service[2], [
                            ("Inhibit", *service[3:5], modes[i] + service[5]),
                            ("Uninhibit", "u", "", ""), ("UnInhibit", "u", "", "")],
                            dbus_interface=dbusmock.MOCK_IFACE)
                client = Client(os.environ["DBUS_SESSION_BUS_ADDRESS"])
                request = REQUEST + "x/vornix1"
                try:
                    if modes[0] == HANG:  # the request the portal makes for the client's call
                        request = REQUEST + self.unique_name(client)[1:].replace(".", "_") + \
                            "/vornix1"
                        self.get_dbus().get_object(*SERVICES[0][:2]).AddObject(
                            request, "org.freedesktop.portal.Request", {},
                            [("Close", "", "", "")], dbus_interface=dbusmock.MOCK_IFACE)
                    self.assertEqual(client("inhibit"), "none" if holder is None else "held")
                    for i in mocks:  # asked in order until one grants, with the right words
                        asked = holder is None or i <= holder
                        self.assertEqual(self.calls(SERVICES[i]),
                                         [("Inhibit", SERVICES[i][6])] if asked else [])
                    withdrawn = [(SERVICES[holder], holder)] if holder is not None else []
                    if modes[0] == HANG:  # given up on, and closed should it act on it later
                        withdrawn.append((SERVICES[0], 0))
                    self.assertEqual(client("release"), "released")
                    for service, i in withdrawn:
                        path = request if i == 0 else None
                        self.assertTrue(wait_for(lambda: service[7] in [
                            (m, a) for m, a in self.calls(service, path) if m != "Inhibit"]))
                finally:
                    client.end()
                    for mock in mocks.values():
                        mock.terminate()
                        mock.wait()

    def test_without_buses_nothing_is_held(self):
        client = Client()
        self.assertEqual(client("inhibit"), "none")
        client.end()


@unittest.skipUnless(os.geteuid() == 0 and os.access(LOGIND, os.X_OK) and
                     shutil.which("systemd-inhibit") and shutil.which("unshare"),
                     "starting systemd-logind needs root, Debian's systemd and util-linux")
class Logind(dbusmock.DBusTestCase):
    """The real logind, on a system bus of the test's own and in a mount namespace of its own so
    that its runtime files never meet the machine's; told to leave buttons, lid, idle and VTs
    alone, so that it never acts on the machine."""

    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        config = "[Login]\\nNAutoVTs=0\\nReserveVT=0\\nIdleAction=ignore\\n" + "".join(
            f"Handle{key}=ignore\\n" for key in ("PowerKey", "SuspendKey", "HibernateKey",
                                                 "RebootKey", "LidSwitch",
                                                 "LidSwitchExternalPower", "LidSwitchDocked"))
        cls.logind = subprocess.Popen([
            "unshare", "--mount", "sh", "-c", "set -e; mkdir -p /run/systemd; mount -t tmpfs "
            "tmpfs /run/systemd; mkdir /run/systemd/logind.conf.d; printf '" + config +
            f"' >/run/systemd/logind.conf.d/test.conf; exec {LOGIND}"],
            env={**os.environ, "SYSTEMD_LOG_TARGET": "console"}, stdout=subprocess.DEVNULL)
        if not wait_for(lambda: cls.get_dbus(True).name_has_owner("org.freedesktop.login1"), 10):
            raise unittest.SkipTest("systemd-logind did not start")

    @classmethod
    def tearDownClass(cls):
        cls.logind.terminate()
        cls.logind.wait()
        super().tearDownClass()

    def locks(self):
        return subprocess.run(["systemd-inhibit", "--list", "--no-legend", "--no-pager"],
                              capture_output=True, text=True).stdout.split("\n")[:-1]

    def assert_only_our_lock(self, pid):
        self.assertEqual(len(self.locks()), 1, self.locks())
        words = self.locks()[0].split()  # who uid user pid comm what why… mode
        self.assertEqual(words[:4] + [words[5], " ".join(words[6:-1]), words[-1]],
                         ["Vornix", "0", "root", str(pid), "idle", REASON, "block"])

    def test_an_idle_block_lock_held_until_released_destroyed_or_killed(self):
        address = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
        client = Client(system=address)  # no session bus, as on a machine without a desktop
        for end in ("release", "destroy"):
            self.assertEqual(client("inhibit"), "held")
            self.assert_only_our_lock(client.process.pid)
            client(end)
            self.assertTrue(wait_for(lambda: not self.locks()), f"still listed after {end}")
        client.end()
        client = Client(system=address)
        self.assertEqual(client("inhibit"), "held")
        self.assert_only_our_lock(client.process.pid)
        client.end(kill=True)
        self.assertTrue(wait_for(lambda: not self.locks()), "still listed after a kill")


if __name__ == "__main__":
    unittest.main(verbosity=2)
