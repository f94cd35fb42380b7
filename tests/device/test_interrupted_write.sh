#!/bin/bash
# A crash while the first start writes the identity back must leave the old template whole.
# The daemon is preloaded with a library that kills it just as it renames the new template over
# the old one; by then the replacement has been written in full.
#
# usage: test_interrupted_write.sh DAEMON KILL_AT_RENAME_LIBRARY BUILD_DIR INSTALL_DIR PRISTINE_TEMPLATE
# Run it inside tests/with-usb-link.sh: the daemon opens its UPnP context on usb0.
set -u
daemon=$1 kill_at_rename=$2
. "$(dirname "$0")/staged_tree.sh"
staged_tree_check "$3" "$4" "$5" || exit 1

work=$(mktemp -d)
cleanup() {
    staged_tree_restore
    rm -f "$staged_template".*
    rm -rf "$work"
}
trap cleanup EXIT
staged_tree_restore

fail() {
    echo "FAIL: $*" >&2
    sed 's/^/  daemon: /' "$work/daemon.log" >&2
    exit 1
}

# Buses that do not exist: every identity source fails at once, and none of the machine's is asked.
# A sanitizer build's runtime would otherwise refuse to come after the preloaded library.
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-system-bus" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" \
    TMPDIR="$work" LD_PRELOAD="$kill_at_rename" TM_KILL_AT_RENAME="$staged_template" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    timeout 20 "$daemon" -i usb0 2>"$work/daemon.log"
status=$?
[ $status -eq 137 ] || fail "the daemon was not killed at the rename (exit status $status)"

replacement=$(sed -n 's/^killed at rename \(.*\) -> .*$/\1/p' "$work/daemon.log")
[ -n "$replacement" ] && [ -f "$replacement" ] || fail "no replacement file left to inspect"
xmllint --noout "$replacement" || fail "the replacement was not written in full"
grep -q '<UDN>uuid:' "$replacement" || fail "the replacement holds no UDN"
cmp -s "$staged_pristine" "$staged_template" || fail "the template was changed before the rename"
echo "template intact after a crash at the rename of $replacement"
