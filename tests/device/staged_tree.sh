# Sourced by the tests that run the daemon. The daemon reads its template from the installation
# directory it was built for, and its first start writes into it, so these tests work on the
# staged tree inside the build tree only, and put the pristine template back when done.
#
#   staged_tree_check BUILD_DIR INSTALL_DIR PRISTINE_TEMPLATE   sets $staged_template, or fails
#   staged_tree_restore                                          copies the pristine template back

staged_tree_check() {
    local build_dir install_dir
    build_dir=$(realpath -m "$1")
    install_dir=$(realpath -m "$2")
    staged_pristine=$3
    staged_template="$install_dir/xml/tmserverdevice.xml"
    case "$install_dir/" in
    "$build_dir"/*) ;;
    *)
        echo "FAIL: the daemon was built for $install_dir, outside the build tree $build_dir;" \
            "configure with -DTMSERVER_INSTALL_DIR=<build>/stage/opt/drivenook/ so that tests cannot" \
            "overwrite an installed template" >&2
        return 1
        ;;
    esac
    if [ ! -f "$staged_template" ]; then
        echo "FAIL: no description template at $staged_template: run 'cmake --install' first" >&2
        return 1
    fi
    if [ ! -f "$staged_pristine" ]; then
        echo "FAIL: no pristine template at $staged_pristine" >&2
        return 1
    fi
}

staged_tree_restore() {
    cp "$staged_pristine" "$staged_template"
}
