#!/bin/bash
# The test command: installs the Debian packages, builds the daemon in a fresh build directory
# (warnings are errors), stages an installation inside it, builds the Debian packages into
# BUILD_DIR/package and runs every test. Needs root: the tests create private network namespaces,
# and one installs the packages (and removes them again); run by a user, it runs itself under sudo.
#
#   scripts/run-tests.sh [BUILD_DIR]     BUILD_DIR defaults to ./build-tests
#
# With TM_SANITIZE=1 the tests run a second time on an AddressSanitizer/UBSan build in
# BUILD_DIR-sanitize.
set -euo pipefail
source "$(dirname "$0")/as-root.sh"

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

# dpkg-buildpackage builds inside the source tree and writes the packages beside it: a copy of
# the source keeps both in the build directory.
build_package() {
    local dir=$1
    mkdir -p "$dir/source"
    tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude='./obj-*' \
        --exclude="./$(realpath -m --relative-to="$source_dir" "$dir/..")" -c . | tar -C "$dir/source" -x
    local started=$SECONDS
    # Two jobs, as for the other builds; the tests need no debug symbol packages.
    if ! (cd "$dir/source" && DEB_BUILD_OPTIONS="parallel=2 noddebs" dpkg-buildpackage -us -uc -b) \
        >"$dir/build.log" 2>&1; then
        tail -n 40 "$dir/build.log"
        return 1
    fi
    echo "Debian packages built in $((SECONDS - started)) s:"
    ls -l "$dir"/*.deb
}

# build_and_test BUILD_DIR WITH_PACKAGE [CMAKE_OPTION...]
build_and_test() {
    local dir=$1 with_package=$2
    shift 2
    fresh_directory "$dir"
    cmake -S "$source_dir" -B "$dir" \
        -DTMSERVER_INSTALL_DIR="$dir/stage/opt/drivenook/" -DCMAKE_INSTALL_PREFIX="$dir/stage/usr" \
        -DTMSERVER_PACKAGE_DIR="${with_package:+$dir/package}" "$@"
    cmake --build "$dir" -j2
    cmake --install "$dir"
    [ -z "$with_package" ] || build_package "$dir/package"
    (cd "$dir" && ctest --output-on-failure --timeout 600)
}

"$source_dir/scripts/install-deps.sh"
build_and_test "$build_dir" package
# The packages are built and tested once, from the plain build.
if [ "${TM_SANITIZE:-0}" = 1 ]; then
    build_and_test "$build_dir-sanitize" "" -DTMSERVER_SANITIZE=ON
fi
