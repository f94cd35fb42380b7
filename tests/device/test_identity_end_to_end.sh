#!/bin/bash
# The head unit's view of the handset's identity: over a private veth link, the description it
# fetches names the handset after its Bluetooth adapter and carries the adapter's address, and
# the UDN stays the same when the daemon restarts. BlueZ 5 is dbusmock on a private system bus.
#
# usage: test_identity_end_to_end.sh DAEMON BUILD_DIR INSTALL_DIR PRISTINE_TEMPLATE PYTHON3
# Needs root: it creates two network namespaces, NAME-handset (usb0) and NAME-headunit (hu0).
set -u
daemon=$1 python=$5
. "$(dirname "$0")/staged_tree.sh"
staged_tree_check "$2" "$3" "$4" || exit 1

link="tmid$$"
handset="$link-handset"
headunit="$link-headunit"
port=49152
adapter_name="Kitchen radio"
adapter_address=000102030405
work=$(mktemp -d)
pids=()
daemon_pid=

stop_process() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    [ -n "$daemon_pid" ] && stop_process "$daemon_pid"
    for pid in "${pids[@]}"; do
        stop_process "$pid"
    done
    ip netns delete "$handset" 2>/dev/null
    ip netns delete "$headunit" 2>/dev/null
    staged_tree_restore
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && sed "s|^|  $(basename "$log"): |" "$log" >&2
    done
    exit 1
}

link_end() {
    local namespace=$1 interface=$2 address=$3
    ip -n "$namespace" link set lo up &&
        ip -n "$namespace" addr add "$address/24" dev "$interface" &&
        ip -n "$namespace" link set "$interface" multicast on up &&
        ip -n "$namespace" route add 224.0.0.0/4 dev "$interface"
}

start_bus() {
    local name=$1
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$work/$name-bus" 2>"$work/$name-bus.log" &
    pids+=($!)
    for _ in $(seq 50); do
        [ -S "$work/$name-bus" ] && return 0
        sleep 0.1
    done
    fail "the private $name bus did not start"
}

has_owner() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}

start_daemon() {
    ip netns exec "$handset" env TMPDIR="$work" "$daemon" -i usb0 -p "$port" 2>"$work/daemon$1.log" &
    daemon_pid=$!
}

# The description's location as the head unit discovers it, then the description itself.
fetch_description() {
    local output=$1 location=
    for _ in 1 2 3; do
        kill -0 "$daemon_pid" 2>/dev/null || fail "the daemon ended"
        location=$(ip netns exec "$headunit" timeout 10 gssdp-discover -i hu0 -n 2 \
            -t urn:schemas-upnp-org:device:TmServerDevice:1 | sed -n 's/^ *Location: *//p' | head -n 1)
        [ -n "$location" ] && break
    done
    [ -n "$location" ] || fail "the head unit does not find the device"
    ip netns exec "$headunit" curl -sf --max-time 10 -o "$output" "$location" ||
        fail "the head unit cannot fetch $location"
}

element() {
    xmllint --xpath "string(/*[local-name()='root']/*[local-name()='device']/$(
        echo "$2" | sed "s|\([A-Za-z_][A-Za-z_]*\)|*[local-name()='\1']|g"))" "$1"
}

ip netns add "$handset" && ip netns add "$headunit" || fail "cannot create the network namespaces"
ip -n "$handset" link add usb0 type veth peer name hu0 netns "$headunit" &&
    link_end "$handset" usb0 10.77.0.1 && link_end "$headunit" hu0 10.77.0.2 ||
    fail "cannot set up the link"

start_bus session
start_bus system
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/session-bus"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system-bus"
"$python" -m dbusmock --system --template bluez5 >"$work/bluez.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    has_owner org.bluez && break
    sleep 0.1
done
dbus-send --system --print-reply --dest=org.bluez / org.bluez.Mock.AddAdapter string:hci0 "string:$adapter_name" \
    >/dev/null || fail "cannot add the Bluetooth adapter"

staged_tree_restore
start_daemon 1
fetch_description "$work/first.xml"
udn=$(element "$work/first.xml" UDN)
[[ $udn =~ ^uuid:[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$ ]] || fail "served UDN '$udn'"
[ "$(element "$work/first.xml" friendlyName)" = "$adapter_name" ] ||
    fail "served friendly name '$(element "$work/first.xml" friendlyName)'"
[ "$(element "$work/first.xml" X_connectivity/bluetooth/bdAddr)" = "$adapter_address" ] ||
    fail "served Bluetooth address '$(element "$work/first.xml" X_connectivity/bluetooth/bdAddr)'"
[ "$(element "$staged_template" UDN)" = "$udn" ] || fail "the template does not hold the served UDN"

stop_process "$daemon_pid"
start_daemon 2
fetch_description "$work/second.xml"
[ "$(element "$work/second.xml" UDN)" = "$udn" ] ||
    fail "UDN changed across the restart: '$udn', then '$(element "$work/second.xml" UDN)'"
[ "$(element "$work/second.xml" friendlyName)" = "$adapter_name" ] || fail "friendly name lost after the restart"
echo "head unit sees '$adapter_name' ($adapter_address) as $udn across a restart"
