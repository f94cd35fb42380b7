#!/bin/sh
# Copies the seed corpus of one fuzz target into DIR: tests/fuzz/corpus/NAME, and for the
# personalisation target the description template itself, as installed and as a start leaves it.
#
#   scripts/fuzz-seeds.sh NAME DIR
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
name=$1 dir=$2
mkdir -p "$dir"
cp "$source_dir/tests/fuzz/corpus/$name"/* "$dir/"
if [ "$name" = personalisation ]; then
    template=$source_dir/data/xml/tmserverdevice.xml
    cp "$template" "$dir/template.xml"
    sed 's#<UDN></UDN>#<UDN>uuid:6a3c1f0e-1d2b-4c5e-8f90-123456789abc</UDN>#' "$template" >"$dir/kept.xml"
fi
