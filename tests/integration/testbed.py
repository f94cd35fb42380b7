"""A handset and a head unit on a private veth link, for tests and benchmarks that run the daemon.

The daemon runs in the handset namespace on usb0 with private session and system buses; the head
unit's tools (gssdp-discover, an M-SEARCH sender, curl, the event listener) run in the other
namespace on hu0. Nothing leaves the machine. Every wait is bounded. Needs root.
"""
import argparse
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from gi.repository import Gio, GLib

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import soap  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[2]
USB_LINK = REPOSITORY / "scripts" / "usb-link.sh"
FAKE_BACKEND = REPOSITORY / "tests" / "fakes" / "fake_backend.py"
EVENT_LISTENER = REPOSITORY / "scripts" / "event-listener.py"
HANDSET_ADDRESS = "10.77.0.1"
HEADUNIT_INTERFACE = "hu0"
BACKEND_NAME = "com.quorvex.VehiraServer"
TEMPORARY_DESCRIPTION = re.compile(r"^upnp_root_device_\w{8}\.xml$")
PASSED_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "QT_LOGGING_RULES")
# M-SEARCHes for upnp:rootdevice, one at a time; prints [seconds to the answer, its LOCATION] of each.
SEARCHES = """
import json, re, socket, sys
from time import monotonic
search = b'M-SEARCH * HTTP/1.1\\r\\nHOST: 239.255.255.250:1900\\r\\nMAN: "ssdp:discover"\\r\\nMX: 3\\r\\nST: upnp:rootdevice\\r\\n\\r\\n'
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.bind(("10.77.0.2", 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("10.77.0.2"))
    s.settimeout(5)
    answers = []
    for _ in range(int(sys.argv[1])):
        sent = monotonic()
        s.sendto(search, ("239.255.255.250", 1900))
        answer = s.recv(4096)
        answers.append([monotonic() - sent, re.search(rb"(?im)^location: *(\\S+)", answer).group(1).decode()])
print(json.dumps(answers))
"""
_unread = {}


def wait_until(predicate, timeout, interval=0.05):
    """Polls predicate until it returns something true or timeout seconds pass; returns its last result."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return result


def read_line(stream, timeout):
    """One line from a pipe, or "" once timeout seconds pass or the pipe ends. Reads the descriptor
    itself: lines that arrive together must not sit in a buffer that select() cannot see."""
    pending = _unread.setdefault(stream, bytearray())
    deadline = time.monotonic() + timeout
    while b"\n" not in pending:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([stream], [], [], remaining)[0]:
            return ""
        if not (chunk := os.read(stream.fileno(), 4096)):
            break
        pending += chunk
    line, _, rest = bytes(pending).partition(b"\n")
    pending[:] = rest
    return line.decode().strip()


def tcp_listeners(namespace):
    """(port, owning processes) of every listening TCP socket in a network namespace."""
    listing = subprocess.run(["ip", "netns", "exec", namespace, "ss", "-Hltnp"],
                             capture_output=True, text=True, timeout=10).stdout
    fields = (line.split(maxsplit=5) for line in listing.splitlines())
    return [(int(f[3].rsplit(":", 1)[1]), f[5] if len(f) > 5 else "") for f in fields]


def bus_connection(address):
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


class InstallTree:
    """The staged installation directory that the daemon was built for."""

    def __init__(self, directory, pristine_template):
        self.directory = Path(directory)
        self.template = self.directory / "xml" / "tmserverdevice.xml"
        self.pristine_template = Path(pristine_template)
        if not self.template.is_file() or not self.pristine_template.is_file():
            raise SystemExit(f"no template at {self.template} or {self.pristine_template}: run 'cmake --install'")

    def restore_template(self):
        """The first start writes the handset's identity into the template; this undoes it."""
        shutil.copyfile(self.pristine_template, self.template)


