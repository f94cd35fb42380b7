"""The daemon on a real veth link as the head unit meets it: announced, its description and icons
served, nothing else handed out whatever the request, and a failed bring-up leaving nothing."""
import unittest
from pathlib import Path
from urllib.parse import urljoin, urlsplit

import testbed

DEVICE_TYPE = "urn:schemas-upnp-org:device:TmServerDevice:1"
FIXED_PORT = 65535  # the highest there is
TRAVERSAL = "/../../../../../../../../../../etc/passwd"
PASSWD = Path("/etc/passwd").read_bytes().splitlines()[0]
APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"


class Serving(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = testbed.Testbed("sv", DAEMON, INSTALL)
        cls.addClassCleanup(cls.bed.close)
        # An interrupted write-back's file goes at start; a foreign file beside the template stays unserved.
        cls.leftover, foreign = (INSTALL.template.with_name(INSTALL.template.name + end) for end in (".a1B2c3", "~"))
        for planted in (cls.leftover, foreign):
            planted.write_text("not published")
        cls.addClassCleanup(foreign.unlink)
        cls.bed.start_fake_backend()
        cls.daemon = cls.bed.start_daemon("-i", "usb0", "-p", str(FIXED_PORT))
        cls.daemon.wait_listening()
        cls.searched = cls.bed.search(21)  # the first searches after start
        cls.roots = cls.bed.discover()
        cls.temporary, = testbed.wait_until(cls.daemon.temporary_descriptions, 10)
        (cls.bed.directory / "big-body").write_bytes(b"x" * 10 * 1024 * 1024)
        (cls.bed.directory / "action").write_bytes(testbed.soap.envelope(APP_SERVER, "GetApplicationList", {}))
        (cls.bed.directory / "past-limit").write_bytes(b"<a>" * 30000)
        for name, size in (("limit", 64 * 1024), ("past", 64 * 1024 + 1)):
            (cls.bed.directory / f"body-{name}").write_bytes(b"x" * size)

    def url(self, path):
        return f"http://{testbed.HANDSET_ADDRESS}:{FIXED_PORT}{path}"

    def test_announced_and_served_as_installed(self):
        self.assertEqual(len(self.roots), 1, f"root devices seen: {self.roots}\n{self.daemon.log()}")
        location, usns = next(iter(self.roots.items()))
        self.assertEqual(urljoin(location, "/"), self.url("/"))
        status, description, _ = self.bed.curl(location)
        self.assertEqual((status, description), (200, self.temporary.read_bytes()))
        self.assertEqual(testbed.element(description, "deviceType"), DEVICE_TYPE)
        self.assertIn(testbed.element(description, "UDN") + "::upnp:rootdevice", usns)
        # The servers GUPnP opened on the other interfaces (here lo) are closed.
        self.assertEqual([port for port, users in testbed.tcp_listeners(self.bed.handset)
                          if f"pid={self.daemon.pid}," in users], [FIXED_PORT])
        icons = testbed.texts(description, "url")
        self.assertTrue(icons, "the description lists no icon")
        for path in (urlsplit(urljoin(location, icon)).path for icon in icons):
            installed = INSTALL.directory / "share" / path.lstrip("/")
            self.assertEqual(self.bed.curl(self.url(path)), (200, installed.read_bytes(), 0), path)
        # GUPnP fetches its own service descriptions over HTTP; the Host check must let them through.
        self.assertNotRegex(self.daemon.log(), r"(?m)^<[0-4]>gupnp")

    def test_every_search_is_answered_within_the_window(self):
        self.assertEqual({location for _, location in self.searched}, set(self.roots))
        delays = sorted(delay for delay, _ in self.searched)
        # Spread at random over 0.1 s, whatever the MX (GSSDP alone would spread them over its 3 s): the
        # middle half spreads over less, whatever a loaded machine adds to each.
        self.assertLess(delays[15] - delays[5], 0.1, delays)

    def test_requests_get_their_status_and_never_a_foreign_file(self):
        hosted, temporary, big = "/xml/tmserverdevice.xml", self.temporary, self.bed.directory / "big-body"
        control, chunked = "/control/TmApplicationServer1", ["-H", "Transfer-Encoding: chunked"]
        cases = [  # what, path, curl options, expected status
            ("description template", hosted, [], 200),
            ("absolute path", "/etc/passwd", [], 404),
            ("double-encoded parents", "/%252e%252e/%252e%252e/etc/passwd", [], 404),
            ("encoded slashes under icons", "/icons/..%2f..%2f..%2f..%2fetc%2fpasswd", [], 404),
            ("temporary description by name", f"/{temporary.name}", [], 404),
            ("name that starts with the template's", "/xml/tmserverdevice.xml~", [], 404),
            ("temporary description by parents", f"/xml/../../../../../../../..{temporary}", [], 404),
            ("root directory", "/", [], 404),
            ("path past the length limit", "/xml/" + "a/" * 2100, [], 414),
            ("language traversal on a directory", "/icons/",
             ["-H", f"Accept-Language: de;q=0.9, {TRAVERSAL}, en;q=0.5"], 404),
            ("language traversal on a file", hosted, ["-H", f"Accept-Language: x{TRAVERSAL}"], 200),
            ("foreign Host", hosted, ["-H", f"Host: 10.77.0.99:{FIXED_PORT}"], 412),
            ("Host without port", hosted, ["-H", f"Host: {testbed.HANDSET_ADDRESS}"], 412),
            ("Host with another port", hosted, ["-H", f"Host: {testbed.HANDSET_ADDRESS}:{FIXED_PORT - 1}"], 412),
            ("HTTP/1.0 without Host", hosted, ["--http1.0", "-H", "Host:"], 412),
            ("64 KiB body", hosted, ["-X", "GET", "--data-binary", f"@{self.bed.directory}/body-limit"], 200),
            ("64 KiB and a byte", hosted, ["-X", "GET", "--data-binary", f"@{self.bed.directory}/body-past"], 413),
            ("10 MB body", hosted, ["-H", "Expect: 100-continue", "--data-binary", f"@{big}"], 413),
            ("10 MB body without waiting for 100-continue", hosted, ["-H", "Expect:", "--data-binary", f"@{big}"], 413),
            ("chunked action", control, chunked + testbed.soap.curl_options(
                APP_SERVER, "GetApplicationList", self.bed.directory / "action"), 200),
            ("chunked body past the limit", control, chunked + testbed.soap.curl_options(
                APP_SERVER, "GetApplicationList", self.bed.directory / "past-limit"), 413),
        ]
        for what, path, options, expected in cases:
            with self.subTest(what):
                status, body, uploaded = self.bed.curl(self.url(path), *options)
                self.assertEqual(status, expected)
                self.assertNotIn(PASSWD, body)
                self.assertNotIn(b"upnp_root_device_", body)
                if "Expect: 100-continue" in options:
                    self.assertEqual(uploaded, 0, "the body was asked for")
        self.assertTrue(self.daemon.running(), self.daemon.log())
        self.assertFalse(self.leftover.exists(), "an interrupted write-back's file was left")

    def test_failed_bring_up_exits_1_and_leaves_nothing(self):
        template = INSTALL.template.read_bytes()
        for args in (["-i", "nosuch0"], ["-i", "usb0", "-p", str(FIXED_PORT)], ["-i", "usb0", "-p", "65536"]):
            with self.subTest(args=args):
                daemon = self.bed.start_daemon(*args)
                self.assertEqual(daemon.wait(), 1, daemon.log())
                self.assertEqual((daemon.temporary_descriptions(), daemon.stdout()), ([], ""))
                self.assertEqual(INSTALL.template.read_bytes(), template)


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
