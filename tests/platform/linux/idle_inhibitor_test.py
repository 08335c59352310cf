#!/usr/bin/python3
# The idle inhibitor against dbusmock's desktop services and the real logind, alone and in the
# real program as services come and go. Usage: $0 CLIENT VORNIX

import json, os, shutil, subprocess, sys, tempfile, unittest  # noqa: E401
import dbus, dbusmock  # noqa: E401
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "desktop"))
from desktop_session import PORTAL_INHIBIT, Desktop, Panel, Processes, Skip, end, wait_for  # noqa

CLIENT, VORNIX = sys.argv.pop(1), sys.argv.pop(1)
REASON = "Vornix is keeping external drives awake"
LOGIND = "/lib/systemd/systemd-logind"
REQUEST = "/org/freedesktop/portal/desktop/request/"  # + the caller's name and token
# Bus name, object, interface, Inhibit's signatures and answer, the arguments it must be given,
# the call that withdraws it (on the portal, Close on the request object), its name for scripts.
SERVICES = [("org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
             "susu", "u", "ret = 7", ["io.vornix.Vornix", 0, REASON, 4], ("Uninhibit", [7]),
             "gnomeSession"),
            ("org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
             "org.freedesktop.PowerManagement.Inhibit", "ss", "u", "ret = 9", ["Vornix", REASON],
             ("UnInhibit", [9]), "powerManagement"),
            ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
             "org.freedesktop.portal.Inhibit", "sua{sv}", "o", PORTAL_INHIBIT,
             ["", 4, {"handle_token": "vornix1", "reason": REASON}], ("Close", []),
             "desktopPortal")]
GRANT, ABSENT = "", None
REFUSE = 'raise dbus.exceptions.DBusException("no", name="org.freedesktop.DBus.Error.AccessDenied")\n'
HANG = "time.sleep(1)\n"  # longer than the client waits; then it grants all the same
CAUSES = {ABSENT: "noService", REFUSE: "accessDenied", HANG: "timeout"}
# A desktop service that comes onto the bus with its methods already there.
TEMPLATE = """BUS_NAME, MAIN_OBJ, MAIN_IFACE, SYSTEM_BUS = {0!r}, {1!r}, {2!r}, False
def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [("Inhibit", {3!r}, {4!r}, {5!r}), ("Uninhibit", "u", "", ""),
                                 ("UnInhibit", "u", "", "")])
"""


def client(session="-", system="-", timeout="300"):
    return subprocess.Popen([CLIENT, session, system, timeout], text=True, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)


def ask(process, command):
    process.stdin.write(command + "\n")
    process.stdin.flush()
    return process.stdout.readline().strip()


def start_logind(env):  # on the bus of `env`, with a /run/systemd of its own
    config = "[Login]\\nNAutoVTs=0\\nReserveVT=0\\nIdleAction=ignore\\n" + "".join(
        f"Handle{key}=ignore\\n" for key in "PowerKey SuspendKey HibernateKey RebootKey "
        "LidSwitch LidSwitchExternalPower LidSwitchDocked".split())
    return subprocess.Popen([
        "unshare", "--mount", "sh", "-c", "set -e; mkdir -p /run/systemd; mount -t tmpfs "
        "tmpfs /run/systemd; mkdir /run/systemd/logind.conf.d; printf '" + config +
        f"' >/run/systemd/logind.conf.d/test.conf; exec {LOGIND}"],
        env={**env, "SYSTEMD_LOG_TARGET": "console"}, stdout=subprocess.DEVNULL)


def locks(env):  # who uid user pid comm what why… mode
    return [(w[:4], w[5], " ".join(w[6:-1]), w[-1]) for w in map(str.split, subprocess.run(
        ["systemd-inhibit", "--list", "--no-legend", "--no-pager"], capture_output=True,
        text=True, check=True, env=env).stdout.splitlines())]


