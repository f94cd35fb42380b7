"""One hostile head-unit load against the daemon, run by hostile_bench.py inside the head unit's namespace.

  hostile_client.py LOAD PID PORT SESSION_BUS

Measures the daemon (process PID, HTTP port PORT) around the load and prints one JSON object: the
outcome, idle and peak RSS, CPU over the window in which the load only waits, and the durations of
normal GetApplicationStatus calls during and after the load. Every loop is bounded in count and time.
"""
import collections
import fcntl
import http.client
import http.server
import json
import resource
import select
import socket
import statistics
import struct
import sys
import termios
import threading
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "integration"))
import testbed  # noqa: E402
import soap  # noqa: E402  (on the path testbed sets)

HOST = testbed.HANDSET_ADDRESS
HEADUNIT = "10.77.0.2"
REFUSED_PORT = 9  # nothing listens there in the head unit's namespace: the daemon's connect is refused
CONTROL_PATH, EVENT_PATH = "/control/TmApplicationServer1", "/event/TmApplicationServer1"
APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"
CALL_TIMEOUT = 3
PROBE_CALLS = 5


def soap_headers(action):
    return {"Content-Type": 'text/xml; charset="utf-8"', "SOAPACTION": f'"{APP_SERVER}#{action}"'}


def request_head(port, action, length, extra=""):
    headers = "".join(f"{name}: {value}\r\n" for name, value in soap_headers(action).items())
    return (f"POST {CONTROL_PATH} HTTP/1.1\r\nHost: {HOST}:{port}\r\nContent-Length: {length}\r\n{headers}{extra}"
            "\r\n").encode()


def soap_request(port, action, arguments):
    body = soap.envelope(APP_SERVER, action, arguments)
    return request_head(port, action, len(body)) + body


class Daemon:
    """What /proc tells about the daemon process."""

    def __init__(self, pid):
        self.pid = pid

    def status_kib(self, field):
        lines = Path(f"/proc/{self.pid}/status").read_text().splitlines()
        return int(next(line for line in lines if line.startswith(field + ":")).split()[1])

    def reset_peak(self):
        """Makes VmHWM start again from the current RSS."""
        Path(f"/proc/{self.pid}/clear_refs").write_text("5")

    def descriptors(self):
        return len(list(Path(f"/proc/{self.pid}/fd").iterdir()))

    def cpu_seconds(self):
        """CPU time of the whole process, ended threads included: its process CPU clock."""
        return time.clock_gettime_ns(((~self.pid) << 3) | 2) / 1e9

    def cpu_percent(self, seconds):
        before = self.cpu_seconds()
        time.sleep(seconds)
        return 100 * (self.cpu_seconds() - before) / seconds


def normal_calls(port, count=PROBE_CALLS):
    """Milliseconds of count GetApplicationStatus calls, each on a new connection; None for a failed
    call. Stops after two failures."""
    durations = []
    for _ in range(count):
        started = time.perf_counter()
        try:
            connection = http.client.HTTPConnection(HOST, port, timeout=CALL_TIMEOUT)
            connection.request("POST", CONTROL_PATH, soap.envelope(APP_SERVER, "GetApplicationStatus",
                                                                   {"AppID": "0x0001"}),
                               soap_headers("GetApplicationStatus"))
            response = connection.getresponse()
            ok = response.status == 200 and b"AppStatus" in response.read()
            connection.close()
        except OSError:
            ok = False
        durations.append((time.perf_counter() - started) * 1000 if ok else None)
        if durations.count(None) == 2:
            break
    return durations


def calls_in_background(port, delay):
    """Runs normal_calls after delay seconds in a thread; the thread's result is in .durations."""
    def run():
        time.sleep(delay)
        thread.durations = normal_calls(port)
    thread = threading.Thread(target=run, daemon=True)
    thread.durations = []
    thread.start()
    return thread


def open_connections(port, count, seconds):
    """Up to count connected sockets, opened within seconds."""
    sockets, deadline = [], time.monotonic() + seconds
    while len(sockets) < count and time.monotonic() < deadline:
        try:
            sockets.append(socket.create_connection((HOST, port), timeout=1))
        except OSError:
            time.sleep(0.01)
    return sockets


def soft_file_limit(pid):
    limits = Path(f"/proc/{pid}/limits").read_text()
    return next(line.split()[3] for line in limits.splitlines() if line.startswith("Max open files"))


