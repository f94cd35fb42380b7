"""Actions, queries and events of both services, relayed by the daemon to the fake back-end, as the
head unit sees them over SOAP and GENA."""
import signal
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import testbed

APP = "urn:schemas-upnp-org:service:TmApplicationServer:1"
PROFILE = "urn:schemas-upnp-org:service:TmClientProfile:1"
QUERY = "urn:schemas-upnp-org:control-1-0"
CALL_TIMEOUT_S = 5
SERVICE_OF = {"GetMaxNumProfiles": PROFILE, "SetClientProfile": PROFILE, "GetClientProfile": PROFILE}
FAILED = (501,)  # the daemon's own 501, whatever its description
# (code, the text the head unit gets when the back-end sends none): codes GUPnP has a text of its own
# for, one of these services, and codes without a standard text.
STANDARD_TEXTS = [
    (501, "MAY be returned if current state of service prevents invoking that action."),
    (830, "The profile identifier does not exist or the application cannot use the specified profile identifier."),
    (816, "The error code 816 has no known error text"),
]
REFUSING_BUS = """<busconfig><include>/usr/share/dbus-1/session.conf</include><policy context="mandatory">
<deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus" send_member="AddMatch"/>
</policy></busconfig>"""


def start_handset(bed, env):
    """The daemon on usb0 and the base URL of its HTTP server."""
    daemon = bed.start_daemon("-i", "usb0", env=env)
    port = daemon.wait_listening()
    if not testbed.wait_until(daemon.temporary_descriptions, 10):
        raise AssertionError(f"no temporary description\n{daemon.log()}")
    return daemon, f"http://{testbed.HANDSET_ADDRESS}:{port}"


class Handset:
    def __init__(self, bed, base):
        self.bed, self.base = bed, base

    def action(self, name, timeout=20, **arguments):
        service = SERVICE_OF.get(name, APP)
        return self.bed.soap(f"{self.base}/control/{service.split(':')[3]}1", service, name, timeout, **arguments)

    def query(self, variable):
        service = "TmClientProfile1" if "Profile" in variable else "TmApplicationServer1"
        return self.bed.soap(f"{self.base}/control/{service}", QUERY, "QueryStateVariable", varName=variable)


