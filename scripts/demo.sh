#!/bin/bash
# Demonstration: builds and stages the daemon, runs it on usb0 in a private handset network
# namespace with private D-Bus buses and the demo back-end, and shows from a head-unit namespace
# at the other end of the veth link that the device is announced, that its description and an
# icon can be fetched, and what a head unit sees of the application server: the application
# list, a launch and the events it triggers. Nothing leaves the machine. Needs root; run by a
# user, it runs itself under sudo.
#
#   scripts/demo.sh [BUILD_DIR]     BUILD_DIR defaults to ./build-demo
set -euo pipefail
source "$(dirname "$0")/as-root.sh"

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-build-demo}")
stage_dir=$build_dir/stage
source "$source_dir/scripts/usb-link.sh"

link=tmdemo$$
handset=$(usb_link_handset "$link")
headunit=$(usb_link_headunit "$link")
work_dir=$(mktemp -d /tmp/tm-demo.XXXXXX)
started_pids=()
link_is_up=0

step() { printf '\n=== %s\n' "$*"; }

in_headunit() { ip netns exec "$headunit" "$@"; }

cleanup() {
    local index
    for ((index = ${#started_pids[@]} - 1; index >= 0; index--)); do
        kill -TERM "${started_pids[index]}" 2>/dev/null || true
        wait "${started_pids[index]}" 2>/dev/null || true
    done
    [ "$link_is_up" = 1 ] && usb_link_down "$link"
    rm -rf "$work_dir"
}
trap cleanup EXIT

# Polls a command for up to ten seconds.
wait_for() {
    for _ in $(seq 100); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

build_and_stage() {
    cmake -S "$source_dir" -B "$build_dir" \
        -DTMSERVER_INSTALL_DIR="$stage_dir/opt/drivenook/" -DCMAKE_INSTALL_PREFIX="$stage_dir/usr"
    cmake --build "$build_dir" -j2
    cmake --install "$build_dir"
}

# A dbus-daemon on a path socket; its address goes into the variable named by $2.
start_bus() {
    local socket=$work_dir/$1-bus
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$socket" >/dev/null 2>&1 &
    started_pids+=($!)
    wait_for test -S "$socket" || { echo "the private $1 bus did not start" >&2; return 1; }
    printf -v "$2" 'unix:path=%s' "$socket"
}

session_name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# The handset's Bluetooth adapter, which names the device on the head unit's screen.
start_bluetooth() {
    /usr/bin/python3 -m dbusmock --system --template bluez5 >/dev/null 2>&1 &
    started_pids+=($!)
    wait_for dbus-send --system --print-reply --dest=org.bluez / org.bluez.Mock.AddAdapter \
        string:hci0 "string:Demo Handset" >/dev/null 2>&1
}

# The back-end that answers the head unit's actions, when the build provides one.
start_backend() {
    local backend=$stage_dir/usr/bin/tmdemobackend
    [ -x "$backend" ] || return 0
    "$backend" >/dev/null 2>"$work_dir/backend.log" &
    started_pids+=($!)
    wait_for session_name_owned com.quorvex.VehiraServer && echo "back-end $backend on the session bus"
}

start_daemon() {
    mkdir "$work_dir/tmp"
    ip netns exec "$handset" env TMPDIR="$work_dir/tmp" QT_LOGGING_RULES="tmserver.*.debug=true" \
        "$stage_dir/usr/bin/tmserverd" -i usb0 2>"$work_dir/daemon.log" &
    daemon_pid=$!
    started_pids+=("$daemon_pid")
}

backend_is_running() { session_name_owned com.quorvex.VehiraServer; }

# The control or event URL of a service, from the description.
service_url() {
    local service=$1 element=$2
    xmllint --xpath "string(//*[local-name()='service'][*[local-name()='serviceType']='$service']/*[local-name()='$element'])" \
        "$work_dir/description.xml"
}

absolute_url() {
    /usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.urljoin(*sys.argv[1:]))' "$1" "$2"
}

# soap_call LOCATION SERVICE ACTION [NAME VALUE]...: prints the action's answer.
soap_call() {
    local location=$1 service=$2 action=$3 arguments=""
    shift 3
    while [ $# -ge 2 ]; do
        arguments+="<$1>$2</$1>"
        shift 2
    done
    in_headunit curl -s --max-time 30 -H 'Content-Type: text/xml; charset="utf-8"' \
        -H "SOAPACTION: \"$service#$action\"" \
        --data "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:$action xmlns:u=\"$service\">$arguments</u:$action></s:Body></s:Envelope>" \
        "$(absolute_url "$location" "$(service_url "$service" controlURL)")" >"$work_dir/answer.xml"
    xmllint --format "$work_dir/answer.xml"
}

# What a head unit does with the application server: list, subscribe, launch, see the event.
show_head_unit_session() {
    local location=$1 app_server=urn:schemas-upnp-org:service:TmApplicationServer:1
    step "Head unit: GetApplicationList"
    soap_call "$location" "$app_server" GetApplicationList AppListingFilter '*' ProfileID 0 | cut -c1-160
    echo "the listing it carries:"
    xmllint --xpath "string(//*[local-name()='AppListing'])" "$work_dir/answer.xml" | xmllint --format -

    step "Head unit: subscribing to the application server's events"
    in_headunit /usr/bin/python3 "$source_dir/scripts/event-listener.py" "$USB_LINK_HEADUNIT_ADDRESS" \
        >"$work_dir/events" &
    started_pids+=($!)
    wait_for grep -q '^listening' "$work_dir/events"
    local callback="http://$USB_LINK_HEADUNIT_ADDRESS:$(awk '/^listening/ {print $2}' "$work_dir/events")/"
    in_headunit curl -s --max-time 10 -o /dev/null -D - -X SUBSCRIBE -H "CALLBACK: <$callback>" \
        -H "NT: upnp:event" -H "TIMEOUT: Second-300" \
        "$(absolute_url "$location" "$(service_url "$app_server" eventSubURL)")" | grep -i '^SID'
    wait_for grep -q '"seq": 0' "$work_dir/events"
    echo "initial event:"
    grep '"seq": 0' "$work_dir/events"

    step "Head unit: LaunchApplication 0x0003"
    soap_call "$location" "$app_server" LaunchApplication AppID 0x0003 ProfileID 0
    wait_for grep -q '"seq": 2' "$work_dir/events" || true
    echo "events after the launch:"
    grep -v -e '^listening' -e '"seq": 0' "$work_dir/events"

    step "Head unit: LaunchApplication of an unknown application"
    soap_call "$location" "$app_server" LaunchApplication AppID 0x0099 ProfileID 0
}

discover_location() {
    in_headunit timeout 15 gssdp-discover -i "$USB_LINK_HEADUNIT_INTERFACE" -t upnp:rootdevice -n 5 |
        tee "$work_dir/discovery" >&2
    sed -n 's/^ *Location: *//p' "$work_dir/discovery" | head -n 1
}

step "Installing packages"
"$source_dir/scripts/install-deps.sh"

step "Building and staging in $stage_dir"
build_and_stage

step "Handset ($handset, usb0 $USB_LINK_HANDSET_ADDRESS) and head unit ($headunit, $USB_LINK_HEADUNIT_INTERFACE $USB_LINK_HEADUNIT_ADDRESS)"
usb_link_up "$link"
link_is_up=1
ip -n "$handset" -brief address show dev usb0
ip -n "$headunit" -brief address show dev "$USB_LINK_HEADUNIT_INTERFACE"

step "Private session and system buses"
start_bus session DBUS_SESSION_BUS_ADDRESS
start_bus system DBUS_SYSTEM_BUS_ADDRESS
export DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS
echo "session: $DBUS_SESSION_BUS_ADDRESS"
echo "system:  $DBUS_SYSTEM_BUS_ADDRESS"
start_bluetooth && echo "Bluetooth adapter hci0 \"Demo Handset\" on the system bus"
start_backend

step "Starting tmserverd -i usb0 in the handset namespace"
start_daemon
echo "pid $daemon_pid"

step "Head unit: searching for root devices on $USB_LINK_HEADUNIT_INTERFACE"
location=$(discover_location)
[ -n "$location" ] || location=$(discover_location)
if [ -z "$location" ]; then
    echo "no root device announced" >&2
    cat "$work_dir/daemon.log" >&2
    exit 1
fi

step "Head unit: description at $location"
in_headunit curl -sf --max-time 10 "$location" >"$work_dir/description.xml"
xmllint --format "$work_dir/description.xml"

icon=$(xmllint --xpath "string(//*[local-name()='icon'][1]/*[local-name()='url'])" "$work_dir/description.xml")
if [ -n "$icon" ]; then
    icon_url=$(absolute_url "$location" "$icon")
    step "Head unit: icon at $icon_url"
    in_headunit curl -s --max-time 10 -o /dev/null -w 'HTTP %{http_code}, %{content_type}, %{size_download} bytes\n' \
        "$icon_url"
fi

backend_is_running && show_head_unit_session "$location"

step "Stopping the daemon with SIGTERM"
kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
echo "tmserverd exited with status $status"
if [ -s "$work_dir/daemon.log" ]; then
    echo "Its log (standard error):"
    cat "$work_dir/daemon.log"
fi
