#!/usr/bin/env python3
"""Checks the description template and the service descriptions in a data source tree.

No UPnP schema is at hand, so besides well-formedness this checks the structure that the
daemon and a head unit rely on: the identity elements it fills, the two services with their
actions and evented variables, and that every URL names a file that is published or a path
that no published file shadows.
"""
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

DEVICE_NS = "{urn:schemas-upnp-org:device-1-0}"
SERVICE_NS = "{urn:schemas-upnp-org:service-1-0}"
IDENTITY_PATHS = ["UDN", "serialNumber", "manufacturer", "modelDescription", "modelNumber", "modelName",
                  "friendlyName", "X_connectivity/bluetooth/bdAddr"]

# Every action the bridge answers, with its arguments in order as (name, direction, dataType).
SERVICES = {
    "urn:schemas-upnp-org:service:TmApplicationServer:1": {
        "serviceId": "urn:upnp-org:serviceId:TmApplicationServer1",
        "evented": {"AppListUpdate", "AppStatusUpdate"},
        "actions": {
            "GetApplicationList": [("AppListingFilter", "in", "string"), ("ProfileID", "in", "ui4"),
                                   ("AppListing", "out", "string")],
            "LaunchApplication": [("AppID", "in", "string"), ("ProfileID", "in", "ui4"), ("AppURI", "out", "string")],
            "TerminateApplication": [("AppID", "in", "string"), ("ProfileID", "in", "ui4"),
                                     ("TerminationResult", "out", "string")],
            "GetApplicationStatus": [("AppID", "in", "string"), ("AppStatus", "out", "string")],
        },
    },
    "urn:schemas-upnp-org:service:TmClientProfile:1": {
        "serviceId": "urn:upnp-org:serviceId:TmClientProfile1",
        "evented": {"UnusedProfileIDs"},
        "actions": {
            "GetMaxNumProfiles": [("NumProfilesAllowed", "out", "ui4")],
            "SetClientProfile": [("ProfileID", "in", "ui4"), ("ClientProfile", "in", "string"),
                                 ("ResultProfile", "out", "string")],
            "GetClientProfile": [("ProfileID", "in", "ui4"), ("ClientProfile", "out", "string")],
        },
    },
}

DATA_DIR = Path()


def parse(path):
    return ElementTree.parse(path).getroot()


def published_file(url):
    """The data file served under an absolute HTTP path, or None: the installation directory
    is served at "/" (data/xml -> /xml, data/share -> /share) and the icons also at /icons."""
    if url.startswith("/icons/"):
        return DATA_DIR / "share" / "icons" / url[len("/icons/"):]
    if url.startswith("/xml/") or url.startswith("/share/"):
        return DATA_DIR / url[1:]
    return None


def png_geometry(path):
    data = path.read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    width, height, bit_depth, colour_type = struct.unpack(">IIBB", data[16:26])
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour_type, 0)
    return width, height, bit_depth * channels


def text(element, tag, ns):
    child = element.find(ns + tag)
    return None if child is None else (child.text or "")


class WellFormed(unittest.TestCase):
    def test_every_xml_file_is_well_formed(self):
        files = sorted(DATA_DIR.rglob("*.xml"))
        self.assertGreaterEqual(len(files), 3)
        for path in files:
            with self.subTest(path.name):
                result = subprocess.run(["xmllint", "--noout", str(path)], capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)


