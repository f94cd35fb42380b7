"""Bring-up and shutdown of the daemon on a real veth link, observed from the head unit's side."""
import contextlib
import signal
import sys
import unittest
from pathlib import Path
from urllib.parse import urljoin, urlsplit

import testbed

DEVICE_TYPE = "urn:schemas-upnp-org:device:TmServerDevice:1"
FIXED_PORT = 50123


class BringUp(unittest.TestCase):
    def setUp(self):
        INSTALL.restore_template()
        self.addCleanup(INSTALL.restore_template)
        self.bed = testbed.Testbed("bu", DAEMON)
        self.addCleanup(self.bed.close)

    @contextlib.contextmanager
    def running_daemon(self, *args):
        """A daemon on usb0 that has opened its HTTP server and saved its description; stopped on leaving."""
        daemon = self.bed.start_daemon("-i", "usb0", *args)
        try:
            port = daemon.wait_listening()
            self.assertTrue(testbed.wait_until(daemon.temporary_descriptions, 10), "no temporary description")
            yield daemon, port
        finally:
            daemon.stop()

    def installed_file(self, url_path):
        if url_path.startswith("/icons/"):
            return INSTALL.directory / "share" / "icons" / url_path[len("/icons/"):]
        return INSTALL.directory / url_path.lstrip("/")

    def test_announces_and_serves_description_and_icon(self):
        for args, fixed_port in (([], None), (["-p", str(FIXED_PORT)], FIXED_PORT)):
            with self.subTest(args=args), self.running_daemon(*args) as (daemon, port):
                if fixed_port:
                    self.assertEqual(port, fixed_port)

                roots = self.bed.discover()
                self.assertEqual(len(roots), 1, f"root devices seen: {roots}\n{daemon.log()}")
                location, usns = roots.popitem()
                self.assertEqual((urlsplit(location).hostname, urlsplit(location).port),
                                 (testbed.HANDSET_ADDRESS, port))

                status, description, _ = self.bed.curl(location)
                self.assertEqual(status, 200)
                self.assertEqual(testbed.device_element(description, "deviceType"), DEVICE_TYPE)
                self.assertIn(testbed.device_element(description, "UDN") + "::upnp:rootdevice", usns)

                icons = testbed.icon_urls(description)
                self.assertTrue(icons, "the description lists no icon")
                for icon_url in (urljoin(location, icon) for icon in icons):
                    status, icon, _ = self.bed.curl(icon_url)
                    self.assertEqual(status, 200, icon_url)
                    self.assertEqual(icon, self.installed_file(urlsplit(icon_url).path).read_bytes())

                # GUPnP fetches its own service descriptions over HTTP; the Host check must let them through.
                self.assertNotRegex(daemon.log(), r"(?m)^<[0-4]>gupnp")
                self.assertEqual(daemon.stop(), 0, daemon.log())

    def test_failed_bring_up_exits_1_and_leaves_nothing(self):
        self.bed.start_process(
            ["ip", "netns", "exec", self.bed.handset, sys.executable, "-c",
             "import socket, time\n"
             f"s = socket.create_server(('{testbed.HANDSET_ADDRESS}', {FIXED_PORT}))\n"
             "time.sleep(60)"])
        self.assertTrue(testbed.wait_until(
            lambda: any(port == FIXED_PORT for port, _ in testbed.tcp_listeners(self.bed.handset)), 10))
        for args in (["-i", "nosuch0"], ["-i", "usb0", "-p", str(FIXED_PORT)], ["-i", "usb0", "-p", "70000"]):
            with self.subTest(args=args):
                daemon = self.bed.start_daemon(*args)
                self.assertEqual(daemon.wait(), 1, daemon.log())
                self.assertEqual(daemon.temporary_descriptions(), [])
                self.assertEqual(daemon.stdout(), "")
                self.assertEqual(INSTALL.template.read_bytes(), INSTALL.pristine_template.read_bytes())

    def test_signals_and_the_backend_leaving_end_with_status_0_and_leave_nothing(self):
        for how in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, "back-end leaves"):
            with self.subTest(how=how), self.running_daemon() as (daemon, _):
                if how == "back-end leaves":
                    self.assertTrue(testbed.wait_until(lambda: self.bed.watched(testbed.BACKEND_NAME), 10))
                    backend = self.bed.start_backend()
                    self.assertIsNone(daemon.wait(1), "the back-end's arrival ended the daemon")
                    backend.terminate()
                else:
                    daemon.send_signal(how)
                self.assertEqual(daemon.wait(), 0, daemon.log())
                self.assertEqual((daemon.temporary_descriptions(), daemon.stdout()), ([], ""))


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
