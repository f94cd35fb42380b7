"""The daemon with the demo back-end, driven from the head unit's side of a private link:
SOAP actions and state-variable queries with curl, GENA events to a listener in the head
unit's namespace, and a control point from another UPnP stack."""
import argparse
import json
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import dbus

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "integration"))
import testbed  # noqa: E402
import soap  # noqa: E402

HERE = Path(__file__).resolve().parent
HEAD_UNIT_ADDRESS = "10.77.0.2"
APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"
CLIENT_PROFILE = "urn:schemas-upnp-org:service:TmClientProfile:1"
SERVICE = "{urn:schemas-upnp-org:service-1-0}"
APP_ID_UNKNOWN = (810, "The AppId does not exist or is malformed.")
PROFILE_MALFORMED = (825, "The clientProfile argument passed does not conform to XML specifications.")
PROFILE_ID_UNKNOWN = (830, "The profile identifier does not exist or the application cannot use the specified "
                           "profile identifier.")


class EventListener:
    """scripts/event-listener.py in the head unit's namespace; its NOTIFYs as they arrive."""

    def __init__(self, bed):
        self.process = subprocess.Popen(bed.in_headunit(sys.executable, str(HERE.parents[1] / "scripts" / "event-listener.py"),
                                                        HEAD_UNIT_ADDRESS),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        bed.processes.append(self.process)
        first_line = testbed.read_line(self.process.stdout, 10)
        if not first_line.startswith("listening "):
            raise AssertionError("the event listener did not start")
        self.url = f"http://{HEAD_UNIT_ADDRESS}:{first_line.split()[1]}/"
        self.events = []

    def wait_for(self, sid, predicate, timeout=10):
        """Properties of the first event of subscription sid that satisfy predicate(seq, properties)."""
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["sid"] == sid and predicate(event["seq"], event["properties"]):
                    return event["properties"]
            remaining = deadline - time.monotonic()
            line = testbed.read_line(self.process.stdout, remaining) if remaining > 0 else ""
            if not line:
                raise AssertionError(f"no matching event for {sid} within {timeout} s; seen: {self.events}")
            self.events.append(json.loads(line))


class HeadUnit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        INSTALL.restore_template()
        cls.bed = testbed.Testbed("e2e", DAEMON)
        try:
            cls.bed.start_process([BACKEND])
            if not testbed.wait_until(lambda: cls.bed.name_has_owner(testbed.BACKEND_NAME, cls.bed.session_bus), 10):
                raise AssertionError("the demo back-end did not take its bus name")
            cls.daemon = cls.bed.start_daemon("-i", "usb0")
            cls.port = cls.daemon.wait_listening()
            cls.location = cls.bed.sole_root_device(cls.daemon)
            status, description, _ = cls.bed.curl(cls.location)
            if status != 200:
                raise AssertionError(f"the description answered {status}")
            cls.services = soap.service_urls(cls.location, description)
            cls.backend = dbus.Interface(
                dbus.bus.BusConnection(cls.bed.session_bus).get_object(testbed.BACKEND_NAME, "/"),
                testbed.BACKEND_NAME)
            cls.listener = EventListener(cls.bed)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bed.close()
        INSTALL.restore_template()

    def call(self, service, action, namespace=None, **arguments):
        namespace = namespace or service
        request = self.bed.directory / "soap-request"
        request.write_bytes(soap.envelope(namespace, action, arguments))
        status, body, _ = self.bed.curl(self.services[service]["controlURL"],
                                        *soap.curl_options(namespace, action, request))
        return soap.Answer(status, body)

    def assertResult(self, answer, **values):
        self.assertEqual((answer.status, answer.values), (200, values), answer.body)

    def assertUpnpError(self, answer, error):
        self.assertEqual((answer.status, answer.error_code, answer.error_description), (500, *error), answer.body)

    def subscribe(self, service):
        headers = self.bed.directory / "subscribe-headers"
        url = self.services[service]["eventSubURL"]
        status, _, _ = self.bed.curl(url, "-X", "SUBSCRIBE", "-D", str(headers), "-H",
                                     f"CALLBACK: <{self.listener.url}>", "-H", "NT: upnp:event",
                                     "-H", "TIMEOUT: Second-300")
        self.assertEqual(status, 200)
        sid = next(line.split(":", 1)[1].strip() for line in headers.read_text().splitlines()
                   if line.lower().startswith("sid:"))
        self.addCleanup(self.bed.curl, url, "-X", "UNSUBSCRIBE", "-H", f"SID: {sid}")
        return sid

    def app_status(self, app_id):
        answer = self.call(APP_SERVER, "GetApplicationStatus", AppID=app_id)
        self.assertEqual(answer.status, 200, answer.body)
        status = ElementTree.fromstring(answer.values["AppStatus"]).find("appStatus/status")
        return status.findtext("statusType"), status.findtext("profileID")

    def test_application_listing_is_the_backends_with_icons_on_this_server(self):
        answer = self.call(APP_SERVER, "GetApplicationList", AppListingFilter="", ProfileID=0)
        self.assertEqual(answer.status, 200, answer.body)
        apps = ElementTree.fromstring(answer.values["AppListing"]).findall("app")
        self.assertEqual([app.findtext("appID") for app in apps], ["0x0001", "0x0002", "0x0003"])
        music = apps[1]
        self.assertEqual(music.findtext("name"), "Music & Radio")
        self.assertEqual(music.findtext("description"), "Plays <local> music and radio")
        # The back-end builds icon URLs from the URL base that the daemon hands it.
        icon_url = music.findtext("iconList/icon/url")
        self.assertEqual(icon_url, f"http://{testbed.HANDSET_ADDRESS}:{self.port}/icons/tmserverd-48.png")
        status, icon, _ = self.bed.curl(icon_url)
        self.assertEqual((status, icon[:8]), (200, b"\x89PNG\r\n\x1a\n"))

    def test_launch_status_and_terminate_round_trip(self):
        self.assertResult(self.call(APP_SERVER, "LaunchApplication", AppID="0x0001", ProfileID=1),
                          AppURI="demo://application/0x0001")
        self.assertEqual(self.app_status("0x0001"), ("Foreground", "1"))
        self.assertResult(self.call(APP_SERVER, "TerminateApplication", AppID="0x0001", ProfileID=1),
                          TerminationResult="true")
        self.assertEqual(self.app_status("0x0001"), ("Notrunning", "1"))

    def test_unknown_or_missing_app_id_is_upnp_error_810_with_standard_text(self):
        cases = [
            ("LaunchApplication", {"AppID": "0x7777", "ProfileID": 0}),
            ("TerminateApplication", {"AppID": "0x7777", "ProfileID": 0}),
            ("GetApplicationStatus", {"AppID": "<0x0001>"}),
            ("GetApplicationStatus", {}),
        ]
        for action, arguments in cases:
            with self.subTest(action=action, arguments=arguments):
                self.assertUpnpError(self.call(APP_SERVER, action, **arguments), APP_ID_UNKNOWN)

    def test_max_num_profiles_is_a_ui4(self):
        answer = self.call(CLIENT_PROFILE, "GetMaxNumProfiles")
        self.assertResult(answer, NumProfilesAllowed="4")
        status, scpd, _ = self.bed.curl(self.services[CLIENT_PROFILE]["SCPDURL"])
        self.assertEqual(status, 200)
        scpd = ElementTree.fromstring(scpd)
        related = next(argument.findtext(f"{SERVICE}relatedStateVariable")
                       for argument in scpd.iter(f"{SERVICE}argument")
                       if argument.findtext(f"{SERVICE}name") == "NumProfilesAllowed")
        data_type = next(variable.findtext(f"{SERVICE}dataType") for variable in scpd.iter(f"{SERVICE}stateVariable")
                         if variable.findtext(f"{SERVICE}name") == related)
        self.assertEqual(data_type, "ui4")

    def test_client_profile_round_trip_and_errors(self):
        profile = '<clientProfile><name>Head unit "A" &amp; co</name><x a=\'1\'/></clientProfile>'
        self.assertResult(self.call(CLIENT_PROFILE, "SetClientProfile", ProfileID=1, ClientProfile=profile),
                          ResultProfile=profile)
        self.assertResult(self.call(CLIENT_PROFILE, "GetClientProfile", ProfileID=1), ClientProfile=profile)
        self.assertResult(self.call(CLIENT_PROFILE, "GetClientProfile", ProfileID=2), ClientProfile="")
        cases = [
            ("SetClientProfile", {"ProfileID": 4, "ClientProfile": "<p/>"}, PROFILE_ID_UNKNOWN),
            ("GetClientProfile", {"ProfileID": 4294967295}, PROFILE_ID_UNKNOWN),
            ("SetClientProfile", {"ProfileID": 2, "ClientProfile": "<p>unclosed"}, PROFILE_MALFORMED),
            ("SetClientProfile", {"ProfileID": 2}, PROFILE_MALFORMED),
        ]
        for action, arguments, error in cases:
            with self.subTest(action=action, arguments=arguments):
                self.assertUpnpError(self.call(CLIENT_PROFILE, action, **arguments), error)

    def test_state_variable_queries_answer_the_backends_current_values(self):
        self.call(CLIENT_PROFILE, "SetClientProfile", ProfileID=0, ClientProfile="<p/>")
        cases = [
            (CLIENT_PROFILE, "UnusedProfileIDs", "GetUnusedProfileIDs"),
            (APP_SERVER, "AppListUpdate", "GetAppListUpdateState"),
            (APP_SERVER, "AppStatusUpdate", "GetAppStatusUpdateState"),
        ]
        for service, variable, method in cases:
            with self.subTest(variable=variable):
                answer = self.call(service, "QueryStateVariable", namespace=soap.CONTROL_NAMESPACE, varName=variable)
                expected = str(getattr(self.backend, method)())
                self.assertNotEqual(expected, "")
                self.assertResult(answer, **{variable: expected})

    def test_application_server_events_start_with_current_values_then_follow_a_launch(self):
        sid = self.subscribe(APP_SERVER)
        initial = self.listener.wait_for(sid, lambda seq, properties: seq == 0)
        self.assertEqual(initial, {"AppListUpdate": str(self.backend.GetAppListUpdateState()),
                                   "AppStatusUpdate": str(self.backend.GetAppStatusUpdateState())})

        self.assertEqual(self.call(APP_SERVER, "LaunchApplication", AppID="0x0003", ProfileID=0).status, 200)
        for variable in ("AppStatusUpdate", "AppListUpdate"):
            with self.subTest(variable=variable):
                self.listener.wait_for(
                    sid, lambda seq, properties: seq > 0 and "0x0003" in properties.get(variable, "").split(","))

    def test_client_profile_events_follow_unused_profile_ids(self):
        sid = self.subscribe(CLIENT_PROFILE)
        initial = self.listener.wait_for(sid, lambda seq, properties: seq == 0)
        self.assertEqual(initial, {"UnusedProfileIDs": str(self.backend.GetUnusedProfileIDs())})
        self.assertIn("3", initial["UnusedProfileIDs"].split(","))

        self.assertEqual(self.call(CLIENT_PROFILE, "SetClientProfile", ProfileID=3, ClientProfile="<p/>").status, 200)
        changed = self.listener.wait_for(sid, lambda seq, properties: seq > 0 and "UnusedProfileIDs" in properties)
        self.assertNotIn("3", changed["UnusedProfileIDs"].split(","))

    def test_control_point_of_another_upnp_stack_finds_the_device_and_calls_it(self):
        result = subprocess.run(self.bed.in_headunit("perl", str(HERE / "independent_client.pl")),
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines, ["devices=1", "NumProfilesAllowed=4", "AppURI=demo://application/0x0002"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--backend", required=True)
    options, sys.argv[1:] = parser.parse_known_args()
    BACKEND = options.backend
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