def ending(connection):
    """None while the connection is open and unanswered; else how the daemon ended it: "closed", or
    the status it answered."""
    poller = select.poll()  # descriptors here run past what select() can take
    poller.register(connection, select.POLLIN)
    if not poller.poll(0):
        return None
    try:
        answer = connection.recv(4096, socket.MSG_PEEK)
    except OSError:
        return "closed"
    return answer.split(b" ", 2)[1].decode(errors="replace") if answer.startswith(b"HTTP/") else "closed"


def endings(sockets):
    counts = collections.Counter(filter(None, map(ending, sockets)))
    return ", ".join(f"{n} {how}" for how, n in sorted(counts.items())) or "none"


def close_all(sockets):
    for connection in sockets:
        connection.close()


class SilentListener:
    """Accepts connections on the head unit's address and never answers them."""

    def __init__(self, limit):
        self.socket = socket.create_server((HEADUNIT, 0), backlog=4096)
        self.url = f"http://{HEADUNIT}:{self.socket.getsockname()[1]}/"
        self.held, self.limit, self.stopping = [], limit, threading.Event()
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while not self.stopping.is_set() and len(self.held) < self.limit:
            if select.select([self.socket], [], [], 0.1)[0]:
                self.held.append(self.socket.accept()[0])

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        close_all(self.held)
        self.socket.close()


class KeptAlive:
    """Requests on one kept-alive connection, opened again whenever the daemon closes it."""

    def __init__(self, port):
        self.port, self.connection = port, None

    def request(self, method, path, headers):
        try:
            if not self.connection:
                self.connection = http.client.HTTPConnection(HOST, self.port, timeout=CALL_TIMEOUT)
            self.connection.request(method, path, headers=headers)
            response = self.connection.getresponse()
            response.read()
            if response.will_close:
                self.close()
            return response.status
        except (OSError, http.client.HTTPException) as error:
            self.close()
            return type(error).__name__

    def close(self):
        if self.connection:
            self.connection.close()
        self.connection = None


def subscribe_flood(daemon, port, bus, count=5000, seconds=60):
    """count SUBSCRIBEs, half to a refused port and half to a listener that never answers, then a
    back-end change that each of them is due an event for."""
    listener = SilentListener(limit=2 * count)
    statuses, session, started = collections.Counter(), KeptAlive(port), time.monotonic()
    deadline = started + seconds
    for index in range(count):
        if time.monotonic() > deadline:
            statuses["not sent (time)"] += count - index
            break
        callback = listener.url if index % 2 else f"http://{HEADUNIT}:{REFUSED_PORT}/"
        statuses[session.request("SUBSCRIBE", EVENT_PATH, {"CALLBACK": f"<{callback}>", "NT": "upnp:event",
                                                           "TIMEOUT": "Second-300"})] += 1
    session.close()
    flood_seconds = time.monotonic() - started
    waiting = daemon.cpu_percent(3)
    during = normal_calls(port)
    testbed.FakeControl(bus).emit("AppStatusUpdateStateChanged", "flooded")
    after_signal = daemon.cpu_percent(3)
    during += normal_calls(port)
    held = len(listener.held)
    listener.close()
    accepted = statuses.pop(200, 0)
    others = ", ".join(f"{n} {status}" for status, n in sorted(statuses.items(), key=str))
    return {"outcome": f"{accepted} accepted, refused: {others or 'none'} (sent in {flood_seconds:.1f} s); "
                       f"connections the daemon opened to the silent listener: {held}",
            "cpu": max(waiting, after_signal),
            "cpu_window": f"3 s after the flood {waiting:.1f}, 3 s after the signal {after_signal:.1f}",
            "during": during}