class Relay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = testbed.Testbed("rl", DAEMON, INSTALL)
        cls.addClassCleanup(cls.bed.close)
        cls.daemon, base = start_handset(cls.bed, {"TMSERVERD_CALL_TIMEOUT_MS": str(CALL_TIMEOUT_S * 1000)})
        cls.handset = Handset(cls.bed, base)
        # Before any back-end has come: the daemon answers on its own.
        cls.absent = (cls.handset.action("LaunchApplication", AppID="1"), cls.handset.query("AppListUpdate"))
        _, cls.fake = cls.bed.start_fake_backend()

    def setUp(self):
        self.fake.reset()

    def test_absent_backend_gives_501_and_empty_values(self):
        action, query = self.absent
        self.assertEqual((action.status, action.error_code), (500, 501), action.body)
        self.assertEqual((query.status, query.values), (200, {"AppListUpdate": ""}), query.body)

    def test_actions_reach_the_backend_argument_for_argument(self):
        cases = [  # action, its in-arguments, out-argument, arguments the back-end gets: each kind of argument once
            ("GetApplicationList", {"AppListingFilter": 'icon@mimetype="*png"', "ProfileID": 3}, "AppListing",
             ['icon@mimetype="*png"', 3, "URL"]),
            ("LaunchApplication", {}, "AppURI", ["", 0]),
            ("TerminateApplication", {"AppID": "0x12", "ProfileID": 4294967295}, "TerminationResult",
             ["0x12", 4294967295]),
            ("SetClientProfile", {"ProfileID": 1, "ClientProfile": "<clientProfile>é</clientProfile>"},
             "ResultProfile", [1, "<clientProfile>é</clientProfile>"]),
            ("GetClientProfile", {"ProfileID": 7}, "ClientProfile", [7]),
        ]
        for action, arguments, out, expected in cases:
            with self.subTest(action=action, arguments=arguments):
                self.fake.reset()
                self.fake.program(action, "echo")
                answer = self.handset.action(action, **arguments)
                (method, got, *_), = self.fake.calls()
                self.assertEqual(answer.values, {out: "|".join(map(str, got))}, answer.body)
                # The URL base is the server's, as the service sees it: a full URI.
                got = ["URL" if str(a).startswith(f"{self.handset.base}/") else a for a in got]
                self.assertEqual((method, got), (action, expected))

    def test_replies_become_upnp_answers(self):
        cases = [  # action, fake's program, expected (out-argument value) or (error code, description)
            ("LaunchApplication", ("reply", ""), ""),
            ("LaunchApplication", ("reply", "rtp://1", 0, "ignored on success"), "rtp://1"),
            ("GetApplicationStatus", ("reply", "", 810, "Unknown 0x5"), (810, "Unknown 0x5")),
            ("GetMaxNumProfiles", ("reply", 4), "4"),
            ("GetMaxNumProfiles", ("wrong-signature",), FAILED),
            ("LaunchApplication", ("wrong-signature",), FAILED),
            ("LaunchApplication", ("dbus-error",), FAILED),
            ("LaunchApplication", ("no-reply",), FAILED),  # at the call timeout
        ] + [("LaunchApplication", ("reply", "", code), (code, text)) for code, text in STANDARD_TEXTS]
        for action, program, expected in cases:
            with self.subTest(action=action, program=program):
                self.fake.program(action, *program)
                answer = self.handset.action(action)
                if isinstance(expected, tuple):
                    got = (answer.status, answer.error_code, answer.error_description)
                    self.assertEqual(got[:len(expected) + 1], (500, *expected))
                else:
                    self.assertEqual((answer.status, list(answer.values.values())), (200, [expected]), answer.body)

    def test_slow_action_holds_up_no_other(self):
        self.fake.program("LaunchApplication", "echo", delay_ms=4000)
        self.fake.program("GetApplicationStatus", "echo", delay_ms=1500)
        with ThreadPoolExecutor(8) as pool:
            slow = pool.submit(self.handset.action, "LaunchApplication", AppID="slow", ProfileID=1)
            self.assertTrue(testbed.wait_until(self.fake.calls, 5))
            fast = [pool.submit(self.handset.action, "GetApplicationStatus", AppID=str(i)) for i in range(7)]
            answers = [future.result() for future in fast]
        self.assertEqual([a.values for a in answers], [{"AppStatus": str(i)} for i in range(7)])
        self.assertEqual(slow.result().values, {"AppURI": "slow|1"})
        # By the back-end's record: the fast calls were all out at once, and done while the slow one was out.
        (*_, slow_replied), *others = self.fake.calls()
        self.assertLess(max(call[2] for call in others), min(call[3] for call in others), "not all were in flight")
        self.assertLess(max(call[3] for call in others), slow_replied)

    def test_queries_return_the_backends_text(self):
        cases = [("AppListUpdate", "GetAppListUpdateState", "reply", "list"),
                 ("AppStatusUpdate", "GetAppStatusUpdateState", "reply", "status"),
                 ("UnusedProfileIDs", "GetUnusedProfileIDs", "reply", "1,2"),
                 ("AppListUpdate", "GetAppListUpdateState", "dbus-error", ""),
                 ("UnusedProfileIDs", "GetUnusedProfileIDs", "wrong-signature", "")]
        for variable, method, mode, expected in cases:
            with self.subTest(variable=variable, mode=mode):
                self.fake.reset()
                self.fake.program(method, mode, expected or "not this")
                answer = self.handset.query(variable)
                self.assertEqual((answer.status, answer.values), (200, {variable: expected}), answer.body)
                self.assertIn(method, [call[0] for call in self.fake.calls()])

    def test_subscribers_get_current_values_then_the_latest(self):
        for method, value in (("GetAppListUpdateState", "list 1"), ("GetAppStatusUpdateState", "status 1"),
                              ("GetUnusedProfileIDs", "0,1")):
            self.fake.program(method, "reply", value)
        listener = testbed.EventListener(self.bed)
        app, profile = (self.bed.subscribe(f"{self.handset.base}/event/{service}", listener)
                        for service in ("TmApplicationServer1", "TmClientProfile1"))
        self.assertEqual(listener.events_of(app, 1), [{"AppListUpdate": "list 1", "AppStatusUpdate": "status 1"}])
        self.assertEqual(listener.events_of(profile, 1), [{"UnusedProfileIDs": "0,1"}])
        # Characters XML cannot carry arrive replaced, in a NOTIFY that still parses.
        changes = [("AppListUpdateStateChanged", "list 2"), ("AppStatusUpdateStateChanged", "bad \x01\x1b"),
                   ("AppListUpdateStateChanged", "list 3"), ("UnusedProfileIDsChanged", "")]
        for change in changes:
            self.fake.emit(*change)
        expected = {"AppListUpdate": "list 3", "AppStatusUpdate": "bad \ufffd\ufffd"}
        self.assertEqual(listener.state_of(app, expected), expected)
        self.assertEqual(listener.state_of(profile, {"UnusedProfileIDs": ""}), {"UnusedProfileIDs": ""})


