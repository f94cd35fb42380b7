"""SOAP requests and answers as a head unit writes and reads them."""
import xml.etree.ElementTree as ElementTree
from urllib.parse import urljoin
from xml.sax.saxutils import escape

ENVELOPE_NAMESPACE = "http://schemas.xmlsoap.org/soap/envelope/"
DEVICE = "{urn:schemas-upnp-org:device-1-0}"


def local_name(element):
    return element.tag.rsplit("}", 1)[-1]


def service_urls(location, description):
    """{serviceType: {"controlURL": .., "eventSubURL": .., "SCPDURL": ..}}, absolute, from a device description."""
    return {service.findtext(f"{DEVICE}serviceType"): {
        tag: urljoin(location, service.findtext(f"{DEVICE}{tag}")) for tag in ("controlURL", "eventSubURL", "SCPDURL")}
        for service in ElementTree.fromstring(description).iter(f"{DEVICE}service")}


def envelope(namespace, action, arguments):
    body = "".join(f"<{name}>{escape(str(value))}</{name}>" for name, value in arguments.items())
    return (f'<?xml version="1.0" encoding="utf-8"?>\n<s:Envelope xmlns:s="{ENVELOPE_NAMESPACE}" '
            f's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:{action} xmlns:u="{namespace}">'
            f'{body}</u:{action}></s:Body></s:Envelope>').encode()


def curl_options(namespace, action, request_file):
    return ["-X", "POST", "-H", 'Content-Type: text/xml; charset="utf-8"',
            "-H", f'SOAPACTION: "{namespace}#{action}"', "--data-binary", f"@{request_file}"]


class Answer:
    """An action's out-arguments, or its UPnP error code and description."""

    def __init__(self, status, body):
        self.status, self.body, self.values = status, body, {}
        self.error_code = self.error_description = None
        reply = ElementTree.fromstring(body).find(f"{{{ENVELOPE_NAMESPACE}}}Body")[0]
        if local_name(reply).endswith("Response"):
            self.values = {local_name(child): child.text or "" for child in reply}
        fields = {local_name(element): element.text or "" for element in reply.iter()}
        if "errorCode" in fields:
            self.error_code, self.error_description = int(fields["errorCode"]), fields.get("errorDescription")

    def __repr__(self):
        return f"Answer({self.status}, {self.values}, {self.error_code}, {self.error_description!r})"
