#!/bin/sh
# Installs the Debian 12 packages needed to build, demonstrate and test the daemon.
set -eu
. "$(dirname "$0")/as-root.sh"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    build-essential cmake pkg-config clang-format \
    clang libclang-rt-14-dev \
    debhelper dpkg-dev fakeroot \
    qt6-base-dev qt6-base-dev-tools \
    libgupnp-1.6-dev libgssdp-1.6-dev libxml2-dev libxml2-utils libsystemd-dev \
    gupnp-tools \
    dbus dbus-daemon dbus-bin iproute2 util-linux curl procps \
    python3 python3-dbus python3-gi python3-dbusmock \
    libnet-upnp-perl libupnp-dev tcpdump