class DeviceTemplate(unittest.TestCase):
    def setUp(self):
        self.root = parse(DATA_DIR / "xml" / "tmserverdevice.xml")
        devices = self.root.findall(DEVICE_NS + "device")
        self.assertEqual(len(devices), 1, "the daemon edits the first device only")
        self.device = devices[0]

    def test_root_device(self):
        self.assertEqual(self.root.tag, DEVICE_NS + "root")
        version = self.root.find(DEVICE_NS + "specVersion")
        self.assertEqual((text(version, "major", DEVICE_NS), text(version, "minor", DEVICE_NS)), ("1", "0"))
        self.assertEqual(text(self.device, "deviceType", DEVICE_NS), "urn:schemas-upnp-org:device:TmServerDevice:1")

    def test_identity_elements_exist_and_are_empty(self):
        # Any text in UDN, even whitespace, would stop the daemon from ever generating one.
        for path in IDENTITY_PATHS:
            with self.subTest(path):
                matches = self.device.findall("/".join(DEVICE_NS + part for part in path.split("/")))
                self.assertEqual(len(matches), 1)
                self.assertEqual(len(matches[0]), 0, "has child elements")
                self.assertIsNone(matches[0].text)

    def test_services_declared_with_exact_types_and_ids(self):
        declared = {}
        for service in self.device.iterfind(f"{DEVICE_NS}serviceList/{DEVICE_NS}service"):
            declared[text(service, "serviceType", DEVICE_NS)] = text(service, "serviceId", DEVICE_NS)
        self.assertEqual(declared, {kind: expected["serviceId"] for kind, expected in SERVICES.items()})

    def test_service_urls(self):
        handled_paths = []
        for service in self.device.iterfind(f"{DEVICE_NS}serviceList/{DEVICE_NS}service"):
            scpd = published_file(text(service, "SCPDURL", DEVICE_NS))
            self.assertIsNotNone(scpd)
            self.assertTrue(scpd.is_file(), scpd)
            for tag in ("controlURL", "eventSubURL"):
                url = text(service, tag, DEVICE_NS)
                with self.subTest(url):
                    self.assertTrue(url.startswith("/"))
                    self.assertIsNone(published_file(url), "would be shadowed by or shadow published files")
                    handled_paths.append(url)
        self.assertEqual(len(handled_paths), len(set(handled_paths)))

    def test_icons_match_published_files(self):
        icons = list(self.device.iterfind(f"{DEVICE_NS}iconList/{DEVICE_NS}icon"))
        self.assertTrue(icons)
        for icon in icons:
            url = text(icon, "url", DEVICE_NS)
            with self.subTest(url):
                self.assertEqual(text(icon, "mimetype", DEVICE_NS), "image/png")
                path = published_file(url)
                self.assertIsNotNone(path)
                self.assertTrue(path.is_file(), path)
                declared = tuple(int(text(icon, tag, DEVICE_NS)) for tag in ("width", "height", "depth"))
                self.assertEqual(png_geometry(path), declared)


class ServiceDescriptions(unittest.TestCase):
    def scpd_for(self, service_type):
        template = parse(DATA_DIR / "xml" / "tmserverdevice.xml")
        for service in template.iterfind(f"{DEVICE_NS}device/{DEVICE_NS}serviceList/{DEVICE_NS}service"):
            if text(service, "serviceType", DEVICE_NS) == service_type:
                return parse(published_file(text(service, "SCPDURL", DEVICE_NS)))
        self.fail(f"{service_type} is not declared")

    def test_services(self):
        for service_type, expected in SERVICES.items():
            with self.subTest(service_type):
                self.check_service(self.scpd_for(service_type), expected)

    def check_service(self, scpd, expected):
        self.assertEqual(scpd.tag, SERVICE_NS + "scpd")
        version = scpd.find(SERVICE_NS + "specVersion")
        self.assertEqual((text(version, "major", SERVICE_NS), text(version, "minor", SERVICE_NS)), ("1", "0"))

        variables = {}
        for variable in scpd.iterfind(f"{SERVICE_NS}serviceStateTable/{SERVICE_NS}stateVariable"):
            name = text(variable, "name", SERVICE_NS)
            self.assertNotIn(name, variables, "state variable declared twice")
            variables[name] = (text(variable, "dataType", SERVICE_NS), variable.get("sendEvents"))
        evented = {name for name, (_, send_events) in variables.items() if send_events == "yes"}
        self.assertEqual(evented, expected["evented"])
        for name in expected["evented"]:
            self.assertEqual(variables[name][0], "string")
        for name, (_, send_events) in variables.items():
            if name not in expected["evented"]:
                self.assertEqual(send_events, "no", name)

        actions = {}
        for action in scpd.iterfind(f"{SERVICE_NS}actionList/{SERVICE_NS}action"):
            name = text(action, "name", SERVICE_NS)
            self.assertNotIn(name, actions, "action declared twice")
            arguments = []
            for argument in action.iterfind(f"{SERVICE_NS}argumentList/{SERVICE_NS}argument"):
                related = text(argument, "relatedStateVariable", SERVICE_NS)
                self.assertIn(related, variables, f"{name}: unknown relatedStateVariable")
                self.assertTrue(related.startswith("A_ARG_TYPE_"), f"{name}: argument tied to {related}")
                arguments.append((text(argument, "name", SERVICE_NS), text(argument, "direction", SERVICE_NS),
                                  variables[related][0]))
            actions[name] = arguments
        self.assertEqual(actions, expected["actions"])


if __name__ == "__main__":
    DATA_DIR = Path(sys.argv.pop(1))
    unittest.main()
