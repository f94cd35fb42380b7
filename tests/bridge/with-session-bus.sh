#!/bin/bash
# Runs a command with DBUS_SESSION_BUS_ADDRESS pointing to a private session bus of its own,
# which is stopped afterwards.
set -eu
busDir=$(mktemp -d)
dbus-daemon --session --address="unix:path=$busDir/bus" --nofork --nopidfile 2>/dev/null &
busPid=$!
cleanup() {
    kill "$busPid" 2>/dev/null || true
    wait "$busPid" 2>/dev/null || true
    rm -rf "$busDir"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -S "$busDir/bus" ] && break
    sleep 0.05
done
if [ ! -S "$busDir/bus" ]; then
    echo "the private session bus did not start" >&2
    exit 1
fi
export DBUS_SESSION_BUS_ADDRESS="unix:path=$busDir/bus"
"$@"
