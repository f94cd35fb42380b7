#!/usr/bin/python3
"""Fails the build when the description template could not be personalised (an identity element
missing, repeated or filled: any text in UDN, even whitespace, would stop the daemon from ever
generating one), when its control or event URLs shadow published files or each other, or when an
icon is not the PNG it is announced as.

  check-template.py DATA_DIR STAMP
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

D = "{urn:schemas-upnp-org:device-1-0}"
IDENTITY = ["UDN", "serialNumber", "manufacturer", "modelDescription", "modelNumber", "modelName", "friendlyName",
            "X_connectivity/bluetooth/bdAddr"]


def published(data, url):
    """The data file the daemon serves under an absolute URL path, or None."""
    if url.startswith("/icons/"):
        return data / "share" / url[1:]
    return data / url[1:] if url.startswith(("/xml/", "/share/")) else None


def problems(data):
    device = ElementTree.parse(data / "xml" / "tmserverdevice.xml").getroot().find(D + "device")
    for path in IDENTITY:
        found = device.findall("/".join(D + part for part in path.split("/")))
        if [(len(e), e.text) for e in found] != [(0, None)]:
            yield f"{path}: not one empty element"
    services = list(device.iter(D + "service"))
    handled = [s.findtext(D + tag) for s in services for tag in ("controlURL", "eventSubURL")]
    if any(published(data, url) for url in handled) or len(set(handled)) != len(handled):
        yield f"control and event URLs shadow files or each other: {handled}"
    for icon in device.iter(D + "icon"):
        png = published(data, icon.findtext(D + "url")).read_bytes()
        width, height, depth, colour = struct.unpack(">IIBB", png[16:26])
        declared = tuple(int(icon.findtext(D + tag)) for tag in ("width", "height", "depth"))
        if (png[:4], width, height, depth * {2: 3, 6: 4}.get(colour, 0)) != (b"\x89PNG", *declared):
            yield f"icon {icon.findtext(D + 'url')} is not the PNG it is announced as"


def main(data, stamp):
    found = list(problems(Path(data)))
    for problem in found:
        print(f"check-template: {problem}", file=sys.stderr)
    if found:
        sys.exit(1)
    Path(stamp).write_text("checked\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