class LiveListener:
    """A head unit's event listener that answers every NOTIFY at once and notes when each arrived."""

    def __init__(self):
        arrived = self.arrived = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_NOTIFY(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                arrived.append((time.monotonic(), self.headers.get("SID"), int(self.headers.get("SEQ", -1)), body))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((HEADUNIT, 0), Handler)
        self.url = f"http://{HEADUNIT}:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def of(self, sid, variable="AppStatusUpdate"):
        """(arrival, SEQ, value) of each NOTIFY of subscription sid, in SEQ order."""
        def value(body):
            texts = [e.text or "" for e in ElementTree.fromstring(body).iter() if e.tag == variable]
            return texts[0] if texts else None
        return sorted(((when, seq, value(body)) for when, event_sid, seq, body in list(self.arrived)
                       if event_sid == sid), key=lambda event: event[1])

    def wait(self, sid, count, seconds):
        deadline = time.monotonic() + seconds
        while len(self.of(sid)) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.of(sid)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def subscribe(port, callback):
    """The status and SID of a new subscription whose events go to callback."""
    try:
        connection = http.client.HTTPConnection(HOST, port, timeout=CALL_TIMEOUT)
        connection.request("SUBSCRIBE", EVENT_PATH, headers={"CALLBACK": f"<{callback}>", "NT": "upnp:event",
                                                            "TIMEOUT": "Second-300"})
        response = connection.getresponse()
        response.read()
        connection.close()
        return response.status, response.getheader("SID")
    except (OSError, http.client.HTTPException) as error:
        return type(error).__name__, None


def event_result(outcome, during, misses):
    return {"outcome": outcome, "cpu": None, "cpu_window": "not measured", "during": during, "misses": misses}


def burst(daemon, port, bus):
    """53 signals at once (50 distinct values, one value twice, an empty one) to a live subscriber."""
    live, fake = LiveListener(), testbed.FakeControl(bus)
    _, sid = subscribe(port, live.url)
    live.wait(sid, 1, 5)
    values = [f"value {index}" for index in range(50)] + ["twice", "twice", ""]
    during = calls_in_background(port, 0)
    for value in values:
        fake.emit("AppStatusUpdateStateChanged", value)
    received = [value for _, _, value in live.wait(sid, len(values) + 1, 5)[1:]]
    during.join(CALL_TIMEOUT * PROBE_CALLS)
    live.close()
    in_order = received == values
    return event_result(f"{len(received)} of {len(values)} NOTIFYs, {'in order' if in_order else 'not as signalled'}, "
                        f"the repeat {received.count('twice')} times, the empty value {received.count('')} times",
                        during.durations, [] if in_order else ["burst"])


def stalled_peer(daemon, port, bus, values=20, interval=0.1, pause=10):
    """A subscriber whose callback never answers beside a live one; two rounds of values interval
    apart, pause between them: how many reach the live one, and how late."""
    silent, live, fake = SilentListener(limit=8), LiveListener(), testbed.FakeControl(bus)
    subscribe(port, silent.url)
    _, sid = subscribe(port, live.url)
    live.wait(sid, 1, 5)
    during, latencies, sent_count = calls_in_background(port, 0.5), [], 0
    for round_index in range(2):
        sent = {}
        for index in range(values):
            value = f"round {round_index} value {index}"
            sent[value] = time.monotonic()
            fake.emit("AppStatusUpdateStateChanged", value)
            time.sleep(interval)
        time.sleep(3)
        arrivals = {value: when for when, _, value in live.of(sid)}
        latencies += [(arrivals[value] - emitted) * 1000 for value, emitted in sent.items() if value in arrivals]
        sent_count += len(sent)
        if round_index == 0:
            time.sleep(pause)
    during.join(CALL_TIMEOUT * PROBE_CALLS)
    live.close()
    silent.close()
    p99 = statistics.quantiles(latencies, n=100, method="inclusive")[98] if len(latencies) > 1 else None
    misses = [] if len(latencies) == sent_count and p99 is not None and p99 <= 50 else ["stalled peer"]
    figures = (f"p50 {statistics.median(latencies):.1f}, p99 {p99:.1f}, max {max(latencies):.1f} ms"
               if p99 is not None else "no latency")
    return event_result(f"{len(latencies)} of {sent_count} values reached the live subscriber; {figures}",
                        during.durations, misses)


def dead_callbacks(daemon, port, bus, count=32):
    """count subscriptions whose callback port is closed (each fails its initial event), then a live one."""
    statuses = collections.Counter(subscribe(port, f"http://{HEADUNIT}:{REFUSED_PORT}/")[0] for _ in range(count))
    time.sleep(1)
    live = LiveListener()
    started = time.monotonic()
    status, sid = subscribe(port, live.url)
    initial = live.wait(sid, 1, 5) if sid else []
    live.close()
    waited = f"after {(initial[0][0] - started) * 1000:.0f} ms" if initial else "never"
    return event_result(f"{statuses[200]} of {count} dead subscriptions granted; then a live SUBSCRIBE: {status}, "
                        f"its initial event {waited}", normal_calls(port), [] if initial else ["dead callbacks"])


def signal_storm(daemon, port, bus, subscribers=8, count=5000, settle=20):
    """subscribers whose callbacks accept and never answer and one live one, then count back-end
    signals as fast as the fake sends them, with normal calls during the storm; RSS again once the
    NOTIFYs timed out."""
    listener, session, live = SilentListener(limit=64), KeptAlive(port), LiveListener()
    statuses = collections.Counter(session.request("SUBSCRIBE", EVENT_PATH, {
        "CALLBACK": f"<{listener.url}>", "NT": "upnp:event", "TIMEOUT": "Second-300"}) for _ in range(subscribers))
    session.close()
    _, sid = subscribe(port, live.url)
    live.wait(sid, 1, 5)
    fake, before, started = testbed.FakeControl(bus), daemon.status_kib("VmRSS"), time.monotonic()
    during = calls_in_background(port, 0.5)
    last = ""
    for index in range(count):
        last = f"{index:05d}" + "s" * 1019
        fake.emit("AppStatusUpdateStateChanged", last)
    storm_end = time.monotonic()
    storm_seconds, peak = storm_end - started, daemon.status_kib("VmHWM")
    deadline = storm_end + 10
    while not any(value == last for _, _, value in live.of(sid)) and time.monotonic() < deadline:
        time.sleep(0.01)
    reached = next((when for when, _, value in live.of(sid) if value == last), None)
    during.join(CALL_TIMEOUT * PROBE_CALLS)
    time.sleep(settle)
    settled = daemon.status_kib("VmRSS")
    listener.close()
    live.close()
    last_cell = f"{(reached - storm_end) * 1000:.0f} ms after the storm" if reached else "never"
    return {"outcome": f"{statuses[200]} of {subscribers} stalled subscribed; {count} signals of 1 KiB in "
                       f"{storm_seconds:.1f} s; the live subscriber got the last value {last_cell}; RSS before "
                       f"{before / 1024:.1f}, peak {peak / 1024:.1f}, {settle} s later {settled / 1024:.1f} MiB "
                       f"({(settled - before) / 1024:+.1f})",
            "cpu": None, "cpu_window": "not measured", "during": during.durations,
            "misses": [] if reached and reached - storm_end <= 1 else ["last value"]}


def idle_connections(daemon, port, bus, count=1100, seconds=10):
    """count connections that send nothing, held for seconds."""
    descriptors_before = daemon.descriptors()
    sockets = open_connections(port, count, 20)
    time.sleep(1)
    probe = calls_in_background(port, 2)
    cpu = daemon.cpu_percent(seconds)
    probe.join(CALL_TIMEOUT * PROBE_CALLS)
    ended, descriptors = endings(sockets), daemon.descriptors()
    close_all(sockets)
    return {"outcome": f"{len(sockets)} of {count} connected; ended by the daemon after {seconds + 1} s: {ended}; "
                       f"its open files {descriptors_before} → {descriptors} (limit {soft_file_limit(daemon.pid)})",
            "cpu": cpu, "cpu_window": f"{seconds} s held", "during": probe.durations}


def slow_headers(daemon, port, bus, count=200, seconds=30, interval=3, tick=0.1):
    """count connections that each send a byte of a never-ending header every interval seconds."""
    sockets = open_connections(port, count, 10)
    head = f"GET /xml/tmserverdevice.xml HTTP/1.1\r\nHost: {HOST}:{port}\r\nX-Slow: "
    for connection in sockets:
        connection.setblocking(False)
    sent, closed_at, groups = [0] * len(sockets), {}, round(interval / tick)
    probe = calls_in_background(port, seconds / 2)
    cpu_before, started = daemon.cpu_seconds(), time.monotonic()
    for step in range(round(seconds / tick)):
        for index in range(step % groups, len(sockets), groups):
            if index in closed_at:
                continue
            try:
                if ending(sockets[index]):
                    raise ConnectionError
                byte = head[sent[index]] if sent[index] < len(head) else "a"
                sent[index] += sockets[index].send(byte.encode())
            except OSError:
                closed_at[index] = time.monotonic() - started
        time.sleep(max(0.0, started + (step + 1) * tick - time.monotonic()))
    cpu = 100 * (daemon.cpu_seconds() - cpu_before) / (time.monotonic() - started)
    probe.join(CALL_TIMEOUT * PROBE_CALLS)
    close_all(sockets)
    first = f", the first after {min(closed_at.values()):.1f} s" if closed_at else ""
    return {"outcome": f"{len(sockets)} of {count} connected; {len(closed_at)} closed by the daemon within "
                       f"{seconds} s{first}", "cpu": cpu, "cpu_window": f"{seconds} s trickle",
            "during": probe.durations}


def abandoned_actions(daemon, port, bus, count=50, reply_delay_ms=4000):
    """count actions whose back-end answer comes late, each abandoned by the head unit before then."""
    fake = testbed.FakeControl(bus)
    fake.program("GetApplicationList", "reply", "late", delay_ms=reply_delay_ms)
    sockets = open_connections(port, count, 10)
    started = time.monotonic()
    for connection in sockets:
        connection.sendall(soap_request(port, "GetApplicationList", {"AppListingFilter": "*", "ProfileID": 0}))
    def arrived():
        return sum(call[0] == "GetApplicationList" for call in fake.calls())
    testbed.wait_until(lambda: arrived() >= len(sockets), 3)
    reached = arrived()
    close_all(sockets)
    cpu = daemon.cpu_percent(1.5)
    during = normal_calls(port)
    time.sleep(max(0.0, started + reply_delay_ms / 1000 + 0.5 - time.monotonic()))
    fake.reset()
    return {"outcome": f"{len(sockets)} sent and closed; {reached} reached the back-end, which answered "
                       f"{reply_delay_ms / 1000:.0f} s later", "cpu": cpu, "cpu_window": "1.5 s abandoned",
            "during": during}


def read_status(connection, pending, timeout):
    """The status of the next final (or 100) answer on a non-blocking socket, or None."""
    deadline = time.monotonic() + timeout
    while b"\r\n\r\n" not in pending:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([connection], [], [], remaining)[0]:
            return None
        try:
            chunk = connection.recv(65536)
        except OSError:
            return "reset"
        if not chunk:
            return "closed" if not pending else None
        pending += chunk
    head, _, rest = bytes(pending).partition(b"\r\n\r\n")
    pending[:] = rest
    return int(head.split(b" ", 2)[1])


def taken_in(connection, sent):
    """The least the daemon can have read of sent bytes: what neither this socket still holds nor the
    largest receive buffer the kernel gives the daemon's socket can."""
    unacknowledged = struct.unpack("i", fcntl.ioctl(connection, termios.TIOCOUTQ, b"\0" * 4))[0]
    receive_buffer = int(Path("/proc/sys/net/ipv4/tcp_rmem").read_text().split()[2])
    return max(0, sent - unacknowledged - receive_buffer)


def big_body(daemon, port, expect, size=50 * 1024 * 1024, seconds=30):
    """One action with a body of size bytes, announced with or without Expect: 100-continue."""
    connection = socket.create_connection((HOST, port), timeout=5)
    connection.setblocking(False)
    connection.sendall(request_head(port, "GetApplicationStatus", size, "Expect: 100-continue\r\n" if expect else ""))
    pending, sent, status, interim = bytearray(), 0, None, None
    if expect:
        status = read_status(connection, pending, 3)
        interim, status = (100, None) if status == 100 else (None, status)
    probe = calls_in_background(port, 0.5)
    chunk, deadline = b" " * 65536, time.monotonic() + seconds
    while status is None and sent < size and time.monotonic() < deadline:
        readable, writable, _ = select.select([connection], [connection], [], 0.5)
        if readable:
            status = read_status(connection, pending, 1)
        elif writable:
            try:
                sent += connection.send(chunk[:size - sent])
            except OSError as error:
                status = type(error).__name__
    if status is None:
        status = read_status(connection, pending, max(1.0, deadline - time.monotonic()))
    probe.join(CALL_TIMEOUT * PROBE_CALLS)
    read = taken_in(connection, sent)
    connection.close()
    return {"outcome": f"{'100 then ' if interim else ''}{status or 'no answer'} after {sent / 2**20:.1f} MiB sent; "
                       f"the daemon took in ≥ {read / 2**20:.1f} MiB", "cpu": None, "cpu_window": "transfer",
            "during": probe.durations}


LOADS = {
    "subscribe-flood": subscribe_flood,
    "burst": burst,
    "stalled-peer": stalled_peer,
    "dead-callbacks": dead_callbacks,
    "signal-storm": signal_storm,
    "idle-connections": idle_connections,
    "slow-headers": slow_headers,
    "abandoned-actions": abandoned_actions,
    "big-body-expect": lambda daemon, port, bus: big_body(daemon, port, expect=True),
    "big-body": lambda daemon, port, bus: big_body(daemon, port, expect=False),
}


def main():
    load, pid, port, bus = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    resource.setrlimit(resource.RLIMIT_NOFILE, (16384, 16384))
    daemon = Daemon(pid)
    normal_calls(port)  # whatever the daemon sets up on its first calls
    time.sleep(1)
    idle = daemon.status_kib("VmRSS")
    daemon.reset_peak()
    result = LOADS[load](daemon, port, bus)
    time.sleep(1)
    result.update(load=load, idle_kib=idle, peak_kib=daemon.status_kib("VmHWM"), after=normal_calls(port))
    print(json.dumps(result), flush=True)


main()