class Daemon:
    """One daemon process in the handset namespace; its standard output and error go to files."""

    def __init__(self, command, env, log_path, temp_dir, handset_namespace):
        self.temp_dir, self.log_path, self.handset_namespace = temp_dir, Path(log_path), handset_namespace
        self.stdout_path = self.log_path.with_suffix(".stdout")
        with open(log_path, "wb") as log, open(self.stdout_path, "wb") as stdout:
            self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=log)
        self.pid = self.process.pid

    def running(self):
        return self.process.poll() is None

    def log(self):
        return self.log_path.read_text(errors="replace")

    def stdout(self):
        return self.stdout_path.read_text(errors="replace")

    def listening_port(self):
        """The TCP port the daemon's HTTP server listens on, or None."""
        ports = [p for p, users in tcp_listeners(self.handset_namespace) if f"pid={self.pid}," in users]
        return ports[0] if ports else None

    def wait_listening(self, timeout=10):
        if not (port := wait_until(lambda: self.listening_port() or not self.running(), timeout)) or port is True:
            raise AssertionError(f"daemon not listening (status {self.process.poll()}):\n{self.log()}")
        return port

    def temporary_descriptions(self):
        return sorted(p for p in Path(self.temp_dir).iterdir() if TEMPORARY_DESCRIPTION.match(p.name))

    def wait(self, timeout=10):
        """The exit status, or None if the daemon is still running after timeout seconds."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, number=signal.SIGTERM, timeout=10):
        if self.running():
            self.process.send_signal(number)
        if (status := self.wait(timeout)) is None:
            self.process.kill()
            self.process.wait(10)
        return status

    def status_field_kib(self, field):
        status = Path(f"/proc/{self.pid}/status").read_text()
        return int(re.search(rf"^{field}:\s+(\d+)", status, re.M).group(1))

    def cpu_seconds(self):
        """CPU time of all the daemon's threads so far."""
        return sum(int(t.read_text().split()[0]) for t in Path(f"/proc/{self.pid}/task").glob("*/schedstat")) / 1e9


