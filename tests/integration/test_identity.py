"""The handset's identity in the description the head unit fetches, and in the template written back
on the first start, for the platform services and files a handset may or may not have."""
import shlex
import socket
import sys
import unittest

from gi.repository import GLib

import testbed

HOSTNAMED = ("org.freedesktop.hostname1", "/org/freedesktop/hostname1")
MODEMS = ("org.freedesktop.ModemManager1", "/org/freedesktop/ModemManager1")
MARKUP = "Tom & Jerry's <\"phone\"> &amp; more"
UUID = r"^uuid:[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"
HOSTNAME = {"HardwareVendor": "Kestrel", "HardwareModel": "K-7", "PrettyHostname": "Kestrel Phone"}
# platform: hostnamed properties, modem paths under MODEMS with their IMEIs, BlueZ 5 adapter alias,
# DMI files; expected: template fields written on the first start, served fields on every start.
CASES = [
    ("everything answers", dict(hostnamed=HOSTNAME, modems={"10": "imei-10", "2": "imei-2"}, alias="Kitchen radio"),
     {"serialNumber": "imei-2", "manufacturer": "Kestrel", "modelDescription": "Kestrel", "modelNumber": "K-7",
      "modelName": "Kestrel Phone"}, {"friendlyName": "Kitchen radio", "bdAddr": "000102030405"}),
    ("empty hostnamed values and alias fall through", dict(
        hostnamed=dict.fromkeys(HOSTNAME, ""), alias="", dmi={"sys_vendor": "Plover Systems\n",
                                                              "product_name": "Plover 14\n"}),
     {"manufacturer": "Plover Systems", "modelNumber": "Plover 14", "modelName": "Plover 14"},
     {"friendlyName": "hci0"}),
] + [(what, platform, {"serialNumber": "", "manufacturer": ""}, {"friendlyName": socket.gethostname(), "bdAddr": ""})
      for what, platform in (("nothing answers", {}), ("a system bus that never answers", dict(hung_bus=True)))] + [
    ("markup characters", dict(hostnamed=dict(HOSTNAME, PrettyHostname=MARKUP, HardwareVendor=MARKUP)),
     {"manufacturer": MARKUP, "modelName": MARKUP}, {"friendlyName": MARKUP}),
] + [(f"filled UDN {udn!r} is kept and nothing written", dict(hostnamed=HOSTNAME, udn=udn),
      {"UDN": udn, "manufacturer": ""}, {"UDN": udn, "friendlyName": "Kestrel Phone"})
     for udn in ("uuid:00000000-0000-4000-8000-000000000001", " ")]


class Identity(unittest.TestCase):
    def mock(self, bus, name, path, *arguments, method="AddProperties", template=None, interface=None):
        if not self.bed.name_has_owner(name, self.bed.system_bus):
            options = ["--template", template] if template else ["-m"] * (name == MODEMS[0]) + [name, path, name]
            self.bed.start_service([sys.executable, "-m", "dbusmock", "--system", *options], name, self.bed.system_bus)
        bus.call_sync(name, path, interface or "org.freedesktop.DBus.Mock", method, GLib.Variant(*arguments), None, 0,
                      5000, None)

    def start_platform(self, hostnamed=None, modems=(), alias=None, dmi=None, udn=None, hung_bus=False):
        if hung_bus:
            # Connections are accepted (into the backlog) and never answered.
            self.addCleanup((listener := socket.socket(socket.AF_UNIX)).close)
            listener.bind(str(path := self.bed.directory / "hung-bus"))
            listener.listen()
            self.bed.system_bus = f"unix:path={path}"
            return []
        if udn is not None:
            INSTALL.template.write_bytes(INSTALL.pristine_template.read_bytes().replace(
                b"<UDN></UDN>", f"<UDN>{udn}</UDN>".encode()))
        bus = testbed.bus_connection(self.bed.system_bus)
        if hostnamed is not None:
            values = {key: GLib.Variant("s", value) for key, value in hostnamed.items()}
            self.mock(bus, *HOSTNAMED, "(sa{sv})", (HOSTNAMED[0], values))
        for number, imei in (modems or {}).items():
            self.mock(bus, *MODEMS, "(ssa{sv}a(ssss))", (f"{MODEMS[1]}/Modem/{number}", f"{MODEMS[0]}.Modem",
                                                         {"EquipmentIdentifier": GLib.Variant("s", imei)}, []),
                      method="AddObject")
        if alias is not None:
            self.mock(bus, "org.bluez", "/", "(ss)", ("hci0", "hci0"), template="bluez5", method="AddAdapter",
                      interface="org.bluez.Mock")
            self.mock(bus, "org.bluez", "/org/bluez/hci0", "(sa{sv})",
                      ("org.bluez.Adapter1", {"Alias": GLib.Variant("s", alias)}), method="UpdateProperties")
        if dmi is None:
            return []
        files = "".join(f"printf %s {shlex.quote(text)} > /sys/class/dmi/id/{name}; " for name, text in dmi.items())
        return ["unshare", "--mount", "--", "sh", "-c",
                f"mount -t tmpfs dmi /sys/class && mkdir -p /sys/class/dmi/id && {files}exec \"$@\"", "daemon"]

    def served(self, wrapper):
        daemon = self.bed.start_daemon("-i", "usb0", wrapper=wrapper)
        daemon.wait_listening()
        status, description, _ = self.bed.curl(self.bed.sole_root_device(daemon))
        self.assertEqual((status, daemon.stop()), (200, 0), daemon.log())
        return description

    def test_identity_from_the_first_source_that_answers(self):
        for what, platform, written, served in CASES:
            with self.subTest(what), testbed.Testbed("id", DAEMON, INSTALL) as self.bed:
                wrapper = self.start_platform(**platform)
                first, second = self.served(wrapper), self.served(wrapper)
                template = INSTALL.template.read_bytes()
                self.assertRegex(testbed.element(template, "UDN"), UUID if "udn" not in platform else "^")
                for description in (first, second):
                    self.assertEqual(testbed.element(description, "UDN"), testbed.element(template, "UDN"))
                    self.assertEqual({key: testbed.element(description, key) for key in served}, served)
                self.assertEqual({key: testbed.element(template, key) for key in written}, written)
                # The per-start values go into the served copy only.
                self.assertEqual(testbed.element(template, "friendlyName"), "")


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
