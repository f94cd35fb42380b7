#!/usr/bin/python3
"""Fails the build when the description template, the service descriptions, the back-end's contract
and the relay's route tables disagree: an action or variable renamed or retyped in one place only
would reach the head unit as a failing action, a filled identity element would never be personalised,
an icon would be announced with the wrong size.

  check-descriptions.py SOURCE_DIR STAMP
"""
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

D, S = "{urn:schemas-upnp-org:device-1-0}", "{urn:schemas-upnp-org:service-1-0}"
IDENTITY = ["UDN", "serialNumber", "manufacturer", "modelDescription", "modelNumber", "modelName", "friendlyName",
            "X_connectivity/bluetooth/bdAddr"]
DBUS_TYPE = {"string": "s", "ui4": "u"}
RESULT = {"string": "(sis)", "ui4": "(uis)"}


def published(data, url):
    """The data file the daemon serves under an absolute URL path, or None."""
    if url.startswith("/icons/"):
        return data / "share" / url[1:]
    return data / url[1:] if url.startswith(("/xml/", "/share/")) else None


def scpd(path):
    """({action: [(argument, direction, type)]}, {evented variable}) of a service description."""
    root = ElementTree.parse(path).getroot()
    types = {v.findtext(S + "name"): v.findtext(S + "dataType") for v in root.iter(S + "stateVariable")}
    evented = {v.findtext(S + "name") for v in root.iter(S + "stateVariable") if v.get("sendEvents") == "yes"}
    actions = {a.findtext(S + "name"): [(g.findtext(S + "name"), g.findtext(S + "direction"),
                                         types[g.findtext(S + "relatedStateVariable")]) for g in a.iter(S + "argument")]
               for a in root.iter(S + "action")}
    return actions, evented


def routes(source):
    """The relay's action and query routes, read from its source."""
    text = "".join((source / "bridge" / name).read_text() for name in ("upnphandlers.cpp", "queryrelay.cpp"))
    actions = {name: (service, re.findall(r'"(\w+)"', inputs), url_base == "true", out)
               for service, name, inputs, url_base, out in re.findall(
                   r'\{Service::(\w+), &VehiraServer::(\w+),\s*\{(.*?)\},\s*(true|false),\s*"(\w+)"', text, re.S)}
    queries = {variable: (service, method) for service, variable, method in
               re.findall(r'\{Service::(\w+), "(\w+)", &VehiraServer::(\w+),', text)}
    return actions, queries


def device_problems(data, device, services):
    # Any text in UDN, even whitespace, would stop the daemon from ever generating one.
    for path in IDENTITY:
        found = device.findall("/".join(D + part for part in path.split("/")))
        if [(len(e), e.text) for e in found] != [(0, None)]:
            yield f"{path}: not one empty element"
    handled = [s.findtext(D + tag) for s in services.values() for tag in ("controlURL", "eventSubURL")]
    if [published(data, url) for url in handled] != [None] * 4 or len(set(handled)) != 4:
        yield f"control and event URLs shadow files or each other: {handled}"
    for icon in device.iter(D + "icon"):
        png = published(data, icon.findtext(D + "url")).read_bytes()
        width, height, depth, colour = struct.unpack(">IIBB", png[16:26])
        declared = tuple(int(icon.findtext(D + tag)) for tag in ("width", "height", "depth"))
        if (png[:4], width, height, depth * {2: 3, 6: 4}.get(colour, 0)) != (b"\x89PNG", *declared):
            yield f"icon {icon.findtext(D + 'url')} is not the PNG it is declared as"


def contract_problems(source, data, services):
    contract = ElementTree.parse(source / "backend" / "com.quorvex.VehiraServer.xml").getroot()
    methods = {m.get("name"): [(a.get("direction"), a.get("type")) for a in m.iter("arg")]
               for m in contract.iter("method")}
    signals = {s.get("name") for s in contract.iter("signal")}
    action_routes, query_routes = routes(source)
    seen = set()
    for service, element in services.items():
        actions, evented = scpd(published(data, element.findtext(D + "SCPDURL")))
        for name, arguments in actions.items():
            inputs = [(arg, t) for arg, direction, t in arguments if direction == "in"]
            (out, _, out_type), = [a for a in arguments if a[1] == "out"]
            route_service, route_inputs, url_base, route_out = action_routes.get(name, ("", [], False, ""))
            expected = [("in", DBUS_TYPE[t]) for _, t in inputs] + [("in", "s")] * url_base
            if (("Tm" + route_service, route_out, route_inputs) != (service, out, [arg for arg, _ in inputs])
                    or methods.get(name) != expected + [("out", RESULT[out_type])]):
                yield f"action {name}: description, route and contract disagree"
            seen.add(name)
        for variable in evented:
            route_service, method = query_routes.get(variable, ("", ""))
            if (methods.get(method) != [("out", "s")] or "Tm" + route_service != service
                    or method[len("Get"):] + "Changed" not in signals):
                yield f"variable {variable}: description, route and contract disagree"
            seen.add(method)
    if seen != set(methods) or seen != set(action_routes) | {method for _, method in query_routes.values()}:
        yield "back-end methods or routes without a UPnP counterpart"


def main(source, stamp):
    source = Path(source)
    data = source / "data"
    device = ElementTree.parse(data / "xml" / "tmserverdevice.xml").getroot().find(D + "device")
    services = {s.findtext(D + "serviceType").split(":")[3]: s for s in device.iter(D + "service")}
    problems = [*device_problems(data, device, services), *contract_problems(source, data, services)]
    for problem in problems:
        print(f"check-descriptions: {problem}", file=sys.stderr)
    if problems:
        sys.exit(1)
    Path(stamp).write_text("agree\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
