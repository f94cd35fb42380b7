"""How soon the daemon answers a head unit's first searches, on a private veth link.

For each search target (the device type and the two service types), N searches against daemons
freshly started every 10 searches (so every tenth is the first after start, while the start-up
announcements are still going out):

  - MX 2 from the libupnp control point (bench/discovery/upnp_search.c; libupnp searches with
    MX 2 at least and sends each M-SEARCH twice, 100 ms apart, behind four IPv6 copies);
  - MX 1 from a strict searcher that sends one M-SEARCH and stops listening exactly MX later.

Prints how many searches were answered before the searcher stopped listening, and the time from
each M-SEARCH to its answer (min / median / max, from a capture on the head unit's end; libupnp's
two answers are paired with its two copies in order). Needs root and a staged installation.
"""
import argparse
import socket
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "integration"))
import testbed  # noqa: E402

TARGETS = {"device": "urn:schemas-upnp-org:device:TmServerDevice:1",
           "TmApplicationServer": "urn:schemas-upnp-org:service:TmApplicationServer:1",
           "TmClientProfile": "urn:schemas-upnp-org:service:TmClientProfile:1"}
SEARCHES_PER_DAEMON = 10
STRICT_SEARCH = """
import socket, sys, time
mx, target = int(sys.argv[1]), sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.77.0.2", 0))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("10.77.0.2"))
s.sendto(f'M-SEARCH * HTTP/1.1\\r\\nHOST: 239.255.255.250:1900\\r\\nMAN: "ssdp:discover"\\r\\nMX: {mx}\\r\\n'
         f'ST: {target}\\r\\n\\r\\n'.encode(), ("239.255.255.250", 1900))
deadline, answers = time.monotonic() + mx, 0
while (left := deadline - time.monotonic()) > 0:
    s.settimeout(left)
    try:
        answers += s.recv(65536).startswith(b"HTTP/1.1 200")
    except socket.timeout:
        break
print(answers)
"""


def udp_packets(pcap):
    """(time, source port, destination port, first payload line) of every IPv4 UDP packet."""
    data = Path(pcap).read_bytes()
    offset, packets = 24, []
    while offset + 16 <= len(data):
        seconds, micros, length, _ = struct.unpack_from("<IIII", data, offset)
        frame = data[offset + 16:offset + 16 + length]
        offset += 16 + length
        if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        udp = 14 + (frame[14] & 0x0F) * 4
        source, destination = struct.unpack_from("!HH", frame, udp)
        packets.append((seconds + micros / 1e6, source, destination, frame[udp + 8:].split(b"\r\n", 1)[0]))
    return packets


def answer_delays(packets):
    """Seconds from each M-SEARCH to its answer, per searcher port (copies and answers in order)."""
    searches, answers = {}, {}
    for when, source, destination, line in packets:
        if line.startswith(b"M-SEARCH") and destination == 1900:
            searches.setdefault(source, []).append(when)
        elif line.startswith(b"HTTP/1.1 200") and source == 1900:
            answers.setdefault(destination, []).append(when)
    return [a - s for port, sent in searches.items() for s, a in zip(sent, answers.get(port, []))]


def run_cell(bed, daemon_args, searches, search):
    """Answered-before-timeout count and capture delays of searches from search() on fresh daemons."""
    capture_file = bed.directory / f"capture-{time.monotonic_ns()}.pcap"
    capture = subprocess.Popen(bed.in_headunit("tcpdump", "-i", testbed.HEADUNIT_INTERFACE, "-U", "-n", "-w",
                                               str(capture_file), "udp and ip"),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bed.processes.append(capture)
    testbed.wait_until(capture_file.exists, 5)
    answered, daemon = 0, None
    for index in range(searches):
        if index % SEARCHES_PER_DAEMON == 0:
            if daemon:
                daemon.stop()
            daemon = bed.start_daemon(*daemon_args)
            daemon.wait_listening()
        answered += search()
    daemon.stop()
    time.sleep(0.5)
    capture.terminate()
    capture.wait(10)
    return answered, answer_delays(udp_packets(capture_file))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--searches", type=int, default=200, help="searches for each target and MX")
    parser.add_argument("--upnp-search", required=True, help="the libupnp control point (upnp_search.c)")
    options, sys.argv[1:] = parser.parse_known_args()
    daemon_binary, install = testbed.parse_arguments()
    print(f"{options.searches} searches per row, a fresh daemon every {SEARCHES_PER_DAEMON}")
    print(f"{'searcher':<16} {'target':<20} {'MX':>2} {'answered before MX':>19}   "
          f"answer after M-SEARCH, s (min / median / max)")
    with testbed.Testbed("dy", daemon_binary, install) as bed:
        bed.start_fake_backend()
        for name, target in TARGETS.items():
            def libupnp():
                # Its LOCATIONs answered before libupnp's own search timeout, one per line.
                output = subprocess.run(bed.in_headunit(options.upnp_search, testbed.HEADUNIT_INTERFACE, "2", target),
                                        capture_output=True, text=True, timeout=20).stdout
                return "\nfound " in "\n" + output

            def strict():
                output = subprocess.run(bed.in_headunit(sys.executable, "-c", STRICT_SEARCH, "1", target),
                                        capture_output=True, text=True, timeout=10).stdout
                return int(output or 0) > 0

            for searcher, mx, search in (("libupnp", 2, libupnp), ("strict", 1, strict)):
                answered, delays = run_cell(bed, ("-i", "usb0"), options.searches, search)
                spread = (f"{min(delays):.3f} / {statistics.median(delays):.3f} / {max(delays):.3f}"
                          if delays else "no answers")
                print(f"{searcher:<16} {name:<20} {mx:>2} {answered:>11} of {options.searches:<5}   {spread}",
                      flush=True)


if __name__ == "__main__":
    main()
