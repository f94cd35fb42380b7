#!/bin/bash
# Runs a command in a fresh, private network namespace whose only link is a veth pair:
# usb0 (10.77.0.1/24, the handset's end) and hu0 (10.77.0.2/24, the head unit's end).
# Nothing sent there can leave the machine. Needs root (or an unprivileged user namespace).
set -eu
if [ "${TM_IN_USB_LINK:-}" != 1 ]; then
    TM_IN_USB_LINK=1 exec unshare --net -- "$0" "$@"
fi
ip link set lo up
ip link add usb0 type veth peer name hu0
ip addr add 10.77.0.1/24 dev usb0
ip addr add 10.77.0.2/24 dev hu0
ip link set usb0 multicast on up
ip link set hu0 multicast on up
ip route add 224.0.0.0/4 dev usb0
exec "$@"
