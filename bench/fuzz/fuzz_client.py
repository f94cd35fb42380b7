"""Seeded mutations of a head unit's HTTP, SOAP, GENA and M-SEARCH input, sent to the daemon.

  fuzz_client.py SEED CASES HOST PORT INTERFACE_ADDRESS [KIND,...]

Each case takes one of the well-formed requests below, applies one to three mutations (bit flips,
a range cut out or repeated, a header line duplicated, a number made extreme, invalid UTF-8 or NUL
bytes put in) and sends it; TCP cases read the answer for at most 1 s. Prints the answers by
status as "status:count,...", then the cases without an answer by seed and cause, and an example of
each unexplained one (JSON). The same seed sends the same cases.
"""
import collections
import errno
import http.server
import json
import random
import re
import socket
import sys
import threading
import time

SOAP_BODY = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
             's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
             '<u:GetApplicationList xmlns:u="urn:schemas-upnp-org:service:TmApplicationServer:1">'
             '<AppListingFilter>*</AppListingFilter><ProfileID>0</ProfileID></u:GetApplicationList>'
             '</s:Body></s:Envelope>')


class NotifyAnswerer(http.server.BaseHTTPRequestHandler):
    """A head unit's callback: every NOTIFY answered 200, so that an unsubscribed subscription ends."""

    delivered, arrived = set(), threading.Condition()

    def do_NOTIFY(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
        self.wfile.flush()
        with self.arrived:
            self.delivered.add(self.headers.get("SID", "").encode())
            self.arrived.notify_all()

    def log_message(self, *args):
        pass


def callback_url(address):
    server = http.server.ThreadingHTTPServer((address, 0), NotifyAnswerer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://{address}:{server.server_address[1]}/"


def seeds(host, port, callback):
    soap = (f"POST /control/TmApplicationServer1 HTTP/1.1\r\nHost: {host}:{port}\r\n"
            'Content-Type: text/xml; charset="utf-8"\r\n'
            'SOAPACTION: "urn:schemas-upnp-org:service:TmApplicationServer:1#GetApplicationList"\r\n'
            f"Content-Length: {len(SOAP_BODY)}\r\n\r\n{SOAP_BODY}")
    return {
        "http": f"GET /xml/tmserverdevice.xml HTTP/1.1\r\nHost: {host}:{port}\r\nAccept-Language: en\r\n\r\n",
        "soap": soap,
        "gena": (f"SUBSCRIBE /event/TmApplicationServer1 HTTP/1.1\r\nHost: {host}:{port}\r\n"
                 f"CALLBACK: <{callback}>\r\nNT: upnp:event\r\nTIMEOUT: Second-300\r\n\r\n"),
        "m-search": ('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
                     "MX: 1\r\nST: upnp:rootdevice\r\n\r\n"),
    }


def flip_bits(data, rng):
    for _ in range(rng.randint(1, 8)):
        position = rng.randrange(len(data))
        data[position] ^= 1 << rng.randrange(8)


def cut_range(data, rng):
    start = rng.randrange(len(data))
    del data[start:start + rng.randint(1, 64)]


def repeat_range(data, rng):
    start = rng.randrange(len(data))
    piece = data[start:start + rng.randint(1, 64)]
    data[start:start] = piece * rng.randint(2, 200)


def duplicate_header(data, rng):
    lines = bytes(data).split(b"\r\n")
    header = rng.randrange(len(lines))
    lines[header:header] = [lines[header]] * rng.randint(1, 50)
    data[:] = b"\r\n".join(lines)


def extreme_number(data, rng):
    digits = [i for i, byte in enumerate(data) if chr(byte).isdigit()]
    if digits:
        position = rng.choice(digits)
        data[position:position + 1] = rng.choice([b"99999999999999999999", b"-1", b"0", b"18446744073709551616"])


def insert_bytes(data, rng):
    position = rng.randrange(len(data))
    data[position:position] = rng.choice([b"\x00", b"\xff\xfe", b"\xc3\x28", b"\xed\xa0\x80", b"\x00" * 32])


MUTATIONS = [flip_bits, cut_range, repeat_range, duplicate_header, extreme_number, insert_bytes]


HEAD_LIMIT = 64 * 1024  # libsoup's server closes a connection whose request head grows past this


def no_answer_cause(data, how):
    """Why a request got no status: its head never ended, outgrew libsoup's limit, or its body ended
    before its Content-Length (libsoup waits for the rest until the client's end); else unexplained."""
    head, blank_line, body = bytes(data).partition(b"\r\n\r\n")
    lengths = [int(n) for n in re.findall(rb"(?im)^content-length:[ \t]*(\d+)[ \t]*\r?$", head)]
    if len(head) > HEAD_LIMIT:
        return f"head over 64 KiB ({how})"
    if not blank_line:
        return f"head never ended ({how})"
    if any(length > len(body) for length in lengths):
        return f"body shorter than its Content-Length ({how})"
    return f"other ({how})"


def unsubscribe(host, port, sid):
    """As a head unit that is done with a subscription, once its initial event came (GUPnP keeps one
    unsubscribed before that until it expires): the granted ones must not fill the cap."""
    with NotifyAnswerer.arrived:
        NotifyAnswerer.arrived.wait_for(lambda: sid in NotifyAnswerer.delivered, 0.2)
    time.sleep(0.02)  # for the daemon to read the answer
    with socket.create_connection((host, port), timeout=1) as connection:
        connection.sendall(b"UNSUBSCRIBE /event/TmApplicationServer1 HTTP/1.1\r\nHost: %s:%d\r\nSID: %s\r\n\r\n"
                           % (host.encode(), port, sid))
        connection.recv(64)


def send_tcp(host, port, data):
    with socket.create_connection((host, port), timeout=1) as connection:
        try:
            connection.sendall(data)
            connection.shutdown(socket.SHUT_WR)
        except OSError as error:  # the daemon refused what it had read, and closed
            return None, no_answer_cause(data, f"closed before all was sent, {errno.errorcode.get(error.errno)}")
        try:
            answer = connection.recv(1024)
        except socket.timeout:
            return None, no_answer_cause(data, "no byte within 1 s")
        except ConnectionResetError:
            return None, no_answer_cause(data, "reset")
    if answer.startswith(b"HTTP/"):
        if sid := re.search(rb"(?im)^sid:[ \t]*(\S+)", answer):
            unsubscribe(host, port, sid.group(1))
        return answer.split(b" ", 2)[1].decode(errors="replace"), None
    return None, no_answer_cause(data, "closed" if not answer else "not HTTP")


def send_udp(interface_address, data):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface_address))
        udp.sendto(data, ("239.255.255.250", 1900))
    return "datagram"


def main():
    seed, cases, host, port, interface_address = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
    rng = random.Random(seed)
    inputs = seeds(host, port, callback_url(interface_address))
    if len(sys.argv) > 6:
        inputs = {kind: inputs[kind] for kind in sys.argv[6].split(",")}
    answers, causes, examples = collections.Counter(), collections.Counter(), {}
    for _ in range(cases):
        kind = rng.choice(sorted(inputs))
        data = bytearray(inputs[kind].encode())
        for mutation in rng.sample(MUTATIONS, rng.randint(1, 3)):
            if data:
                mutation(data, rng)
        try:
            status, cause = ("datagram", None) if kind == "m-search" else send_tcp(host, port, data)
        except OSError as error:
            status, cause = None, errno.errorcode.get(error.errno, type(error).__name__)
        answers[status or "no answer"] += 1
        if cause:
            causes[f"{kind}: {cause}"] += 1
            examples.setdefault(f"{kind}: {cause}", bytes(data[:120]))
    print(",".join(f"{key}:{value}" for key, value in sorted(answers.items())))
    print(json.dumps(dict(sorted(causes.items()))))
    print(json.dumps({cause: repr(example) for cause, example in examples.items() if "other" in cause}))


main()
