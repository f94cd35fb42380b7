"""SOAP load from the head unit's side, run by run-bridge-bench.py inside the head unit's namespace.

  soap_bench.py sequential CONTROL_URL COUNT
      COUNT GetApplicationStatus calls, one after another, each on a new HTTP connection (the
      daemon closes every connection after its answer; the floors are asked to do the same), after
      100 that are not counted. Prints {"durations_us": [...]}.
  soap_bench.py burst CONTROL_URL COUNT ROUNDS PID REPLY_DELAY_MS
      ROUNDS times: COUNT calls at once, one connection each, opened before the round, after one
      such round that is not counted. Prints the slowest and fastest
      answer and the CPU time that process PID spent while the calls waited for the back-end:
      from 50 ms after the requests went out (the daemon has taken them in) until 20 ms before
      the back-end's answers are due.
"""
import http.client
import json
import os
import sys
import selectors
import socket
import time
from pathlib import Path
from urllib.parse import urlsplit

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))
import soap  # noqa: E402

APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"
ACTION = "GetApplicationStatus"
BODY = soap.envelope(APP_SERVER, ACTION, {"AppID": "0x0001"})
HEADERS = {"Content-Type": 'text/xml; charset="utf-8"', "SOAPACTION": f'"{APP_SERVER}#{ACTION}"',
           "Connection": "close"}
INTAKE_MARGIN = 0.050
REPLY_MARGIN = 0.020


def connect(url):
    parts = urlsplit(url)
    return http.client.HTTPConnection(parts.hostname, parts.port, timeout=10), parts.path


def call(connection, path):
    connection.request("POST", path, BODY, HEADERS)
    response = connection.getresponse()
    body = response.read()
    # The next request opens a new connection.
    connection.close()
    if response.status != 200 or b"AppStatus" not in body:
        raise SystemExit(f"{ACTION} answered {response.status}: {body[:200]!r}")


def sequential(url, count):
    connection, path = connect(url)
    for _ in range(100):
        call(connection, path)
    durations = []
    for _ in range(count):
        start = time.perf_counter_ns()
        call(connection, path)
        durations.append(time.perf_counter_ns() - start)
    return {"durations_us": [duration / 1000 for duration in durations]}


def cpu_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu_nanoseconds(pid):
    """CPU time of the whole process, ended threads included, in nanoseconds: its process CPU clock."""
    process_cpu_clock = ((~pid) << 3) | 2
    return time.clock_gettime_ns(process_cpu_clock)


def raw_request(path, host):
    headers = "".join(f"{name}: {value}\r\n" for name, value in HEADERS.items())
    return (f"POST {path} HTTP/1.1\r\nHost: {host}\r\nContent-Length: {len(BODY)}\r\n{headers}\r\n").encode() + BODY


def response_complete(data):
    head, separator, body = data.partition(b"\r\n\r\n")
    if not separator:
        return False
    length = next((int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")
                   if line.lower().startswith(b"content-length:")), None)
    if length is None:
        raise SystemExit(f"answer without Content-Length: {head[:200]!r}")
    return len(body) >= length


def check_answer(data):
    if not data.startswith(b"HTTP/1.1 200") or b"AppStatus" not in data:
        raise SystemExit(f"{ACTION} answered {bytes(data[:300])!r}")


def burst_round(sockets, request, pid, reply_delay):
    """All requests written in one tight loop, answers read as they complete: the client adds
    as little as it can to the time it measures."""
    selector = selectors.DefaultSelector()
    sent, answered = {}, {}
    for sock in sockets:
        sock.sendall(request)
        sent[sock] = time.monotonic()
        selector.register(sock, selectors.EVENT_READ, bytearray())
    first_sent = min(sent.values())

    def read_ready(until):
        while len(answered) < len(sockets) and time.monotonic() < until:
            for key, _ in selector.select(max(0.0, until - time.monotonic())):
                chunk = key.fileobj.recv(65536)
                key.data.extend(chunk)
                if not chunk or response_complete(key.data):
                    answered[key.fileobj] = time.monotonic()
                    selector.unregister(key.fileobj)
                    check_answer(key.data)

    read_ready(first_sent + INTAKE_MARGIN)
    wait_start, ticks_start, nanoseconds_start = time.monotonic(), cpu_ticks(pid), cpu_nanoseconds(pid)
    read_ready(first_sent + reply_delay - REPLY_MARGIN)
    wait_end, ticks_end, nanoseconds_end = time.monotonic(), cpu_ticks(pid), cpu_nanoseconds(pid)
    read_ready(time.monotonic() + 30)
    selector.close()
    if len(answered) < len(sockets):
        raise SystemExit(f"{len(sockets) - len(answered)} of {len(sockets)} calls were not answered")
    latencies = [answered[sock] - sent[sock] for sock in sockets]
    return latencies, wait_end - wait_start, ticks_end - ticks_start, (nanoseconds_end - nanoseconds_start) / 1e9


def connections(parts, count):
    sockets = [socket.create_connection((parts.hostname, parts.port), timeout=10) for _ in range(count)]
    for sock in sockets:
        sock.setblocking(False)
    return sockets


def burst(url, count, rounds, pid, reply_delay):
    """One round more than counted: the first warms up the daemon and the back-end."""
    parts = urlsplit(url)
    request = raw_request(parts.path, parts.netloc)
    latencies, slowest, wall, ticks, cpu = [], [], 0.0, 0, 0.0
    for counted in [False] + [True] * rounds:
        sockets = connections(parts, count)
        round_latencies, round_wall, round_ticks, round_cpu = burst_round(sockets, request, pid, reply_delay)
        for sock in sockets:
            sock.close()
        if counted:
            latencies += round_latencies
            slowest.append(round(max(round_latencies) * 1000, 1))
            wall, ticks, cpu = wall + round_wall, ticks + round_ticks, cpu + round_cpu
    return {"slowest_ms": max(latencies) * 1000, "fastest_ms": min(latencies) * 1000, "slowest_per_round_ms": slowest,
            "wait_s": wall, "cpu_stat_s": ticks / os.sysconf("SC_CLK_TCK"), "cpu_clock_s": cpu}


if __name__ == "__main__":
    mode, url, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "sequential":
        print(json.dumps(sequential(url, count)))
    else:
        rounds, pid, reply_delay = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]) / 1000
        print(json.dumps(burst(url, count, rounds, pid, reply_delay)))
