#!/usr/bin/python3
# The idle inhibitor against dbusmock's desktop services and the real logind. Usage: $0 CLIENT

import os, shutil, subprocess, sys, unittest  # noqa: E401
import dbusmock
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "desktop"))
from desktop_session import PORTAL_INHIBIT, wait_for  # noqa: E402

CLIENT = sys.argv.pop(1)
REASON = "Vornix is keeping external drives awake"
LOGIND = "/lib/systemd/systemd-logind"
REQUEST = "/org/freedesktop/portal/desktop/request/"  # + the caller's name and token
# Bus name, object, interface, Inhibit's signatures and answer, the arguments it must be given,
# and the call that withdraws it (on the portal, Close on the request object).
SERVICES = [("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
             "org.freedesktop.portal.Inhibit", "sua{sv}", "o", PORTAL_INHIBIT,
             ["", 4, {"handle_token": "vornix1", "reason": REASON}], ("Close", [])),
            ("org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
             "susu", "u", "ret = 7", ["io.vornix.Vornix", 0, REASON, 4], ("Uninhibit", [7])),
            ("org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
             "org.freedesktop.PowerManagement.Inhibit", "ss", "u", "ret = 9", ["Vornix", REASON],
             ("UnInhibit", [9]))]
GRANT, ABSENT = "", None
REFUSE = 'raise dbus.exceptions.DBusException("no", name="org.freedesktop.DBus.Error.AccessDenied")\n'
HANG = "time.sleep(1)\n"  # longer than the client waits; then it grants all the same


def client(session="-", system="-"):
    return subprocess.Popen([CLIENT, session, system, "300"], text=True, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)


def ask(process, command):
    process.stdin.write(command + "\n")
    process.stdin.flush()
    return process.stdout.readline().strip()


class SessionServices(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()

    def calls(self, service, path=None):
        return [(str(m), list(a)) for _, m, a in self.get_dbus().get_object(
            service[0], path or service[1]).GetCalls(dbus_interface=dbusmock.MOCK_IFACE)]

    def test_the_first_service_that_grants_holds_it_with_the_right_call_until_released(self):
        bus, mocks = self.get_dbus(), {}
        for modes, holder in [((GRANT, GRANT, GRANT), 0), ((ABSENT, GRANT, GRANT), 1),
                              ((REFUSE, GRANT, GRANT), 1), ((HANG, GRANT, ABSENT), 1),
                              ((ABSENT, REFUSE, GRANT), 2), ((REFUSE, ABSENT, REFUSE), None),
                              ((ABSENT, ABSENT, ABSENT), None)]:
            with self.subTest(modes=modes):
                for mock in mocks.values():  # the case before's, however it ended
                    mock.terminate()
                    mock.wait()
                mocks = {i: self.spawn_server(*s[:3], stdout=subprocess.DEVNULL)
                         for i, s in enumerate(SERVICES) if modes[i] is not ABSENT}
                for i in mocks:
                    bus.get_object(*SERVICES[i][:2]).AddMethods(SERVICES[i][2], [
                        ("Inhibit", *SERVICES[i][3:5], modes[i] + SERVICES[i][5]),
                        ("Uninhibit", "u", "", ""), ("UnInhibit", "u", "", "")],
                        dbus_interface=dbusmock.MOCK_IFACE)
                with client(os.environ["DBUS_SESSION_BUS_ADDRESS"]) as process:
                    request = REQUEST + "x/vornix1"
                    if modes[0] == HANG:  # the request the portal makes for the client's call
                        d = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
                        name = wait_for(lambda: [n for n in d.ListNames() if n[0] == ":" and
                                                 d.GetConnectionUnixProcessID(n) == process.pid],
                                        5, "the client on the bus")
                        request = f"{REQUEST}{name[0][1:].replace('.', '_')}/vornix1"
                        bus.get_object(*SERVICES[0][:2]).AddObject(
                            request, "org.freedesktop.portal.Request", {},
                            [("Close", "", "", "")], dbus_interface=dbusmock.MOCK_IFACE)
                    self.assertEqual(ask(process, "inhibit"), "none" if holder is None else "held")
                    for i in mocks:  # asked in order until one grants, with the right words
                        self.assertEqual(self.calls(SERVICES[i]), [("Inhibit", SERVICES[i][6])] * (
                            holder is None or i <= holder))
                    self.assertEqual(ask(process, "release"), "released")
                    # withdrawn where held; a portal given up on closes its request all the same
                    for i in {holder, 0 if modes[0] == HANG else None} - {None}:
                        wait_for(lambda: SERVICES[i][7] in self.calls(
                            SERVICES[i], request if i == 0 else None), 5, f"{SERVICES[i][7]}")
                    process.stdin.close()

    def test_without_buses_nothing_is_held(self):
        with client() as process:
            self.assertEqual(ask(process, "inhibit"), "none")


@unittest.skipUnless(os.geteuid() == 0 and os.access(LOGIND, os.X_OK) and
                     shutil.which("systemd-inhibit") and shutil.which("unshare"),
                     "starting systemd-logind needs root, Debian's systemd and util-linux")
class Logind(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        config = "[Login]\\nNAutoVTs=0\\nReserveVT=0\\nIdleAction=ignore\\n" + "".join(
            f"Handle{key}=ignore\\n" for key in "PowerKey SuspendKey HibernateKey RebootKey "
            "LidSwitch LidSwitchExternalPower LidSwitchDocked".split())
        cls.logind = subprocess.Popen([
            "unshare", "--mount", "sh", "-c", "set -e; mkdir -p /run/systemd; mount -t tmpfs "
            "tmpfs /run/systemd; mkdir /run/systemd/logind.conf.d; printf '" + config +
            f"' >/run/systemd/logind.conf.d/test.conf; exec {LOGIND}"],
            env={**os.environ, "SYSTEMD_LOG_TARGET": "console"}, stdout=subprocess.DEVNULL)
        wait_for(lambda: cls.get_dbus(True).name_has_owner("org.freedesktop.login1"), 10,
                 "systemd-logind on the test's bus")

    @classmethod
    def tearDownClass(cls):
        cls.logind.terminate()
        cls.logind.wait()
        super().tearDownClass()

    def test_an_idle_block_lock_held_until_released_destroyed_or_killed(self):
        def locks():  # who uid user pid comm what why… mode
            return [(w[:4], w[5], " ".join(w[6:-1]), w[-1]) for w in map(str.split, subprocess.run(
                ["systemd-inhibit", "--list", "--no-legend", "--no-pager"], capture_output=True,
                text=True, check=True).stdout.splitlines())]
        for end in ("release", "destroy", "kill"):
            with client(system=os.environ["DBUS_SYSTEM_BUS_ADDRESS"]) as process:  # no desktop
                self.assertEqual(ask(process, "inhibit"), "held")
                self.assertEqual(locks(), [(["Vornix", "0", "root", str(process.pid)], "idle",
                                            REASON, "block")])
                process.kill() if end == "kill" else ask(process, end)
                wait_for(lambda: not locks(), 5, f"the lock to go after {end}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
