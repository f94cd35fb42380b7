#!/bin/bash
# A handset and a head unit on a private link: two network namespaces joined by a veth pair,
# usb0 (10.77.0.1/24) in the handset namespace and hu0 (10.77.0.2/24) in the head unit's.
# Both ends are created inside their namespaces, so no interface of the machine is touched and
# nothing sent on the link can leave it. Needs root.
#
#   usb-link.sh up NAME     creates NAME-handset and NAME-headunit
#   usb-link.sh down NAME   deletes them (and with them the veth pair)
#
# Sourcing the file instead defines usb_link_up and usb_link_down with the same arguments.

USB_LINK_HANDSET_ADDRESS=10.77.0.1
USB_LINK_HEADUNIT_ADDRESS=10.77.0.2
USB_LINK_HEADUNIT_INTERFACE=hu0

usb_link_handset() { echo "$1-handset"; }
usb_link_headunit() { echo "$1-headunit"; }

usb_link_configure_end() {
    local namespace=$1 interface=$2 address=$3
    ip -n "$namespace" link set lo up
    ip -n "$namespace" addr add "$address/24" dev "$interface"
    ip -n "$namespace" link set "$interface" multicast on up
    # SSDP goes to 239.255.255.250; without a route the namespace has no way to send it.
    ip -n "$namespace" route add 224.0.0.0/4 dev "$interface"
}

usb_link_up() {
    local name=$1
    local handset headunit
    handset=$(usb_link_handset "$name")
    headunit=$(usb_link_headunit "$name")
    ip netns add "$handset" || return 1
    if ! ip netns add "$headunit"; then
        ip netns delete "$handset"
        return 1
    fi
    if ! { ip -n "$handset" link add usb0 type veth peer name "$USB_LINK_HEADUNIT_INTERFACE" netns "$headunit" &&
        usb_link_configure_end "$handset" usb0 "$USB_LINK_HANDSET_ADDRESS" &&
        usb_link_configure_end "$headunit" "$USB_LINK_HEADUNIT_INTERFACE" "$USB_LINK_HEADUNIT_ADDRESS"; }; then
        usb_link_down "$name"
        return 1
    fi
}

usb_link_down() {
    local name=$1
    ip netns delete "$(usb_link_handset "$name")" 2>/dev/null
    ip netns delete "$(usb_link_headunit "$name")" 2>/dev/null
    return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    case "${1:-}:${2:-}" in
    up:?*) usb_link_up "$2" ;;
    down:?*) usb_link_down "$2" ;;
    *)
        echo "usage: $0 up|down NAME" >&2
        exit 2
        ;;
    esac
fi
