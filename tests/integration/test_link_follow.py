"""One daemon follows its USB link through an address change, a replug and a link flap."""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path
from urllib.parse import urlsplit

import testbed
from test_hostile_link import LIMIT_PROBE

APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"
CLIENT_PROFILE = "urn:schemas-upnp-org:service:TmClientProfile:1"
SUBSCRIPTIONS_PER_SERVICE, SUBSCRIPTIONS = 32, 48
WATCHDOG_S = 0.4
SUBSCRIBE = ("-X", "SUBSCRIBE", "-H", "NT: upnp:event")


class ServiceManager:
    """The service manager's end of NOTIFY_SOCKET, read as the messages come, so that none waits."""

    def __init__(self, path):
        self.socket, self.messages = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), []
        self.socket.bind(str(path))
        threading.Thread(target=self.receive, daemon=True).start()

    def receive(self):
        while True:
            self.messages.append((time.monotonic(), self.socket.recv(4096).decode()))

    def pings(self, start, end=float("inf")):
        return sum(start <= at < end and message == "WATCHDOG=1" for at, message in self.messages)

    def statuses(self):
        return [message for _, message in self.messages if "STATUS=" in message]


class LinkFollow(unittest.TestCase):
    def handset(self, *command):
        subprocess.run(["ip", "-n", self.bed.handset, *command], check=True, timeout=10)

    def replug(self):
        self.handset("link", "add", "usb0", "type", "veth", "peer", "name", "hu0", "netns", self.bed.headunit)
        subprocess.run(["bash", "-c", 'source "$1"; usb_link_configure_end "$2" usb0 10.77.0.1; '
                        'usb_link_configure_end "$3" hu0 10.77.0.2', "bash", str(testbed.USB_LINK),
                        self.bed.handset, self.bed.headunit], check=True, timeout=10)

    def assertReachable(self, daemon, address, udn, old_subscription):
        location = self.bed.sole_root_device(daemon)
        self.assertIn(f"//{address}:", location)
        self.assertEqual(self.bed.search(1)[0][1], location, "a search went unanswered")
        status, description, _ = self.bed.curl(location)
        self.assertEqual((status, testbed.element(description, "UDN")), (200, udn))
        services = testbed.soap.service_urls(location, description)
        urls = services[APP_SERVER]
        answer = self.bed.soap(urls["controlURL"], APP_SERVER, "GetApplicationStatus", AppID="0x0001")
        self.assertEqual((answer.status, answer.values), (200, {"AppStatus": "0x0001"}), answer.body)
        if old_subscription:
            status, _, _ = self.bed.curl(urls["eventSubURL"], "-X", "SUBSCRIBE", "-H", f"SID: {old_subscription}")
            self.assertEqual(status, 412, "a subscription of the old link survived")
        # Full sets each time, as the subscriptions of the link before no longer count; one more is refused
        # until one ends.
        # A SUBSCRIBE whose head unit leaves before the body its head announces leaves no subscription.
        cut = [f"CALLBACK: <{self.listener.url}>", "NT: upnp:event", "Content-Length: 10"]
        subprocess.run(self.bed.in_headunit(sys.executable, "-c", LIMIT_PROBE, "subscribe", address,
                                            str(urlsplit(location).port), json.dumps(cut), "cut"), check=True, timeout=10)
        first = None
        for url, granted in ((urls["eventSubURL"], SUBSCRIPTIONS_PER_SERVICE),
                             (services[CLIENT_PROFILE]["eventSubURL"], SUBSCRIPTIONS - SUBSCRIPTIONS_PER_SERVICE)):
            sids = [self.bed.subscribe(url, self.listener) for _ in range(granted)]
            first = first or sids[0]
            self.assertEqual(self.bed.curl(url, *SUBSCRIBE, "-H", f"CALLBACK: <{self.listener.url}>")[0], 503)
        self.assertEqual(self.bed.curl(url, "-X", "UNSUBSCRIBE", "-H", f"SID: {sids[-1]}")[0], 200)
        self.bed.subscribe(url, self.listener)
        self.listener.events_of(first, 1)  # the initial event
        return first

    def test_device_comes_back_with_the_same_identity_after_each_link_change(self):
        self.bed = testbed.Testbed("lf", DAEMON, INSTALL)
        self.addCleanup(self.bed.close)
        _, fake = self.bed.start_fake_backend()
        # Answers then carry the AppID, so an answer shows that the action reached the back-end.
        fake.program("GetApplicationStatus", mode="echo")
        # In a sanitized build: a known leak of GUPnP's, told apart by its full stack.
        leak_options = {"LSAN_OPTIONS": f"suppressions={Path(__file__).with_name('gupnp-netlink.supp')}",
                        "ASAN_OPTIONS": "fast_unwind_on_malloc=0"}
        manager = ServiceManager(self.bed.directory / "notify")
        daemon = self.bed.start_daemon("-i", "usb0", env={
            name: ":".join(filter(None, (os.environ.get(name), value))) for name, value in leak_options.items()} | {
            "NOTIFY_SOCKET": manager.socket.getsockname(), "WATCHDOG_USEC": str(int(WATCHDOG_S * 1e6))})
        self.listener = testbed.EventListener(self.bed)
        self.assertTrue(testbed.wait_until(daemon.temporary_descriptions, 10), daemon.log())
        udn = testbed.element(INSTALL.template.read_bytes(), "UDN")
        sid = self.assertReachable(daemon, testbed.HANDSET_ADDRESS, udn, None)
        published = f"STATUS=Published on usb0 {testbed.HANDSET_ADDRESS} port {daemon.listening_port()}"
        self.assertEqual(manager.statuses(), ["READY=1\n" + published])
        changes = (  # (name, how the link goes, how it comes back, the address it comes back with, why it went)
            ("address change", ("addr", "del", f"{testbed.HANDSET_ADDRESS}/24", "dev", "usb0"),
             lambda: self.handset("addr", "add", "10.77.0.5/24", "dev", "usb0"), "10.77.0.5", "address removed"),
            # The kernel may take the link down before it deletes it.
            ("replug", ("link", "del", "usb0"), self.replug, testbed.HANDSET_ADDRESS, "interface (gone|down)"),
            ("down and up", ("link", "set", "usb0", "down"), lambda: self.handset("link", "set", "usb0", "up"),
             testbed.HANDSET_ADDRESS, "interface down"),
        )
        for name, going, coming_back, address, reason in changes:
            with self.subTest(change=name):
                since = time.monotonic()
                self.handset(*going)
                cpu_before = daemon.cpu_seconds()
                time.sleep(2)
                self.assertLess(daemon.cpu_seconds() - cpu_before, 0.05, "the daemon spun while the link was gone")
                self.assertRegex(manager.statuses()[-1], rf"^STATUS=Withdrawn from usb0 \({reason}\); waiting for it$")
                # At half the interval, less whatever a loaded machine holds the daemon up.
                pings, elapsed = manager.pings(since), time.monotonic() - since
                self.assertTrue(elapsed / WATCHDOG_S + 1 < pings <= elapsed / WATCHDOG_S * 2 + 2, (pings, elapsed))
                coming_back()
                sid = self.assertReachable(daemon, address, udn, sid)
                self.assertRegex(manager.statuses()[-1], rf"^STATUS=Published on usb0 {address} port \d+$")
        os.kill(daemon.pid, signal.SIGSTOP)
        testbed.wait_until(lambda: Path(f"/proc/{daemon.pid}/stat").read_text().split()[2] == "T", 5)
        stopped = time.monotonic() + 0.1
        time.sleep(0.1 + 3 * WATCHDOG_S)
        resumed = time.monotonic()
        os.kill(daemon.pid, signal.SIGCONT)
        self.assertEqual(manager.pings(stopped, resumed), 0, "a watchdog ping while the main loop stood still")
        self.assertTrue(testbed.wait_until(lambda: manager.pings(resumed), 5))
        self.assertEqual(daemon.stop(), 0, daemon.log())


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
