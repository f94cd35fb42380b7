"""SOAP requests and answers as a head unit writes and reads them."""
import xml.etree.ElementTree as ElementTree
from urllib.parse import urljoin
from xml.sax.saxutils import escape

ENVELOPE_NAMESPACE = "http://schemas.xmlsoap.org/soap/envelope/"
CONTROL_NAMESPACE = "urn:schemas-upnp-org:control-1-0"
DEVICE = "{urn:schemas-upnp-org:device-1-0}"


def local_name(element):
    return element.tag.rsplit("}", 1)[-1]


def service_urls(location, description):
    """{serviceType: {"controlURL": .., "eventSubURL": .., "SCPDURL": ..}}, absolute, from a device description."""
    services = {}
    for service in ElementTree.fromstring(description).iter(f"{DEVICE}service"):
        services[service.findtext(f"{DEVICE}serviceType")] = {
            tag: urljoin(location, service.findtext(f"{DEVICE}{tag}")) for tag in ("controlURL", "eventSubURL", "SCPDURL")}
    return services


def envelope(namespace, action, arguments):
    body = "".join(f"<{name}>{escape(str(value))}</{name}>" for name, value in arguments.items())
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            f'<s:Envelope xmlns:s="{ENVELOPE_NAMESPACE}" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
            f'<s:Body><u:{action} xmlns:u="{namespace}">{body}</u:{action}></s:Body>'
            '</s:Envelope>').encode()


def curl_options(namespace, action, request_file):
    return ["-X", "POST", "-H", 'Content-Type: text/xml; charset="utf-8"',
            "-H", f'SOAPACTION: "{namespace}#{action}"', "--data-binary", f"@{request_file}"]


class Answer:
    """An action's out-arguments, or its UPnP error code and description."""

    def __init__(self, status, body):
        self.status = status
        self.body = body
        self.values = {}
        self.error_code = self.error_description = None
        reply = ElementTree.fromstring(body).find(f"{{{ENVELOPE_NAMESPACE}}}Body")[0]
        if local_name(reply).endswith("Response"):
            self.values = {local_name(child): child.text or "" for child in reply}
            return
        for element in reply.iter():
            if local_name(element) == "errorCode":
                self.error_code = int(element.text)
            elif local_name(element) == "errorDescription":
                self.error_description = element.text or ""

    def __repr__(self):
        return f"Answer({self.status}, {self.values}, {self.error_code}, {self.error_description!r})"
