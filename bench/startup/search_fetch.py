"""A head unit in a hurry, on its end of the link: sends an M-SEARCH (MX=1) for root devices every
250 ms until one is answered, then fetches the description at the answer's LOCATION. Prints
"ready" once its socket is open, then the CLOCK_MONOTONIC times of the first answer and of the
fetched description, on one line."""
import socket
import sys
import time
import urllib.request

GROUP = ("239.255.255.250", 1900)
SEARCH = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
          "ST: upnp:rootdevice\r\n\r\n").encode()


def location_of(answer):
    for line in answer.decode(errors="replace").split("\r\n"):
        name, _, value = line.partition(":")
        if name.strip().lower() == "location":
            return value.strip()
    return None


def main(interface_address, timeout):
    searcher = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    searcher.bind((interface_address, 0))
    searcher.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface_address))
    searcher.settimeout(0.25)
    print("ready", flush=True)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        searcher.sendto(SEARCH, GROUP)
        try:
            location = location_of(searcher.recv(65536))
        except socket.timeout:
            continue
        if location:
            answered = time.monotonic()
            urllib.request.urlopen(location, timeout=5).read()
            print(f"{answered:.6f} {time.monotonic():.6f}", flush=True)
            return 0
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], float(sys.argv[2])))
