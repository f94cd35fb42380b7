"""Waits on the head unit's end of the link for SSDP NOTIFY messages and prints the CLOCK_MONOTONIC
times at which the first one of any kind and the first ssdp:alive arrived, on one line. Prints
"ready" once it has joined the group. GSSDP announces a device with a round of ssdp:byebye first."""
import socket
import sys
import time

GROUP = "239.255.255.250"


def main(interface_address, timeout):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((GROUP, 1900))
    listener.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton(GROUP) + socket.inet_aton(interface_address))
    print("ready", flush=True)
    deadline = time.monotonic() + timeout
    first_notify = None
    while time.monotonic() < deadline:
        listener.settimeout(deadline - time.monotonic())
        try:
            packet = listener.recv(65536)
        except socket.timeout:
            break
        arrived = time.monotonic()
        if not packet.startswith(b"NOTIFY "):
            continue
        first_notify = first_notify or arrived
        if b"ssdp:alive" in packet.lower():
            print(f"{first_notify:.6f} {arrived:.6f}", flush=True)
            return 0
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], float(sys.argv[2])))
