#!/usr/bin/env python3
"""The description template and the service descriptions, and their agreement with the back-end's
contract and the relay's route table: an action or variable renamed or retyped in one place only
would reach the head unit as a failing action.

  check_descriptions.py SOURCE_DIR
"""
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

SOURCE = Path(sys.argv.pop(1))
DATA = SOURCE / "data"
D, S = "{urn:schemas-upnp-org:device-1-0}", "{urn:schemas-upnp-org:service-1-0}"
IDENTITY = ["UDN", "serialNumber", "manufacturer", "modelDescription", "modelNumber", "modelName", "friendlyName",
            "X_connectivity/bluetooth/bdAddr"]
DBUS_TYPE = {"string": "s", "ui4": "u"}
RESULT = {"string": "(sis)", "ui4": "(uis)"}
TEMPLATE = ElementTree.parse(DATA / "xml" / "tmserverdevice.xml").getroot()
DEVICE = TEMPLATE.find(D + "device")
SERVICES = {s.findtext(D + "serviceType").split(":")[3]: s for s in DEVICE.iter(D + "service")}


def published(url):
    """The data file the daemon serves under an absolute URL path, or None."""
    if url.startswith("/icons/"):
        return DATA / "share" / url[1:]
    return DATA / url[1:] if url.startswith(("/xml/", "/share/")) else None


def scpd(service):
    """({action: [(argument, direction, type)]}, {evented variable}) of a service description."""
    root = ElementTree.parse(published(SERVICES[service].findtext(D + "SCPDURL"))).getroot()
    types = {v.findtext(S + "name"): v.findtext(S + "dataType") for v in root.iter(S + "stateVariable")}
    evented = {v.findtext(S + "name") for v in root.iter(S + "stateVariable") if v.get("sendEvents") == "yes"}
    actions = {a.findtext(S + "name"): [(g.findtext(S + "name"), g.findtext(S + "direction"),
                                         types[g.findtext(S + "relatedStateVariable")]) for g in a.iter(S + "argument")]
               for a in root.iter(S + "action")}
    return actions, evented


def routes():
    """The relay's action and query routes, read from its source."""
    text = "".join((SOURCE / "bridge" / name).read_text() for name in ("upnphandlers.cpp", "queryrelay.cpp"))
    actions = {name: (service, re.findall(r'"(\w+)"', inputs), url_base == "true", out)
               for service, name, inputs, url_base, out in re.findall(
                   r'\{Service::(\w+), &VehiraServer::(\w+),\s*\{(.*?)\},\s*(true|false),\s*"(\w+)"', text, re.S)}
    queries = {variable: (service, method) for service, variable, method in
               re.findall(r'\{Service::(\w+), "(\w+)", &VehiraServer::(\w+),', text)}
    return actions, queries


class Descriptions(unittest.TestCase):
    def test_identity_elements_exist_once_and_empty(self):
        # Any text in UDN, even whitespace, would stop the daemon from ever generating one.
        for path in IDENTITY:
            found = DEVICE.findall("/".join(D + part for part in path.split("/")))
            self.assertEqual([(len(e), e.text) for e in found], [(0, None)], path)

    def test_urls_name_published_files_or_unshadowed_paths(self):
        handled = [s.findtext(D + tag) for s in SERVICES.values() for tag in ("controlURL", "eventSubURL")]
        self.assertEqual([published(url) for url in handled], [None] * 4)
        self.assertEqual(len(set(handled)), 4)
        for icon in DEVICE.iter(D + "icon"):
            data = published(icon.findtext(D + "url")).read_bytes()
            width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
            declared = tuple(int(icon.findtext(D + tag)) for tag in ("width", "height", "depth"))
            self.assertEqual((data[:4], width, height, depth * {2: 3, 6: 4}[colour]), (b"\x89PNG", *declared))

    def test_descriptions_contract_and_routes_agree(self):
        contract = ElementTree.parse(SOURCE / "backend" / "com.quorvex.VehiraServer.xml").getroot()
        methods = {m.get("name"): [(a.get("direction"), a.get("type")) for a in m.iter("arg")]
                   for m in contract.iter("method")}
        signals = {s.get("name") for s in contract.iter("signal")}
        action_routes, query_routes = routes()
        seen = set()
        for service in SERVICES:
            actions, evented = scpd(service)
            for name, arguments in actions.items():
                inputs = [(arg, t) for arg, direction, t in arguments if direction == "in"]
                (out, _, out_type), = [a for a in arguments if a[1] == "out"]
                route_service, route_inputs, url_base, route_out = action_routes[name]
                self.assertEqual(("Tm" + route_service, route_out), (service, out), name)
                self.assertEqual(route_inputs, [arg for arg, _ in inputs], name)
                expected = [("in", DBUS_TYPE[t]) for _, t in inputs] + [("in", "s")] * url_base
                self.assertEqual(methods[name], expected + [("out", RESULT[out_type])], name)
                seen.add(name)
            for variable in evented:
                route_service, method = query_routes[variable]
                self.assertEqual(methods[method], [("out", "s")], variable)
                self.assertEqual("Tm" + route_service, service, variable)
                self.assertIn(method[len("Get"):] + "Changed", signals)
                seen.add(method)
        self.assertEqual(seen, set(methods), "back-end methods without a UPnP counterpart")
        self.assertEqual(seen, set(action_routes) | {method for _, method in query_routes.values()})


if __name__ == "__main__":
    unittest.main()
