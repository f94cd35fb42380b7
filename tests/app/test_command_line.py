#!/usr/bin/env python3
"""Command-line behaviour of the daemon, observed through the usage text that -h prints.

Runs in a private network namespace (see CMakeLists.txt): -h must end the process before
any UPnP context is opened, so nothing here touches a network.
"""
import subprocess
import sys
import unittest

DAEMON = sys.argv.pop(1) if len(sys.argv) > 1 else "tmserverd"

USAGE = (
    "Usage: {program} [OPTION]\n"
    "\n"
    "Options:\n"
    "  -i, --interface   Define interface. Default is {interface}\n"
    "  -p, --port        Define port number (0=auto). Default is {port}\n"
    "  -h, --help        Show this message\n"
    "\n"
    "\n"
)


def run(*args):
    return subprocess.run([DAEMON, *args], capture_output=True, text=True, timeout=10)


class UsageText(unittest.TestCase):
    def assertUsage(self, args, interface, port):
        result = run(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, USAGE.format(program=DAEMON, interface=interface, port=port))

    def test_option_semantics(self):
        cases = [
            (["-h"], "usb0", 0),
            (["--help"], "usb0", 0),
            (["-i", "wlan0", "-p", "8080", "-h"], "wlan0", 8080),
            (["--interface", "wlan0", "--port", "8080", "-h"], "wlan0", 8080),
            (["--interface=wlan0", "--port=8080", "-h"], "wlan0", 8080),
            (["-i", "a", "-i", "b", "-h"], "b", 0),
            (["-p", "1", "-p", "2", "-h"], "usb0", 2),
            (["-p", "abc", "-h"], "usb0", 0),
            (["-p", "12ab", "-h"], "usb0", 12),
            (["-p", "  -7", "-h"], "usb0", -7),
            (["-p", "+9", "-h"], "usb0", 9),
            (["-i", "", "-h"], "", 0),
            (["-h", "-i", "wlan0"], "usb0", 0),
            (["extra", "words", "-i", "eth9", "-h"], "eth9", 0),
        ]
        for args, interface, port in cases:
            with self.subTest(args=args):
                self.assertUsage(args, interface, port)

    def test_unknown_options_are_reported_and_parsing_goes_on(self):
        result = run("-x", "-i", "wlan1", "--bogus", "-h")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, USAGE.format(program=DAEMON, interface="wlan1", port=0))
        self.assertIn("-- 'x'", result.stderr)
        self.assertIn("bogus", result.stderr)

    def test_missing_argument_is_reported_and_start_up_goes_on(self):
        # This namespace has no usb0, so the start-up that follows fails with status 1.
        result = run("-i")
        self.assertIn("requires an argument", result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.returncode, 1)

    def test_default_interface_is_the_usb_link_that_is_up(self):
        links = [["ip", "link", "add", "rndis3", "type", "veth", "peer", "name", "other0"],
                 ["ip", "link", "add", "usb7", "type", "veth", "peer", "name", "other1"],
                 ["ip", "link", "set", "rndis3", "up"]]
        for command in links:
            subprocess.run(command, check=True)
        try:
            self.assertUsage(["-h"], "rndis3", 0)
        finally:
            subprocess.run(["ip", "link", "del", "rndis3"], check=True)
            subprocess.run(["ip", "link", "del", "usb7"], check=True)


class EventLoop(unittest.TestCase):
    def test_refuses_to_run_without_the_glib_dispatcher(self):
        result = subprocess.run([DAEMON], capture_output=True, text=True, timeout=10,
                                env={"QT_NO_GLIB": "1", "PATH": "/usr/bin:/bin"})
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertRegex(result.stderr, r"^<3>.*GLib")


if __name__ == "__main__":
    unittest.main()