class SessionServices(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_session_bus()

    def calls(self, service, path=None):
        return [(str(m), list(a)) for _, m, a in self.get_dbus().get_object(
            service[0], path or service[1]).GetCalls(dbus_interface=dbusmock.MOCK_IFACE)]

    def test_a_grant_that_comes_after_the_release_is_given_back(self):
        mock = self.spawn_server(*SERVICES[0][:3], stdout=subprocess.DEVNULL)
        self.addCleanup(lambda: (mock.terminate(), mock.wait()))
        self.get_dbus().get_object(*SERVICES[0][:2]).AddMethods(SERVICES[0][2], [
            ("Inhibit", "susu", "u", HANG + "ret = 7"), ("Uninhibit", "u", "", "")],
            dbus_interface=dbusmock.MOCK_IFACE)
        with client(os.environ["DBUS_SESSION_BUS_ADDRESS"], timeout="5000") as process:
            self.assertEqual(ask(process, "inhibit\nrelease"), "released")  # before any answer
            wait_for(lambda: ("Uninhibit", [7]) in self.calls(SERVICES[0]), 5, "cookie 7 back")
            process.stdin.close()

    def test_the_surest_service_that_grants_holds_it_with_the_right_call_until_released(self):
        bus, mocks = self.get_dbus(), {}
        for modes, holder in [((GRANT, GRANT, GRANT), 0), ((REFUSE, GRANT, GRANT), 1),
                              ((HANG, ABSENT, GRANT), 2), ((ABSENT, REFUSE, HANG), None),
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
                    if modes[2] == HANG:  # the request the portal makes for the client's call
                        d = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
                        name = wait_for(lambda: [n for n in d.ListNames() if n[0] == ":" and
                                                 d.GetConnectionUnixProcessID(n) == process.pid],
                                        5, "the client on the bus")
                        request = f"{REQUEST}{name[0][1:].replace('.', '_')}/vornix1"
                        bus.get_object(*SERVICES[2][:2]).AddObject(
                            request, "org.freedesktop.portal.Request", {},
                            [("Close", "", "", "")], dbus_interface=dbusmock.MOCK_IFACE)
                    asked = range(3 if holder is None else holder + 1)
                    self.assertEqual(ask(process, "inhibit"), " ".join(
                        [{None: "none", 2: "requested"}.get(holder, "held")] +
                        [SERVICES[i][8] for i in {holder} - {None}] +
                        [f"{SERVICES[i][8]}:{CAUSES[modes[i]]}" for i in asked if i != holder] +
                        ["logind:other"]))  # no system bus
                    for i in mocks:  # asked in order until one grants, with the right words
                        self.assertEqual(self.calls(SERVICES[i]), [("Inhibit", SERVICES[i][6])] * (
                            i in asked))
                    if holder == 2:  # a request the portal's backend turns down
                        bus.get_object(SERVICES[2][0], REQUEST + "x/vornix1").EmitSignal(
                            "org.freedesktop.portal.Request", "Response", "ua{sv}",
                            [2, dbus.Dictionary(signature="sv")],
                            dbus_interface=dbusmock.MOCK_IFACE)
                        self.assertEqual(process.stdout.readline().strip(), "none gnomeSession:"
                                         "timeout powerManagement:noService desktopPortal:other "
                                         "logind:other")
                    self.assertEqual(ask(process, "release"), "released")
                    # withdrawn where held; a portal given up on closes its request all the same
                    for i in {holder} - {None, 2} | ({2} if modes[2] == HANG else set()):
                        wait_for(lambda: SERVICES[i][7] in self.calls(
                            SERVICES[i], request if i == 2 else None), 5, f"{SERVICES[i][7]}")
                    process.stdin.close()


@unittest.skipUnless(os.geteuid() == 0 and os.access(LOGIND, os.X_OK) and
                     shutil.which("systemd-inhibit") and shutil.which("unshare"),
                     "starting systemd-logind needs root, Debian's systemd and util-linux")
class Logind(dbusmock.DBusTestCase):
    def test_an_idle_block_lock_held_until_released_destroyed_or_killed(self):
        self.start_system_bus()
        self.ended(start_logind(os.environ))
        wait_for(lambda: self.get_dbus(True).name_has_owner("org.freedesktop.login1"), 10,
                 "systemd-logind on the test's bus")
        for end_ in ("release", "destroy", "kill"):
            with client(system=os.environ["DBUS_SYSTEM_BUS_ADDRESS"]) as process:  # no desktop
                self.assertEqual(ask(process, "inhibit"), "held logind gnomeSession:other "
                                 "powerManagement:other desktopPortal:other")
                self.assertEqual(locks(os.environ), [(["Vornix", "0", "root", str(process.pid)],
                                                      "idle", REASON, "block")])
                process.kill() if end_ == "kill" else ask(process, end_)
                wait_for(lambda: not locks(os.environ), 5, f"the lock to go after {end_}")

    def ended(self, process):
        self.addCleanup(lambda: (process.terminate(), process.wait()))

    def test_in_the_program_as_services_come_and_go(self):
        """the log, the bus and the panel under the switch tell what holds sleep off"""
        with tempfile.TemporaryDirectory() as scratch:
            desktop = Desktop(scratch, scratch, Processes(f"{scratch}/logs"))
            try:
                desktop.start(system=False, only=["org.a11y.Bus"])
            except Skip as skip:
                self.skipTest(str(skip))
            try:
                self.come_and_go(desktop, scratch)
            finally:
                desktop.close()
                desktop.processes.end_all()

    def come_and_go(self, desktop, scratch):
        for p in desktop.processes.started[-2:]:  # no portal, no tray: the panel is a window
            end(p)
        env = {**desktop.environment(), "DBUS_SYSTEM_BUS_ADDRESS": desktop.processes.spawn_printing(
            "system-bus", ["dbus-daemon", "--session", "--nofork", "--print-address={fd}"],
            desktop.environment())}
        pid, bus = desktop.start_vornix(VORNIX, **env).pid, dbus.bus.BusConnection(
            desktop.session_bus)
        wait_for(lambda: bus.name_has_owner("io.vornix.Vornix"), 15, "vornix on the bus")
        vornix = bus.get_object("io.vornix.Vornix", "/io/vornix/Vornix")
        panel, seen = Panel(pid), [0]

        def told(label, detail, note, state):  # by the log, the panel and --status --json
            event = wait_for(lambda: vornix.Subscribe()[seen[0]:], 10, label)[0]
            seen[0] += 1
            self.assertEqual((event["kind"], event["detail"]), (label, detail))
            wait_for(lambda: panel.find("ROLE_LABEL", note), 10, f"the note {note!r}")
            status = json.loads(subprocess.run([VORNIX, "--status", "--json"], env=env,
                                               capture_output=True, text=True).stdout)
            self.assertEqual((status["sleepPrevented"], status["sleepPrevention"]["state"]),
                             (state != "none", state))
        vornix.SetKeepingAwake(True)
        told("Sleep prevention unavailable", "GNOME session: no such service; power manager: no "
             "such service; desktop portal: no such service; logind: no such service",
             "The computer may still go to sleep: nothing keeps it awake.", "none")
        self.ended(start_logind(env))
        told("Sleep prevention started", "logind idle lock (partial: the desktop may still "
             "suspend); GNOME session: no such service; power manager: no such service; desktop "
             "portal: no such service", "The computer may still go to sleep: only logind keeps it "
             "awake, not the desktop.", "partial")
        self.assertEqual([w[1:] for w in locks(env)], [("idle", REASON, "block")])
        mocks = []
        for i, service in enumerate(SERVICES[:2]):
            with open(f"{scratch}/{service[8]}.py", "w") as template:
                template.write(TEMPLATE.format(*service[:5], service[5]))
            mocks.append(desktop.spawn(service[8], [sys.executable, "-m", "dbusmock", "--template",
                                                    template.name]))
            wait_for(lambda: bus.name_has_owner(service[0]), 10, service[0])
            if i == 0:
                told("Sleep prevention started", "GNOME session and logind idle lock",
                     "Sleep prevented: GNOME session", "held")
        end(mocks[0])
        told("Sleep prevention lost", "GNOME session left the bus; now: power manager and logind "
             "idle lock", "Sleep prevented: power manager", "held")
        vornix.SetKeepingAwake(False)
        wait_for(lambda: not locks(env) and desktop.calls("powerManagement", "UnInhibit"), 5,
                 "logind's lock and the power manager's cookie to go")
        self.assertEqual(len(desktop.calls("powerManagement", "Inhibit")), 1)  # once gnome left


if __name__ == "__main__":
    unittest.main(verbosity=2)
