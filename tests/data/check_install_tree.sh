#!/bin/bash
# Installs the build into a scratch DESTDIR and checks what lands in the published installation
# directory (served over HTTP as it is, links followed) and the user unit.
# Usage: check_install_tree.sh BUILD_DIR INSTALL_DIR BINARY_PATH
set -u
build=$1 installDir=$2 binary=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR=$scratch cmake --install "$build" >"$scratch.log" 2>&1; then
    cat "$scratch.log"; rm -f "$scratch.log"; echo "FAIL: cmake --install"; exit 1
fi
rm -f "$scratch.log"
published=$scratch$installDir

expected="share/icons/tmserverd-120.png
share/icons/tmserverd-48.png
xml/TmApplicationServer.xml
xml/TmClientProfile.xml
xml/tmserverdevice.xml"
actual=$(cd "$published" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "published tree differs from the expected files:
$(diff <(echo "$expected") <(echo "$actual"))"
links=$(find "$published" -type l)
[ -z "$links" ] || fail "symbolic links under the installation directory: $links"

units=$(find "$scratch" -name tmserverd.service -path '*/systemd/user/*')
if [ "$(echo "$units" | grep -c .)" != 1 ]; then
    fail "expected one user unit, found: ${units:-none}"
else
    execStart=$(sed -n 's/^ExecStart=//p' "$units")
    [ "$execStart" = "$binary" ] || fail "ExecStart=$execStart, expected $binary"
    [ -x "$scratch$execStart" ] || fail "ExecStart names no installed program: $execStart"
    grep -qx 'Type=exec' "$units" || fail "unit is not Type=exec"
    if command -v systemd-analyze >/dev/null; then
        # Verify the staged copy, so ExecStart must name the binary inside the scratch tree.
        sed "s|^ExecStart=|ExecStart=$scratch|" "$units" >"$scratch/tmserverd.service"
        complaints=$(systemd-analyze verify "$scratch/tmserverd.service" 2>&1) || fail "systemd-analyze verify failed"
        [ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
    else
        echo "systemd-analyze not found; unit directives not verified"
    fi
fi

[ "$failures" = 0 ] && echo "install tree OK"
exit $((failures > 0))
