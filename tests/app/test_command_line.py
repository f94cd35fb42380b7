#!/usr/bin/env python3
"""The command line, observed through the usage text that -h prints with the values in effect.

Runs in a private network namespace (see CMakeLists.txt): -h ends the process before any UPnP
context is opened, and the start-ups that do follow fail for want of usb0.
"""
import subprocess
import sys
import unittest

DAEMON = sys.argv.pop(1)
USAGE = ("Usage: {program} [OPTION]\n\nOptions:\n"
         "  -i, --interface   Define interface. Default is {interface}\n"
         "  -p, --port        Define port number (0=auto). Default is {port}\n"
         "  -h, --help        Show this message\n\n\n")


def run(*args, env=None):
    return subprocess.run([DAEMON, *args], capture_output=True, text=True, timeout=10, env=env)


class CommandLine(unittest.TestCase):
    def test_options(self):
        cases = [  # arguments, interface and port in the usage text, text expected on standard error
            (["-h"], "usb0", 0, ""), (["--help"], "usb0", 0, ""),
            (["-i", "wlan0", "-p", "8080", "-h"], "wlan0", 8080, ""),
            (["--interface", "wlan0", "--port=8080", "-h"], "wlan0", 8080, ""),
            (["-i", "a", "-i", "b", "-p", "1", "-p", "2", "-h"], "b", 2, ""),
            (["-p", "abc", "-h"], "usb0", 0, ""), (["-p", "12ab", "-h"], "usb0", 12, ""),
            (["-p", "  -7", "-h"], "usb0", -7, ""), (["-i", "", "-h"], "", 0, ""),
            (["-h", "-i", "wlan0"], "usb0", 0, ""), (["extra", "words", "-i", "eth9", "-h"], "eth9", 0, ""),
            (["-x", "-i", "wlan1", "--bogus", "-h"], "wlan1", 0, r"(?s)-- 'x'.*bogus"),
        ]
        for args, interface, port, complaint in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout),
                                 (0, USAGE.format(program=DAEMON, interface=interface, port=port)), result.stderr)
                self.assertRegex(result.stderr, complaint or r"\A\Z")

    def test_failed_start_ups_exit_1_with_nothing_on_stdout(self):
        for args, env, complaint in ((["-i"], None, "requires an argument"),
                                     ([], {"QT_NO_GLIB": "1", "PATH": "/usr/bin:/bin"}, r"^<3>.*GLib")):
            with self.subTest(args=args, env=env):
                result = run(*args, env=env)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertRegex(result.stderr, complaint)

    def test_default_interface_is_the_first_usb_link_that_is_up(self):
        rows = [("usb7 rndis3+ usb5+", "rndis3"), ("ncm2+", "ncm2"), ("eth4+ usb8", "usb0")]  # created in order; + is up
        for links, expected in rows:
            with self.subTest(links=links):
                for index, link in enumerate(links.split()):
                    subprocess.run(["ip", "link", "add", link.rstrip("+"), "type", "veth", "peer", "name", f"peer{index}"],
                                   check=True)
                    if link.endswith("+"):
                        subprocess.run(["ip", "link", "set", link.rstrip("+"), "up"], check=True)
                try:
                    self.assertEqual(run("-h").stdout, USAGE.format(program=DAEMON, interface=expected, port=0))
                finally:
                    for link in links.split():
                        subprocess.run(["ip", "link", "del", link.rstrip("+")], check=True)

if __name__ == "__main__":
    unittest.main()