class Testbed:
    """Link, buses and temporary directory of one test run; close() ends everything it started."""

    def __init__(self, label, daemon_binary, install=None):
        """With an InstallTree, the template is pristine while the testbed is up and after."""
        self.daemon_binary, self.install = str(daemon_binary), install
        self.link = f"tm{label}{os.getpid()}"
        self.handset, self.headunit = f"{self.link}-handset", f"{self.link}-headunit"
        self.directory = Path(tempfile.mkdtemp(prefix=f"tm-{label}-"))
        self.processes, self.daemons, self.link_up = [], [], False
        try:
            if install:
                install.restore_template()
            subprocess.run([str(USB_LINK), "up", self.link], check=True, timeout=30)
            self.link_up = True
            self.session_bus, self.system_bus = self.start_bus("session"), self.start_bus("system")
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        for daemon in self.daemons:
            daemon.stop()
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
            if process.stdout:
                process.stdout.close()
        if self.link_up:
            subprocess.run([str(USB_LINK), "down", self.link], timeout=30)
        shutil.rmtree(self.directory, ignore_errors=True)
        if self.install:
            self.install.restore_template()

    def start_bus(self, name, config=None):
        """A private dbus-daemon on a path socket, with the session bus's configuration or the given one;
        any local user may connect."""
        with open(self.directory / f"{name}-bus.log", "wb") as log:
            process = subprocess.Popen(["dbus-daemon", f"--config-file={config}" if config else "--session",
                                        "--nofork", "--nopidfile", "--print-address",
                                        f"--address=unix:path={self.directory / name}-bus"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log)
        self.processes.append(process)
        if not (address := read_line(process.stdout, 10)):
            raise RuntimeError(f"private {name} bus did not start")
        return address

    def environment(self, extra=None):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": str(self.directory),
               "DBUS_SESSION_BUS_ADDRESS": self.session_bus, "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus}
        env.update({key: os.environ[key] for key in PASSED_THROUGH if key in os.environ})
        return {**env, **(extra or {})}

    def start_daemon(self, *args, env=None, wrapper=()):
        """The daemon (under the wrapper command, if any) in the handset namespace with its own TMPDIR,
        so its temporary description can be watched."""
        index = len(self.daemons)
        (temp_dir := self.directory / f"daemon{index}-tmp").mkdir()
        command = ["ip", "netns", "exec", self.handset, *wrapper, self.daemon_binary, *args]
        daemon = Daemon(command, self.environment({"TMPDIR": str(temp_dir), **(env or {})}),
                        self.directory / f"daemon{index}.log", temp_dir, self.handset)
        self.daemons.append(daemon)
        return daemon

    def name_has_owner(self, name, bus):
        return bus_connection(bus).call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                             "NameHasOwner", GLib.Variant("(s)", (name,)), None, 0, 5000,
                                             None).unpack()[0]

    def start_service(self, command, name, bus):
        """A process that serves name on bus (a path to a private bus), once it owns the name."""
        process = subprocess.Popen(command, env=self.environment(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        if not wait_until(lambda: self.name_has_owner(name, bus), 10):
            raise AssertionError(f"{command} did not take {name}")
        return process

    def start_fake_backend(self):
        """tests/fakes/fake_backend.py on the session bus, and a FakeControl to script it."""
        return self.start_service([sys.executable, str(FAKE_BACKEND)], BACKEND_NAME, self.session_bus), \
            FakeControl(self.session_bus)

    def in_headunit(self, *command):
        return ["ip", "netns", "exec", self.headunit, *command]

    def discover(self, seconds=2):
        """{LOCATION: {USN, ...}} of the root devices that the head unit sees within the given time."""
        output = subprocess.run(self.in_headunit("timeout", str(seconds + 5), "gssdp-discover", "-i",
                                                 HEADUNIT_INTERFACE, "-t", "upnp:rootdevice", "-n", str(seconds)),
                                capture_output=True, text=True, timeout=seconds + 10).stdout
        roots = {}
        for usn, location in re.findall(r"USN:\s+(\S+)\s+Location:\s+(\S+)", output):
            roots.setdefault(location, set()).add(usn)
        return roots

    def search(self, count):
        """[seconds until answered, LOCATION] of each of count searches for root devices from the head unit."""
        return json.loads(subprocess.run(self.in_headunit(sys.executable, "-c", SEARCHES, str(count)),
                                         capture_output=True, text=True, timeout=60, check=True).stdout)

    def sole_root_device(self, daemon):
        """LOCATION of the one root device the head unit sees once the daemon has written its description
        (after the platform's services answered or timed out); fails with the daemon's log otherwise."""
        wait_until(daemon.temporary_descriptions, 15)
        if len(roots := self.discover()) != 1:
            raise AssertionError(f"root devices seen: {roots}\n{daemon.log()}")
        return next(iter(roots))

    def curl(self, url, *options, timeout=20):
        """(HTTP status, response body, bytes uploaded) of one request from the head unit."""
        body = Path(tempfile.mktemp(dir=self.directory, prefix="curl-body"))
        result = subprocess.run(self.in_headunit("curl", "-s", "--path-as-is", "--max-time", str(timeout), "-o",
                                                 str(body), "-w", "%{http_code} %{size_upload}", *options, url),
                                capture_output=True, text=True, timeout=timeout + 10)
        status, uploaded = result.stdout.split()
        return int(status), body.read_bytes() if body.exists() else b"", int(uploaded)

    def soap(self, control_url, namespace, action, timeout=20, **arguments):
        """The soap.Answer to one action (or, with the control namespace, a state-variable query)."""
        request = Path(tempfile.mktemp(dir=self.directory, prefix="soap-request"))
        request.write_bytes(soap.envelope(namespace, action, arguments))
        status, body, _ = self.curl(control_url, *soap.curl_options(namespace, action, request), timeout=timeout)
        return soap.Answer(status, body)

    def subscribe(self, event_url, listener):
        """The SID of a new subscription whose events go to listener."""
        headers = Path(tempfile.mktemp(dir=self.directory, prefix="headers"))
        status, _, _ = self.curl(event_url, "-X", "SUBSCRIBE", "-D", str(headers), "-H", f"CALLBACK: <{listener.url}>",
                                 "-H", "NT: upnp:event", "-H", "TIMEOUT: Second-1800")
        # Whatever the head unit asks for, it is granted 300 s.
        if status != 200 or not re.search(r"(?im)^timeout: Second-300\s*$", answer := headers.read_text()):
            raise AssertionError(f"SUBSCRIBE {event_url} answered {status}")
        return re.search(r"(?im)^sid:\s*(\S+)", answer).group(1)


class FakeControl:
    """Scripts the fake back-end through its control interface (see fake_backend.py)."""

    def __init__(self, bus_address):
        self.connection = bus_connection(bus_address)

    def call(self, method, parameters=None):
        return self.connection.call_sync(BACKEND_NAME, "/", f"{BACKEND_NAME}.FakeControl", method, parameters, None,
                                         Gio.DBusCallFlags.NONE, 10000, None)

    def program(self, method, mode="reply", value="", code=0, text="", delay_ms=0):
        wrapped = GLib.Variant("u" if isinstance(value, int) else "s", value)
        self.call("Program", GLib.Variant("(ssvisu)", (method, mode, wrapped, code, text, delay_ms)))

    def calls(self):
        return json.loads(self.call("Calls").unpack()[0])

    def emit(self, signal_name, value):
        self.call("Emit", GLib.Variant("(ss)", (signal_name, value)))

    def reset(self):
        self.call("Reset")


class EventListener:
    """scripts/event-listener.py in the head unit's namespace; its NOTIFYs as they arrive."""

    def __init__(self, bed, address="10.77.0.2"):
        self.process = subprocess.Popen(bed.in_headunit(sys.executable, str(EVENT_LISTENER), address),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        bed.processes.append(self.process)
        if not (first_line := read_line(self.process.stdout, 10)).startswith("listening "):
            raise AssertionError("the event listener did not start")
        self.url = f"http://{address}:{first_line.split()[1]}/"
        self.events = []

    def _events(self, sid, enough, timeout):
        """The events of subscription sid in sequence order, read until enough(events) or the timeout."""
        deadline = time.monotonic() + timeout
        while not enough(mine := sorted((e for e in self.events if e["sid"] == sid), key=lambda e: e["seq"])):
            if not (line := read_line(self.process.stdout, max(0, deadline - time.monotonic()))):
                break
            self.events.append(json.loads(line))
        return mine

    def events_of(self, sid, count, timeout=10):
        """The properties of the first count events of subscription sid, in sequence order."""
        if len(mine := self._events(sid, lambda events: len(events) >= count, timeout)) < count:
            raise AssertionError(f"{len(mine)} of {count} events for {sid}: {self.events}")
        return [e["properties"] for e in mine][:count]

    def state_of(self, sid, expected, timeout=10):
        """The variables of subscription sid as its events left them, once they are expected or at the
        timeout. Changes may arrive merged; a SEQ that skips or repeats fails."""
        def state(events):
            if [e["seq"] for e in events] != list(range(len(events))):
                raise AssertionError(f"SEQs of {sid}: {[e['seq'] for e in events]}")
            return {name: value for event in events for name, value in event["properties"].items()}
        return state(self._events(sid, lambda events: state(events) == expected, timeout))


def texts(description, name):
    """The texts of every element of a description with that local name, in document order."""
    return [e.text or "" for e in ElementTree.fromstring(description).iter() if e.tag.endswith("}" + name)]


def element(description, name):
    return (texts(description, name) or [None])[0]


def parse_arguments():
    """Takes --daemon, --install-dir and --template off the command line; the rest is unittest's."""
    parser = argparse.ArgumentParser(add_help=False)
    for option in ("--daemon", "--install-dir", "--template"):
        parser.add_argument(option, required=True)
    options, sys.argv[1:] = parser.parse_known_args()
    return options.daemon, InstallTree(options.install_dir, options.template)