class RefusedMatches(unittest.TestCase):
    def test_a_bus_that_refuses_the_matches_is_reported(self):
        with testbed.Testbed("rm", DAEMON, INSTALL) as bed:
            (config := bed.directory / "refusing.conf").write_text(REFUSING_BUS)
            daemon = bed.start_daemon("-i", "usb0", env={"DBUS_SESSION_BUS_ADDRESS": bed.start_bus("refusing", config)})
            expected = [f"<4>tmserver.backend: The bus refused the back-end's signal {name}Changed " for name in (
                "AppListUpdateState", "AppStatusUpdateState", "UnusedProfileIDs")] + [
                f"<3>tmserver.backend: The bus refused to report when {testbed.BACKEND_NAME} loses its owner "]
            self.assertTrue(testbed.wait_until(lambda: all(line in daemon.log() for line in expected), 10), daemon.log())


class Ending(unittest.TestCase):
    """Whatever ends the daemon, actions and queries in flight are answered first, and it leaves nothing."""

    def test_calls_in_flight_are_answered_before_exit(self):
        for how in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, "back-end leaves"):
            with self.subTest(how), testbed.Testbed("re", DAEMON, INSTALL) as bed:
                backend, fake = bed.start_fake_backend()
                daemon, base = start_handset(bed, {})  # the 25 s timeout: only the ending answers
                handset = Handset(bed, base)
                self.assertTrue(testbed.wait_until(lambda: handset.action("LaunchApplication").status == 200, 10))
                fake.reset()
                for method in ("LaunchApplication", "GetMaxNumProfiles", "GetAppStatusUpdateState"):
                    fake.program(method, "reply", delay_ms=10000)
                with ThreadPoolExecutor(3) as pool:
                    pending = [pool.submit(handset.action, name) for name in ("LaunchApplication", "GetMaxNumProfiles")]
                    self.assertTrue(testbed.wait_until(lambda: len(fake.calls()) == 2, 10), fake.calls())
                    pending.append(pool.submit(handset.query, "AppStatusUpdate"))  # asks both variables
                    self.assertTrue(testbed.wait_until(lambda: len(fake.calls()) >= 3, 10), fake.calls())
                    backend.terminate() if how == "back-end leaves" else daemon.process.send_signal(how)
                    ended = time.monotonic()
                    answers = [future.result() for future in pending]
                    self.assertLess(time.monotonic() - ended, 5)
                self.assertEqual([a.error_code for a in answers[:2]] + [answers[2].values], [501, 501, {
                    "AppStatusUpdate": ""}], answers)
                self.assertEqual(daemon.wait(), 0, daemon.log())
                self.assertEqual((daemon.temporary_descriptions(), daemon.stdout()), ([], ""))


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
