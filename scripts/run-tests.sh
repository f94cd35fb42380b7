#!/bin/bash
# The test command: installs the Debian packages, builds the daemon in a fresh build directory
# (warnings are errors), stages an installation inside it and runs every test. Needs root: the
# tests create private network namespaces.
#
#   scripts/run-tests.sh [BUILD_DIR]     BUILD_DIR defaults to ./build-tests
#
# With TM_SANITIZE=1 the tests run a second time on an AddressSanitizer/UBSan build in
# BUILD_DIR-sanitize.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-build-tests}")

fresh_directory() {
    local dir=$1
    if [ -e "$dir" ] && [ ! -f "$dir/CMakeCache.txt" ] && [ -n "$(ls -A "$dir")" ]; then
        echo "$dir is not a build directory; refusing to empty it" >&2
        exit 2
    fi
    rm -rf "$dir"
}

build_and_test() {
    local dir=$1
    shift
    fresh_directory "$dir"
    cmake -S "$source_dir" -B "$dir" \
        -DTMSERVER_INSTALL_DIR="$dir/stage/opt/drivenook/" -DCMAKE_INSTALL_PREFIX="$dir/stage/usr" "$@"
    cmake --build "$dir" -j2
    cmake --install "$dir"
    (cd "$dir" && ctest --output-on-failure --timeout 600)
}

"$source_dir/scripts/install-deps.sh"
build_and_test "$build_dir"
if [ "${TM_SANITIZE:-0}" = 1 ]; then
    build_and_test "$build_dir-sanitize" -DTMSERVER_SANITIZE=ON
fi
